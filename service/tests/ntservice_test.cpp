// The service wrapper against a notify socket of our own, in-process: the
// test plays the service manager (it reads the notify datagrams and sends
// the control signals).
#include "service/ntservice.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/base/clock.h"
#include "platform/base/debug_output.h"
#include "platform/base/handles.h"
#include "platform/threads/sync_api.h"

using namespace zv;
using platform::Threads;

namespace {

// The work routine: supervises one worker thread, as the port client does.
std::atomic<int> supervisionRounds{0};
std::atomic<int> workerRounds{0};
std::atomic<int> supervisorsAlive{0};
std::atomic<win::HANDLE> stopWork{nullptr};

win::DWORD Worker(void* stop) {
  while (Threads::Get().WaitForSingleObject(stop, 1) == win::WAIT_TIMEOUT) ++workerRounds;
  return 0;
}

win::DWORD Supervise(void*) {
  ++supervisorsAlive;
  win::HANDLE worker = Threads::Get().CreateThread(nullptr, 0, Worker, stopWork.load(), 0, nullptr);
  while (Threads::Get().WaitForSingleObject(worker, 2) == win::WAIT_TIMEOUT) ++supervisionRounds;
  platform::CloseHandle(worker);
  --supervisorsAlive;
  return 0;
}

class CountingService : public service::MXNTService {
 public:
  CountingService() : MXNTService(L"ZVORXEngine", Supervise) {}
  void OnInit() override { ++inits; }
  std::atomic<int> inits{0};
};

class ServiceWrapper : public ::testing::Test {
 protected:
  void SetUp() override {
    static int serial = 0;
    name_ = "@zvnotify-test-" + std::to_string(::getpid()) + "-" + std::to_string(++serial);
    socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, name_.data(), name_.size());
    addr.sun_path[0] = '\0';
    ASSERT_EQ(::bind(socket_, reinterpret_cast<sockaddr*>(&addr),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size())),
              0);
    marker_ = std::filesystem::temp_directory_path() / ("zv-stopping-" + std::to_string(::getpid()));
    std::filesystem::remove(marker_);
    ::setenv("NOTIFY_SOCKET", name_.c_str(), 1);
    ::setenv("ZV_SHUTDOWN_MARKER", marker_.c_str(), 1);
    supervisionRounds = 0;
    workerRounds = 0;
    stopWork = Threads::Get().CreateEventW(nullptr, win::TRUE, win::FALSE, nullptr);
  }
  void TearDown() override {
    Threads::Get().SetEvent(stopWork.load());
    while (supervisorsAlive.load() > 0) platform::Sleep(1);
    platform::CloseHandle(stopWork.load());
    ::unsetenv("NOTIFY_SOCKET");
    ::close(socket_);
    std::filesystem::remove(marker_);
  }

  // The next notify datagram; empty after 10 s without one.
  std::string Next() {
    pollfd p{socket_, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return {};
    char buffer[1024];
    ssize_t n = ::recv(socket_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  }

  void ExpectStart() {
    EXPECT_EQ(Next(), "STATUS=SERVICE_START_PENDING (2), checkpoint 1\nEXTEND_TIMEOUT_USEC=3000000");
    EXPECT_EQ(Next(), "STATUS=SERVICE_START_PENDING (2), checkpoint 2\nEXTEND_TIMEOUT_USEC=3000000");
    EXPECT_EQ(Next(), "STATUS=SERVICE_START_PENDING (2), checkpoint 3\nEXTEND_TIMEOUT_USEC=3000000");
    EXPECT_EQ(Next(), kRunning);
  }
  void StopAndExpect() {
    ::kill(::getpid(), SIGTERM);
    EXPECT_EQ(Next(), "STATUS=SERVICE_STOP_PENDING (3), checkpoint 1\nSTOPPING=1\nEXTEND_TIMEOUT_USEC=3000000");
    EXPECT_EQ(Next(), "STATUS=SERVICE_STOPPED (1), checkpoint 0");
  }

  static bool Contains(const platform::DebugOutputCapture& capture, const std::wstring& text) {
    for (const auto& line : capture.Lines()) {
      if (line.size() >= text.size() && line.compare(line.size() - text.size(), text.size(), text) == 0) return true;
    }
    return false;
  }

  static constexpr const char* kRunning = "STATUS=SERVICE_RUNNING (4), checkpoint 0\nREADY=1";
  std::string name_;
  std::filesystem::path marker_;
  int socket_ = -1;
};

TEST_F(ServiceWrapper, NormalRunReportsStartAndStop) {
  platform::DebugOutputCapture debug;
  CountingService service;
  win::BOOL result = win::FALSE;
  std::thread dispatcher([&] { result = service.Run(); });
  ExpectStart();
  EXPECT_EQ(service.inits.load(), 1);
  EXPECT_EQ(service.m_dwCurrentState.load(), win::SERVICE_RUNNING);
  StopAndExpect();
  dispatcher.join();  // Run returns once the service main has returned
  EXPECT_TRUE(result);
  EXPECT_EQ(service.m_dwCurrentState.load(), win::SERVICE_STOPPED);
  EXPECT_TRUE(Contains(debug, L"\nService Stopped"));
  // The work thread was neither stopped nor joined.
  int rounds = supervisionRounds.load();
  while (supervisionRounds.load() == rounds) platform::Sleep(1);
}

TEST_F(ServiceWrapper, PauseSuspendsOnlyTheSupervisionAndInterrogateReportsLastState) {
  platform::DebugOutputCapture debug;
  CountingService service;
  std::thread dispatcher([&] { service.Run(); });
  ExpectStart();
  while (supervisionRounds.load() < 2) platform::Sleep(1);

  ::kill(::getpid(), SIGUSR1);
  EXPECT_EQ(Next(), "STATUS=SERVICE_PAUSE_PENDING (6), checkpoint 1\nEXTEND_TIMEOUT_USEC=3000000");
  EXPECT_EQ(Next(), "STATUS=SERVICE_PAUSED (7), checkpoint 0");
  EXPECT_TRUE(Contains(debug, L"\nService Paused"));
  int supervision = supervisionRounds.load();
  int worker = workerRounds.load();
  while (workerRounds.load() < worker + 20) platform::Sleep(1);  // the worker keeps answering
  EXPECT_LE(supervisionRounds.load(), supervision + 1);

  ::kill(::getpid(), SIGHUP);
  EXPECT_EQ(Next(), "STATUS=SERVICE_PAUSED (7), checkpoint 0");

  ::kill(::getpid(), SIGUSR2);
  EXPECT_EQ(Next(), "STATUS=SERVICE_CONTINUE_PENDING (5), checkpoint 1\nEXTEND_TIMEOUT_USEC=3000000");
  EXPECT_EQ(Next(), kRunning);
  EXPECT_TRUE(Contains(debug, L"\nService Resumed"));
  supervision = supervisionRounds.load();
  while (supervisionRounds.load() < supervision + 2) platform::Sleep(1);

  ::kill(::getpid(), SIGHUP);
  EXPECT_EQ(Next(), kRunning);
  StopAndExpect();
  dispatcher.join();
}

TEST_F(ServiceWrapper, TermWhileSystemStopsIsShutdownWithoutReport) {
  platform::DebugOutputCapture debug;
  CountingService service;
  std::thread dispatcher([&] { service.Run(); });
  ExpectStart();
  { std::FILE* f = std::fopen(marker_.c_str(), "w"); std::fclose(f); }
  ::kill(::getpid(), SIGTERM);
  // Controls are handled in order: had the shutdown reported anything, it
  // would come before the answer to this interrogate.
  ::kill(::getpid(), SIGHUP);
  EXPECT_EQ(Next(), kRunning);
  EXPECT_TRUE(Contains(debug, L"\nService Shutdown"));
  std::filesystem::remove(marker_);
  StopAndExpect();
  dispatcher.join();
}

TEST_F(ServiceWrapper, ControlsDuringStartWaitUntilRunning) {
  struct SlowInit : CountingService {
    void OnInit() override {
      CountingService::OnInit();
      while (!release) platform::Sleep(1);
    }
    std::atomic<bool> release{false};
  } service;
  std::thread dispatcher([&] { service.Run(); });
  EXPECT_EQ(Next(), "STATUS=SERVICE_START_PENDING (2), checkpoint 1\nEXTEND_TIMEOUT_USEC=3000000");
  ::kill(::getpid(), SIGTERM);  // systemctl stop while starting is not lost
  platform::Sleep(20);
  service.release = true;
  EXPECT_EQ(Next(), "STATUS=SERVICE_START_PENDING (2), checkpoint 2\nEXTEND_TIMEOUT_USEC=3000000");
  EXPECT_EQ(Next(), "STATUS=SERVICE_START_PENDING (2), checkpoint 3\nEXTEND_TIMEOUT_USEC=3000000");
  EXPECT_EQ(Next(), kRunning);
  EXPECT_EQ(Next(), "STATUS=SERVICE_STOP_PENDING (3), checkpoint 1\nSTOPPING=1\nEXTEND_TIMEOUT_USEC=3000000");
  EXPECT_EQ(Next(), "STATUS=SERVICE_STOPPED (1), checkpoint 0");
  dispatcher.join();
}

TEST_F(ServiceWrapper, OutsideTheServiceManagerRunFailsAtOnce) {
  CountingService service;
  ::unsetenv("NOTIFY_SOCKET");
  platform::SetLastError(0);
  EXPECT_FALSE(service.Run());
  EXPECT_EQ(platform::GetLastError(), win::ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  // A notify socket nobody listens on is no service manager either.
  ::setenv("NOTIFY_SOCKET", "@zvnotify-nobody-listens", 1);
  EXPECT_FALSE(service.Run());
  EXPECT_EQ(platform::GetLastError(), win::ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  EXPECT_EQ(service.inits.load(), 0);
  EXPECT_EQ(service.m_dwCurrentState.load(), win::SERVICE_STOPPED);
}

}  // namespace
