// Folder snapshots: every protected target on drive C has two mirror trees
// in the product folder, R and R2 ("<product>R\C\<path>"). A restore puts
// R2 back into the target; a backup copies live files that R and R2 do not
// hold yet, or, with protection off, drops R2. Also the app repository's
// clean-up against the listing another component writes, the per-user
// input-method and messaging folders, and the SQL data folder.
//
// Owns: the R and R2 trees and the listing file "AppRepositoryList.ini"
// (read and deleted).
// Must not: touch a target that is not on drive C (it has no mirror of its
// own: it would be its own R2), descend through a link, copy R or R2 into
// themselves when a target holds the product folder, or turn a missing file
// target into a folder.
#pragma once

#include <string>

#include "platform/base/win32.h"
#include "startup_init/steps/startup_steps.h"

namespace zv::startup {

class FolderSnapshots {
 public:
  explicit FolderSnapshots(StartupHost& host) : host_(host) {}

  // 0 when a backup finds no live target or the target is not on drive C,
  // else 1. `pathFormat` is filled with `user` at its "%s".
  int MirrorFolder(const std::wstring& user, int restore, int protectionOn, const std::wstring& pathFormat,
                   int secondCopy, int skipSubfolders);
  // 0, or the error that ended the enumeration of `source`.
  win::DWORD CopyTree(const std::wstring& source, const std::wstring& destination);
  // 1 when every level of the path exists afterwards.
  int CreatePath(const std::wstring& path);
  void CleanAppRepository();
  void RemoveUnlistedFiles(int protectionOn, const std::wstring& folder);
  void MirrorUserFolders(int restore, int protectionOn);
  void RestoreSqlExpressData();

  // "<product>R\C\..." or "<product>R2\C\..." for a target on drive C;
  // empty for any other target.
  std::wstring MirrorPath(const std::wstring& target, bool second) const;

 private:
  // True for the R and R2 roots themselves and anything below them.
  bool InsideMirrors(const std::wstring& path) const;
  void RestoreFolder(const std::wstring& target, const std::wstring& r2);
  void RestoreFile(const std::wstring& target, const std::wstring& r2);
  void BackupFolder(const std::wstring& target, const std::wstring& r, const std::wstring& r2, int secondCopy,
                    int skipSubfolders);
  void BackupFile(const std::wstring& target, const std::wstring& r, const std::wstring& r2, int secondCopy);
  // Deletes a mirror copy: a file with the file call, a folder with the
  // support library's tree deletion.
  void DeleteMirror(const std::wstring& path);

  StartupHost& host_;
};

}  // namespace zv::startup
