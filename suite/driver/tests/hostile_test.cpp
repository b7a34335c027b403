// The driver stand-in under hostile callers and faults: descriptor use over
// many connections, a stopped daemon, other users, bad scenario input.
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "suite/driver/scenario.h"
#include "suite/driver/tests/driver_fixture.h"

namespace zv::suite::testing {
namespace {

namespace wire = platform::wire;
constexpr win::HRESULT kTimedOut = win::HRESULT_FROM_WIN32(win::ERROR_TIMEOUT);

pid_t DaemonPid() {
  std::ifstream f(wire::DriverPidPath(L"ZVORX"));
  pid_t pid = 0;
  f >> pid;
  return pid;
}

std::size_t OpenDescriptors(pid_t pid) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) ++n;
  return n;
}

// Runs fn in a child that has become uid/gid 65534 with the given
// supplementary groups; the child's exit code is fn's result.
int AsOtherUser(const std::vector<gid_t>& groups, const std::function<int()>& fn) {
  pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(100);
    _exit(fn());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

int RawConnect(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

// Each connection's descriptor is closed when it ends, so a daemon held to
// 128 descriptors serves a thousand status calls in a row.
TEST_F(DriverTest, DescriptorsStayFlatOverAThousandConnections) {
  Load();
  pid_t pid = DaemonPid();
  ASSERT_GT(pid, 0);
  rlimit limit{128, 128};
  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &limit, nullptr), 0);
  // Warm up first: the daemon keeps descriptors it opens once (the
  // database's journal files among them); only growth after that counts.
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(DriverControl().Status());
  std::size_t before = OpenDescriptors(pid);
  for (int i = 0; i < 100; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::size_t now = OpenDescriptors(pid);
    if (now == before) break;
    before = now;
  }
  int answered = 0;
  for (int i = 0; i < 1000; ++i) {
    if (DriverControl().Status()) ++answered;
  }
  EXPECT_EQ(answered, 1000);
  // Connections just closed by us may not have been dropped yet.
  for (int i = 0; i < 500 && OpenDescriptors(pid) > before; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_LE(OpenDescriptors(pid), before);
  EXPECT_EQ(Filters::Get().FilterUnload(L"ZVORX"), win::S_OK);
}

// A daemon that accepts but never answers (stopped) makes every waiting
// call give up after driver.CallTimeoutMs with ERROR_TIMEOUT.
TEST_F(DriverTest, CallsToAStoppedDaemonGiveUpWithinTheirBound) {
  machine_->SetSetting("driver.CallTimeoutMs", "300");
  Load();
  PortClient client;
  ASSERT_EQ(client.Connect(), win::S_OK);
  pid_t pid = DaemonPid();
  ASSERT_EQ(::kill(pid, SIGSTOP), 0);
  auto timed = [](const std::function<win::HRESULT()>& call, win::HRESULT& hr) {
    auto start = std::chrono::steady_clock::now();
    hr = call();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  };
  win::HRESULT hr = win::S_OK;
  EXPECT_LT(timed([] { return Filters::Get().FilterUnload(L"ZVORX"); }, hr), 3000);
  EXPECT_EQ(hr, kTimedOut);
  EXPECT_LT(timed([] { return Filters::Get().FilterLoad(L"ZVORX"); }, hr), 3000);
  EXPECT_EQ(hr, kTimedOut);
  EXPECT_LT(timed([&] { return client.Command(2, 1); }, hr), 3000);
  EXPECT_EQ(hr, kTimedOut);
  EXPECT_LT(timed([&] { return client.Reply(1, 1, 0); }, hr), 3000);
  EXPECT_EQ(hr, kTimedOut);
  win::HANDLE second = win::INVALID_HANDLE_VALUE;
  EXPECT_LT(timed([&] { return Filters::Get().FilterConnectCommunicationPort(kPort, 0, nullptr, 0, nullptr, &second); },
                  hr),
            3000);
  EXPECT_EQ(hr, kTimedOut);
  // Running again, it answers and unloads (with room for a slow machine).
  // The setting is written only once it runs: stopped inside a write of
  // machine.db, the daemon would hold the database's write lock.
  ASSERT_EQ(::kill(pid, SIGCONT), 0);
  machine_->SetSetting("driver.CallTimeoutMs", "20000");
  ASSERT_TRUE(DriverControl().Status());
  EXPECT_EQ(client.Command(2, 1), win::S_OK);
  client.Close();
  EXPECT_EQ(Filters::Get().FilterUnload(L"ZVORX"), win::S_OK);
}

// The socket, the run folder and the lock files get their modes whatever
// the umask, and the daemon checks every peer: another user can neither
// connect nor, through a socket opened up by hand, talk to the driver.
TEST_F(DriverTest, AnotherUserCannotTalkToTheDriverUnderUmask000) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
  mode_t old = ::umask(0);
  Load();
  ::umask(old);
  struct stat st {};
  std::string socket = wire::DriverSocketPath(L"ZVORX");
  ASSERT_EQ(::stat(socket.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  ASSERT_EQ(::stat(wire::DriverLockPath(L"ZVORX").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(::stat(machine_->RunFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);

  EXPECT_EQ(AsOtherUser({}, [&] {
              win::HANDLE port = win::INVALID_HANDLE_VALUE;
              if (Filters::Get().FilterConnectCommunicationPort(kPort, 0, nullptr, 0, nullptr, &port) == win::S_OK)
                return 1;
              if (RawConnect(socket) >= 0) return 2;
              DriverControl control;
              return control.Connected() ? 3 : control.Unavailable() == "permission denied" ? 0 : 4;
            }),
            0);
  // Opened up by hand, the socket still admits no stranger.
  ASSERT_EQ(::chmod(socket.c_str(), 0666), 0);
  EXPECT_EQ(AsOtherUser({}, [&] {
              win::HANDLE port = win::INVALID_HANDLE_VALUE;
              win::HRESULT hr = Filters::Get().FilterConnectCommunicationPort(kPort, 0, nullptr, 0, nullptr, &port);
              if (hr != win::HRESULT_FROM_WIN32(win::ERROR_ACCESS_DENIED)) return 1;
              DriverControl control;
              if (control.Connected() || control.Unavailable() != "permission denied") return 2;
              return Filters::Get().FilterUnload(L"ZVORX") == win::HRESULT_FROM_WIN32(win::ERROR_ACCESS_DENIED) ? 0 : 3;
            }),
            0);
  // A member of the admin group (given at run time) is let in.
  EXPECT_EQ(AsOtherUser({0}, [&] { return DriverControl().Status() ? 0 : 1; }), 0);
  EXPECT_NE(Status().find("denied peers: 3"), std::string::npos) << Status();
  EXPECT_EQ(Filters::Get().FilterUnload(L"ZVORX"), win::S_OK);
}

// What a scenario sends is what it prints: a path with a zero in it, or
// one longer than the record holds, is refused; a file that is not a
// readable regular file is an error, not an empty scenario.
TEST_F(DriverTest, PlayerRefusesCutPathsAndUnreadableFiles) {
  Load();
  DriverControl control;
  std::string longPath = "C:\\" + std::string(1030, 'a');
  std::istringstream in("open 1 \"C:\\a" + std::string(1, '\0') + "b.txt\"\n"
                        "open 1 " + longPath + "\n"
                        "rename 1 C:\\" + std::string(600, 'b') + " C:\\" + std::string(600, 'c') + "\n"
                        "open 1 " + std::string(kMaxLineBytes + 10, 'x') + "\n"
                        "open 1 C:\\ok.txt expect noclient\n");
  std::ostringstream out;
  PlayResult r = PlayScenario(in, control, out);
  EXPECT_EQ(r.failed, 4) << out.str();
  EXPECT_EQ(r.passed, 1) << out.str();
  EXPECT_NE(out.str().find("1: error: a path holds a NUL character"), std::string::npos);
  EXPECT_NE(out.str().find("2: error: path too long for the record ("), std::string::npos);
  EXPECT_NE(out.str().find("units, at most 1025)"), std::string::npos) << out.str().substr(0, 300);
  EXPECT_NE(out.str().find("4: error: line longer than 65536 bytes"), std::string::npos);
  EXPECT_EQ(out.str().find(longPath), std::string::npos);

  fs::path bin = std::getenv("ZV_BIN_DIR");
  auto play = [&](const std::string& file) {
    std::string command = (bin / "zvorx-driver").string() + " play " + file + " >/dev/null 2>&1";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(play(root_.string()), 2);
  EXPECT_EQ(play("/dev/zero"), 2);
  EXPECT_EQ(play((root_ / "missing.txt").string()), 2);
  std::ofstream((root_ / "one.txt").string()) << "open 1 C:\\x.txt expect noclient\n";
  EXPECT_EQ(play((root_ / "one.txt").string()), 0);
}

}  // namespace zv::suite::testing
