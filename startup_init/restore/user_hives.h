// Restoring every profile's hive files from the copies saved under the
// product folder ("UserReg\<profile>\ntuser.dat" and "UsrClass.dat"), and
// the two answers about the folder-protection module.
//
// Owns: the saved copies (made, put back, deleted with protection off).
// Must not: copy over a hive that is loaded: the machine refuses a loaded
// hive file to every copy and delete, and the refusal is logged, never
// retried.
#pragma once

#include <string>

#include "startup_init/steps/startup_steps.h"

namespace zv::startup {

class UserHives {
 public:
  explicit UserHives(StartupHost& host) : host_(host) {}

  void RestoreUserHives(int forced);
  // 0 when the module's section in ZVDlg.ini of the product folder says
  // DISABLE or FUNCTION_NOT_USE "1".
  int IsModuleEnabled(const std::wstring& section);
  int IsFolderProtectionOn();

 private:
  void RestoreProfileHive(const std::wstring& saved, const std::wstring& live, int protect, int alwaysRestore);
  void Copy(const std::wstring& from, const std::wstring& to, bool failIfExists);

  StartupHost& host_;
};

}  // namespace zv::startup
