// The service wrapper of zvorx: service main, control handler, status
// reports and the work thread, with hooks around each state change.
//
// Owns: MXNTService and the process-wide current service object. The
// service manager is reached only through ServiceControlApi; threads and
// events only through ThreadApi.
// Must not: install or configure the service entry; stop or join the work
// thread (it runs until the process ends).
#pragma once

#include <atomic>

#include "platform/base/win32.h"

namespace zv::service {

class MXNTService {
 public:
  MXNTService(const win::WCHAR* serviceName, win::LPTHREAD_START_ROUTINE workRoutine);
  virtual ~MXNTService();
  MXNTService(const MXNTService&) = delete;
  MXNTService& operator=(const MXNTService&) = delete;

  virtual void OnInit();
  virtual void OnStopping();
  virtual void OnStopped();
  virtual void OnPausing();
  virtual void OnPaused();
  virtual void OnContinuing();
  virtual void OnContinued();
  virtual void OnShutdown();

  // Runs the service control dispatcher; its result. Fails at once with
  // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT outside the service manager.
  win::BOOL Run();
  // SetServiceStatus with this service's type, accepted controls and a wait
  // hint of 3000 ms; remembers the state.
  void ReportStatus(win::DWORD state, win::DWORD exitCode, win::DWORD checkpoint);

  // The process-wide current service object (null when there is none).
  static MXNTService* Current();
  static void ServiceMain(win::DWORD argc, win::WCHAR** argv);
  static void ControlHandler(win::DWORD control);

  // In declaration order, as the service main and the handler use them.
  win::SERVICE_STATUS_HANDLE m_hServiceStatus = nullptr;
  // Written by the service main and the control handler threads.
  std::atomic<win::DWORD> m_dwCurrentState{win::SERVICE_STOPPED};
  const win::WCHAR* m_szServiceName;
  win::HANDLE m_hWorkThread = nullptr;
  win::HANDLE m_hStopEvent = nullptr;
  win::LPTHREAD_START_ROUTINE m_pfnWorkRoutine;
};

// The controls the current service accepts (stop, pause and continue,
// shutdown); set by the constructor.
win::DWORD AcceptedControls();

}  // namespace zv::service
