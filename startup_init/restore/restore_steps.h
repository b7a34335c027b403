// The steps ZVVstIn's run order calls for the registry, the folder
// snapshots and the clean-ups, over the running program's host.
//
// Owns: one instance each of the step classes and the order of the calls
// that make up one step (the clean-up Run entries, then the history
// folders). Must not: change the order of a run or report failures to it:
// each step does what it can and returns.
#pragma once

#include "startup_init/restore/folder_snapshots.h"
#include "startup_init/restore/registry_settings.h"
#include "startup_init/restore/startup_cleanup.h"
#include "startup_init/restore/user_hives.h"
#include "startup_init/steps/startup_steps.h"

namespace zv::startup {

class RestoreSteps : public StartupSteps {
 public:
  explicit RestoreSteps(StartupHost& host)
      : host_(host), hives_(host), registry_(host), snapshots_(host), cleanup_(host) {}

  void RestoreUserHives(int forced) override { hives_.RestoreUserHives(forced); }
  int IsFolderProtectionOn() override { return hives_.IsFolderProtectionOn(); }
  int UpdateAppInitDlls(int explicitCall, int includeInit, int includeHook) override {
    return registry_.UpdateAppInitDlls(explicitCall, includeInit, includeHook);
  }
  void ApplyServiceOrPolicyRow(int row) override { registry_.ApplyServiceOrPolicyRow(row, host_.ProtectionOn()); }
  void DisableNvidiaUpdateService() override { registry_.DisableNvidiaUpdateService(); }
  void EnableRealTimeScanAtSystemStart() override { registry_.EnableRealTimeScanAtSystemStart(); }
  void DisableCtrlAltDel() override { registry_.DisableCtrlAltDel(); }
  void AddDisableBackgroundAppRunOnce() override { registry_.AddDisableBackgroundAppRunOnce(); }
  void RegisterCleanTasks() override {
    if (registry_.RegisterCleanTasks()) cleanup_.DeleteHistoryFolders();
  }
  void AddCompatibilityEntry() override { registry_.AddCompatibilityEntry(); }
  void ApplySearchBoxMode(int on) override { registry_.ApplySearchBoxMode(on); }
  void CleanAppRepository() override { snapshots_.CleanAppRepository(); }
  void RestoreSqlExpressData() override { snapshots_.RestoreSqlExpressData(); }
  void MirrorUserFolders(int restore, int protectionOn) override {
    snapshots_.MirrorUserFolders(restore, protectionOn);
  }
  void CleanStartupFolders() override { cleanup_.CleanStartupFolders(); }
  int ClearListStep() override { return cleanup_.ClearListStep(); }

 private:
  StartupHost& host_;
  UserHives hives_;
  RegistrySettings registry_;
  FolderSnapshots snapshots_;
  StartupCleanup cleanup_;
};

}  // namespace zv::startup
