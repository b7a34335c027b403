#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "platform/base/handles.h"
#include "platform/files/file_api.h"
#include "platform/processes/process_api_real.h"
#include "platform/processes/process_table.h"

using namespace zv::platform;
namespace win = zv::win;
namespace fs = std::filesystem;

namespace {

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("zvp-" + std::to_string(getpid()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    machine_ = Machine::Open(root_, true);
    Machine::SetCurrent(machine_);
  }
  void TearDown() override {
    UnregisterCurrentProcess();
    Machine::SetCurrent(nullptr);
    fs::path run = machine_->RunFolder();
    machine_.reset();
    fs::remove_all(run);
    fs::remove_all(root_);
  }

  // Runs fn in a forked child with its own connection to the machine. The
  // child reports through the pipe and ends with fn's result.
  pid_t Fork(const std::function<int(int writeFd)>& fn, int* readFd) {
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    pid_t child = fork();
    if (child == 0) {
      close(p[0]);
      // The parent's connection must not be closed from here.
      new std::shared_ptr<Machine>(Machine::Current());
      Machine::SetCurrent(Machine::Open(root_, false));
      int rc = 1;
      try {
        rc = fn(p[1]);
      } catch (...) {
        rc = 99;
      }
      _exit(rc);
    }
    close(p[1]);
    *readFd = p[0];
    return child;
  }

  static void Send(int fd, std::uint32_t v) { ASSERT_EQ(write(fd, &v, sizeof v), static_cast<ssize_t>(sizeof v)); }
  static std::uint32_t Receive(int fd) {
    std::uint32_t v = 0;
    return read(fd, &v, sizeof v) == static_cast<ssize_t>(sizeof v) ? v : 0xFFFFFFFF;
  }
  static int ExitCode(pid_t child) {
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  fs::path root_;
  std::shared_ptr<Machine> machine_;
  RealProcessApi api_;
};

std::optional<ProcessEvent> NextFor(ProcessEventFeed& feed, win::DWORD pid, bool created) {
  for (;;) {
    auto e = feed.WaitNext(10000);
    if (!e || (e->pid == pid && e->created == created)) return e;
  }
}

}  // namespace

TEST_F(ProcessTest, PidsAreMultiplesOfFourAndUniqueAcrossTwoWriters) {
  constexpr int kEach = 60;
  int fd = -1;
  pid_t child = Fork(
      [&](int) {
        for (int i = 0; i < kEach; ++i) AddProcess(*Machine::Current(), 4, L"C:\\child.exe", 1, false);
        return 0;
      },
      &fd);
  for (int i = 0; i < kEach; ++i) AddProcess(*machine_, 4, L"C:\\parent.exe", 1, false);
  ASSERT_EQ(ExitCode(child), 0);  // a "database is locked" would have thrown there
  close(fd);

  std::set<win::DWORD> pids;
  int scenario = 0;
  for (const MachineProcess& p : ListProcesses(*machine_)) {
    if (p.pid < 1000) continue;
    EXPECT_EQ(p.pid % 4, 0u);
    pids.insert(p.pid);
    ++scenario;
  }
  EXPECT_EQ(scenario, 2 * kEach);
  EXPECT_EQ(pids.size(), static_cast<std::size_t>(2 * kEach));
  ProcessEventFeed feed(machine_, 0);
  int created = 0;
  while (auto e = feed.WaitNext(0)) created += e->created ? 1 : 0;
  EXPECT_EQ(created, 2 * kEach);
}

TEST_F(ProcessTest, RegisteredProgramIsReapedWithExitEventWhenKilled) {
  ProcessEventFeed feed(machine_, LastProcessEventSeq(*machine_));
  int fd = -1;
  pid_t child = Fork(
      [&](int w) {
        setenv("ZV_IMAGE_PATH", "C:\\Tools\\victim.exe", 1);
        Send(w, CurrentProcessPid());
        pause();
        return 0;
      },
      &fd);
  win::DWORD pid = Receive(fd);
  ASSERT_NE(pid, 0xFFFFFFFFu);
  auto started = NextFor(feed, pid, true);
  ASSERT_TRUE(started);
  EXPECT_EQ(started->image, L"C:\\Tools\\victim.exe");
  auto row = FindProcess(*machine_, pid);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->hostPid, child);
  EXPECT_EQ(row->session, 1u);

