// WOW64 redirection, boots, the machine-wide clock and restart requests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "platform/base/clock.h"
#include "platform/base/handles.h"
#include "platform/files/file_api.h"
#include "platform/files/testing/machine_fixture.h"
#include "platform/base/text.h"
#include "platform/processes/process_api.h"
#include "platform/processes/process_table.h"
#include "platform/processes/program_files.h"
#include "platform/registry/hives.h"
#include "platform/system/ansi_calls.h"
#include "platform/system/boot.h"
#include "platform/system/wow64.h"

using namespace zv::platform;
namespace win = zv::win;
namespace fs = std::filesystem;

extern char** environ;

namespace {

struct Bitness {
  explicit Bitness(const char* bits) { ::setenv("ZV_BITNESS", bits, 1); }
  ~Bitness() { ::unsetenv("ZV_BITNESS"); }
};

struct ProgramRun {
  int code;
  std::string out;
};

// Runs a built program of the machine with extra environment assignments.
ProgramRun RunProgram(const std::string& env, const std::string& program, const std::string& args) {
  const char* bin = std::getenv("ZV_BIN_DIR");
  std::string cmd = env + " " + (bin ? std::string(bin) : std::string("build/bin")) + "/" + program + " " + args +
                    " 2>&1";
  ProgramRun r{-1, {}};
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int status = ::pclose(p);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::uint64_t Field(const std::string& out, const std::string& name) {
  std::size_t at = out.find(name + ": ");
  if (at == std::string::npos) return ~0ull;
  return std::strtoull(out.c_str() + at + name.size() + 2, nullptr, 10);
}

// ---- WOW64 ---------------------------------------------------------------------

class Wow64Test : public zv::platform::testing::MachineTest {
 protected:
  void SetUp() override {
    zv::platform::testing::MachineTest::SetUp();
    EnsureSystemFolders(*machine_);
    MakeFile(C("zv/blk.sys"), "driver");
  }
  bool Copy(const wchar_t* to) { return Files::Get().CopyFileW(L"C:\\zv\\blk.sys", to, win::FALSE) != 0; }
  Wow64FileApi wow64_{Files::Get()};
};

TEST_F(Wow64Test, ThirtyTwoBitCopyIntoSystem32LandsInSysWow64UnlessThisThreadSwitchedRedirectionOff) {
  Bitness bits("32");
  ScopedApi<FileApi> scoped(wow64_);
  ASSERT_TRUE(Copy(L"C:\\Windows\\System32\\drivers\\a.sys"));
  EXPECT_TRUE(fs::exists(C("Windows/SysWOW64/drivers/a.sys")));
  EXPECT_FALSE(fs::exists(C("Windows/System32/drivers/a.sys")));

  void* old = nullptr;
  ASSERT_TRUE(Wow64DisableWow64FsRedirection(&old));
  ASSERT_TRUE(Copy(L"c:\\WINDOWS\\system32\\Drivers\\b.sys"));
  // Another thread of the same program is still redirected.
  bool otherCopied = false;
  std::thread other([&] { otherCopied = Copy(L"C:\\Windows\\System32\\drivers\\c.sys"); });
  other.join();
  ASSERT_TRUE(otherCopied);
  ASSERT_TRUE(Wow64RevertWow64FsRedirection(old));
  ASSERT_TRUE(Copy(L"C:\\Windows\\System32\\drivers\\d.sys"));

  EXPECT_TRUE(fs::exists(C("Windows/System32/drivers/b.sys")));
  EXPECT_FALSE(fs::exists(C("Windows/SysWOW64/drivers/b.sys")));
  EXPECT_TRUE(fs::exists(C("Windows/SysWOW64/drivers/c.sys")));
  EXPECT_TRUE(fs::exists(C("Windows/SysWOW64/drivers/d.sys")));

  // A listing of System32 shows the 32-bit folder; Sysnative the real one.
  win::WIN32_FIND_DATAW data;
  win::HANDLE find = Files::Get().FindFirstFileW(L"C:\\Windows\\System32\\drivers\\*.sys", &data);
  ASSERT_NE(find, win::INVALID_HANDLE_VALUE);
  std::wstring names = data.cFileName;
  while (Files::Get().FindNextFileW(find, &data)) names += L"," + std::wstring(data.cFileName);
  Files::Get().FindClose(find);
  EXPECT_EQ(names, L"a.sys,c.sys,d.sys");
  EXPECT_NE(Files::Get().GetFileAttributesW(L"C:\\Windows\\Sysnative\\drivers\\b.sys"), win::INVALID_FILE_ATTRIBUTES);
}

// A 32-bit program as it starts: UseWow64Files, undone at the end so that
// later tests see the plain file layer again.
struct ThirtyTwoBitProgram {
  Bitness bits{"32"};
  ThirtyTwoBitProgram() { UseWow64Files(); }
  ~ThirtyTwoBitProgram() {
    Api<FileApi>::Exchange(nullptr);
    SetProgramSearchRewrite(nullptr);
  }
};

TEST_F(Wow64Test, ThirtyTwoBitCallersFindSysWow64ProgramsUnlessRedirectionIsOff) {
  ProgramFile net;
  net.standIn = "net";
  MakeFile(C("Windows/System32/net.exe"), FormatProgramFile(net));
  net.bitness = 32;
  MakeFile(C("Windows/SysWOW64/net.exe"), FormatProgramFile(net));
  const SearchContext context{L"C:\\zv\\caller.exe", L"C:\\zv", MachinePath(*machine_)};
  auto find = [&](const wchar_t* line) {
    FoundProgram found;
    win::DWORD error = FindProgram(*machine_, nullptr, line, context, found);
    return error ? L"error " + std::to_wstring(error) : found.dosPath;
  };
  EXPECT_EQ(find(L"net stop zvorx"), L"C:\\Windows\\System32\\net.exe");
  {
    ThirtyTwoBitProgram program;
    EXPECT_EQ(find(L"net stop zvorx"), L"C:\\Windows\\SysWOW64\\net.exe");
    EXPECT_EQ(find(L"C:\\Windows\\System32\\net.exe stop zvorx"), L"C:\\Windows\\SysWOW64\\net.exe");
    EXPECT_EQ(find(L"\"C:\\Windows\\Sysnative\\net\" stop"), L"C:\\Windows\\System32\\net.exe");
    void* old = nullptr;
    ASSERT_TRUE(Wow64DisableWow64FsRedirection(&old));
    EXPECT_EQ(find(L"net stop zvorx"), L"C:\\Windows\\System32\\net.exe");
    ASSERT_TRUE(Wow64RevertWow64FsRedirection(old));
    // Only a 32-bit copy missing from SysWOW64 is missing for the caller.
    fs::remove(C("Windows/SysWOW64/net.exe"));
    EXPECT_EQ(find(L"C:\\Windows\\System32\\net.exe"), L"error 2");
  }
  EXPECT_EQ(find(L"C:\\Windows\\System32\\net.exe"), L"C:\\Windows\\System32\\net.exe");
}

TEST_F(Wow64Test, NoRedirectionForSixtyFourBitProgramsOrOnAnX86Machine) {
  {
    Bitness bits("64");
    ScopedApi<FileApi> scoped(wow64_);
    ASSERT_TRUE(Copy(L"C:\\Windows\\System32\\drivers\\a.sys"));
    EXPECT_TRUE(fs::exists(C("Windows/System32/drivers/a.sys")));
    void* old = nullptr;
    SetLastError(0);
    EXPECT_FALSE(Wow64DisableWow64FsRedirection(&old));
    EXPECT_EQ(GetLastError(), win::ERROR_INVALID_FUNCTION);
    win::BOOL wow64 = win::TRUE;
    ASSERT_TRUE(IsWow64Process(Processes::Get().GetCurrentProcess(), &wow64));
    EXPECT_FALSE(wow64);
    win::WCHAR dir[260];
    EXPECT_EQ(GetSystemWow64DirectoryW(dir, 260), 19u);
    EXPECT_EQ(std::wstring(dir), L"C:\\Windows\\SysWOW64");
  }
  machine_->SetSetting("machine.architecture", "x86");
  auto x86 = Machine::Open(root_, false);  // settings are read once per machine object
  Machine::SetCurrent(x86);
  Bitness bits("32");
  ScopedApi<FileApi> scoped(wow64_);
  EXPECT_FALSE(IsWow64());
  ASSERT_TRUE(Copy(L"C:\\Windows\\System32\\drivers\\b.sys"));
  EXPECT_TRUE(fs::exists(C("Windows/System32/drivers/b.sys")));
  win::WCHAR dir[260];
  EXPECT_EQ(GetSystemWow64DirectoryW(dir, 260), 0u);
  EXPECT_EQ(GetLastError(), 120u);
}

TEST(Wow64Paths, ExemptionsSysnativeAndPathForms) {
  EXPECT_EQ(RedirectSystem32(L"C:\\Windows\\System32"), L"C:\\Windows\\SysWOW64");
  EXPECT_EQ(RedirectSystem32(L"C:\\Windows\\System32\\"), L"C:\\Windows\\SysWOW64\\");
  EXPECT_EQ(RedirectSystem32(L"C:/windows/system32/x.dll"), L"C:\\windows\\SysWOW64\\x.dll");
  EXPECT_EQ(RedirectSystem32(L"C:\\Windows\\Temp\\..\\System32\\x.dll"), L"C:\\Windows\\SysWOW64\\x.dll");
  EXPECT_EQ(RedirectSystem32(L"\\\\?\\C:\\Windows\\System32\\x.dll"), L"\\\\?\\C:\\Windows\\SysWOW64\\x.dll");
  EXPECT_EQ(RedirectSystem32(L"C:\\Windows\\System32\\drivers\\x.sys"), L"C:\\Windows\\SysWOW64\\drivers\\x.sys");
  EXPECT_EQ(RedirectSystem32(L"C:\\Windows\\Sysnative\\x.dll"), L"C:\\Windows\\System32\\x.dll");
  for (const wchar_t* kept : {L"C:\\Windows\\System32\\drivers\\etc\\hosts", L"C:\\Windows\\System32\\catroot\\a",
                              L"C:\\Windows\\System32\\CatRoot2", L"C:\\Windows\\System32\\spool\\x",
                              L"C:\\Windows\\System32\\LogFiles\\x", L"C:\\Windows\\System32\\DriverStore\\x",
                              L"C:\\Windows\\System32x\\a", L"C:\\Windows\\SysWOW64\\a", L"D:\\Windows\\System32\\a",
                              L"C:\\Program Files\\System32", L"relative\\System32"}) {
    EXPECT_EQ(RedirectSystem32(kept), kept) << zv::text::ToUtf8(kept);
  }
}

TEST_F(Wow64Test, ProcedureLookUpFindsTheStandInsUnlessTheMachineRemovedThem) {
  Bitness bits("32");
  win::HMODULE kernel32 = GetModuleHandleW(L"KERNEL32.DLL");
  ASSERT_NE(kernel32, nullptr);
  EXPECT_EQ(GetModuleHandleW(L"user32"), nullptr);
  using IsWow64Fn = win::BOOL (*)(win::HANDLE, win::BOOL*);
  auto isWow64 = reinterpret_cast<IsWow64Fn>(GetProcAddress(kernel32, "IsWow64Process"));
  ASSERT_NE(isWow64, nullptr);
  win::BOOL answer = win::FALSE;
  ASSERT_TRUE(isWow64(Processes::Get().GetCurrentProcess(), &answer));
  EXPECT_TRUE(answer);
  EXPECT_EQ(GetProcAddress(kernel32, "iswow64process"), nullptr);  // export names keep their case
  // Another process answers from its row; a handle without query access is refused.
  for (int processBits : {32, 64}) {
    ProgramStart start;
    start.image = L"C:\\Tools\\t.exe";
    start.commandLine = L"t.exe";
    start.bitness = processBits;
    const win::DWORD pid = InsertStartingProcess(*machine_, start);
    win::HANDLE h = Processes::Get().OpenProcess(win::PROCESS_QUERY_LIMITED_INFORMATION, win::FALSE, pid);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(isWow64(h, &answer));
    EXPECT_EQ(answer, processBits == 32 ? win::TRUE : win::FALSE);
    CloseHandle(h);
    h = Processes::Get().OpenProcess(win::SYNCHRONIZE, win::FALSE, pid);
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(isWow64(h, &answer));
    EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
    CloseHandle(h);
  }

  machine_->SetSetting("kernel32.missing", "IsWow64Process, Wow64RevertWow64FsRedirection");
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(kernel32, "IsWow64Process"), nullptr);
  EXPECT_EQ(GetLastError(), 127u);
  EXPECT_EQ(GetProcAddress(kernel32, "Wow64RevertWow64FsRedirection"), nullptr);
  EXPECT_NE(GetProcAddress(kernel32, "Wow64DisableWow64FsRedirection"), nullptr);

  win::WCHAR small[5];
  EXPECT_EQ(GetSystemDirectoryW(small, 5), 20u);  // the size needed, terminator included
  win::WCHAR dir[260];
  EXPECT_EQ(GetSystemDirectoryW(dir, 260), 19u);
  EXPECT_EQ(std::wstring(dir), L"C:\\Windows\\system32");
  EXPECT_EQ(GetWindowsDirectoryW(dir, 260), 10u);
}

// ---- Boot and time -------------------------------------------------------------

// A host program that registers on the machine and waits to be ended: this
// test program again, run with ZV_BOOT_HELPER.
TEST(BootHelper, RegisterAndWait) {
  if (!std::getenv("ZV_BOOT_HELPER")) GTEST_SKIP() << "run by the boot tests";
  RegisterCurrentProcess(L"", 1);
  std::this_thread::sleep_for(std::chrono::seconds(30));
}

class BootTest : public zv::platform::testing::MachineTest {
 protected:
  void TearDown() override {
    for (pid_t pid : helpers_) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    zv::platform::testing::MachineTest::TearDown();
  }
  // Starts the helper; with a machine parent it counts as started by the
  // machine, without one as a host program that registered itself.
  pid_t StartHelper(bool startedByMachine) {
    std::vector<std::string> env = {"ZV_BOOT_HELPER=1", "ZV_MACHINE=" + root_.string()};
    if (startedByMachine) env.push_back("ZV_PARENT_PID=4");
    for (char** e = environ; *e; ++e) {
      std::string v = *e;
      if (v.rfind("ZV_MACHINE=", 0) != 0 && v.rfind("ZV_PARENT_PID=", 0) != 0) env.push_back(v);
    }
    std::vector<char*> envp;
    for (auto& v : env) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string self = fs::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=BootHelper.RegisterAndWait";
    char* argv[] = {self.data(), filter.data(), nullptr};
    pid_t pid = 0;
    EXPECT_EQ(::posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    helpers_.push_back(pid);
    return pid;
  }
  static bool Alive(pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) == 0; }
  bool WaitForRows(std::size_t rows) {
    for (int i = 0; i < 500; ++i) {
      if (ListProcesses(*machine_).size() >= rows) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  std::vector<pid_t> helpers_;
};

TEST_F(BootTest, BootEndsWhatTheMachineStartedKeepsRegisteredHostProgramsAndSetsTheUptime) {
  const win::DWORD scenario = AddProcess(*machine_, 4, L"C:\\Windows\\notepad.exe", 1, false);
  ASSERT_EQ(AddUser(*machine_, L"alice", nullptr), win::ERROR_SUCCESS);
  ASSERT_EQ(Logon(*machine_, L"alice"), win::ERROR_SUCCESS);
  const pid_t started = StartHelper(true);
  const pid_t registered = StartHelper(false);
  ASSERT_TRUE(WaitForRows(5));  // idle, system, scenario, two helpers

  BootReport report = BootMachine(*machine_, 30000);
  EXPECT_EQ(report.ended.size(), 2u);
  EXPECT_EQ(report.kept.size(), 1u);
  EXPECT_EQ(report.loggedOff, std::vector<std::wstring>{L"alice"});
  UserInfo alice;
  ASSERT_EQ(FindUser(*machine_, L"alice", alice), win::ERROR_SUCCESS);
  EXPECT_FALSE(alice.loggedOn);
  EXPECT_FALSE(FindProcess(*machine_, scenario));
  for (int i = 0; i < 200 && Alive(started); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(Alive(started));
  EXPECT_TRUE(Alive(registered));
  EXPECT_EQ(ListProcesses(*machine_).size(), 4u);  // idle, system, the registered helper, this test
  EXPECT_TRUE(FindProcess(*machine_, 0) && FindProcess(*machine_, 4));

  MachineTime t = ReadMachineTime(*machine_, 1.0);
  EXPECT_GE(t.UptimeMs(), 30000u);
  EXPECT_LT(t.UptimeMs(), 35000u);
  EXPECT_EQ(t.boots, 1);
}

TEST_F(BootTest, EveryProgramReadsTheMachineUptimeUnderATimeScaleToo) {
  const std::string env = "ZV_MACHINE=" + root_.string();
  ProgramRun boot = RunProgram(env, "zvmachine", "boot --uptime 30");
  ASSERT_EQ(boot.code, 0) << boot.out;

  // Another program, ten times faster, starts near 30 s.
  ProgramRun fast = RunProgram(env + " ZV_TIME_SCALE=10", "zvmachine", "boot show");
  ASSERT_EQ(fast.code, 0) << fast.out;
  const std::uint64_t fastTick = Field(fast.out, "tick count");
  EXPECT_GE(fastTick, 30000u);
  EXPECT_LT(fastTick, 45000u) << fast.out;

  // This program, anchored to the machine, agrees with what the fast one saw.
  // Its seconds ran ten times faster while it ran, so it may be a little
  // ahead of the machine's real-time uptime read afterwards.
  ASSERT_TRUE(UseMachineTime());
  const std::uint64_t ours = GetTickCount64();
  EXPECT_GE(ours + 1000, fastTick);
  EXPECT_LT(ours, fastTick + 15000);
  const std::int64_t now = CurrentClock().UtcMilliseconds();
  MachineTime t = ReadMachineTime(*machine_, 1.0);
  EXPECT_NEAR(static_cast<double>(now), static_cast<double>(t.utcMs), 1000.0);
  EXPECT_NEAR(static_cast<double>(ours), static_cast<double>(t.UptimeMs()), 1000.0);
}

TEST_F(BootTest, RestartRequestIsRecordedNotPerformed) {
  const win::DWORD scenario = AddProcess(*machine_, 4, L"C:\\Windows\\notepad.exe", 1, false);
  const std::int64_t bootsBefore = ReadMachineTime(*machine_, 1.0).boots;
  const std::string env = "ZV_MACHINE=" + root_.string();
  ProgramRun restart = RunProgram(env, "shutdown", "-r -t 1");
  ASSERT_EQ(restart.code, 0) << restart.out;
  ProgramRun bad = RunProgram(env, "shutdown", "-r -t soon");
  EXPECT_EQ(bad.code, 87);
  ProgramRun none = RunProgram(env, "shutdown", "/t 5");
  EXPECT_EQ(none.code, 87);
  ProgramRun later = RunProgram(env, "shutdown", "/S /T 30 /c \"bye now\"");
  ASSERT_EQ(later.code, 0) << later.out;

  std::vector<RestartRequest> requests = ListRestartRequests(*machine_);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].kind, "restart");
  EXPECT_EQ(requests[0].delaySeconds, 1u);
  EXPECT_EQ(requests[0].command, L"shutdown -r -t 1");
  EXPECT_EQ(requests[0].image, L"C:\\Program Files\\ZV\\shutdown.exe");
  EXPECT_EQ(requests[1].kind, "shutdown");
  EXPECT_EQ(requests[1].delaySeconds, 30u);
  // Nothing was ended and the machine did not boot.
  EXPECT_TRUE(FindProcess(*machine_, scenario));
  EXPECT_EQ(ReadMachineTime(*machine_, 1.0).boots, bootsBefore);
}

TEST(MachineClock, TimeZoneLocalTimeOfAnyInstantAndFileTimes) {
  EXPECT_EQ(ParseTimeZone("UTC"), 0);
  EXPECT_EQ(ParseTimeZone("+09:00"), 540);
  EXPECT_EQ(ParseTimeZone("UTC-05:00"), -300);
  EXPECT_EQ(ParseTimeZone("+0530"), 330);
  EXPECT_EQ(ParseTimeZone("UTC+9"), 540);
  EXPECT_EQ(ParseTimeZone("Tokyo"), std::nullopt);
  EXPECT_EQ(ParseTimeZone(""), std::nullopt);
  EXPECT_EQ(ParseTimeZone("+25:00"), std::nullopt);

  const std::optional<int> saved = LocalTimeBias();
  SetLocalTimeBias(540);
  win::SYSTEMTIME st;
  // 2024-03-01 23:30:00.250 UTC is the next day in Tokyo.
  ASSERT_TRUE(LocalTimeOf(1709335800250, st));
  EXPECT_EQ(st.wYear, 2024);
  EXPECT_EQ(st.wMonth, 3);
  EXPECT_EQ(st.wDay, 2);
  EXPECT_EQ(st.wHour, 8);
  EXPECT_EQ(st.wMinute, 30);
  EXPECT_EQ(st.wMilliseconds, 250);
  // Thirty days earlier, as the log purge asks.
  ASSERT_TRUE(LocalTimeOf(1709335800250 - 2592000000LL, st));
  EXPECT_EQ(st.wMonth, 2);
  EXPECT_EQ(st.wDay, 1);
  // Before 1970 the milliseconds stay positive.
  ASSERT_TRUE(LocalTimeOf(-1, st));
  EXPECT_EQ(st.wMilliseconds, 999);

  VirtualClock clock(1709335800250);
  ScopedClock scoped(clock);
  win::FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  EXPECT_EQ(UtcMsFromFileTime(ft), 1709335800250);
  EXPECT_EQ((std::uint64_t{ft.dwHighDateTime} << 32 | ft.dwLowDateTime), 133538094002500000ull);
  EXPECT_EQ(UtcMsFromFileTime(LocalFileTime(ft)) - 1709335800250, 540LL * 60000);
  EXPECT_EQ(clock.LocalTime().wHour, 8);
  SetLocalTimeBias(saved);
}

}  // namespace

namespace {

// ---- File calls the start-up program relies on -----------------------------------

class MachineFilesTest : public zv::platform::testing::MachineTest {};

TEST_F(MachineFilesTest, LinkInAWalkedFolderIsAReparsePointAndOverlongHostPathsFailWith206) {
  MakeFile(C("Target/inner.txt"), "keep");
  MakeFile(C("Walk/file.txt"), "x");
  fs::create_directory_symlink(C("Target"), C("Walk/link"));
  win::WIN32_FIND_DATAW data;
  win::HANDLE find = Files::Get().FindFirstFileW(L"C:\\Walk\\*", &data);
  ASSERT_NE(find, win::INVALID_HANDLE_VALUE);
  std::map<std::wstring, win::WIN32_FIND_DATAW> seen;
  do {
    seen[data.cFileName] = data;
  } while (Files::Get().FindNextFileW(find, &data));
  Files::Get().FindClose(find);
  ASSERT_TRUE(seen.count(L"link"));
  EXPECT_EQ(seen[L"link"].dwFileAttributes & (win::FILE_ATTRIBUTE_REPARSE_POINT | win::FILE_ATTRIBUTE_DIRECTORY),
            win::FILE_ATTRIBUTE_REPARSE_POINT | win::FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(seen[L"link"].dwReserved0, 0xA000000Cu);
  EXPECT_FALSE(seen[L"file.txt"].dwFileAttributes & win::FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_TRUE(Files::Get().GetFileAttributesW(L"C:\\Walk\\link") & win::FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_FALSE(Files::Get().GetFileAttributesW(L"C:\\Target") & win::FILE_ATTRIBUTE_REPARSE_POINT);

  // A verbatim path may have 32767 units, but the host takes 4096 bytes.
  std::wstring deep = L"\\\\?\\C:";
  std::string host = C("").string();
  const std::string part(200, 'd');
  int dir = ::open(host.c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < 22; ++i) {
    ASSERT_EQ(::mkdirat(dir, part.c_str(), 0755), 0);
    int next = ::openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(dir);
    dir = next;
    deep += L"\\" + std::wstring(part.begin(), part.end());
  }
  ::close(dir);
  deep += L"\\x.txt";
  SetLastError(0);
  win::HANDLE file = Files::Get().CreateFileW(deep.c_str(), win::GENERIC_WRITE, 0, nullptr, win::CREATE_ALWAYS,
                                              win::FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(file, win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_FILENAME_EXCED_RANGE);
  // Remove the deep tree without the host's path limit.
  std::string rm = "rm -rf '" + C("").string() + part + "'";
  EXPECT_EQ(std::system(rm.c_str()), 0);
}

TEST_F(MachineFilesTest, AnsiCopyAndSystemFolder) {
  EnsureSystemFolders(*machine_);
  MakeFile(C("zv/mxblkurl_x64.sys"), "64");
  char system[260];
  ASSERT_EQ(GetSystemDirectoryA(system, sizeof system), 19u);
  const std::string target = std::string(system) + "\\Drivers\\mxblkurl.sys";
  ASSERT_TRUE(CopyFileA("C:\\zv\\mxblkurl_x64.sys", target.c_str(), win::FALSE));
  MakeFile(C("zv/mxblkurl_x64.sys"), "64 new");
  ASSERT_TRUE(CopyFileA("C:\\zv\\mxblkurl_x64.sys", target.c_str(), win::FALSE));  // overwrites
  EXPECT_EQ(ReadHost(C("Windows/System32/drivers/mxblkurl.sys")), "64 new");
  EXPECT_FALSE(CopyFileA("C:\\zv\\mxblkurl_x64.sys", target.c_str(), win::TRUE));
  EXPECT_EQ(GetLastError(), win::ERROR_FILE_EXISTS);
  EXPECT_EQ(GetSystemDirectoryA(system, 5), 20u);
}

}  // namespace
