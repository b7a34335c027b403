// The seam between ZVVstIn's run order (startup_init/app) and the registry,
// folder-snapshot and clean-up steps it calls at fixed points of a mode
// (startup_init/restore). The run order owns the program's state and its
// support-library calls and offers them through `StartupHost`; the steps
// offer themselves through `StartupSteps`. Neither side sees the other's
// code: a test of the run order records the calls, a test of the steps
// hands in a host of its own. Only declarations live here.
#pragma once

#include <string>

namespace zv::startup {

// What the steps need of the running program.
class StartupHost {
 public:
  virtual ~StartupHost() = default;
  // The product folder, ending with a backslash.
  virtual const std::wstring& ProductFolder() const = 0;
  // The folder of the running program, without a trailing backslash.
  virtual const std::wstring& ModuleFolder() const = 0;
  // 1 when this 32-bit program runs on 64-bit Windows.
  virtual int IsWow64() const = 0;
  // 1 on Vista or later (profiles under C:\Users\).
  virtual int IsVistaOrLater() const = 0;
  // The flags of the product data store as last read (`m_nProtectionOn`,
  // `g_nCleanRecycle`, `g_nCleanTemporary`).
  virtual int ProtectionOn() const = 0;
  virtual int CleanRecycle() const = 0;
  virtual int CleanTemporary() const = 0;
  // Reads the three flags again from the product data store.
  virtual void ReadProductData() = 0;
  // One line of the run's log file.
  virtual void WriteLog(const std::wstring& message) = 0;
  // The support library's tree deletion: never follows links.
  virtual void DeleteDirectory(const std::wstring& folder) = 0;
  // The interactive user's subkey of HKEY_USERS, without trailing backslash.
  virtual std::wstring CurrentUserRegistryKey() = 0;
};

// The steps the run order calls. Each does what it can and returns; nothing
// here changes the order of a run.
class StartupSteps {
 public:
  virtual ~StartupSteps() = default;
  // Registry settings and user hives.
  virtual void RestoreUserHives(int forced) = 0;
  virtual int IsFolderProtectionOn() = 0;
  virtual int UpdateAppInitDlls(int explicit_call, int include_init, int include_hook) = 0;
  // Rows 1 to 11 of the service and policy table, with the host's
  // protection flag.
  virtual void ApplyServiceOrPolicyRow(int row) = 0;
  virtual void DisableNvidiaUpdateService() = 0;
  virtual void EnableRealTimeScanAtSystemStart() = 0;
  virtual void DisableCtrlAltDel() = 0;
  virtual void AddDisableBackgroundAppRunOnce() = 0;
  virtual void RegisterCleanTasks() = 0;
  virtual void AddCompatibilityEntry() = 0;
  virtual void ApplySearchBoxMode(int on) = 0;
  // Folder snapshots and the app repository.
  virtual void CleanAppRepository() = 0;
  virtual void RestoreSqlExpressData() = 0;
  virtual void MirrorUserFolders(int restore, int protection_on) = 0;
  // Start-up folders and the clear list.
  virtual void CleanStartupFolders() = 0;
  virtual int ClearListStep() = 0;
};

}  // namespace zv::startup
