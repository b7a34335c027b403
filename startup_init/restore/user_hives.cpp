// Hive restoration before logon and the folder-protection answers.
#include "startup_init/restore/user_hives.h"

#include "platform/base/handles.h"
#include "platform/files/file_api.h"
#include "startup_init/restore/file_walk.h"
#include "startup_init/restore/registry_settings.h"

namespace zv::startup {

using platform::Files;

void UserHives::RestoreUserHives(int forced) {
  const std::wstring& product = host_.ProductFolder();
  int protect = 1;
  if (forced != 1) {
    protect = ToInt(ReadIniString(product + L"ZVSettings.prs", L"MAIN", L"PROTECT", L"0"));
    if (IsModuleEnabled(L"ZVMFol.dll") == 0) protect = 0;
  }
  const int alwaysRestore =
      ToInt(ReadIniString(host_.ModuleFolder() + L"\\ZVVstInSettings.ini", L"Settings", L"AlwaysRestoreNTUser", L""));

  const bool vista = host_.IsVistaOrLater() == 1;
  std::wstring root = vista ? L"C:\\Users\\" : L"C:\\Documents and Settings\\";
  const std::wstring system = SystemFolder();
  if (!system.empty()) root[0] = system[0];

  const std::wstring store = product + L"UserReg\\";
  for (const std::wstring& name : UserFolderNames(root)) {
    const std::wstring profile = root + name + L"\\";
    const std::wstring saved = store + name + L"\\";
    Files::Get().CreateDirectoryW(store.c_str(), nullptr);
    Files::Get().CreateDirectoryW(saved.c_str(), nullptr);
    RestoreProfileHive(saved + L"ntuser.dat", profile + L"ntuser.dat", protect, alwaysRestore);
    RestoreProfileHive(saved + L"UsrClass.dat",
                       profile + (vista ? L"AppData\\Local\\Microsoft\\Windows\\UsrClass.dat"
                                        : L"Local Settings\\Application Data\\Microsoft\\Windows\\UsrClass.dat"),
                       protect, alwaysRestore);
  }
}

void UserHives::RestoreProfileHive(const std::wstring& saved, const std::wstring& live, int protect,
                                   int alwaysRestore) {
  if (alwaysRestore == 1) {
    if (Exists(saved)) Copy(saved, live, false);
  } else if (!Exists(live) && Exists(saved)) {
    Copy(saved, live, true);
  }
  if (protect != 1) {
    Files::Get().DeleteFileW(saved.c_str());
  } else if (Exists(live)) {
    Copy(live, saved, true);
  }
}

void UserHives::Copy(const std::wstring& from, const std::wstring& to, bool failIfExists) {
  if (Files::Get().CopyFileW(from.c_str(), to.c_str(), failIfExists ? win::TRUE : win::FALSE)) return;
  win::DWORD error = platform::GetLastError();
  // A loaded hive: a user is logged on and the hive stays as it is.
  if (error == win::ERROR_SHARING_VIOLATION) {
    host_.WriteLog(L"<ERROR> (ERROR:32)=CopyFileW " + from + L" -> " + to + L": hive in use, not restored");
  }
}

int UserHives::IsModuleEnabled(const std::wstring& section) {
  const std::wstring ini = host_.ProductFolder() + L"ZVDlg.ini";
  if (ReadIniString(ini, section, L"FUNCTION_NOT_USE", L"0") == L"1") return 0;
  if (ReadIniString(ini, section, L"DISABLE", L"0") == L"1") return 0;
  return 1;
}

int UserHives::IsFolderProtectionOn() {
  const std::wstring& module = host_.ModuleFolder();
  if (ReadIniString(module + L"\\ZVSettings.prs", L"MAIN", L"PROTECT", L"") != L"1") return 0;
  if (ReadIniString(module + L"\\ZVDlg.ini", L"ZVMFol.dll", L"DISABLE", L"") != L"0") return 0;
  return 1;
}

}  // namespace zv::startup
