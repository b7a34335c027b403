// ZVVstIn's application object: reads the switch, runs the steps of that
// mode in their fixed order, and offers the program's state to the restore
// and clean-up steps (StartupHost).
//
// Owns: the mode dispatch and run order, the product data flags, the
// launches of the product's programs, first-boot detection and the
// new-user checks, the per-run log; every step is traced to debugger
// output as "ZVVstIn: <step>".
// Must not: let a failed step change the order or end the run early; reach
// the registry, snapshot and clean-up steps other than through the
// StartupSteps it is given.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "startup_init/app/run_log.h"
#include "startup_init/steps/startup_steps.h"

namespace zv::startup {

// Launches of ZVMainUser.exe after which LaunchMainUserWithRetry gives up
// when none succeeded (the first 15 are always made).
inline constexpr int kMainUserLaunchBound = 30;
// The longest delay from ZVLogOnDelay.ini, in seconds (what fits 32-bit
// milliseconds).
inline constexpr std::int64_t kMaxDelaySeconds = 4294967;

class CZVVstInApp : public StartupHost {
 public:
  CZVVstInApp();
  ~CZVVstInApp() override;

  // Runs the mode of the command line; always FALSE (0): the program ends.
  int InitInstance();

  // StartupHost.
  const std::wstring& ProductFolder() const override { return productFolder_; }
  const std::wstring& ModuleFolder() const override { return moduleFolder_; }
  int IsWow64() const override;
  int IsVistaOrLater() const override;
  int ProtectionOn() const override { return m_nProtectionOn; }
  int CleanRecycle() const override { return g_nCleanRecycle; }
  int CleanTemporary() const override { return g_nCleanTemporary; }
  void ReadProductData() override;
  void WriteLog(const std::wstring& message) override { log_.WriteLog(message); }
  void DeleteDirectory(const std::wstring& folder) override;
  std::wstring CurrentUserRegistryKey() override;

  // Matching of the command line (the whole line, never a copy of part).
  int HasCommandSwitch(const std::wstring& lowerCaseSwitch) const;
  int HasExactText(const std::wstring& text) const;

 private:
  // Modes and step lists.
  void RestoreNtUserMode();
  void RegistDllJob();
  void ReProtectJob();
  void RunBeforeLogon();
  void RunFirstBootSteps();
  void RunCommonBeforeLogonSteps();
  void RunAfterLogon();
  void DeleteControlPanelFile();

  int IsCloseRequested();
  int FindLoadedUserHive();
  void WaitForUserHive();

  // Launches.
  int LaunchOnDesktop(const std::wstring& commandLine, const wchar_t* workingFolder, const std::wstring& desktop,
                      unsigned long* lastError);
  void CloseWindowByTitle(const std::wstring& title);
  void CloseProductWindows();
  void RunListFromIni(const std::wstring& iniPath);
  void DelayFromSettings(const std::wstring& section);
  void StartBeforeLogonGroup(int firstRun);
  void LaunchMainUserWithRetry();
  void ExecWait(const std::wstring& commandLine);
  void ExecWide(const std::wstring& commandLine, unsigned show);

  // First boot and new users.
  std::uint32_t ComputeBootTime();
  std::uint32_t ReadLogOffTime();
  int DetectFirstBoot();
  void WaitUntilNewUserDeleted();
  void RebootForNewADUser();
  int ReadFirstBootValue();

  std::wstring SystemFolder() const;
  std::wstring OwnIniPath() const;
  bool FileExists(const std::wstring& path) const;

  int m_bFirstRun = 0;
  int m_nProtectionOn = 0;
  int g_nCleanRecycle = 0;
  int g_nCleanTemporary = 0;

  std::wstring commandLine_;
  std::wstring programPath_;
  std::wstring productFolder_;
  std::wstring moduleFolder_;
  RunLog log_;
  std::unique_ptr<StartupSteps> steps_;
};

// Debugger output "ZVVstIn: <text>".
void Trace(const std::wstring& text);

}  // namespace zv::startup
