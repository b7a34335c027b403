// AppInit_DLLs, the service and policy table, the search box and the
// single registry values of ZVVstIn.
#include "startup_init/restore/registry_settings.h"

#include "platform/base/text.h"
#include "platform/system/wow64.h"
#include "startup_init/restore/file_walk.h"
#include "startup_init/restore/reg_key.h"

namespace zv::startup {

namespace {

const wchar_t kWindowsKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows";

void RemoveAll(std::wstring& s, const std::wstring& what) {
  if (what.empty()) return;
  std::wstring out;
  std::size_t from = 0;
  for (std::size_t at; (at = s.find(what, from)) != std::wstring::npos; from = at + what.size()) {
    out.append(s, from, at - from);
  }
  out.append(s, from, std::wstring::npos);
  s = std::move(out);
}

struct TableRow {
  const wchar_t* key;
  const wchar_t* value;
  win::DWORD data;
  int create;
};

const TableRow kServiceAndPolicyRows[] = {
    {L"SYSTEM\\CurrentControlSet\\Services\\MSSQL$SQLEXPRESS", L"DelayedAutostart", 1, 1},
    {L"SYSTEM\\CurrentControlSet\\Services\\gupdate", L"Start", 4, 1},
    {L"SYSTEM\\CurrentControlSet\\Services\\gupdatem", L"Start", 4, 1},
    {L"SYSTEM\\CurrentControlSet\\Services\\edgeupdate", L"Start", 4, 1},
    {L"SYSTEM\\CurrentControlSet\\Services\\edgeupdatem", L"Start", 4, 1},
    {L"SOFTWARE\\Policies\\Microsoft\\Edge", L"BackgroundModeEnabled", 0, 1},
    {L"SOFTWARE\\Policies\\Microsoft\\Edge", L"HardwareAccelerationModeEnabled", 0, 1},
    {L"SOFTWARE\\Policies\\Google\\Chrome", L"HardwareAccelerationModeEnabled", 0, 1},
    {L"SOFTWARE\\Policies\\Google\\Chrome", L"ChromeCleanupEnabled", 1, 1},
    {L"SOFTWARE\\Policies\\Google\\Chrome", L"ChromeCleanupReportingEnabled", 1, 1},
    {L"SYSTEM\\CurrentControlSet\\Services\\SysMain", L"Start", 4, 0},
};

}  // namespace

std::wstring SystemFolder() {
  win::WCHAR buffer[win::MAX_PATH] = {};
  win::UINT n = platform::GetSystemDirectoryW(buffer, win::MAX_PATH);
  return n > 0 && n < win::MAX_PATH ? std::wstring(buffer, n) : std::wstring(L"C:\\Windows\\system32");
}

std::wstring WindowsFolder() {
  std::wstring system = SystemFolder();
  auto slash = system.rfind(L'\\');
  return slash == std::wstring::npos ? system : system.substr(0, slash);
}

std::wstring ComposeAppInitDlls(const std::wstring& oldValue, int includeInit, int includeHook, int view32,
                                int is64BitWindows, const std::wstring& windowsFolder) {
  std::wstring s = text::AsciiLowerCopy(oldValue);
  std::wstring initPath, hookPath;
  if (is64BitWindows == 1) {
    initPath = windowsFolder + (view32 ? L"\\SysWOW64\\ZVInit32.dll" : L"\\System32\\ZVInit64.dll");
    hookPath = windowsFolder + (view32 ? L"\\ZV\\ZVHKFW32.dll" : L"\\ZV\\ZVHKFW64.dll");
  } else {
    initPath = windowsFolder + L"\\System32\\ZVInit32.dll";
    hookPath = windowsFolder + L"\\ZV\\ZVHKFW32.dll";
  }
  initPath = text::AsciiLowerCopy(initPath);
  hookPath = text::AsciiLowerCopy(hookPath);
  RemoveAll(s, initPath);
  RemoveAll(s, hookPath);
  for (int i = 0; i < 10; ++i) {
    for (std::size_t at; (at = s.find(L",,")) != std::wstring::npos;) s.erase(at, 1);
  }
  if (!s.empty() && s.front() == L',') s.erase(0, 1);
  if (!s.empty() && s.back() == L',') s.pop_back();
  if (includeInit == 1) s += L"," + initPath;
  if (includeHook == 1) s += L"," + hookPath;
  if (!s.empty() && s.front() == L',') s.erase(0, 1);
  return s;
}

int RegistrySettings::UpdateAppInitDlls(int explicitCall, int includeInit, int includeHook) {
  const std::wstring hookExe = host_.ProductFolder() + L"QDFW.exe";
  if (explicitCall != 1) {
    includeInit = 1;
    includeHook = Exists(hookExe) ? 1 : 0;
  }
  if (!UpdateAppInitView(win::KEY_WOW64_64KEY, 0, includeInit, includeHook)) return 0;
  if (host_.IsWow64() != 1) return 1;
  if (explicitCall != 1) includeHook = Exists(hookExe) ? 1 : 0;
  // The 32-bit view named explicitly: what a 32-bit program gets without
  // a view flag, whatever bitness this process was started with.
  return UpdateAppInitView(win::KEY_WOW64_32KEY, 1, includeInit, includeHook);
}

int RegistrySettings::UpdateAppInitView(win::REGSAM view, int view32, int includeInit, int includeHook) {
  RegKey key;
  if (key.Open(win::HKEY_LOCAL_MACHINE, kWindowsKey, win::KEY_ALL_ACCESS | view) != win::ERROR_SUCCESS) return 0;
  std::wstring old;
  win::LSTATUS rc = key.ReadString(L"AppInit_DLLs", old);
  if (rc == win::ERROR_FILE_NOT_FOUND) {
    old.clear();
  } else if (rc != win::ERROR_SUCCESS) {
    // Writing now would replace a list we could not read: other vendors'
    // entries would be lost. This view stays as it is.
    host_.WriteLog(L"<ERROR> (ERROR:" + std::to_wstring(rc) + L")=RegQueryValueExW AppInit_DLLs, " +
                   (view32 ? L"32" : L"64") + L"-bit view left unchanged");
    return 1;
  }
  key.SetString(L"AppInit_DLLs",
                ComposeAppInitDlls(old, includeInit, includeHook, view32, host_.IsWow64(), WindowsFolder()));
  key.SetDword(L"LoadAppInit_DLLs", 1);
  key.SetDword(L"RequireSignedAppInit_DLLs", 0);
  return 1;
}

void RegistrySettings::ApplyServiceOrPolicyValue(int protectionOn, const std::wstring& subKey,
                                                 const std::wstring& name, win::DWORD value, int create) {
  RegKey key;
  const win::REGSAM access = win::KEY_ALL_ACCESS | win::KEY_WOW64_64KEY;
  win::LSTATUS rc = create == 1 ? key.Create(win::HKEY_LOCAL_MACHINE, subKey, access)
                                : key.Open(win::HKEY_LOCAL_MACHINE, subKey, access);
  if (rc != win::ERROR_SUCCESS) return;
  const std::wstring oldName = name + L"Old";
  if (protectionOn == 1) {
    if (!key.HasValue(oldName)) {
      win::DWORD previous = 0;
      if (key.ReadDword(name, previous) != win::ERROR_SUCCESS) previous = 0;
      key.SetDword(oldName, previous);
    }
    key.SetDword(name, value);
    return;
  }
  win::DWORD previous = 0;
  if (!key.HasValue(oldName)) return;
  if (key.ReadDword(oldName, previous) == win::ERROR_SUCCESS) key.SetDword(name, previous);
  key.DeleteValue(oldName);
}

void RegistrySettings::ApplyServiceOrPolicyRow(int row, int protectionOn) {
  if (row < 1 || row > static_cast<int>(std::size(kServiceAndPolicyRows))) return;
  const TableRow& r = kServiceAndPolicyRows[row - 1];
  ApplyServiceOrPolicyValue(protectionOn, r.key, r.value, r.data, r.create);
}

void RegistrySettings::ApplySearchBoxMode(int on) {
  const std::wstring ini = host_.ModuleFolder() + L"\\ZVSearchUI.ini";
  if (IniInt(ini, L"Settings", L"Hide") != 1) return;
  const std::wstring user = host_.CurrentUserRegistryKey();
  if (user.empty()) return;
  RegKey key;
  if (key.Create(win::HKEY_USERS, user + L"\\Software\\Microsoft\\Windows\\CurrentVersion\\Search",
                 win::KEY_ALL_ACCESS) != win::ERROR_SUCCESS) {
    return;
  }
  const std::wstring mode = L"SearchboxTaskbarMode", saved = L"SearchboxTaskbarModeOld";
  if (on == 1) {
    if (!key.HasValue(saved)) {
      win::DWORD previous = 9999;
      if (key.ReadDword(mode, previous) != win::ERROR_SUCCESS) previous = 9999;
      key.SetDword(saved, previous);
    }
    key.SetDword(mode, 0);
    return;
  }
  if (!key.HasValue(saved)) return;
  win::DWORD previous = 9999;
  if (key.ReadDword(saved, previous) != win::ERROR_SUCCESS) previous = 9999;
  if (previous == 9999) {
    key.DeleteValue(mode);
  } else {
    key.SetDword(mode, previous);
  }
  key.DeleteValue(saved);
}

bool RegistrySettings::RegisterCleanTasks() {
  RegKey run;
  if (run.Open(win::HKEY_LOCAL_MACHINE, L"SoftWare\\Microsoft\\Windows\\CurrentVersion\\Run", win::KEY_ALL_ACCESS) !=
      win::ERROR_SUCCESS) {
    return false;
  }
  const std::wstring& product = host_.ProductFolder();
  if (host_.CleanRecycle() == 1) {
    run.SetString(L"ZVCleanRecycle", product + L"ZVClean.exe /recycle");
  } else {
    run.DeleteValue(L"ZVCleanRecycle");
  }
  const bool temporary = host_.CleanTemporary() == 1;
  run.SetString(L"ZCleanTemporary", product + (temporary ? L"ZVClean.exe /tempo" : L"ZVClean.exe /iecleanoff"));
  return temporary;
}

void RegistrySettings::AddCompatibilityEntry() {
  const std::wstring user = host_.CurrentUserRegistryKey();
  if (user.empty()) return;
  RegKey key;
  if (key.Create(win::HKEY_USERS,
                 user + L"\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Compatibility "
                        L"Assistant\\Persisted",
                 win::KEY_ALL_ACCESS) != win::ERROR_SUCCESS) {
    return;
  }
  key.SetDword(SystemFolder() + L"\\ZV6.cpl", 16);
}

void RegistrySettings::SetDwordInExistingKey(const std::wstring& subKey, const std::wstring& name,
                                             win::DWORD value) {
  RegKey key;
  if (key.Open(win::HKEY_LOCAL_MACHINE, subKey, win::KEY_ALL_ACCESS) == win::ERROR_SUCCESS) key.SetDword(name, value);
}

void RegistrySettings::DisableNvidiaUpdateService() {
  SetDwordInExistingKey(L"SYSTEM\\CurrentControlSet\\services\\nvUpdatusService", L"Start", 4);
}

void RegistrySettings::EnableRealTimeScanAtSystemStart() {
  SetDwordInExistingKey(
      L"SOFTWARE\\Symantec\\Symantec Endpoint Protection\\AV\\Storages\\Filesystem\\RealTimeScan", L"SystemStart", 1);
}

void RegistrySettings::DisableCtrlAltDel() {
  RegKey winlogon;
  if (winlogon.Open(win::HKEY_LOCAL_MACHINE, L"SoftWare\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon",
                    win::KEY_ALL_ACCESS) != win::ERROR_SUCCESS) {
    return;
  }
  winlogon.SetDword(L"DisableCAD", 1);
  RegKey policy;
  if (policy.Create(win::HKEY_LOCAL_MACHINE, L"SoftWare\\Microsoft\\Windows\\CurrentVersion\\Policies\\System",
                    win::KEY_ALL_ACCESS) == win::ERROR_SUCCESS) {
    policy.SetDword(L"DisableCAD", 1);
  }
}

void RegistrySettings::AddDisableBackgroundAppRunOnce() {
  RegKey runOnce;
  if (runOnce.Open(win::HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce",
                   win::KEY_ALL_ACCESS) != win::ERROR_SUCCESS) {
    return;
  }
  runOnce.SetString(L"ZVdisablebackgroundapp", host_.ProductFolder() + L"ZVSet.exe /disablebackgroundapp");
  runOnce.Flush();
}

}  // namespace zv::startup
