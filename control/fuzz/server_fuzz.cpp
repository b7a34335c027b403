// Fuzz target for the RPC server's connection handling: each input is the
// byte stream of one client connection to a live server that serves the
// control interface (fragment reassembly, binds, context and opnum checks,
// stub decoding, faults and closes). After the input the client shuts its
// sending side; the server must answer what it can and close, within a
// bounded time, and must keep serving the next connection. Its machine
// under /tmp/zvm-fuzz-<pid> is removed when the run ends.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "control/zvorx_interface.h"
#include "platform/files/machine.h"
#include "platform/rpc/rpc_server.h"

using namespace zv::platform;

namespace {

std::string socketPath;
std::filesystem::path machineRoot;

// The machine lives as long as the run; it goes when the run ends normally
// (atexit). Machines of earlier runs that ended otherwise (a crash, a
// time-out) are removed at the next start: their pid no longer runs.
void RemoveMachine() {
  std::error_code ec;
  std::filesystem::remove_all(machineRoot, ec);
}

void RemoveStaleMachines(const std::filesystem::path& temp) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(temp, ec)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("zvm-fuzz-", 0) != 0) continue;
    char* end = nullptr;
    long pid = std::strtol(name.c_str() + 9, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) std::filesystem::remove_all(entry.path(), ec);
  }
}

// poll that resumes after signals (libFuzzer's timer interrupts it).
int Wait(pollfd& p, int ms) {
  for (;;) {
    int r = poll(&p, 1, ms);
    if (r >= 0 || errno != EINTR) return r;
  }
}

void StartServer() {
  auto temp = std::filesystem::temp_directory_path();
  RemoveStaleMachines(temp);
  machineRoot = temp / ("zvm-fuzz-" + std::to_string(getpid()));
  std::filesystem::remove_all(machineRoot);
  Machine::SetCurrent(Machine::Open(machineRoot, true));
  std::atexit(RemoveMachine);
  RpcLimits limits;
  limits.pduTimeoutMs = 1000;
  static RpcRuntime* runtime = new RpcRuntime(limits);
  if (runtime->RpcServerUseProtseqEpW(L"ncacn_np", 20, zv::control::kEndpoint, nullptr) != 0 ||
      runtime->RpcServerRegisterIf(zv::control::ZvorxServerInterface(), nullptr, nullptr) != 0 ||
      runtime->RpcServerListen(1, 1234, 1) != 0) {
    std::abort();
  }
  socketPath = PipeSocketPath(zv::control::kEndpoint);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool started = (StartServer(), true);
  (void)started;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) std::abort();
  std::size_t sent = 0;
  char buffer[4096];
  while (sent < size) {
    pollfd p{fd, POLLOUT | POLLIN, 0};
    if (Wait(p, 5000) <= 0) std::abort();  // the server stopped reading and writing
    if (p.revents & POLLIN) {
      ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;  // closed by the server
    }
    if (p.revents & POLLOUT) {
      ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) break;
      sent += static_cast<std::size_t>(n);
    }
    if (p.revents & (POLLHUP | POLLERR)) break;
  }
  shutdown(fd, SHUT_WR);
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (Wait(p, 5000) <= 0) std::abort();  // the server never closed
    if (recv(fd, buffer, sizeof buffer, 0) <= 0) break;
  }
  close(fd);
  return 0;
}
