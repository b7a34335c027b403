// The service control manager of the machine, as programs that install,
// start, stop and remove services see it.
//
// Owns: the ServiceManagerApi interface (OpenSCManagerW, OpenServiceA/W,
// CreateServiceA/W, StartServiceW, ControlService, QueryServiceStatus,
// DeleteService, CloseServiceHandle), its rights, service types, start types
// and Win32 errors. A service's configuration is its registry key
// SYSTEM\CurrentControlSet\Services\<name>; its run state is kept in
// machine.db (service_manager.h). See docs/services.md.
// Must not: be confused with ServiceControlApi (service_api.h), the calls a
// service process makes about itself.
#pragma once

#include "platform/base/injectable.h"
#include "platform/base/win32.h"

namespace zv::win {

using SC_HANDLE = HANDLE;

inline constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
inline constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
inline constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
inline constexpr DWORD SC_MANAGER_LOCK = 0x0008;
inline constexpr DWORD SC_MANAGER_QUERY_LOCK_STATUS = 0x0010;
inline constexpr DWORD SC_MANAGER_MODIFY_BOOT_CONFIG = 0x0020;
inline constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;

inline constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
inline constexpr DWORD SERVICE_CHANGE_CONFIG = 0x0002;
inline constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
inline constexpr DWORD SERVICE_ENUMERATE_DEPENDENTS = 0x0008;
inline constexpr DWORD SERVICE_START = 0x0010;
inline constexpr DWORD SERVICE_STOP = 0x0020;
inline constexpr DWORD SERVICE_PAUSE_CONTINUE = 0x0040;
inline constexpr DWORD SERVICE_INTERROGATE = 0x0080;
inline constexpr DWORD SERVICE_USER_DEFINED_CONTROL = 0x0100;
inline constexpr DWORD SERVICE_DELETE = 0x00010000;  // DELETE
inline constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;

inline constexpr DWORD SERVICE_KERNEL_DRIVER = 0x01;
inline constexpr DWORD SERVICE_FILE_SYSTEM_DRIVER = 0x02;
inline constexpr DWORD SERVICE_WIN32_SHARE_PROCESS = 0x20;

inline constexpr DWORD SERVICE_BOOT_START = 0;
inline constexpr DWORD SERVICE_SYSTEM_START = 1;
inline constexpr DWORD SERVICE_AUTO_START = 2;
inline constexpr DWORD SERVICE_DEMAND_START = 3;
inline constexpr DWORD SERVICE_DISABLED = 4;

inline constexpr DWORD SERVICE_ERROR_IGNORE = 0;
inline constexpr DWORD SERVICE_ERROR_NORMAL = 1;
inline constexpr DWORD SERVICE_ERROR_SEVERE = 2;
inline constexpr DWORD SERVICE_ERROR_CRITICAL = 3;

inline constexpr DWORD ERROR_INVALID_SERVICE_CONTROL = 1052;
inline constexpr DWORD ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
inline constexpr DWORD ERROR_SERVICE_DISABLED = 1058;
inline constexpr DWORD ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
inline constexpr DWORD ERROR_SERVICE_NOT_ACTIVE = 1062;
inline constexpr DWORD ERROR_DATABASE_DOES_NOT_EXIST = 1065;
inline constexpr DWORD ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
inline constexpr DWORD ERROR_SERVICE_EXISTS = 1073;
inline constexpr DWORD ERROR_INVALID_SERVICE_ACCOUNT = 1057;
inline constexpr DWORD ERROR_INVALID_HANDLE_STATE = 1609;

}  // namespace zv::win

namespace zv::platform {

// Every call sets the thread's last error on failure, as the service
// control manager's functions do. A and W forms differ only in how names
// and paths arrive (the A forms convert from the ANSI code page).
class ServiceManagerApi {
 public:
  virtual ~ServiceManagerApi() = default;

  // machine: null or empty (this machine). database: null or
  // "ServicesActive"; any other name fails with 1065.
  virtual win::SC_HANDLE OpenSCManagerW(const win::WCHAR* machine, const win::WCHAR* database, win::DWORD access) = 0;
  virtual win::SC_HANDLE OpenServiceA(win::SC_HANDLE manager, const char* name, win::DWORD access) = 0;
  virtual win::SC_HANDLE OpenServiceW(win::SC_HANDLE manager, const win::WCHAR* name, win::DWORD access) = 0;
  // loadOrderGroup, tagId, dependencies, account and password must be null
  // (the machine keeps no groups, tags, dependencies or accounts).
  virtual win::SC_HANDLE CreateServiceA(win::SC_HANDLE manager, const char* name, const char* displayName,
                                        win::DWORD access, win::DWORD serviceType, win::DWORD startType,
                                        win::DWORD errorControl, const char* binaryPath, const char* loadOrderGroup,
                                        win::DWORD* tagId, const char* dependencies, const char* account,
                                        const char* password) = 0;
  virtual win::SC_HANDLE CreateServiceW(win::SC_HANDLE manager, const win::WCHAR* name,
                                        const win::WCHAR* displayName, win::DWORD access, win::DWORD serviceType,
                                        win::DWORD startType, win::DWORD errorControl, const win::WCHAR* binaryPath,
                                        const win::WCHAR* loadOrderGroup, win::DWORD* tagId,
                                        const win::WCHAR* dependencies, const win::WCHAR* account,
                                        const win::WCHAR* password) = 0;
  virtual win::BOOL StartServiceW(win::SC_HANDLE service, win::DWORD argc, const win::WCHAR** argv) = 0;
  virtual win::BOOL ControlService(win::SC_HANDLE service, win::DWORD control, win::SERVICE_STATUS* status) = 0;
  virtual win::BOOL QueryServiceStatus(win::SC_HANDLE service, win::SERVICE_STATUS* status) = 0;
  virtual win::BOOL DeleteService(win::SC_HANDLE service) = 0;
  virtual win::BOOL CloseServiceHandle(win::SC_HANDLE handle) = 0;
};

using ServiceManager = Api<ServiceManagerApi>;

}  // namespace zv::platform
