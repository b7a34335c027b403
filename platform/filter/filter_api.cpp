// The real FilterApi: the filter manager's user-mode calls against the
// driver stand-in daemon of the current machine.
//
// Owns: FilterLoad (starts the daemon program detached and waits until it
// serves), FilterUnload, FilterConnectCommunicationPort, FilterGetMessage,
// FilterReplyMessage, FilterSendMessage and FilterGetDosName (from the
// machine's volume table). The machine setting "fail.FilterLoad" (an
// HRESULT, hex or decimal) makes FilterLoad fail with it; with
// "fail.FilterLoad.count" = N only the next N calls fail.
// Must not: know the driver's records or decisions (suite/ owns those).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/filter/filter_api.h"
#include "platform/filter/filter_port.h"
#include "platform/filter/filter_wire.h"
#include "platform/base/handles.h"
#include "platform/files/machine.h"
#include "platform/base/text.h"
#include "platform/files/volumes.h"

extern char** environ;

namespace zv::platform {
namespace {

namespace fs = std::filesystem;

// The one driver installed on the machine, and the ports it serves.
constexpr wchar_t kDriverName[] = L"ZVORX";

// What a call that waited for the daemon in vain returns (Windows would
// block); see wire::CallTimeoutMs.
constexpr win::HRESULT kTimedOut = win::HRESULT_FROM_WIN32(win::ERROR_TIMEOUT);
// A caller the driver does not admit (not the machine's owner, root or the
// admin group).
constexpr win::HRESULT kAccessDenied = win::HRESULT_FROM_WIN32(win::ERROR_ACCESS_DENIED);

bool IsKnownDriver(const win::WCHAR* name) { return name && text::AsciiIEquals(name, kDriverName); }

std::optional<win::HRESULT> ParseHresult(const std::string& value) {
  if (value.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(value.c_str(), &end, 0);
  if (errno != 0 || end == value.c_str() || *end != '\0') return std::nullopt;
  return static_cast<win::HRESULT>(static_cast<std::uint32_t>(v));
}

// The failure switch: consumes one count when a count is set.
std::optional<win::HRESULT> InjectedLoadFailure(Machine& machine) {
  auto value = machine.Setting("fail.FilterLoad");
  if (!value) return std::nullopt;
  auto hr = ParseHresult(*value);
  if (!hr || *hr >= 0) return std::nullopt;
  bool fail = true;
  machine.Write([&](sqlite3* db) {
    Statement q(db, "SELECT value FROM settings WHERE key = 'fail.FilterLoad.count';");
    if (!q.Step()) return;
    long long left = std::atoll(q.Text(0).c_str());
    if (left <= 0) {
      fail = false;
      return;
    }
    Statement u(db, "UPDATE settings SET value = ? WHERE key = 'fail.FilterLoad.count';");
    u.Bind(1, std::to_string(left - 1)).Run();
  });
  return fail ? hr : std::nullopt;
}

std::string ProgramFolder() {
  if (const char* dir = std::getenv("ZV_BIN_DIR"); dir && *dir) return dir;
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : self.parent_path().string();
}

// Starts the daemon detached (double fork, new session) and waits for its
// first word on the ready pipe: 'R' serving, 'A' another copy holds the lock.
win::HRESULT SpawnDriver(const std::wstring& filterName) {
  std::string program = ProgramFolder() + "/zvorx-driver";
  if (::access(program.c_str(), X_OK) != 0) return win::HRESULT_FROM_WIN32(win::ERROR_FILE_NOT_FOUND);
  std::string root = Machine::Current()->Root().string();

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return win::E_FAIL;
  std::string readyFd = std::to_string(pipeFds[1]);
  std::string name = text::ToUtf8(filterName);
  std::string logPath = root + "/zvorx-driver.log";
  std::vector<std::string> args = {program, "serve", "--filter", name, "--ready-fd", readyFd};
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "ZV_MACHINE=", 11) != 0) envStrings.emplace_back(*e);
  }
  envStrings.push_back("ZV_MACHINE=" + root);
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  // Only async-signal-safe calls between fork and exec.
  pid_t child = ::fork();
  if (child < 0) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    return win::E_FAIL;
  }
  if (child == 0) {
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
    // Nothing of the caller's stays open in the daemon (a socket of ours
    // kept open there would keep a connection alive), except the pipe.
    for (int fd = 3; fd < 1024; ++fd) {
      if (fd != pipeFds[1]) ::close(fd);
    }
    int devnull = ::open("/dev/null", O_RDONLY);
    int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (devnull >= 0) ::dup2(devnull, 0);
    if (log >= 0) {
      ::dup2(log, 1);
      ::dup2(log, 2);
    }
    ::fcntl(pipeFds[1], F_SETFD, 0);  // keep the ready pipe across exec
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  pollfd p{pipeFds[0], POLLIN, 0};
  char word = 0;
  int rc;
  do {
    rc = ::poll(&p, 1, 20000);
  } while (rc < 0 && errno == EINTR);
  if (rc == 1 && ::read(pipeFds[0], &word, 1) != 1) word = 0;
  ::close(pipeFds[0]);
  if (word == 'R') return win::S_OK;
  if (word == 'A') return win::HR_ALREADY_EXISTS;
  return win::E_FAIL;
}

