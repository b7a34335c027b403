// The main routine of zvorx (see startup.h).
//
// Owns: the order of start-up and shutdown and every line they print.
// Must not: call the engines except through their creation, start and
// subscription steps, or keep handles beyond the single-instance mutex.
#include "service/startup.h"

#include <atomic>
#include <memory>

#include "control/control_thread.h"
#include "control/main_commands.h"
#include "driver_channel/port_client.h"
#include "driver_channel/records.h"
#include "log/format.h"
#include "log/log.h"
#include "platform/base/clock.h"
#include "platform/base/debug_output.h"
#include "platform/filter/filter_api.h"
#include "platform/base/handles.h"
#include "platform/processes/process_api.h"
#include "platform/threads/sync_api.h"
#include "platform/base/text.h"
#include "service/ntservice.h"
#include "service/startup_access.h"
#include "service/startup_backup.h"

namespace zv::service {
namespace {

using platform::Filters;
using platform::Processes;

template <class... A>
void Console(std::string_view format, const A&... args) {
  platform::ConsoleWrite(log::FormatNarrow(format, args...));
}

std::atomic<win::LPTHREAD_START_ROUTINE> g_controlThread{control::ControlInterfaceThread};

bool Contains(std::wstring_view text, std::wstring_view word) { return text.find(word) != std::wstring_view::npos; }

// Tells the driver it may be unloaded, when a port is connected.
void AllowFilterUnload() {
  win::HANDLE port = channel::SharedPortHandle();
  if (port == win::INVALID_HANDLE_VALUE || port == nullptr) return;
  channel::MXRED_COMMAND command = channel::MakeAllowUnloadCommand(true);
  win::DWORD returned = 0;
  win::HRESULT hr = Filters::Get().FilterSendMessage(port, &command, channel::kCommandSize, nullptr, 0, &returned);
  if (win::FAILED(hr)) {
    log::LogWrite(1, L"MXRED_FilterAllowUnload", L"<ERROR> (ERROR:0x%08X)=FilterSendMessage()", hr);
  }
}

}  // namespace

void SetControlThreadRoutine(win::LPTHREAD_START_ROUTINE routine) { g_controlThread = routine; }

Switches ReadSwitches(std::wstring_view commandLine) {
  Switches s;
  s.service = Contains(commandLine, L"-service");
  s.skipBackup = Contains(commandLine, L"-skipbe");
  s.skipAccess = Contains(commandLine, L"-skipac");
  s.test = Contains(commandLine, L"-test");
  return s;
}

std::wstring CommandLineFromArguments(int argc, char** argv) {
  std::wstring line;
  for (int i = 0; i < argc; ++i) {
    std::wstring arg = text::FromUtf8(argv[i]);
    if (i > 0) line += L' ';
    if (arg.find(L' ') != std::wstring::npos) {
      line += L'"';
      line += arg;
      line += L'"';
    } else {
      line += arg;
    }
  }
  return line;
}

win::DWORD SetPrivilege(const wchar_t* name, bool enable) {
  if (name == nullptr) return win::ERROR_INVALID_PARAMETER;
  auto& processes = Processes::Get();
  win::HANDLE token = nullptr;
  if (!processes.OpenProcessToken(processes.GetCurrentProcess(), win::TOKEN_ADJUST_PRIVILEGES | win::TOKEN_QUERY,
                                  &token)) {
    win::DWORD error = platform::GetLastError();
    log::LogWrite(1, L"SetPrivilege", L"<ERROR> (ERROR:%d)=OpenProcessToken()", error);
    return error;
  }
  win::TOKEN_PRIVILEGES privileges;
  if (!processes.LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) {
    win::DWORD error = platform::GetLastError();
    log::LogWrite(1, L"SetPrivilege", L"<ERROR> (ERROR:%d)=LookupPrivilegeValue()", error);
    platform::CloseHandle(token);
    platform::SetLastError(error);
    return error;
  }
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = enable ? win::SE_PRIVILEGE_ENABLED : 0;
  win::DWORD result = 0;
  // A true result counts as success; the not-all-assigned case is not examined.
  if (!processes.AdjustTokenPrivileges(token, win::FALSE, &privileges, sizeof(privileges), nullptr, nullptr)) {
    result = platform::GetLastError();
    log::LogWrite(1, L"SetPrivilege", L"<ERROR> (ERROR:%d)=AdjustTokenPrivileges()", result);
  }
  platform::CloseHandle(token);
  return result;
}

bool LoadFilterDriver() {
  log::LogWrite(0xffff, L"Init", L"Filter Loading ...");
  auto& filters = Filters::Get();
  win::HRESULT hr = win::S_OK;
  int attempts = 0;
  do {
    hr = filters.FilterLoad(kFilterName);
    if (win::FAILED(hr)) {
      if (hr == win::HR_ALREADY_EXISTS || hr == win::HR_SERVICE_ALREADY_RUNNING) {
        // A copy is loaded already: take it down and try again.
        filters.FilterUnload(kFilterName);
        Processes::Get().WinExec("net stop zvorx", win::SW_HIDE);
        platform::Sleep(3000);
      }
      log::LogWrite(1, L"Init", L"<ERROR> (ERROR=0x%08x)=FilterLoad()", hr);
    }
    ++attempts;
    platform::Sleep(static_cast<win::DWORD>(attempts) * 1000);
  } while (win::FAILED(hr) && attempts < kFilterLoadAttempts);

  if (win::FAILED(hr)) {
    log::LogWrite(1, L"Init Error", L"<ERROR> Exceed Max Filter Error");
    return false;
  }
  return true;
}

int Shutdown(win::HANDLE instanceMutex) {
  Console("ZVORX:  RPC's Thread is terminating ... \r\n");
  log::LogWrite(0xffff, L"Init", L"RPC thread exit ...");

  AllowFilterUnload();

  Console("ZVORX:  Filter Unloading ...\r\n");
  log::LogWrite(0xffff, L"Init", L"Filter Unloading ...");
  win::HRESULT unload = Filters::Get().FilterUnload(kFilterName);
  if (win::FAILED(unload)) {
    log::LogWrite(1, L"Init", L"<ERROR> (ERROR=0x%08x)=FilterUnload()\r\n", unload);
    Console("ZVORX:  (ERROR=0x%08X)=FilterUnload() !!\r\n", unload);
  }

  SetPrivilege(L"SeLoadDriverPrivilege", false);

  Console("ZVORX:  Internal data cleanup ...\r\n");
  log::LogWrite(0xffff, L"CleanupPluginDll", L"Plug-in list init ...");

  log::LogWrite(0xffff, L"Init", L"Finished !!");
  Console("ZVORX:  A Termination finished successfully ...\r\n");

  platform::CloseHandle(instanceMutex);
  // The backup engine ends here (its object is kept: the control thread may
  // still call it); the access-control engines end with the process.
  ShutdownBackupEngine();
  return unload;
}

int ZvorxMain(std::wstring_view commandLine) {
  // 1. Process-wide state.
  log::SetOutputFlags(1);
  log::SetLevelMask(1);
  channel::SetSharedPortHandle(win::INVALID_HANDLE_VALUE);

  // 2. Switches.
  const Switches switches = ReadSwitches(commandLine);

  // 3. Single instance; a second one leaves no trace.
  win::HANDLE instanceMutex = Processes::Get().CreateMutexW(nullptr, win::TRUE, kMutexName);
  if (platform::GetLastError() == win::ERROR_ALREADY_EXISTS) {
    platform::CloseHandle(instanceMutex);
    return kExitAlreadyRunning;
  }

  // 4.
  log::LogWrite(0xffff, L"Init", L"RAVORIdoduz Starting ... skipbe=%d skipac=%d", switches.skipBackup ? 1 : 0,
                switches.skipAccess ? 1 : 0);

  // 5. MAIN command handlers: integer, string, integer-and-string.
  control::SubscribeMainCommandHandlers();

  // 6. Backup engine: create, Initialize; unless -skipbe, OnCommandInt to
  //    CommandSignalI, then OnCommandString to CommandSignalS; its free-process
  //    test goes to channel::SetFreeProcessTest.
  CreateBackupEngine(switches.skipBackup);
  // 7. Access-control engine (key 2): create, start; unless -skipac, its
  //    integer, string, integer-and-string and notification handlers.
  engines::acengine* accessEngine = StartAccessControlEngine(switches.skipAccess);
  // 8. Backup engine OnNotification to NotificationSignal, always.
  SubscribeBackupNotifications();

  // 9. Privileges.
  if (win::DWORD error = SetPrivilege(L"SeCreateGlobalPrivilege", true)) {
    log::LogWrite(1, L"Init", L"<ERROR> (ERROR:%d)=SetPrivilege(SeCreateGlobalPrivilege)", error);
    return kExitPrivilege;
  }
  if (win::DWORD error = SetPrivilege(L"SeLoadDriverPrivilege", true)) {
    log::LogWrite(1, L"Init", L"<ERROR> (ERROR=%d)=SetPrivilege(SeLoadDriverPrivilege)", error);
    return kExitPrivilege;
  }
  if (win::DWORD error = SetPrivilege(L"SeDebugPrivilege", true)) {
    log::LogWrite(1, L"Init", L"<ERROR> (ERROR=%d)=SetPrivilege(SeDebugPrivilege)", error);
    return kExitPrivilege;
  }

  // 10. Driver.
  if (!LoadFilterDriver()) return kExitFilterLoad;

  // 11. Control-interface thread; it runs until the process ends.
  if (win::LPTHREAD_START_ROUTINE routine = g_controlThread.load()) {
    win::DWORD threadId = 0;
    platform::CloseHandle(platform::Threads::Get().CreateThread(nullptr, 0, routine, nullptr, 0, &threadId));
  }

  // 12.
  auto service = std::make_unique<MXNTService>(kServiceName, channel::ServiceThreadFunc);

  // 13. Engines whose work flag is already set: backup SessionFitler, then
  //     access-control ApplyDefaultRules.
  StartBackupWorkIfSet();
  ReapplyAccessControlRules(accessEngine);

  // 14. Serve.
  if (switches.service) {
    // Returns when the service has stopped, or at once when the service
    // manager did not start this process.
    service->Run();
  } else {
    channel::ServiceThreadFunc(nullptr);
  }

  // 15.
  int exitCode = Shutdown(instanceMutex);
  service.reset();
  return exitCode;
}

}  // namespace zv::service
