// The real ServiceControlApi: systemd stands in for the service manager.
//
// Owns: the dispatcher (StartServiceCtrlDispatcherW), the control handler
// registration, status reports as notify messages on NOTIFY_SOCKET, and the
// signals that bring controls in. See docs/service.md.
// Must not: touch signals other than SIGTERM, SIGUSR1, SIGUSR2 and SIGHUP,
// and those only while a dispatcher runs.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

#include "platform/base/handles.h"
#include "platform/services/service_api.h"

namespace zv::platform {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGUSR1, SIGUSR2, SIGHUP};
constexpr unsigned char kServiceMainEnded = 0;
constexpr unsigned char kRecheck = 0xFF;  // deferred controls may go now

std::atomic<int> signalPipe{-1};  // write end while a dispatcher runs

void OnSignal(int signal) {
  int saved = errno;
  int fd = signalPipe.load(std::memory_order_relaxed);
  if (fd >= 0) {
    unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] ssize_t n = ::write(fd, &byte, 1);
  }
  errno = saved;
}

void WriteByte(int fd, unsigned char byte) { [[maybe_unused]] ssize_t n = ::write(fd, &byte, 1); }

const char* StateName(win::DWORD state) {
  switch (state) {
    case win::SERVICE_STOPPED: return "SERVICE_STOPPED";
    case win::SERVICE_START_PENDING: return "SERVICE_START_PENDING";
    case win::SERVICE_STOP_PENDING: return "SERVICE_STOP_PENDING";
    case win::SERVICE_RUNNING: return "SERVICE_RUNNING";
    case win::SERVICE_CONTINUE_PENDING: return "SERVICE_CONTINUE_PENDING";
    case win::SERVICE_PAUSE_PENDING: return "SERVICE_PAUSE_PENDING";
    case win::SERVICE_PAUSED: return "SERVICE_PAUSED";
    default: return "SERVICE_STATE";
  }
}

bool IsPending(win::DWORD state) {
  return state == win::SERVICE_START_PENDING || state == win::SERVICE_STOP_PENDING ||
         state == win::SERVICE_CONTINUE_PENDING || state == win::SERVICE_PAUSE_PENDING;
}

// One datagram per report, newline-separated assignments.
std::string NotifyMessage(const win::SERVICE_STATUS& s) {
  std::string m = "STATUS=";
  m += StateName(s.dwCurrentState);
  m += " (" + std::to_string(s.dwCurrentState) + "), checkpoint " + std::to_string(s.dwCheckPoint);
  if (s.dwWin32ExitCode != 0) m += ", exit code " + std::to_string(s.dwWin32ExitCode);
  if (s.dwCurrentState == win::SERVICE_RUNNING) m += "\nREADY=1";
  if (s.dwCurrentState == win::SERVICE_STOP_PENDING) m += "\nSTOPPING=1";
  if (IsPending(s.dwCurrentState) && s.dwWaitHint != 0) {
    m += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<unsigned long long>(s.dwWaitHint) * 1000);
  }
  return m;
}

// NOTIFY_SOCKET: a path, or an abstract name written with a leading '@'.
int ConnectNotifySocket(const char* name) {
  if (name == nullptr || (name[0] != '/' && name[0] != '@')) return -1;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::size_t length = std::strlen(name);
  if (length < 2 || length >= sizeof(addr.sun_path)) return -1;
  std::memcpy(addr.sun_path, name, length);
  socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  if (name[0] == '@') {
    addr.sun_path[0] = '\0';
  } else {
    size += 1;
  }
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), size) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A SIGTERM while the system itself is stopping is the shutdown control.
bool SystemStopping() {
  const char* marker = std::getenv("ZV_SHUTDOWN_MARKER");
  if (marker == nullptr) marker = "/run/nologin";
  return marker[0] != '\0' && ::access(marker, F_OK) == 0;
}

