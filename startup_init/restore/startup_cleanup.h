// The before-logon clean-ups: start-up folder entries the allow list
// ("Startup.prs") does not approve, whatever appeared in the clear-list
// folders since their listing was recorded ("ZVClearList.prs"), and the
// browser history folders of every user.
//
// Owns: the recorded listing ZVClearList.prs (made once with protection
// on, deleted with protection off).
// Must not: write Startup.prs or ZVClearList.ini; descend through a link
// (a link that is not recorded goes itself, its target stays); delete
// anything in the clear-list folders when no listing could be recorded.
#pragma once

#include <string>
#include <vector>

#include "startup_init/steps/startup_steps.h"

namespace zv::startup {

class StartupCleanup {
 public:
  explicit StartupCleanup(StartupHost& host) : host_(host) {}

  void CleanStartupFolders();
  // 1 when the clear list names at least one folder.
  int ClearListStep();
  void RecordFolderListing(const std::wstring& listingFile, const std::wstring& folder);
  void DeleteUnrecorded(const std::wstring& listingFile, const std::wstring& folder);
  void DeleteHistoryFolders();

 private:
  void CleanStartupFolder(const std::wstring& allowList, const std::wstring& folder);
  std::vector<std::wstring> ReadClearList();
  bool CreateListingFile(const std::wstring& path);

  StartupHost& host_;
};

}  // namespace zv::startup