  kill(child, SIGKILL);
  EXPECT_EQ(ExitCode(child), 128 + SIGKILL);
  close(fd);
  // Nobody touched the machine: the death alone wakes the feed.
  auto ended = NextFor(feed, pid, false);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->image, L"C:\\Tools\\victim.exe");
  EXPECT_FALSE(FindProcess(*machine_, pid));
  EXPECT_EQ(ReapDeadProcesses(*machine_), 0);  // exactly one exit event
  EXPECT_FALSE(feed.WaitNext(0));
}

TEST_F(ProcessTest, FeedWakesWaiterInAnotherProcess) {
  int fd = -1;
  pid_t child = Fork(
      [&](int w) {
        ProcessEventFeed feed(Machine::Current(), LastProcessEventSeq(*Machine::Current()));
        Send(w, 1);  // subscribed
        auto e = feed.WaitNext(10000);
        if (!e) return 2;
        Send(w, e->pid);
        Send(w, e->parent);
        return e->created && e->image == L"C:\\Windows\\notepad.exe" ? 0 : 3;
      },
      &fd);
  ASSERT_EQ(Receive(fd), 1u);
  win::DWORD pid = AddProcess(*machine_, 4, L"C:\\Windows\\notepad.exe", 1, false);
  EXPECT_EQ(Receive(fd), pid);
  EXPECT_EQ(Receive(fd), 4u);
  EXPECT_EQ(ExitCode(child), 0);
  close(fd);
}

TEST_F(ProcessTest, FeedInterruptAndTimeout) {
  ProcessEventFeed feed(machine_, LastProcessEventSeq(*machine_));
  EXPECT_FALSE(feed.WaitNext(10));
  std::thread t([&] { feed.Interrupt(); });
  EXPECT_FALSE(feed.WaitNext(win::INFINITE));
  t.join();
  win::DWORD pid = AddProcess(*machine_, 0, L"C:\\a.exe", 1, false);
  ASSERT_EQ(EndProcess(*machine_, pid), EndResult::Ended);
  auto a = feed.WaitNext(0);
  auto b = feed.WaitNext(0);
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(a->created);
  EXPECT_FALSE(b->created);
  EXPECT_LT(a->seq, b->seq);
  EXPECT_EQ(EndProcess(*machine_, pid), EndResult::NotFound);
  EXPECT_EQ(EndProcess(*machine_, 4), EndResult::Refused);
  EXPECT_EQ(EndProcess(*machine_, CurrentProcessPid()), EndResult::Refused);
}

TEST_F(ProcessTest, SnapshotListsMachineProcesses) {
  setenv("ZV_IMAGE_PATH", "C:\\Program Files\\ZV\\zvorx.exe", 1);
  win::DWORD self = api_.GetCurrentProcessId();
  unsetenv("ZV_IMAGE_PATH");
  win::DWORD child = AddProcess(*machine_, self, L"C:\\Windows\\System32\\cmd.exe", 1, false);

  win::HANDLE snap = api_.CreateToolhelp32Snapshot(win::TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(snap, win::INVALID_HANDLE_VALUE);
  win::PROCESSENTRY32W e;
  e.dwSize = sizeof e - 1;
  EXPECT_FALSE(api_.Process32FirstW(snap, &e));
  EXPECT_EQ(GetLastError(), win::ERROR_BAD_LENGTH);
  e.dwSize = sizeof e;
  std::map<win::DWORD, std::pair<win::DWORD, std::wstring>> seen;
  for (win::BOOL ok = api_.Process32FirstW(snap, &e); ok; ok = api_.Process32NextW(snap, &e)) {
    seen[e.th32ProcessID] = {e.th32ParentProcessID, e.szExeFile};
  }
  EXPECT_EQ(GetLastError(), win::ERROR_NO_MORE_FILES);
  EXPECT_EQ(CloseHandle(snap), win::TRUE);
  EXPECT_EQ(seen[0].second, L"[System Process]");
  EXPECT_EQ(seen[4].second, L"System");
  EXPECT_EQ(seen[self].second, L"zvorx.exe");
  EXPECT_EQ(seen[child], std::make_pair(self, std::wstring(L"cmd.exe")));
  EXPECT_EQ(seen.size(), 4u);

  win::PROCESSENTRY32W dummy;
  EXPECT_FALSE(api_.Process32NextW(reinterpret_cast<win::HANDLE>(0x7777), &dummy));
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_HANDLE);
}