class SystemdServiceControl : public ServiceControlApi {
 public:
  win::BOOL StartServiceCtrlDispatcherW(const win::SERVICE_TABLE_ENTRYW* table) override {
    if (table == nullptr || table->lpServiceName == nullptr || table->lpServiceProc == nullptr) {
      SetLastError(win::ERROR_INVALID_PARAMETER);
      return win::FALSE;
    }
    int notify = ConnectNotifySocket(std::getenv("NOTIFY_SOCKET"));
    if (notify < 0) {
      SetLastError(win::ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
      return win::FALSE;
    }
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
      ::close(notify);
      SetLastError(win::ERROR_NOT_ENOUGH_MEMORY);
      return win::FALSE;
    }
    {
      std::lock_guard lock(mutex_);
      if (running_) {
        ::close(notify);
        ::close(pipe[0]);
        ::close(pipe[1]);
        SetLastError(win::ERROR_SERVICE_ALREADY_RUNNING);
        return win::FALSE;
      }
      running_ = true;
      name_ = table->lpServiceName;
      handler_ = nullptr;
      handle_ = reinterpret_cast<win::SERVICE_STATUS_HANDLE>(static_cast<std::uintptr_t>(0x5e0000 + 4 * ++runs_));
      notifyFd_ = notify;
      wakeFd_ = pipe[1];
      state_ = 0;
      accepted_ = 0;
      deferred_.clear();
    }

    struct sigaction previous[std::size(kSignals)];
    struct sigaction action {};
    action.sa_handler = &OnSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    signalPipe.store(pipe[1]);
    for (std::size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &action, &previous[i]);

    std::atomic<bool> ended{false};
    win::LPSERVICE_MAIN_FUNCTIONW serviceMain = table->lpServiceProc;
    std::wstring name = table->lpServiceName;
    std::thread mainThread([&] {
      win::WCHAR* argv[] = {name.data(), nullptr};
      serviceMain(1, argv);
      ended = true;
      WriteByte(pipe[1], kServiceMainEnded);
    });

    while (!ended) {
      pollfd p{pipe[0], POLLIN, 0};
      if (::poll(&p, 1, -1) < 0 && errno != EINTR) break;
      unsigned char bytes[64];
      ssize_t n;
      while ((n = ::read(pipe[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
          if (bytes[i] != kServiceMainEnded) Control(bytes[i]);
        }
      }
      DeliverDeferred();
    }
    mainThread.join();

    for (std::size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &previous[i], nullptr);
    signalPipe.store(-1);
    {
      std::lock_guard lock(mutex_);
      running_ = false;
      handler_ = nullptr;
      ::close(notifyFd_);
      notifyFd_ = -1;
      wakeFd_ = -1;
    }
    ::close(pipe[0]);
    ::close(pipe[1]);
    SetLastError(win::ERROR_SUCCESS);
    return win::TRUE;
  }

  win::SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(const win::WCHAR* serviceName,
                                                          win::LPHANDLER_FUNCTION handler) override {
    std::lock_guard lock(mutex_);
    if (!running_ || serviceName == nullptr || name_ != serviceName) {
      SetLastError(win::ERROR_SERVICE_DOES_NOT_EXIST);
      return nullptr;
    }
    if (handler == nullptr) {
      SetLastError(win::ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    handler_ = handler;
    return handle_;
  }

  win::BOOL SetServiceStatus(win::SERVICE_STATUS_HANDLE handle, const win::SERVICE_STATUS* status) override {
    if (status == nullptr) {
      SetLastError(win::ERROR_INVALID_PARAMETER);
      return win::FALSE;
    }
    std::string message = NotifyMessage(*status);
    std::lock_guard lock(mutex_);
    if (!running_ || handle == nullptr || handle != handle_) {
      SetLastError(win::ERROR_INVALID_HANDLE);
      return win::FALSE;
    }
    bool wasStarting = Starting();
    state_ = status->dwCurrentState;
    accepted_ = status->dwControlsAccepted;
    if (wasStarting && !Starting() && !deferred_.empty()) WriteByte(wakeFd_, kRecheck);
    if (::send(notifyFd_, message.data(), message.size(), MSG_NOSIGNAL) < 0) {
      SetLastError(win::ERROR_BROKEN_PIPE);
      return win::FALSE;
    }
    return win::TRUE;
  }

 private:
  // Caller holds mutex_. Before the first report counts as starting.
  bool Starting() const { return state_ == 0 || state_ == win::SERVICE_START_PENDING; }

  void Control(unsigned char byte) {
    win::DWORD control = 0;
    switch (byte) {
      case SIGTERM:
        control = SystemStopping() ? win::SERVICE_CONTROL_SHUTDOWN : win::SERVICE_CONTROL_STOP;
        break;
      case SIGUSR1: control = win::SERVICE_CONTROL_PAUSE; break;
      case SIGUSR2: control = win::SERVICE_CONTROL_CONTINUE; break;
      case SIGHUP: control = win::SERVICE_CONTROL_INTERROGATE; break;
      default: return;  // kRecheck
    }
    {
      std::lock_guard lock(mutex_);
      // As the service manager does, hold controls back while the service
      // is starting (they go once it has started) and drop them once it is
      // stopping or stopped, or when the service does not accept them.
      if (Starting() || handler_ == nullptr) {
        deferred_.push_back(control);
        return;
      }
    }
    Deliver(control);
  }

  void DeliverDeferred() {
    for (;;) {
      win::DWORD control;
      {
        std::lock_guard lock(mutex_);
        if (deferred_.empty() || Starting() || handler_ == nullptr) return;
        control = deferred_.front();
        deferred_.pop_front();
      }
      Deliver(control);
    }
  }

  void Deliver(win::DWORD control) {
    win::LPHANDLER_FUNCTION handler;
    {
      std::lock_guard lock(mutex_);
      if (state_ == win::SERVICE_STOP_PENDING || state_ == win::SERVICE_STOPPED) return;
      win::DWORD needs = 0;
      if (control == win::SERVICE_CONTROL_STOP) needs = win::SERVICE_ACCEPT_STOP;
      if (control == win::SERVICE_CONTROL_PAUSE || control == win::SERVICE_CONTROL_CONTINUE) {
        needs = win::SERVICE_ACCEPT_PAUSE_CONTINUE;
      }
      if (control == win::SERVICE_CONTROL_SHUTDOWN) needs = win::SERVICE_ACCEPT_SHUTDOWN;
      if ((accepted_ & needs) != needs) return;
      handler = handler_;
    }
    handler(control);  // on the dispatcher thread, no lock held
  }

  std::mutex mutex_;
  bool running_ = false;
  std::wstring name_;
  win::LPHANDLER_FUNCTION handler_ = nullptr;
  win::SERVICE_STATUS_HANDLE handle_ = nullptr;
  std::uint64_t runs_ = 0;
  int notifyFd_ = -1;
  int wakeFd_ = -1;
  win::DWORD state_ = 0;
  win::DWORD accepted_ = 0;
  std::deque<win::DWORD> deferred_;
};

}  // namespace

template <>
ServiceControlApi& Api<ServiceControlApi>::Default() {
  static SystemdServiceControl* api = new SystemdServiceControl;  // lives until the process ends
  return *api;
}

}  // namespace zv::platform
