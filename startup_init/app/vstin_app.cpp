// The application object's dispatch and run order: see vstin_app.h.
// Launches are in launches.cpp, first-boot detection in first_boot.cpp.
#include "startup_init/app/vstin_app.h"

#include "platform/base/clock.h"
#include "platform/base/debug_output.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"
#include "platform/files/profile.h"
#include "platform/processes/process_api.h"
#include "platform/processes/program_api.h"
#include "platform/registry/registry_api.h"
#include "platform/system/wow64.h"
#include "startup_init/app/steps_factory.h"
#include "startup_init/block_drivers/block_driver_config.h"
#include "suite/support/zvdata/product_data.h"
#include "suite/support/zvgcode/zvgcode.h"

namespace zv::startup {

void Trace(const std::wstring& text) { platform::OutputDebugStringW(L"ZVVstIn: " + text + L"\n"); }

namespace {

std::wstring ModulePath() {
  wchar_t buffer[260] = {};
  platform::Processes::Get().GetModuleFileNameW(nullptr, buffer, 260);
  return buffer;
}

}  // namespace

CZVVstInApp::CZVVstInApp() : log_(ModulePath()) {}

CZVVstInApp::~CZVVstInApp() = default;

int CZVVstInApp::InitInstance() {
  const wchar_t* line = platform::Programs::Get().GetCommandLineW();
  commandLine_ = line ? line : L"";
  programPath_ = ModulePath();
  std::size_t slash = programPath_.find_last_of(L'\\');
  moduleFolder_ = slash == std::wstring::npos ? std::wstring() : programPath_.substr(0, slash);
  wchar_t folder[support::kSizelessUnits] = {};
  support::GetFolderName_QD(folder);
  productFolder_ = folder;
  steps_ = MakeStartupSteps(*this);
  Trace(L"start: " + commandLine_);

  if (HasCommandSwitch(L"/restorentuser")) {
    RestoreNtUserMode();
  } else if (HasExactText(L"/registdll")) {
    RegistDllJob();
  } else if (FileExists(productFolder_ + L"ZVReProtect.ini")) {
    ReProtectJob();
  } else if (HasCommandSwitch(L"/disablecad")) {
    Trace(L"mode disablecad");
    steps_->DisableCtrlAltDel();
  } else if (HasCommandSwitch(L"/runafterlogon")) {
    Trace(L"mode runafterlogon");
    WaitForUserHive();
    RunAfterLogon();
    DeleteControlPanelFile();
  } else if (HasCommandSwitch(L"/runbeforelogon")) {
    Trace(L"mode runbeforelogon");
    RunBeforeLogon();
  } else {
    Trace(L"no mode");
  }
  Trace(L"end");
  return 0;
}

// The whole command line is examined, however long (the switch may sit
// past the first 259 units). Letters are lower-cased in ASCII only.
int CZVVstInApp::HasCommandSwitch(const std::wstring& lowerCaseSwitch) const {
  return text::AsciiLowerCopy(commandLine_).find(lowerCaseSwitch) != std::wstring::npos ? 1 : 0;
}

int CZVVstInApp::HasExactText(const std::wstring& text) const {
  return commandLine_.find(text) != std::wstring::npos ? 1 : 0;
}

int CZVVstInApp::IsWow64() const {
  using IsWow64ProcessFn = win::BOOL (*)(win::HANDLE, win::BOOL*);
  win::HMODULE kernel = platform::GetModuleHandleW(L"kernel32");
  auto fn = reinterpret_cast<IsWow64ProcessFn>(platform::GetProcAddress(kernel, "IsWow64Process"));
  if (!fn) return 0;
  win::BOOL wow64 = win::FALSE;
  if (!fn(platform::Processes::Get().GetCurrentProcess(), &wow64)) return 0;
  return wow64 ? 1 : 0;
}

int CZVVstInApp::IsVistaOrLater() const { return support::CheckVersionIsVista(); }

void CZVVstInApp::ReadProductData() {
  wchar_t path[support::kSizelessUnits] = {};
  support::GetFileName_QDData(path);
  support::OpenZVData(path, 256);
  int v = 0;
  support::GetZVData(1, 0, 1, 4, &v);
  support::GetZVData(69, 0, 1, 4, &g_nCleanRecycle);
  support::GetZVData(70, 0, 1, 4, &g_nCleanTemporary);
  support::CloseZVData();
  if (v != 1) {
    g_nCleanRecycle = 0;
    g_nCleanTemporary = 0;
  }
  m_nProtectionOn = v;
  Trace(L"ReadProductData protection " + std::to_wstring(v) + L" recycle " + std::to_wstring(g_nCleanRecycle) +
        L" temporary " + std::to_wstring(g_nCleanTemporary));
}

void CZVVstInApp::DeleteDirectory(const std::wstring& folder) { support::DeleteDirectory(folder.c_str()); }

std::wstring CZVVstInApp::CurrentUserRegistryKey() {
  wchar_t key[support::kSizelessUnits] = {};
  support::GetVistaCurrentUserRegistryKey(key);
  return key;
}

std::wstring CZVVstInApp::SystemFolder() const {
  wchar_t buffer[260] = {};
  win::UINT n = platform::GetSystemDirectoryW(buffer, 260);
  return n > 0 && n < 260 ? std::wstring(buffer, n) : std::wstring();
}

// The program's path with everything from its last "." replaced by ".ini".
std::wstring CZVVstInApp::OwnIniPath() const {
  std::size_t dot = programPath_.find_last_of(L'.');
  std::size_t slash = programPath_.find_last_of(L'\\');
  if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return programPath_ + L".ini";
  return programPath_.substr(0, dot) + L".ini";
}

bool CZVVstInApp::FileExists(const std::wstring& path) const {
  return platform::Files::Get().GetFileAttributesW(path.c_str()) != win::INVALID_FILE_ATTRIBUTES;
}

int CZVVstInApp::IsCloseRequested() {
  wchar_t value[260] = {};
  const std::wstring file = productFolder_ + L"ZVSettings.prs";
  platform::GetPrivateProfileStringW(L"MAIN", L"ZVCLOSE", L"0", value, 260, file.c_str());
  return std::wstring(value) == L"1" ? 1 : 0;
}

void CZVVstInApp::RestoreNtUserMode() {
  Trace(L"mode restorentuser");
  steps_->RestoreUserHives(1);
}

void CZVVstInApp::RegistDllJob() {
  Trace(L"mode registdll");
  const int includeInit = HasExactText(L"tavrel");
  const int includeHook = HasExactText(L"network");
  steps_->UpdateAppInitDlls(1, includeInit, includeHook);
  if (support::CheckVersionIsWindows7() != 1 && support::CheckVersionIsWindows8() != 1) {
    Trace(L"block drivers left alone on this Windows version");
    return;
  }
  if (includeHook) {
    const int wow64 = IsWow64();
    Trace(L"MXBLKURLStartURLDriver(" + std::to_wstring(wow64) + L") = " +
          std::to_wstring(MXBLKURLStartURLDriver(wow64)));
    Trace(L"MXBLKURLStartPortDriver(" + std::to_wstring(wow64) + L") = " +
          std::to_wstring(MXBLKURLStartPortDriver(wow64)));
  } else {
    Trace(L"MXBLKURLStopURLDriver(1) = " + std::to_wstring(MXBLKURLStopURLDriver(1)));
    Trace(L"MXBLKURLStopPortDriver(1) = " + std::to_wstring(MXBLKURLStopPortDriver(1)));
  }
}

void CZVVstInApp::ReProtectJob() {
  Trace(L"mode reprotect");
  const std::wstring regExc = productFolder_ + L"RegExc";
  Trace(L"DeleteDirectory " + regExc);
  support::DeleteDirectory(regExc.c_str());
  platform::Files::Get().CreateDirectoryW(regExc.c_str(), nullptr);
  platform::Sleep(5000);
  ExecWait(productFolder_ + L"ZVChkSvc.exe");
  platform::Sleep(5000);
  const std::wstring restore = productFolder_ + L"ZVRegBck.exe /autorestore";
  if (support::CheckVersionIsVista() == 1) {
    Trace(L"RequestWinExecBySystem " + restore);
    support::RequestWinExecBySystem(restore.c_str());
    platform::Sleep(10000);
  } else {
    ExecWait(restore);
  }
  const std::wstring marker = productFolder_ + L"ZVReProtect.ini";
  auto& files = platform::Files::Get();
  files.SetFileAttributesW(marker.c_str(), win::FILE_ATTRIBUTE_NORMAL);
  files.DeleteFileW(marker.c_str());
  // A marker that stays would run the job and restart the machine at every
  // start: restart only once it is gone.
  if (FileExists(marker)) {
    Trace(L"ZVReProtect.ini could not be deleted: no restart");
    log_.WriteLog(L"ZVReProtect.ini could not be deleted; the machine is not restarted");
    return;
  }
  ExecWide(SystemFolder() + L"\\Shutdown.exe -r -t 1", 0);
}

void CZVVstInApp::RunBeforeLogon() {
  m_bFirstRun = DetectFirstBoot();
  if (m_bFirstRun == 1) RunFirstBootSteps();
  RunCommonBeforeLogonSteps();
  if (m_bFirstRun == 1) {
    WaitUntilNewUserDeleted();
    RebootForNewADUser();
  }
}

void CZVVstInApp::RunFirstBootSteps() {
  Trace(L"RunFirstBootSteps");
  const int wow64 = IsWow64();
  ExecWait(productFolder_ + (wow64 == 1 ? L"ZVRegExc64.exe" : L"ZVRegExc.exe") + L" /restoredata");
  const std::wstring watch =
      productFolder_ + (wow64 == 1 ? L"ZVRegWatch64.exe /restorespecial" : L"ZVRegWatch32.exe /restorespecial");
  Trace(L"WinExecWait(0) " + watch);
  support::WinExecWait(watch.c_str(), 0);
  ReadProductData();
  const std::wstring newUserDelete = productFolder_ + L"ZVNewUserDelete.ini";
  platform::WritePrivateProfileStringW(L"End", L"End", L"0", newUserDelete.c_str());
  steps_->CleanAppRepository();
  steps_->ApplyServiceOrPolicyRow(1);
  if (m_nProtectionOn == 1) steps_->RestoreSqlExpressData();
  steps_->DisableNvidiaUpdateService();
  ExecWait(productFolder_ + L"ZVUserRegistryTool.exe /backupall");
  if (steps_->IsFolderProtectionOn() == 1) ExecWait(productFolder_ + L"ZVRegBckEx.exe /restoreuserregistry");
  steps_->RestoreUserHives(0);
  if (FileExists(productFolder_ + L"ZVDebug.ini")) {
    const std::wstring system = SystemFolder();
    unsigned long error = 0;
    LaunchOnDesktop(system + L"\\Notepad.exe", system.c_str(), L"WinSta0\\winlogon", &error);
  }
  steps_->UpdateAppInitDlls(0, 0, 0);
  steps_->EnableRealTimeScanAtSystemStart();
  ExecWait(productFolder_ + L"ZVBkLogs.exe /run");
  RunListFromIni(OwnIniPath());
  steps_->ClearListStep();
  for (int row = 2; row <= 11; ++row) steps_->ApplyServiceOrPolicyRow(row);
  if (m_nProtectionOn == 1) ExecWide(L"sc.exe stop SysMain", 0);
}

void CZVVstInApp::RunCommonBeforeLogonSteps() {
  Trace(L"RunCommonBeforeLogonSteps");
  RunListFromIni(productFolder_ + L"ZVVstInExe.ini");
  steps_->CleanStartupFolders();
  ReadProductData();
  steps_->RegisterCleanTasks();
  steps_->MirrorUserFolders(1, m_nProtectionOn);
  steps_->MirrorUserFolders(0, m_nProtectionOn);
  steps_->AddDisableBackgroundAppRunOnce();
  DelayFromSettings(L"BEFORESERVICE");
  ExecWide(productFolder_ + L"ZVMain.exe /run" + (m_bFirstRun == 1 ? L" /boot" : L""), 0);
  steps_->DisableCtrlAltDel();
  if (!(support::CheckVersionIsVista() == 1 && FindLoadedUserHive() == 1)) {
    StartBeforeLogonGroup(m_bFirstRun);
  } else {
    Trace(L"a user is logged on: no before-logon group");
  }
  DelayFromSettings(L"SETTING");
}

void CZVVstInApp::RunAfterLogon() {
  if (IsCloseRequested() == 0) {
    const std::wstring settings = productFolder_ + L"ZVVstIn.ini";
    if (platform::GetPrivateProfileIntW(L"Settings", L"UseScreenLockBeforeProtectionStart", 0,
                                        settings.c_str()) == 1) {
      unsigned long error = 0;
      LaunchOnDesktop(productFolder_ + L"ZVLock.exe /transon", nullptr, L"WinSta0\\Default", &error);
    }
  }
  ExecWide(productFolder_ + L"ZVSet.exe /tuning", 5);
  CloseProductWindows();
  m_bFirstRun = ReadFirstBootValue();
  unsigned long error = 0;
  LaunchOnDesktop(productFolder_ + L"ZVAMCnt.exe" + L" /afterlogon", productFolder_.c_str(), L"WinSta0\\Default",
                  &error);
  LaunchMainUserWithRetry();
  steps_->AddCompatibilityEntry();
  ReadProductData();
  steps_->ApplySearchBoxMode(m_nProtectionOn);
}

// On 64-bit Windows the 32-bit program's system folder is the 32-bit one.
void CZVVstInApp::DeleteControlPanelFile() {
  const std::wstring file = SystemFolder() + (IsWow64() == 1 ? L"\\ZV6.cpl" : L"\\ZV6_X64.cpl");
  Trace(L"DeleteFile " + file);
  platform::Files::Get().DeleteFileW(file.c_str());
}

int CZVVstInApp::FindLoadedUserHive() {
  auto& reg = platform::Registry::Get();
  win::HKEY users = nullptr;
  if (reg.RegOpenKeyExW(win::HKEY_USERS, L"", 0, win::KEY_READ, &users) != win::ERROR_SUCCESS) return 0;
  int found = 0;
  wchar_t name[260];
  for (win::DWORD i = 0; reg.RegEnumKeyW(users, i, name, 260) == win::ERROR_SUCCESS; ++i) {
    std::wstring key = name;
    if (key.find(L"S-1-5-21-") == std::wstring::npos || text::AsciiIEquals(key, L".DEFAULT") || key.size() <= 14 ||
        key.find(L"_Classes") != std::wstring::npos) {
      continue;
    }
    win::HKEY user = nullptr;
    if (reg.RegOpenKeyExW(win::HKEY_USERS, key.c_str(), 0, win::KEY_READ, &user) != win::ERROR_SUCCESS) continue;
    reg.RegCloseKey(user);
    support::WriteCurrentUserRegistryKey(key.c_str());
    found = 1;
    break;
  }
  reg.RegCloseKey(users);
  return found;
}

void CZVVstInApp::WaitForUserHive() {
  Trace(L"WaitForUserHive");
  while (FindLoadedUserHive() != 1) platform::Sleep(500);
}

}  // namespace zv::startup