TEST_F(ProcessTest, OpenProcessAndQueries) {
  win::DWORD normal = AddProcess(*machine_, 4, L"C:\\Windows\\explorer.exe", 2, false);
  win::DWORD guarded = AddProcess(*machine_, 4, L"C:\\Windows\\System32\\csrss.exe", 0, true);

  for (win::DWORD pid : {0u, 4u, guarded}) {
    SetLastError(0);
    EXPECT_EQ(api_.OpenProcess(win::PROCESS_QUERY_LIMITED_INFORMATION, win::FALSE, pid), nullptr) << pid;
    EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED) << pid;
  }
  EXPECT_EQ(api_.OpenProcess(win::PROCESS_ALL_ACCESS, win::FALSE, 999996), nullptr);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_PARAMETER);

  win::DWORD session = 99;
  EXPECT_TRUE(api_.ProcessIdToSessionId(normal, &session));
  EXPECT_EQ(session, 2u);
  EXPECT_TRUE(api_.ProcessIdToSessionId(4, &session));
  EXPECT_EQ(session, 0u);
  EXPECT_FALSE(api_.ProcessIdToSessionId(999996, &session));
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_PARAMETER);

  win::HANDLE h = api_.OpenProcess(win::PROCESS_QUERY_LIMITED_INFORMATION, win::FALSE, normal);
  ASSERT_NE(h, nullptr);
  win::WCHAR buffer[512];
  win::DWORD size = 10;
  EXPECT_FALSE(api_.QueryFullProcessImageNameW(h, 0, buffer, &size));
  EXPECT_EQ(GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);
  size = 24;  // exactly the path's 23 units and the terminator
  ASSERT_TRUE(api_.QueryFullProcessImageNameW(h, 0, buffer, &size));
  EXPECT_EQ(size, 23u);
  EXPECT_EQ(std::wstring(buffer), L"C:\\Windows\\explorer.exe");
  size = 512;
  ASSERT_TRUE(api_.QueryFullProcessImageNameW(h, win::PROCESS_NAME_NATIVE, buffer, &size));
  EXPECT_EQ(std::wstring(buffer), L"\\Device\\HarddiskVolume2\\Windows\\explorer.exe");

  // Main module path, truncated as Win32 does: size-1 units and a zero.
  EXPECT_EQ(api_.K32GetModuleFileNameExW(h, nullptr, buffer, 6), 5u);
  EXPECT_EQ(std::wstring(buffer), L"C:\\Wi");
  EXPECT_EQ(api_.K32GetModuleFileNameExW(h, nullptr, buffer, 260), 23u);
  EXPECT_FALSE(api_.TerminateProcess(h, 1));  // no PROCESS_TERMINATE right
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);

  win::HANDLE killer = api_.OpenProcess(win::PROCESS_ALL_ACCESS, win::FALSE, normal);
  ASSERT_TRUE(api_.TerminateProcess(killer, 1));
  EXPECT_FALSE(api_.TerminateProcess(killer, 1));  // already ended
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(api_.K32GetModuleFileNameExW(h, nullptr, buffer, 260), 0u);
  EXPECT_EQ(GetLastError(), win::ERROR_PARTIAL_COPY);
  EXPECT_TRUE(api_.QueryFullProcessImageNameW(h, 0, buffer, &(size = 512)));  // the handle still names it
  CloseHandle(h);
  CloseHandle(killer);
}

TEST_F(ProcessTest, OwnIdentityAndModuleFileName) {
  setenv("ZV_IMAGE_PATH", "C:\\Program Files\\ZV\\zvorx.exe", 1);
  setenv("ZV_SESSION", "0", 1);
  win::DWORD self = api_.GetCurrentProcessId();
  unsetenv("ZV_IMAGE_PATH");
  unsetenv("ZV_SESSION");
  EXPECT_GE(self, 1000u);
  EXPECT_EQ(self % 4, 0u);
  EXPECT_EQ(api_.GetCurrentProcess(), reinterpret_cast<win::HANDLE>(-1));
  win::WCHAR buffer[260];
  EXPECT_EQ(api_.GetModuleFileNameW(nullptr, buffer, 260), 29u);
  EXPECT_EQ(std::wstring(buffer), L"C:\\Program Files\\ZV\\zvorx.exe");
  EXPECT_EQ(api_.GetModuleFileNameW(nullptr, buffer, 8), 8u);
  EXPECT_EQ(GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::wstring(buffer), L"C:\\Prog");
  win::DWORD session = 7;
  EXPECT_TRUE(api_.ProcessIdToSessionId(self, &session));
  EXPECT_EQ(session, 0u);
  SetCurrentProcessSession(1);
  EXPECT_EQ(FindProcess(*machine_, self)->session, 1u);
  // Our own process may be opened, but not ended through EndProcess.
  win::HANDLE h = api_.OpenProcess(win::PROCESS_QUERY_LIMITED_INFORMATION, win::FALSE, self);
  EXPECT_NE(h, nullptr);
  CloseHandle(h);
}

