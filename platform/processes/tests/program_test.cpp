// Program files, the Windows search for them, CreateProcessW with a script
// standing in, waits on process handles and WinExec.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/base/clock.h"
#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/testing/machine_fixture.h"
#include "platform/processes/process_api_real.h"
#include "platform/processes/process_table.h"
#include "platform/processes/program_files.h"
#include "platform/threads/sync_api.h"

using namespace zv::platform;
namespace win = zv::win;
namespace fs = std::filesystem;

namespace {

class ProgramTest : public zv::platform::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    bin_ = root_ / "bin";
    fs::create_directories(bin_);
    ::setenv("ZV_BIN_DIR", bin_.c_str(), 1);
    RegisterCurrentProcess(L"C:\\Apps\\caller.exe", 1);
  }
  void TearDown() override {
    UnregisterCurrentProcess();
    ::unsetenv("ZV_BIN_DIR");
    MachineTest::TearDown();
  }
  // A program file at C:\<rel> played by the stand-in.
  void Program(const std::string& rel, const std::string& standIn = "probe", int bitness = 64) {
    ProgramFile f;
    f.standIn = standIn;
    f.bitness = bitness;
    MakeFile(C(rel), FormatProgramFile(f));
  }
  // The stand-in script: writes its arguments to <root>/ran.<pid>.
  void ProbeStandIn() {
    std::ofstream script(bin_ / "probe");
    script << "#!/bin/sh\nprintf '%s|' \"$@\" > \"" << root_.string() << "/tmp.$ZV_PID\"\nmv \"" << root_.string()
           << "/tmp.$ZV_PID\" \"" << root_.string() << "/ran.$ZV_PID\"\n";
    script.close();
    fs::permissions(bin_ / "probe", fs::perms::owner_all);
  }
  std::wstring Found(const wchar_t* app, const std::wstring& line, win::DWORD* error = nullptr) {
    SearchContext context{L"C:\\Apps\\caller.exe", L"C:\\Work", MachinePath(*machine_)};
    FoundProgram found;
    win::DWORD rc = FindProgram(*machine_, app, line, context, found);
    if (error) *error = rc;
    return rc == win::ERROR_SUCCESS ? found.dosPath : L"";
  }
  win::DWORD Start(const std::wstring& line, win::PROCESS_INFORMATION& info, const win::STARTUPINFOW* si = nullptr) {
    win::STARTUPINFOW startup;
    std::wstring buffer = line;
    return programs_.CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, win::FALSE, 0, nullptr, nullptr,
                                    si ? si : &startup, &info)
               ? win::ERROR_SUCCESS
               : GetLastError();
  }
  std::string Ran(win::DWORD pid) {
    fs::path out = root_ / ("ran." + std::to_string(pid));
    for (int i = 0; i < 500 && !fs::exists(out); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return ReadHost(out);
  }

  fs::path bin_;
  RealProgramApi programs_;
  RealProcessApi processes_;
};

TEST_F(ProgramTest, ProgramFilesParseStrictly) {
  ProgramFile f;
  EXPECT_EQ(ParseProgramFile("ZVPROGRAM\r\nstandin=recorder\r\nbitness=32\r\nwindow=A = B\r\n", f), 0u);
  EXPECT_EQ(f.standIn, "recorder");
  EXPECT_EQ(f.bitness, 32);
  EXPECT_EQ(f.options["window"], "A = B");
  EXPECT_EQ(ParseProgramFile(FormatProgramFile(f), f), 0u);
  EXPECT_EQ(f.options["window"], "A = B");
  for (const char* bad : {"", "MZ\x90", "ZVPROGRAM\n", "ZVPROGRAM\nstandin=../sh\n", "ZVPROGRAM\nstandin=/bin/sh\n",
                          "ZVPROGRAM\nstandin=.hidden\n", "ZVPROGRAM\nstandin=x\nbitness=16\n",
                          "zvprogram\nstandin=x\n", "ZVPROGRAM\nstandin=x\nnot a line\n"}) {
    EXPECT_EQ(ParseProgramFile(bad, f), win::ERROR_BAD_EXE_FORMAT) << bad;
  }
}

