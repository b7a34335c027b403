// The service-control-manager calls of a service process, with Win32 meaning.
//
// Owns: the ServiceControlApi interface. The real implementation
// (service_control.cpp) stands the service manager in with systemd: the
// process must run as a Type=notify unit (NOTIFY_SOCKET set), status reports
// go out on the notify socket and signals come in as control codes. See
// docs/service.md for the signals and the messages.
// Must not: install, configure or remove service entries.
#pragma once

#include "platform/base/injectable.h"
#include "platform/base/win32.h"

namespace zv::platform {

class ServiceControlApi {
 public:
  virtual ~ServiceControlApi() = default;
  // Runs the dispatcher on the calling thread: starts the first entry's
  // service main on a thread of its own, turns incoming controls into calls
  // of the registered handler on the calling thread, and returns TRUE when
  // the service main has returned. Fails at once with
  // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT (1063) when the process was not
  // started by the service manager.
  virtual win::BOOL StartServiceCtrlDispatcherW(const win::SERVICE_TABLE_ENTRYW* table) = 0;
  // Only inside a running dispatcher, for the name of its entry.
  virtual win::SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(const win::WCHAR* serviceName,
                                                                  win::LPHANDLER_FUNCTION handler) = 0;
  virtual win::BOOL SetServiceStatus(win::SERVICE_STATUS_HANDLE handle, const win::SERVICE_STATUS* status) = 0;
};

using ServiceControl = Api<ServiceControlApi>;

}  // namespace zv::platform