TEST_F(ProcessTest, TerminateProcessKillsRegisteredHost) {
  int fd = -1;
  pid_t child = Fork(
      [&](int w) {
        Send(w, CurrentProcessPid());
        pause();
        return 0;
      },
      &fd);
  win::DWORD pid = Receive(fd);
  ASSERT_NE(pid, 0xFFFFFFFFu);
  ProcessEventFeed feed(machine_, LastProcessEventSeq(*machine_));
  win::HANDLE h = api_.OpenProcess(win::PROCESS_TERMINATE, win::FALSE, pid);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(api_.TerminateProcess(h, 3));
  EXPECT_EQ(ExitCode(child), 128 + SIGKILL);
  close(fd);
  EXPECT_TRUE(NextFor(feed, pid, false));
  EXPECT_FALSE(FindProcess(*machine_, pid));
  CloseHandle(h);

  // A program ending itself leaves with its exit code and its exit event.
  child = Fork(
      [&](int w) {
        RealProcessApi api;
        Send(w, api.GetCurrentProcessId());
        api.TerminateProcess(api.GetCurrentProcess(), 7);
        return 0;
      },
      &fd);
  pid = Receive(fd);
  EXPECT_EQ(ExitCode(child), 7);
  close(fd);
  auto ended = NextFor(feed, pid, false);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ReapDeadProcesses(*machine_), 0);
}