TEST_F(ProgramTest, SearchFindsTheFileWindowsWould) {
  // A bare name: caller's folder, current folder, System32, System, Windows, PATH.
  machine_->SetSetting("env.PATH", "C:\\Tools;relative;C:\\Missing");
  Program("Tools/tool.exe");
  EXPECT_EQ(Found(nullptr, L"tool /x"), L"C:\\Tools\\tool.exe");
  Program("Windows/tool.exe");
  EXPECT_EQ(Found(nullptr, L"tool /x"), L"C:\\Windows\\tool.exe");
  Program("Windows/System/tool.exe");
  EXPECT_EQ(Found(nullptr, L"tool /x"), L"C:\\Windows\\System\\tool.exe");
  Program("Windows/System32/tool.exe");
  EXPECT_EQ(Found(nullptr, L"tool /x"), L"C:\\Windows\\System32\\tool.exe");
  Program("Work/tool.exe");
  EXPECT_EQ(Found(nullptr, L"TOOL.EXE"), L"C:\\Work\\TOOL.EXE");
  Program("Apps/tool.exe");
  EXPECT_EQ(Found(nullptr, L"Tool"), L"C:\\Apps\\Tool.exe");  // case as asked, ".exe" added
  EXPECT_EQ(Found(nullptr, L"  tool"), L"C:\\Apps\\tool.exe");

  // Unquoted with blanks: the shortest prefix that names a file wins.
  Program("Program Files/My App/run.exe");
  EXPECT_EQ(Found(nullptr, L"C:\\Program Files\\My App\\run /x"), L"C:\\Program Files\\My App\\run.exe");
  Program("Program.exe");
  EXPECT_EQ(Found(nullptr, L"C:\\Program Files\\My App\\run /x"), L"C:\\Program.exe");
  // Quoted: only the quoted name.
  EXPECT_EQ(Found(nullptr, L"\"C:\\Program Files\\My App\\run\" /x"), L"C:\\Program Files\\My App\\run.exe");
  // An application name is completed with the current folder, never searched
  // and never given ".exe".
  EXPECT_EQ(Found(L"..\\Apps\\tool.exe", L"anything"), L"C:\\Apps\\tool.exe");
  win::DWORD error = 0;
  EXPECT_EQ(Found(L"C:\\Apps\\tool", L"x", &error), L"");
  EXPECT_EQ(error, win::ERROR_FILE_NOT_FOUND);

  // Missing program 2, missing folder 3, a folder 193.
  Found(nullptr, L"nothing /x", &error);
  EXPECT_EQ(error, win::ERROR_FILE_NOT_FOUND);
  Found(nullptr, L"\"C:\\No Such\\x.exe\"", &error);
  EXPECT_EQ(error, win::ERROR_PATH_NOT_FOUND);
  fs::create_directories(C("Apps/folder.exe"));
  Found(nullptr, L"C:\\Apps\\folder.exe", &error);
  EXPECT_EQ(error, win::ERROR_BAD_EXE_FORMAT);
}

TEST_F(ProgramTest, StartsRecordExactlyHowAndNothingOutsideTheMachineRuns) {
  ProbeStandIn();
  Program("Program Files/ZV/probe.exe", "probe", 32);
  fs::create_directories(C("Apps"));
  win::STARTUPINFOW si;
  si.cb = 68;  // a 32-bit caller's record
  std::wstring desktop = L"WinSta0\\winlogon";
  si.lpDesktop = desktop.data();
  si.dwFlags = win::STARTF_USESHOWWINDOW;
  si.wShowWindow = win::SW_MINIMIZE;
  std::wstring line = L"\"C:\\Program Files\\ZV\\probe.exe\" /run \"a b\"";
  win::PROCESS_INFORMATION info;
  ASSERT_TRUE(programs_.CreateProcessW(nullptr, line.data(), nullptr, nullptr, win::TRUE,
                                       win::CREATE_NEW_CONSOLE | win::NORMAL_PRIORITY_CLASS, nullptr, L"c:\\apps",
                                       &si, &info));
  EXPECT_EQ(info.dwProcessId % 4, 0u);
  EXPECT_NE(info.dwThreadId, info.dwProcessId);
  EXPECT_EQ(Ran(info.dwProcessId), "/run|a b|");
  auto starts = ListProgramStarts(*machine_);
  ASSERT_EQ(starts.size(), 1u);
  const ProgramStart& s = starts[0];
  EXPECT_EQ(s.pid, info.dwProcessId);
  EXPECT_EQ(s.parent, CurrentProcessPid());
  EXPECT_EQ(s.image, L"C:\\Program Files\\ZV\\probe.exe");
  EXPECT_EQ(s.commandLine, line);
  EXPECT_EQ(s.desktop, desktop);
  EXPECT_EQ(s.showWindow, win::SW_MINIMIZE);
  EXPECT_EQ(s.startupSize, 68u);
  EXPECT_EQ(s.creationFlags, 0x30u);
  EXPECT_EQ(s.currentDir, L"C:\\apps");  // as given, once it exists
  EXPECT_EQ(s.session, 1u);
  EXPECT_EQ(s.bitness, 32);
  EXPECT_EQ(s.standIn, "probe");

  // The script never records a code: it ends as found dead, 1067.
  EXPECT_EQ(Threads::Get().WaitForSingleObject(info.hProcess, win::INFINITE), win::WAIT_OBJECT_0);
  EXPECT_EQ(Threads::Get().WaitForSingleObject(info.hThread, 0), win::WAIT_OBJECT_0);
  win::DWORD code = 0;
  EXPECT_TRUE(programs_.GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(code, kUnrecordedExitCode);
  EXPECT_FALSE(programs_.GetExitCodeProcess(info.hThread, &code));
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);

  // Host programs, whatever the command line or the machine's drive holds,
  // never run: only stand-ins named by program files in ZV_BIN_DIR.
  std::string marker = (root_ / "escaped").string();
  MakeFile(C("evil.exe"), "#!/bin/sh\ntouch " + marker + "\n");
  fs::permissions(C("evil.exe"), fs::perms::owner_all);
  fs::copy_file("/bin/true", C("true.exe"));
  MakeFile(C("up.exe"), "ZVPROGRAM\nstandin=../../../../bin/sh\n");
  MakeFile(C("gone.exe"), "ZVPROGRAM\nstandin=no-such-stand-in\n");
  EXPECT_EQ(Start(L"C:\\evil.exe", info), win::ERROR_BAD_EXE_FORMAT);
  EXPECT_EQ(Start(L"C:\\true.exe", info), win::ERROR_BAD_EXE_FORMAT);
  EXPECT_EQ(Start(L"C:\\up.exe -c \"touch " + std::wstring(marker.begin(), marker.end()) + L"\"", info),
            win::ERROR_BAD_EXE_FORMAT);
  EXPECT_EQ(Start(L"C:\\gone.exe", info), win::ERROR_EXE_MACHINE_TYPE_MISMATCH);
  EXPECT_EQ(Start(L"/bin/sh -c \"touch " + std::wstring(marker.begin(), marker.end()) + L"\"", info),
            win::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Start(L"..\\..\\..\\..\\bin\\sh", info), win::ERROR_PATH_NOT_FOUND);  // C:\bin
  EXPECT_EQ(Start(L"sh", info), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Start(L"probe", info), win::ERROR_FILE_NOT_FOUND);  // a stand-in is no program
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_EQ(ListProgramStarts(*machine_).size(), 1u);
  // No row is left behind by a refused start.
  for (const MachineProcess& p : ListProcesses(*machine_)) EXPECT_FALSE(p.starting);
}

