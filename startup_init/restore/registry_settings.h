// The registry values ZVVstIn writes at boot and logon: AppInit_DLLs with
// the two injection libraries in both views, the service and policy table
// with the values it replaced remembered as "<name>Old", the taskbar search
// box, the clean-up Run entries, the RunOnce entry, Ctrl+Alt+Del and the
// single values of other vendors' software.
//
// Owns: composing the AppInit_DLLs list and every value named here.
// Must not: touch a view whose AppInit_DLLs cannot be read whole (the other
// vendors' entries would be lost), create keys that must already exist, or
// write a single value twice in one call.
#pragma once

#include <string>

#include "platform/base/win32.h"
#include "platform/registry/registry_api.h"
#include "startup_init/steps/startup_steps.h"

namespace zv::startup {

// The new AppInit_DLLs list: the old list lower-cased without the two
// libraries and without empty entries, then the libraries asked for.
// `windowsFolder` has no trailing backslash; `is64BitWindows` and
// `view32` choose the library names.
std::wstring ComposeAppInitDlls(const std::wstring& oldValue, int includeInit, int includeHook, int view32,
                                int is64BitWindows, const std::wstring& windowsFolder);

class RegistrySettings {
 public:
  explicit RegistrySettings(StartupHost& host) : host_(host) {}

  // 0 when the key of a view cannot be opened, else 1.
  int UpdateAppInitDlls(int explicitCall, int includeInit, int includeHook);
  void ApplyServiceOrPolicyValue(int protectionOn, const std::wstring& subKey, const std::wstring& name,
                                 win::DWORD value, int create);
  // Rows 1 to 11 of the table, in call order; other rows do nothing.
  void ApplyServiceOrPolicyRow(int row, int protectionOn);
  void ApplySearchBoxMode(int on);
  // Writes the two Run entries; true when temporary-file cleaning is on
  // and the Run key opened (the caller then clears the history folders).
  bool RegisterCleanTasks();
  void AddCompatibilityEntry();
  void DisableNvidiaUpdateService();
  void EnableRealTimeScanAtSystemStart();
  void DisableCtrlAltDel();
  void AddDisableBackgroundAppRunOnce();

 private:
  // One view of the Windows key: 0 when it cannot be opened.
  int UpdateAppInitView(win::REGSAM view, int view32, int includeInit, int includeHook);
  // "DWORD 4 into an existing key" for the single-value steps.
  void SetDwordInExistingKey(const std::wstring& subKey, const std::wstring& name, win::DWORD value);

  StartupHost& host_;
};

// The system folder (GetSystemDirectoryW) and the Windows folder (the
// system folder cut at its last backslash).
std::wstring SystemFolder();
std::wstring WindowsFolder();

}  // namespace zv::startup