TEST_F(ProcessTest, PrivilegesAsSetPrivilegeUsesThem) {
  auto setPrivilege = [&](const wchar_t* name, bool enable) -> win::DWORD {
    win::HANDLE token = nullptr;
    if (!api_.OpenProcessToken(api_.GetCurrentProcess(), win::TOKEN_ADJUST_PRIVILEGES | win::TOKEN_QUERY, &token)) {
      return GetLastError();
    }
    win::TOKEN_PRIVILEGES tp;
    if (!api_.LookupPrivilegeValueW(nullptr, name, &tp.Privileges[0].Luid)) {
      win::DWORD e = GetLastError();
      CloseHandle(token);
      return e;
    }
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = enable ? win::SE_PRIVILEGE_ENABLED : 0;
    win::BOOL ok = api_.AdjustTokenPrivileges(token, win::FALSE, &tp, sizeof tp, nullptr, nullptr);
    win::DWORD e = GetLastError();
    CloseHandle(token);
    return ok ? (e == win::ERROR_NOT_ALL_ASSIGNED ? e : 0) : e;
  };

  win::LUID luid;
  const std::pair<const wchar_t*, win::DWORD> known[] = {
      {L"SeCreateGlobalPrivilege", 30}, {L"SeLoadDriverPrivilege", 10}, {L"SeDebugPrivilege", 20},
      {L"SeShutdownPrivilege", 19},     {L"sedebugprivilege", 20},
  };
  for (auto [name, value] : known) {
    ASSERT_TRUE(api_.LookupPrivilegeValueW(nullptr, name, &luid)) << name;
    EXPECT_EQ(luid.LowPart, value);
    EXPECT_EQ(luid.HighPart, 0);
  }
  EXPECT_FALSE(api_.LookupPrivilegeValueW(nullptr, L"SeFlyingPrivilege", &luid));
  EXPECT_EQ(GetLastError(), win::ERROR_NO_SUCH_PRIVILEGE);

  // The file layer reads a system ACL only while the privilege is enabled
  // in our token.
  EXPECT_EQ(setPrivilege(L"SeSecurityPrivilege", true), 0u);
  EXPECT_TRUE(PrivilegeHeld(L"SeSecurityPrivilege"));
  EXPECT_FALSE(PrivilegeHeld(L"SeBackupPrivilege"));
  EXPECT_EQ(setPrivilege(L"SeSecurityPrivilege", false), 0u);
  EXPECT_FALSE(PrivilegeHeld(L"SeSecurityPrivilege"));

  EXPECT_EQ(setPrivilege(L"SeCreateGlobalPrivilege", true), 0u);
  EXPECT_EQ(setPrivilege(L"SeLoadDriverPrivilege", true), 0u);
  EXPECT_EQ(setPrivilege(L"SeDebugPrivilege", true), 0u);
  EXPECT_EQ(setPrivilege(L"SeLoadDriverPrivilege", false), 0u);
  // Held by the administrator's token? No: create-token is not.
  EXPECT_EQ(setPrivilege(L"SeCreateTokenPrivilege", true), win::ERROR_NOT_ALL_ASSIGNED);
  machine_->SetSetting("token.lacks", "SeShutdownPrivilege, SeDebugPrivilege");
  EXPECT_EQ(setPrivilege(L"SeDebugPrivilege", true), win::ERROR_NOT_ALL_ASSIGNED);
  machine_->ClearSetting("token.lacks");

  machine_->SetSetting("fail.OpenProcessToken", "5");
  EXPECT_EQ(setPrivilege(L"SeCreateGlobalPrivilege", true), 5u);
  machine_->ClearSetting("fail.OpenProcessToken");
  machine_->SetSetting("fail.LookupPrivilegeValue.SeDebugPrivilege", "1313");
  EXPECT_EQ(setPrivilege(L"SeLoadDriverPrivilege", true), 0u);
  EXPECT_EQ(setPrivilege(L"SeDebugPrivilege", true), 1313u);
  machine_->SetSetting("fail.LookupPrivilegeValue", "0x6");
  EXPECT_EQ(setPrivilege(L"SeLoadDriverPrivilege", true), 6u);
  machine_->ClearSetting("fail.LookupPrivilegeValue");
  machine_->ClearSetting("fail.LookupPrivilegeValue.SeDebugPrivilege");
  machine_->SetSetting("fail.AdjustTokenPrivileges.SeLoadDriverPrivilege", "1314");
  EXPECT_EQ(setPrivilege(L"SeLoadDriverPrivilege", true), 1314u);
  EXPECT_EQ(setPrivilege(L"SeDebugPrivilege", true), 0u);
}