class RealFilterApi : public FilterApi {
 public:
  win::HRESULT FilterLoad(const win::WCHAR* filterName) override {
    if (!filterName) return win::E_INVALIDARG;
    try {
      if (auto failure = InjectedLoadFailure(*Machine::Current())) return *failure;
      if (!IsKnownDriver(filterName)) return win::HRESULT_FROM_WIN32(win::ERROR_FILE_NOT_FOUND);
      int fd = wire::ConnectControl(filterName);
      if (fd >= 0) {
        ::close(fd);
        return win::HR_ALREADY_EXISTS;
      }
      // A daemon that accepts but does not answer still holds the filter.
      if (errno == ETIMEDOUT) return kTimedOut;
      if (errno == EACCES) return kAccessDenied;
      return SpawnDriver(filterName);
    } catch (const MachineError&) {
      return win::E_FAIL;
    }
  }

  win::HRESULT FilterUnload(const win::WCHAR* filterName) override {
    if (!filterName) return win::E_INVALIDARG;
    if (!IsKnownDriver(filterName)) return win::HR_FLT_FILTER_NOT_FOUND;
    int fd;
    std::uint32_t timeout;
    try {
      timeout = wire::CallTimeoutMs();
      fd = wire::ConnectControl(filterName);
    } catch (const MachineError&) {
      return win::E_FAIL;
    }
    if (fd < 0) return errno == ETIMEDOUT ? kTimedOut : errno == EACCES ? kAccessDenied : win::HR_FLT_FILTER_NOT_FOUND;
    win::HRESULT hr = win::E_FAIL;
    std::string payload;
    switch (wire::Call(fd, wire::Frame::Unload, {}, hr, payload, timeout)) {
      case wire::CallStatus::Answered: break;
      case wire::CallStatus::Broken: hr = win::HR_FLT_FILTER_NOT_FOUND; break;
      case wire::CallStatus::TimedOut: hr = kTimedOut; break;
    }
    // The daemon closes our connection as it exits; wait for that (within
    // the same bound) so a load right after this call finds the driver gone.
    if (hr == win::S_OK) {
      auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
      pollfd p{fd, POLLIN, 0};
      char c;
      for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
          hr = kTimedOut;
          break;
        }
        int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
        if (rc != 1) continue;
        ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
      }
    }
    ::close(fd);
    return hr;
  }

  win::HRESULT FilterConnectCommunicationPort(const win::WCHAR* portName, win::DWORD options, const void* context,
                                              win::WORD contextSize, const void* securityAttributes,
                                              win::HANDLE* port) override {
    if (!port || !portName) return win::E_INVALIDARG;
    *port = win::INVALID_HANDLE_VALUE;
    int fd;
    std::uint32_t timeout;
    try {
      timeout = wire::CallTimeoutMs();
      fd = wire::ConnectUnix(wire::DriverSocketPath(kDriverName), timeout);
    } catch (const MachineError&) {
      return win::E_FAIL;
    }
    if (fd < 0) {
      if (errno == ETIMEDOUT) return kTimedOut;
      return errno == EACCES ? kAccessDenied : win::HRESULT_FROM_WIN32(win::ERROR_FILE_NOT_FOUND);
    }
    std::string hello(4, '\0');
    wire::PutU32(hello, 0, static_cast<std::uint32_t>(wire::Role::Port));
    hello += text::ToUtf16Le(portName);
    win::HRESULT hr = win::E_FAIL;
    std::string payload;
    switch (wire::Call(fd, wire::Frame::Hello, hello, hr, payload, timeout)) {
      case wire::CallStatus::Answered: break;
      case wire::CallStatus::Broken: hr = win::HRESULT_FROM_WIN32(win::ERROR_FILE_NOT_FOUND); break;
      case wire::CallStatus::TimedOut: hr = kTimedOut; break;
    }
    if (hr != win::S_OK) {
      ::close(fd);
      return hr;
    }
    // The receive thread owns the socket from here: no time-out on reads
    // (sends keep theirs).
    timeval none{};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
    *port = RegisterHandle(std::make_shared<FilterPortObject>(fd, timeout));
    return win::S_OK;
  }

  win::HRESULT FilterGetMessage(win::HANDLE port, void* buffer, win::DWORD size,
                                win::OVERLAPPED* overlapped) override {
    auto object = LookupHandleAs<FilterPortObject>(port);
    if (!object) return win::HR_INVALID_HANDLE;
    return object->GetMessage(buffer, size, overlapped);
  }

  win::HRESULT FilterReplyMessage(win::HANDLE port, const void* reply, win::DWORD size) override {
    auto object = LookupHandleAs<FilterPortObject>(port);
    if (!object) return win::HR_INVALID_HANDLE;
    if (!reply || size < 16) return win::E_INVALIDARG;
    return object->Request(static_cast<std::uint32_t>(wire::Frame::Reply), reply, size);
  }

  win::HRESULT FilterSendMessage(win::HANDLE port, const void* in, win::DWORD inSize, void* out,
                                 win::DWORD outSize, win::DWORD* bytesReturned) override {
    if (bytesReturned) *bytesReturned = 0;
    auto object = LookupHandleAs<FilterPortObject>(port);
    if (!object) return win::HR_INVALID_HANDLE;
    if (!in || inSize == 0) return win::E_INVALIDARG;
    return object->Request(static_cast<std::uint32_t>(wire::Frame::Command), in, inSize);
  }

  win::HRESULT FilterGetDosName(const win::WCHAR* volumeName, win::WCHAR* dosName, win::DWORD units) override {
    if (!volumeName || !dosName || units == 0) return win::E_INVALIDARG;
    std::wstring dos;
    win::HRESULT hr;
    try {
      hr = VolumeTable(Machine::Current()).DosNameOf(volumeName, dos);
    } catch (const MachineError&) {
      return win::E_FAIL;
    }
    if (hr != win::S_OK) return hr;
    if (dos.size() + 1 > units) return win::HRESULT_FROM_WIN32(win::ERROR_INSUFFICIENT_BUFFER);
    std::copy(dos.begin(), dos.end(), dosName);
    dosName[dos.size()] = 0;
    return win::S_OK;
  }
};

}  // namespace

template <>
FilterApi& Api<FilterApi>::Default() {
  static RealFilterApi* api = new RealFilterApi;
  return *api;
}

}  // namespace zv::platform
