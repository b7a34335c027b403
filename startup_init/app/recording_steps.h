// Steps that record each call: every call is one
// debugger-output line "ZVVstIn: step <Name>(<arguments>)", so a run shows
// its complete order. Given the real steps, each call is recorded and then
// made on them, and their answer returned.
//
// Owns: the steps it is given. Must not: change the machine itself.
#pragma once

#include <memory>

#include "startup_init/steps/startup_steps.h"

namespace zv::startup {

class RecordingSteps : public StartupSteps {
 public:
  RecordingSteps() = default;
  explicit RecordingSteps(std::unique_ptr<StartupSteps> inner) : inner_(std::move(inner)) {}

  void RestoreUserHives(int forced) override;
  int IsFolderProtectionOn() override;
  int UpdateAppInitDlls(int explicit_call, int include_init, int include_hook) override;
  void ApplyServiceOrPolicyRow(int row) override;
  void DisableNvidiaUpdateService() override;
  void EnableRealTimeScanAtSystemStart() override;
  void DisableCtrlAltDel() override;
  void AddDisableBackgroundAppRunOnce() override;
  void RegisterCleanTasks() override;
  void AddCompatibilityEntry() override;
  void ApplySearchBoxMode(int on) override;
  void CleanAppRepository() override;
  void RestoreSqlExpressData() override;
  void MirrorUserFolders(int restore, int protection_on) override;
  void CleanStartupFolders() override;
  int ClearListStep() override;

 private:
  std::unique_ptr<StartupSteps> inner_;
};

}  // namespace zv::startup