TEST_F(ProgramTest, WaitsTimeOutOnTheClockAndEndsWakeThem) {
  // A scenario process ends through the table: its waiter wakes (no poll).
  win::DWORD pid = AddProcess(*machine_, 4, L"C:\\x.exe", 1, false);
  win::HANDLE h = processes_.OpenProcess(win::SYNCHRONIZE | win::PROCESS_QUERY_LIMITED_INFORMATION, win::FALSE, pid);
  ASSERT_NE(h, nullptr);
  {
    VirtualClock clock;
    ScopedClock scoped(clock);
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(Threads::Get().WaitForSingleObject(h, 600000), win::WAIT_TIMEOUT);
    win::HANDLE both[2] = {h, h};
    EXPECT_EQ(Threads::Get().WaitForMultipleObjects(2, both, win::FALSE, 600000), win::WAIT_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
  }
  win::DWORD code = 0;
  EXPECT_TRUE(programs_.GetExitCodeProcess(h, &code));
  EXPECT_EQ(code, win::STILL_ACTIVE);
  std::thread ender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EndProcess(*machine_, pid, 0xC0000005);
  });
  EXPECT_EQ(Threads::Get().WaitForSingleObject(h, win::INFINITE), win::WAIT_OBJECT_0);
  ender.join();
  EXPECT_TRUE(programs_.GetExitCodeProcess(h, &code));
  EXPECT_EQ(code, 0xC0000005u);
  // An ended process stays signalled and keeps its code.
  EXPECT_EQ(Threads::Get().WaitForSingleObject(h, 0), win::WAIT_OBJECT_0);
  CloseHandle(h);
}

TEST_F(ProgramTest, WinExecGoesThroughTheSameStart) {
  ProbeStandIn();
  Program("Windows/System32/net.exe");
  EXPECT_EQ(processes_.WinExec("net stop \"a b\"", win::SW_HIDE), 33u);
  auto starts = ListProgramStarts(*machine_);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].image, L"C:\\Windows\\System32\\net.exe");
  EXPECT_EQ(starts[0].commandLine, L"net stop \"a b\"");
  EXPECT_EQ(starts[0].showWindow, win::SW_HIDE);
  EXPECT_EQ(starts[0].startupSize, 104u);  // this test program is 64-bit
  EXPECT_EQ(Ran(starts[0].pid), "stop|a b|");
  EXPECT_EQ(processes_.WinExec("sc stop zvorx", win::SW_HIDE), win::ERROR_FILE_NOT_FOUND);
  MakeFile(C("Windows/System32/sc.exe"), "not a program");
  EXPECT_EQ(processes_.WinExec("sc stop zvorx", win::SW_HIDE), win::ERROR_BAD_FORMAT);
}

TEST_F(ProgramTest, CommandLineOfAHostStartedProgramIsItsDosImageAndArguments) {
  std::wstring line = CurrentProcessCommandLine();
  EXPECT_TRUE(line.starts_with(L"C:\\Apps\\caller.exe")) << zv::text::ToUtf8(line);
  EXPECT_EQ(line.find(bin_.parent_path().wstring()), std::wstring::npos);
  EXPECT_EQ(line.find(L"/tests/"), std::wstring::npos);
  EXPECT_EQ(process_detail::SplitArguments(process_detail::QuoteArgument(L"a \"b\\\" c\\")),
            std::vector<std::wstring>{L"a \"b\\\" c\\"});
}

}  // namespace