TEST_F(ProcessTest, AdjustTokenPrivilegesPreviousStateAndRights) {
  win::HANDLE queryOnly = nullptr;
  ASSERT_TRUE(api_.OpenProcessToken(api_.GetCurrentProcess(), win::TOKEN_QUERY, &queryOnly));
  win::TOKEN_PRIVILEGES tp;
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Luid.LowPart = 19;  // shutdown
  tp.Privileges[0].Attributes = win::SE_PRIVILEGE_ENABLED;
  EXPECT_FALSE(api_.AdjustTokenPrivileges(queryOnly, win::FALSE, &tp, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
  CloseHandle(queryOnly);

  win::HANDLE token = nullptr;
  ASSERT_TRUE(api_.OpenProcessToken(api_.GetCurrentProcess(), win::TOKEN_ADJUST_PRIVILEGES | win::TOKEN_QUERY, &token));
  win::TOKEN_PRIVILEGES previous;
  win::DWORD length = 0;
  EXPECT_FALSE(api_.AdjustTokenPrivileges(token, win::FALSE, &tp, 4, &previous, &length));
  EXPECT_EQ(GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, sizeof(win::TOKEN_PRIVILEGES));
  ASSERT_TRUE(api_.AdjustTokenPrivileges(token, win::FALSE, &tp, sizeof previous, &previous, &length));
  ASSERT_EQ(previous.PrivilegeCount, 1u);
  EXPECT_EQ(previous.Privileges[0].Luid.LowPart, 19u);
  EXPECT_EQ(previous.Privileges[0].Attributes, 0u);  // it was off
  // Enabling it again changes nothing, so no previous state is reported.
  ASSERT_TRUE(api_.AdjustTokenPrivileges(token, win::FALSE, &tp, sizeof previous, &previous, &length));
  EXPECT_EQ(previous.PrivilegeCount, 0u);
  // The process's token is one: a second handle sees the change.
  win::HANDLE again = nullptr;
  ASSERT_TRUE(api_.OpenProcessToken(api_.GetCurrentProcess(), win::TOKEN_ADJUST_PRIVILEGES | win::TOKEN_QUERY, &again));
  tp.Privileges[0].Attributes = 0;
  ASSERT_TRUE(api_.AdjustTokenPrivileges(again, win::FALSE, &tp, sizeof previous, &previous, &length));
  ASSERT_EQ(previous.PrivilegeCount, 1u);
  EXPECT_EQ(previous.Privileges[0].Attributes, win::SE_PRIVILEGE_ENABLED);
  CloseHandle(again);
  CloseHandle(token);
}

TEST_F(ProcessTest, NamedMutexAcrossProcessesAndAfterHolderDies) {
  const wchar_t* kName = L"_ZVORX_ENGINE_10_";
  win::HANDLE first = api_.CreateMutexW(nullptr, win::TRUE, kName);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), win::ERROR_SUCCESS);
  win::HANDLE second = api_.CreateMutexW(nullptr, win::TRUE, kName);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), win::ERROR_ALREADY_EXISTS);

  auto childSees = [&]() {
    int fd = -1;
    pid_t child = Fork(
        [&](int) {
          win::HANDLE h = RealProcessApi().CreateMutexW(nullptr, win::TRUE, kName);
          return h ? static_cast<int>(GetLastError() == win::ERROR_ALREADY_EXISTS) : 50;
        },
        &fd);
    close(fd);
    return ExitCode(child);
  };
  EXPECT_EQ(childSees(), 1);
  // A child forked while we hold a name holds no lock on it: once we close
  // ours, the child can take the name as new.
  {
    win::HANDLE other = api_.CreateMutexW(nullptr, win::TRUE, L"_ZVORX_ENGINE_10_b");
    int fd2 = -1;
    int go2[2];
    ASSERT_EQ(pipe(go2), 0);
    pid_t inheritor = Fork(
        [&](int) {
          close(go2[1]);
          Receive(go2[0]);  // the parent has closed its handle by now
          win::HANDLE h = RealProcessApi().CreateMutexW(nullptr, win::TRUE, L"_ZVORX_ENGINE_10_b");
          return h ? static_cast<int>(GetLastError() == win::ERROR_ALREADY_EXISTS) : 50;
        },
        &fd2);
    close(go2[0]);
    CloseHandle(other);
    Send(go2[1], 1);
    close(go2[1]);
    EXPECT_EQ(ExitCode(inheritor), 0);
    close(fd2);
  }
  CloseHandle(first);
  EXPECT_EQ(childSees(), 1);  // one handle is still open
  CloseHandle(second);
  EXPECT_EQ(childSees(), 0);  // released with the last handle

  // A holder killed without closing anything releases the name.
  int fd = -1;
  pid_t holder = Fork(
      [&](int w) {
        win::HANDLE h = RealProcessApi().CreateMutexW(nullptr, win::TRUE, L"Global\\_ZVORX_ENGINE_10_");
        Send(w, h && GetLastError() == win::ERROR_SUCCESS ? 1 : 0);
        pause();
        return 0;
      },
      &fd);
  ASSERT_EQ(Receive(fd), 1u);
  win::HANDLE h = api_.CreateMutexW(nullptr, win::TRUE, kName);
  EXPECT_EQ(GetLastError(), win::ERROR_ALREADY_EXISTS);
  CloseHandle(h);
  kill(holder, SIGKILL);
  ExitCode(holder);
  close(fd);
  h = api_.CreateMutexW(nullptr, win::TRUE, kName);
  EXPECT_EQ(GetLastError(), win::ERROR_SUCCESS);
  CloseHandle(h);

  // Odd names stay inside the run folder.
  h = api_.CreateMutexW(nullptr, win::FALSE, L"..%2F..%2Fx/../../y");
  ASSERT_NE(h, nullptr);
  CloseHandle(h);
  for (const auto& entry : fs::directory_iterator(machine_->RunFolder() / "mutex")) {
    EXPECT_EQ(entry.path().parent_path(), machine_->RunFolder() / "mutex");
  }
  EXPECT_EQ(api_.CreateMutexW(nullptr, win::FALSE, L"Session\\x"), nullptr);
  EXPECT_EQ(GetLastError(), win::ERROR_PATH_NOT_FOUND);
}

