// The service wrapper: see ntservice.h and docs/service.md.
#include "service/ntservice.h"

#include "log/log.h"
#include "platform/services/service_api.h"
#include "platform/threads/sync_api.h"
#include "platform/base/handles.h"
#include "service/crash_handler.h"

namespace zv::service {
namespace {

using platform::ServiceControl;
using platform::Threads;

std::atomic<MXNTService*> currentService{nullptr};
std::atomic<win::DWORD> acceptedControls{0};

constexpr win::DWORD kWaitHintMs = 3000;

// Linking this file links the crash handler, which installs itself during
// static initialisation of every program that has a service object.
[[maybe_unused]] const bool crashHandlerLinked = EnsureCrashHandler();

}  // namespace

MXNTService::MXNTService(const win::WCHAR* serviceName, win::LPTHREAD_START_ROUTINE workRoutine)
    : m_szServiceName(serviceName), m_pfnWorkRoutine(workRoutine) {
  currentService.store(this);
  acceptedControls.store(win::SERVICE_ACCEPT_STOP | win::SERVICE_ACCEPT_PAUSE_CONTINUE | win::SERVICE_ACCEPT_SHUTDOWN);
}

MXNTService::~MXNTService() {
  MXNTService* self = this;
  currentService.compare_exchange_strong(self, nullptr);
}

void MXNTService::OnInit() {}
void MXNTService::OnStopping() {}
void MXNTService::OnStopped() { log::DebugWrite(L"\nService Stopped"); }
void MXNTService::OnPausing() {}
void MXNTService::OnPaused() { log::DebugWrite(L"\nService Paused"); }
void MXNTService::OnContinuing() {}
void MXNTService::OnContinued() { log::DebugWrite(L"\nService Resumed"); }
void MXNTService::OnShutdown() { log::DebugWrite(L"\nService Shutdown"); }

MXNTService* MXNTService::Current() { return currentService.load(); }
win::DWORD AcceptedControls() { return acceptedControls.load(); }

win::BOOL MXNTService::Run() {
  win::SERVICE_TABLE_ENTRYW table[] = {{m_szServiceName, &MXNTService::ServiceMain}, {nullptr, nullptr}};
  return ServiceControl::Get().StartServiceCtrlDispatcherW(table);
}

void MXNTService::ReportStatus(win::DWORD state, win::DWORD exitCode, win::DWORD checkpoint) {
  win::SERVICE_STATUS status;
  status.dwServiceType = win::SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = acceptedControls.load();
  status.dwWin32ExitCode = exitCode;
  status.dwServiceSpecificExitCode = 0;
  status.dwCheckPoint = checkpoint;
  status.dwWaitHint = kWaitHintMs;
  // Stored first: an interrogate that the report lets through must see it.
  m_dwCurrentState.store(state);
  ServiceControl::Get().SetServiceStatus(m_hServiceStatus, &status);
}

void MXNTService::ServiceMain(win::DWORD, win::WCHAR**) {
  MXNTService* s = currentService.load();
  if (s == nullptr) return;
  s->m_hServiceStatus = ServiceControl::Get().RegisterServiceCtrlHandlerW(s->m_szServiceName, &ControlHandler);
  if (s->m_hServiceStatus == nullptr) return;

  s->ReportStatus(win::SERVICE_START_PENDING, 0, 1);
  s->OnInit();
  s->ReportStatus(win::SERVICE_START_PENDING, 0, 2);

  s->m_hStopEvent = Threads::Get().CreateEventW(nullptr, win::FALSE, win::FALSE, nullptr);
  if (s->m_hStopEvent == nullptr) return;
  s->ReportStatus(win::SERVICE_START_PENDING, 0, 3);

  s->m_hWorkThread = Threads::Get().CreateThread(nullptr, 0, s->m_pfnWorkRoutine, nullptr, 0, nullptr);
  if (s->m_hWorkThread == nullptr) {
    platform::CloseHandle(s->m_hStopEvent);
    s->m_hStopEvent = nullptr;
    return;
  }

  s->ReportStatus(win::SERVICE_RUNNING, 0, 0);
  Threads::Get().WaitForSingleObject(s->m_hStopEvent, win::INFINITE);
  // The work thread runs on until the process ends; only its handle goes.
  platform::CloseHandle(s->m_hWorkThread);
  platform::CloseHandle(s->m_hStopEvent);
}

void MXNTService::ControlHandler(win::DWORD control) {
  MXNTService* s = currentService.load();
  if (s == nullptr) return;
  switch (control) {
    case win::SERVICE_CONTROL_STOP:
      s->ReportStatus(win::SERVICE_STOP_PENDING, 0, 1);
      s->OnStopping();
      Threads::Get().SetEvent(s->m_hStopEvent);
      s->OnStopped();
      s->ReportStatus(win::SERVICE_STOPPED, 0, 0);
      break;
    case win::SERVICE_CONTROL_PAUSE:
      s->ReportStatus(win::SERVICE_PAUSE_PENDING, 0, 1);
      s->OnPausing();
      Threads::Get().SuspendThread(s->m_hWorkThread);
      s->OnPaused();
      s->ReportStatus(win::SERVICE_PAUSED, 0, 0);
      break;
    case win::SERVICE_CONTROL_CONTINUE:
      s->ReportStatus(win::SERVICE_CONTINUE_PENDING, 0, 1);
      s->OnContinuing();
      Threads::Get().ResumeThread(s->m_hWorkThread);
      s->OnContinued();
      s->ReportStatus(win::SERVICE_RUNNING, 0, 0);
      break;
    case win::SERVICE_CONTROL_INTERROGATE:
      s->ReportStatus(s->m_dwCurrentState.load(), 0, 0);
      break;
    case win::SERVICE_CONTROL_SHUTDOWN:
      s->OnShutdown();
      break;
    default:
      break;
  }
}

}  // namespace zv::service
