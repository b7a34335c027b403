// The real ServiceManagerApi: handles, rights and the Win32 rules over the
// service database of service_manager.h.
//
// Owns: manager and service handles (rights granted as asked, since the
// machine keeps no security descriptors), the state changes of start, stop
// and delete, the stop-pending and start-failure switches.
// Must not: keep run state in memory; every call reads machine.db anew, so
// several programs share one service manager.
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "platform/base/clock.h"
#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/registry/registry_api.h"
#include "platform/registry/registry_store.h"
#include "platform/services/service_manager.h"
#include "platform/services/service_manager_api.h"

namespace zv::platform {
namespace {

using win::BOOL;
using win::DWORD;
using win::SC_HANDLE;
using win::WCHAR;

constexpr DWORD kServerUnavailable = 1722;  // RPC_S_SERVER_UNAVAILABLE: another machine
constexpr std::size_t kMaxServiceName = 256;

class ManagerObject : public KernelObject {
 public:
  ManagerObject(std::shared_ptr<Machine> m, DWORD a) : machine(std::move(m)), access(a) {}
  std::shared_ptr<Machine> machine;
  DWORD access;
};

class ServiceObject : public KernelObject {
 public:
  ServiceObject(std::shared_ptr<Machine> m, std::wstring n, DWORD t, DWORD a)
      : machine(std::move(m)), name(std::move(n)), type(t), access(a) {}
  std::shared_ptr<Machine> machine;
  std::wstring name;
  DWORD type;  // answers the status of a service deleted since
  DWORD access;
};

BOOL Fail(DWORD error) {
  SetLastError(error);
  return win::FALSE;
}

SC_HANDLE FailHandle(DWORD error) {
  SetLastError(error);
  return nullptr;
}

DWORD MapManagerRights(DWORD a) {
  if (a & (win::GENERIC_ALL | win::MAXIMUM_ALLOWED)) a |= win::SC_MANAGER_ALL_ACCESS;
  return a;
}

DWORD MapServiceRights(DWORD a) {
  if (a & (win::GENERIC_ALL | win::MAXIMUM_ALLOWED)) a |= win::SERVICE_ALL_ACCESS;
  if (a & win::GENERIC_READ) a |= win::SERVICE_QUERY_CONFIG | win::SERVICE_QUERY_STATUS;
  if (a & win::GENERIC_EXECUTE) a |= win::SERVICE_START | win::SERVICE_STOP | win::SERVICE_PAUSE_CONTINUE;
  return a;
}

bool ValidName(const WCHAR* name) {
  if (!name || !*name) return false;
  std::wstring_view n(name);
  return n.size() <= kMaxServiceName && n.find_first_of(L"\\/") == std::wstring_view::npos;
}

bool Empty(const WCHAR* s) { return !s || !*s; }

std::optional<std::wstring> FromAnsiArg(const char* s) {
  if (!s) return std::nullopt;
  return text::FromAnsi(s);
}

const WCHAR* Ptr(const std::optional<std::wstring>& s) { return s ? s->c_str() : nullptr; }

std::string Le(const std::wstring& s) { return text::ToUtf16Le(s + L'\0'); }

std::string DwordBytes(DWORD v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

void FillStatus(win::SERVICE_STATUS* status, DWORD type, DWORD state) {
  if (!status) return;
  *status = {};
  status->dwServiceType = type;
  status->dwCurrentState = state;
  status->dwControlsAccepted = state == win::SERVICE_RUNNING ? win::SERVICE_ACCEPT_STOP : 0;
}

// The service of a handle, with its rights checked; nullptr with the error
// set otherwise.
std::shared_ptr<ServiceObject> ServiceOf(SC_HANDLE h, DWORD needed) {
  auto s = LookupHandleAs<ServiceObject>(h);
  if (!s) {
    SetLastError(win::ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if ((s->access & needed) != needed) {
    SetLastError(win::ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return s;
}

class RealServiceManager : public ServiceManagerApi {
 public:
  SC_HANDLE OpenSCManagerW(const WCHAR* machineName, const WCHAR* database, DWORD access) override {
    if (!Empty(machineName)) return FailHandle(kServerUnavailable);
    if (database && !text::AsciiIEquals(database, L"ServicesActive")) {
      return FailHandle(win::ERROR_DATABASE_DOES_NOT_EXIST);
    }
    std::shared_ptr<Machine> machine;
    try {
      machine = Machine::Current();
      regdb::EnsureRegistry(*machine);
      machine->EnsureSchema(kServicesSchema);
    } catch (const std::exception&) {
      return FailHandle(win::ERROR_NOT_READY);
    }
    SetLastError(win::ERROR_SUCCESS);
    return RegisterHandle(std::make_shared<ManagerObject>(machine, MapManagerRights(access)));
  }

  SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD access) override {
    return OpenServiceW(manager, Ptr(FromAnsiArg(name)), access);
  }

  SC_HANDLE OpenServiceW(SC_HANDLE manager, const WCHAR* name, DWORD access) override {
    auto m = LookupHandleAs<ManagerObject>(manager);
    if (!m) return FailHandle(win::ERROR_INVALID_HANDLE);
    if (!ValidName(name)) return FailHandle(win::ERROR_INVALID_NAME);
    std::optional<ServiceEntry> e;
    if (!Run(*m->machine, [&](sqlite3* db, std::int64_t now) {
          e = servicedb::Lookup(db, name);
          servicedb::Settle(db, e, now);
        })) {
      return FailHandle(win::ERROR_NOT_READY);
    }
    if (!e) return FailHandle(win::ERROR_SERVICE_DOES_NOT_EXIST);
    SetLastError(win::ERROR_SUCCESS);
    return RegisterHandle(std::make_shared<ServiceObject>(m->machine, e->name, e->type, MapServiceRights(access)));
  }

  SC_HANDLE CreateServiceA(SC_HANDLE manager, const char* name, const char* displayName, DWORD access,
                           DWORD serviceType, DWORD startType, DWORD errorControl, const char* binaryPath,
                           const char* loadOrderGroup, DWORD* tagId, const char* dependencies, const char* account,
                           const char* password) override {
    return CreateServiceW(manager, Ptr(FromAnsiArg(name)), Ptr(FromAnsiArg(displayName)), access, serviceType,
                          startType, errorControl, Ptr(FromAnsiArg(binaryPath)), Ptr(FromAnsiArg(loadOrderGroup)),
                          tagId, Ptr(FromAnsiArg(dependencies)), Ptr(FromAnsiArg(account)),
                          Ptr(FromAnsiArg(password)));
  }

  SC_HANDLE CreateServiceW(SC_HANDLE manager, const WCHAR* name, const WCHAR* displayName, DWORD access,
                           DWORD serviceType, DWORD startType, DWORD errorControl, const WCHAR* binaryPath,
                           const WCHAR* loadOrderGroup, DWORD* tagId, const WCHAR* dependencies,
                           const WCHAR* account, const WCHAR* password) override {
    auto m = LookupHandleAs<ManagerObject>(manager);
    if (!m) return FailHandle(win::ERROR_INVALID_HANDLE);
    if (!(m->access & win::SC_MANAGER_CREATE_SERVICE)) return FailHandle(win::ERROR_ACCESS_DENIED);
    if (!ValidName(name)) return FailHandle(win::ERROR_INVALID_NAME);
    const bool driver = serviceType == win::SERVICE_KERNEL_DRIVER || serviceType == win::SERVICE_FILE_SYSTEM_DRIVER;
    const bool win32 = serviceType == win::SERVICE_WIN32_OWN_PROCESS || serviceType == win::SERVICE_WIN32_SHARE_PROCESS;
    if ((!driver && !win32) || startType > win::SERVICE_DISABLED || errorControl > win::SERVICE_ERROR_CRITICAL ||
        Empty(binaryPath) || !Empty(loadOrderGroup) || tagId || !Empty(dependencies) || !Empty(account) ||
        !Empty(password)) {
      return FailHandle(win::ERROR_INVALID_PARAMETER);
    }
    const std::wstring display = Empty(displayName) ? std::wstring(name) : std::wstring(displayName);
    DWORD error = win::ERROR_SUCCESS;
    std::wstring created;
    if (!Run(*m->machine, [&](sqlite3* db, std::int64_t now) {
          auto e = servicedb::Lookup(db, name);
          servicedb::Settle(db, e, now);
          if (e) {
            error = e->deletePending ? win::ERROR_SERVICE_MARKED_FOR_DELETE : win::ERROR_SERVICE_EXISTS;
            return;
          }
          // A key left without a Type value (settings written before the
          // service was made) is taken over with what it holds.
          KeyId key = regdb::CreateChild(db, servicedb::ServicesKey(db), name, nullptr);
          regdb::SetValue(db, key, L"Type", win::REG_DWORD, DwordBytes(serviceType));
          regdb::SetValue(db, key, L"Start", win::REG_DWORD, DwordBytes(startType));
          regdb::SetValue(db, key, L"ErrorControl", win::REG_DWORD, DwordBytes(errorControl));
          regdb::SetValue(db, key, L"ImagePath", win::REG_EXPAND_SZ, Le(binaryPath));
          regdb::SetValue(db, key, L"DisplayName", win::REG_SZ, Le(display));
          if (win32) regdb::SetValue(db, key, L"ObjectName", win::REG_SZ, Le(L"LocalSystem"));
          servicedb::SetState(db, name, win::SERVICE_STOPPED, std::nullopt, false);
          created = regdb::NameOf(db, key);
        })) {
      return FailHandle(win::ERROR_NOT_READY);
    }
    if (error) return FailHandle(error);
    SetLastError(win::ERROR_SUCCESS);
    return RegisterHandle(std::make_shared<ServiceObject>(m->machine, created, serviceType, MapServiceRights(access)));
  }

  BOOL StartServiceW(SC_HANDLE service, DWORD argc, const WCHAR** argv) override {
    auto s = ServiceOf(service, win::SERVICE_START);
    if (!s) return win::FALSE;
    Machine& machine = *s->machine;
    std::optional<DWORD> forcedError;
    if (auto v = machine.Setting(ServiceSettingPrefix(s->name) + "start_error")) {
      forcedError = static_cast<DWORD>(std::strtoul(v->c_str(), nullptr, 0));
    }
    // Claim the start: stopped -> start-pending in one transaction, so two
    // programs starting the same service cannot both load it.
    DWORD error = win::ERROR_SUCCESS;
    ServiceEntry entry;
    if (!Run(machine, [&](sqlite3* db, std::int64_t now) {
          auto e = servicedb::Lookup(db, s->name);
          servicedb::Settle(db, e, now);
          if (!e || e->deletePending) {
            error = win::ERROR_SERVICE_MARKED_FOR_DELETE;
          } else if (e->start == win::SERVICE_DISABLED) {
            error = win::ERROR_SERVICE_DISABLED;
          } else if (e->state != win::SERVICE_STOPPED) {
            error = win::ERROR_SERVICE_ALREADY_RUNNING;
          } else if (forcedError && *forcedError) {
            error = *forcedError;
          } else {
            servicedb::SetState(db, s->name, win::SERVICE_START_PENDING, std::nullopt, false);
            entry = *e;
          }
        })) {
      return Fail(win::ERROR_NOT_READY);
    }
    if (error) return Fail(error);

    std::string report;
    const bool driver = entry.type == win::SERVICE_KERNEL_DRIVER || entry.type == win::SERVICE_FILE_SYSTEM_DRIVER;
    // Win32 services would need their program run as a service process;
    // the machine runs driver stand-ins only.
    error = driver ? LoadDriverStandIn(machine, entry.name, entry.imagePath, report) : win::ERROR_NOT_SUPPORTED;

    if (!Run(machine, [&](sqlite3* db, std::int64_t) {
          servicedb::SetState(db, s->name, error ? win::SERVICE_STOPPED : win::SERVICE_RUNNING, std::nullopt, false);
          servicedb::SetReport(db, s->name, report);
        })) {
      return Fail(win::ERROR_NOT_READY);
    }
    if (error) return Fail(error);
    SetLastError(win::ERROR_SUCCESS);
    return win::TRUE;
  }

  BOOL ControlService(SC_HANDLE service, DWORD control, win::SERVICE_STATUS* status) override {
    DWORD needed = 0;
    switch (control) {
      case win::SERVICE_CONTROL_STOP: needed = win::SERVICE_STOP; break;
      case win::SERVICE_CONTROL_INTERROGATE: needed = win::SERVICE_INTERROGATE; break;
      case win::SERVICE_CONTROL_PAUSE:
      case win::SERVICE_CONTROL_CONTINUE: needed = win::SERVICE_PAUSE_CONTINUE; break;
      default:
        if (control < 128 || control > 255) {
          auto s = LookupHandleAs<ServiceObject>(service);
          return Fail(s ? win::ERROR_INVALID_PARAMETER : win::ERROR_INVALID_HANDLE);
        }
        needed = win::SERVICE_USER_DEFINED_CONTROL;
    }
    auto s = ServiceOf(service, needed);
    if (!s) return win::FALSE;
    std::optional<std::int64_t> pendingMs;
    if (auto v = s->machine->Setting(ServiceSettingPrefix(s->name) + "stop_pending_ms")) {
      pendingMs = *v == "forever" ? -1 : std::strtoll(v->c_str(), nullptr, 10);
    }
    DWORD error = win::ERROR_SUCCESS;
    DWORD state = win::SERVICE_STOPPED;
    if (!Run(*s->machine, [&](sqlite3* db, std::int64_t now) {
          auto e = servicedb::Lookup(db, s->name);
          servicedb::Settle(db, e, now);
          if (!e || e->state == win::SERVICE_STOPPED) {
            error = win::ERROR_SERVICE_NOT_ACTIVE;
            return;
          }
          state = e->state;
          if (control == win::SERVICE_CONTROL_INTERROGATE) return;
          // Drivers accept nothing but stop, and only while running.
          if (control != win::SERVICE_CONTROL_STOP) {
            error = win::ERROR_INVALID_SERVICE_CONTROL;
          } else if (e->state != win::SERVICE_RUNNING) {
            error = win::ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
          } else if (pendingMs && *pendingMs != 0) {
            state = win::SERVICE_STOP_PENDING;
            std::optional<std::int64_t> due;
            if (*pendingMs > 0) due = now + *pendingMs;
            servicedb::SetState(db, e->name, state, due, e->deletePending);
          } else if (e->deletePending) {
            state = win::SERVICE_STOPPED;
            servicedb::Remove(db, e->name);
          } else {
            state = win::SERVICE_STOPPED;
            servicedb::SetState(db, e->name, state, std::nullopt, false);
          }
        })) {
      return Fail(win::ERROR_NOT_READY);
    }
    FillStatus(status, s->type, state);
    if (error) return Fail(error);
    SetLastError(win::ERROR_SUCCESS);
    return win::TRUE;
  }

  BOOL QueryServiceStatus(SC_HANDLE service, win::SERVICE_STATUS* status) override {
    auto s = ServiceOf(service, win::SERVICE_QUERY_STATUS);
    if (!s) return win::FALSE;
    if (!status) return Fail(win::ERROR_INVALID_PARAMETER);
    DWORD state = win::SERVICE_STOPPED;
    if (!Run(*s->machine, [&](sqlite3* db, std::int64_t now) {
          auto e = servicedb::Lookup(db, s->name);
          servicedb::Settle(db, e, now);
          if (e) state = e->state;
        })) {
      return Fail(win::ERROR_NOT_READY);
    }
    FillStatus(status, s->type, state);
    SetLastError(win::ERROR_SUCCESS);
    return win::TRUE;
  }

  BOOL DeleteService(SC_HANDLE service) override {
    auto s = ServiceOf(service, win::SERVICE_DELETE);
    if (!s) return win::FALSE;
    DWORD error = win::ERROR_SUCCESS;
    if (!Run(*s->machine, [&](sqlite3* db, std::int64_t now) {
          auto e = servicedb::Lookup(db, s->name);
          servicedb::Settle(db, e, now);
          if (!e || e->deletePending) {
            error = win::ERROR_SERVICE_MARKED_FOR_DELETE;
          } else if (e->state == win::SERVICE_STOPPED) {
            servicedb::Remove(db, e->name);
          } else {
            servicedb::SetState(db, e->name, e->state, e->stopDueMs, true);
          }
        })) {
      return Fail(win::ERROR_NOT_READY);
    }
    if (error) return Fail(error);
    SetLastError(win::ERROR_SUCCESS);
    return win::TRUE;
  }

  BOOL CloseServiceHandle(SC_HANDLE handle) override {
    if (!LookupHandleAs<ServiceObject>(handle) && !LookupHandleAs<ManagerObject>(handle)) {
      return Fail(win::ERROR_INVALID_HANDLE);
    }
    return CloseHandle(handle);
  }

 private:
  // One write transaction with the clock's now; false when the database
  // fails.
  template <class Fn>
  static bool Run(Machine& machine, Fn&& fn) {
    std::int64_t now = CurrentClock().UtcMilliseconds();
    try {
      machine.Write([&](sqlite3* db) { fn(db, now); });
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }
};

}  // namespace

template <>
ServiceManagerApi& Api<ServiceManagerApi>::Default() {
  static RealServiceManager instance;
  return instance;
}

}  // namespace zv::platform
