// The installed programs on a machine: the recorder's starts, exit codes
// and windows, the launcher, net, and the windows of two sessions.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "platform/base/handles.h"
#include "platform/filter/filter_api.h"
#include "platform/processes/process_api.h"
#include "platform/processes/process_table.h"
#include "platform/processes/program_api.h"
#include "platform/system/boot.h"
#include "platform/threads/sync_api.h"
#include "platform/windows/window_api.h"
#include "platform/windows/window_table.h"
#include "suite/driver/testing/machine_fixture.h"
#include "suite/programs/install.h"

namespace zv::suite {
namespace {

using namespace platform;

// True once a host process has sat in poll (its message wait) for two looks
// 20 ms apart. A process stopped elsewhere may hold machine.db's write lock,
// which every writer, TerminateProcess included, would then wait on.
bool IdleInPoll(pid_t pid) {
  auto inPoll = [pid] {
    std::ifstream f("/proc/" + std::to_string(pid) + "/syscall");
    std::string call;
    f >> call;
    return call == "7" || call == "271";  // poll, ppoll
  };
  if (!inPoll()) return false;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return inPoll();
}

class ProgramsTest : public testing::ScratchMachineTest {
 protected:
  ProgramsTest() : ScratchMachineTest("zvpg-") {}
  void SetUp() override {
    ScratchMachineTest::SetUp();
    ASSERT_EQ(InstallSuitePrograms(), win::ERROR_SUCCESS);
    RegisterCurrentProcess(L"C:\\Program Files\\ZV\\ZVVstIn.exe", 1);
  }
  void TearDown() override {
    UnregisterCurrentProcess();
    ScratchMachineTest::TearDown();
  }

  win::PROCESS_INFORMATION Start(std::wstring line, win::DWORD flags = 0, const wchar_t* desktop = nullptr,
                                 int show = -1, win::DWORD cb = sizeof(win::STARTUPINFOW)) {
    win::STARTUPINFOW si;
    si.cb = cb;
    std::wstring desk = desktop ? desktop : L"";
    if (desktop) si.lpDesktop = desk.data();
    if (show >= 0) {
      si.dwFlags = win::STARTF_USESHOWWINDOW;
      si.wShowWindow = static_cast<win::WORD>(show);
    }
    win::PROCESS_INFORMATION info;
    line.push_back(L'\0');
    EXPECT_TRUE(Programs::Get().CreateProcessW(nullptr, line.data(), nullptr, nullptr, win::TRUE, flags, nullptr,
                                               nullptr, &si, &info))
        << GetLastError();
    return info;
  }
  win::DWORD WaitAndClose(const win::PROCESS_INFORMATION& info) {
    EXPECT_EQ(Threads::Get().WaitForSingleObject(info.hProcess, win::INFINITE), win::WAIT_OBJECT_0);
    win::DWORD code = 0;
    EXPECT_TRUE(Programs::Get().GetExitCodeProcess(info.hProcess, &code));
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return code;
  }
  std::map<std::string, std::wstring> Notes(win::DWORD pid) {
    std::map<std::string, std::wstring> notes;
    for (const ProgramNote& n : ListProgramNotes(*machine_)) {
      if (n.pid == pid) notes[n.key] = n.value;
    }
    return notes;
  }
  std::optional<ProgramStart> StartOf(win::DWORD pid) {
    for (const ProgramStart& s : ListProgramStarts(*machine_)) {
      if (s.pid == pid) return s;
    }
    return std::nullopt;
  }
};

TEST_F(ProgramsTest, TheRecorderSeesHowItWasStartedAndEndsWithItsCode) {
  // As the start-up program starts a program on a desktop: unquoted path
  // with blanks, a 32-bit caller's 68-byte record, minimised.
  auto info = Start(L"C:\\Program Files\\ZV\\ZVLock.exe /transon", 0x30, L"WinSta0\\Default", win::SW_MINIMIZE, 68);
  win::DWORD pid = info.dwProcessId;
  EXPECT_EQ(WaitAndClose(info), 0u);
  auto notes = Notes(pid);
  EXPECT_EQ(notes["command_line"], L"C:\\Program Files\\ZV\\ZVLock.exe /transon");
  EXPECT_EQ(notes["desktop"], L"WinSta0\\Default");
  EXPECT_EQ(notes["show"], L"6");
  EXPECT_EQ(notes["current_dir"], L"C:\\Windows\\System32");
  auto start = StartOf(pid);
  ASSERT_TRUE(start);
  EXPECT_EQ(start->image, L"C:\\Program Files\\ZV\\ZVLock.exe");
  EXPECT_EQ(start->bitness, 32);
  EXPECT_EQ(start->startupSize, 68u);
  EXPECT_EQ(start->exitCode, 0u);

  // The whole 32-bit code survives, and a child inherits the desktop.
  ProgramFile crash;
  crash.standIn = "recorder";
  crash.options = {{"end", "now"}, {"exit", "0xC0000005"}};
  ASSERT_EQ(WriteProgramFile(L"C:\\Program Files\\ZV\\crash.exe", crash), 0u);
  info = Start(L"crash.exe", 0, L"WinSta0\\winlogon");
  pid = info.dwProcessId;
  EXPECT_EQ(WaitAndClose(info), 0xC0000005u);
  EXPECT_EQ(Notes(pid)["show"], L"");

  // A recorder that ends after a while (100 times faster here).
  crash.options = {{"end", "after:2000"}, {"exit", "7"}};
  ASSERT_EQ(WriteProgramFile(L"C:\\Program Files\\ZV\\later.exe", crash), 0u);
  EXPECT_EQ(WaitAndClose(Start(L"later")), 7u);
}

TEST_F(ProgramsTest, WindowsCloseOnWmCloseAndStaySessionBound) {
  auto vmq = Start(L"VMQCnt.exe");
  auto relay = Start(L"TaskRelay.exe");
  ASSERT_TRUE(WaitForOwnerWindow(*machine_, vmq.dwProcessId, 30000));
  ASSERT_TRUE(WaitForOwnerWindow(*machine_, relay.dwProcessId, 30000));
  auto& windows = TopLevelWindows::Get();
  win::HWND h = windows.FindWindowW(nullptr, L"vmq_client");  // titles compare without case
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(windows.FindWindowW(L"ZVRecorder", L"Test_TaskRelay") != nullptr, true);
  EXPECT_EQ(windows.FindWindowW(L"OtherClass", L"Test_TaskRelay"), nullptr);

  // A service in session 0 sees no window of the user's session.
  SetCurrentProcessSession(0);
  EXPECT_EQ(windows.FindWindowW(nullptr, L"VMQ_Client"), nullptr);
  EXPECT_EQ(windows.FindWindowW(nullptr, nullptr), nullptr);
  SetCurrentProcessSession(1);

  // SendMessageW returns once the owner has handled WM_CLOSE: the window is
  // gone then, and the recorder ends.
  EXPECT_EQ(windows.SendMessageW(h, win::WM_CLOSE, 0, 0), 0);
  EXPECT_EQ(windows.FindWindowW(nullptr, L"VMQ_Client"), nullptr);
  EXPECT_EQ(WaitAndClose(vmq), 0u);
  EXPECT_FALSE(windows.PostMessageW(h, win::WM_CLOSE, 0, 0));
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_WINDOW_HANDLE);

  // Posted: the caller goes on, the owner closes and ends.
  EXPECT_TRUE(windows.PostMessageW(windows.FindWindowW(nullptr, L"Test_TaskRelay"), win::WM_CLOSE, 0, 0));
  EXPECT_EQ(WaitAndClose(relay), 0u);
  EXPECT_TRUE(ListWindows(*machine_).empty());
}

TEST_F(ProgramsTest, SendMessageReturnsWhenTheOwnerDies) {
  auto notepad = Start(L"notepad.exe");
  ASSERT_TRUE(WaitForOwnerWindow(*machine_, notepad.dwProcessId, 30000));
  win::HWND h = TopLevelWindows::Get().FindWindowW(nullptr, L"Untitled - Notepad");
  ASSERT_NE(h, nullptr);
  // A message the recorder answers; then the owner, stopped on the host so
  // that it never takes the next one, is killed while a send is pending.
  EXPECT_EQ(TopLevelWindows::Get().SendMessageW(h, 0x0400, 1, 2), 0);
  auto row = FindProcess(*machine_, notepad.dwProcessId);
  ASSERT_TRUE(row && row->hostPid > 0);
  bool idle = false;
  for (int i = 0; i < 500 && !idle; ++i) {
    idle = IdleInPoll(row->hostPid);
    if (!idle) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(idle);
  ASSERT_EQ(::kill(row->hostPid, SIGSTOP), 0);
  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(Processes::Get().TerminateProcess(notepad.hProcess, 9));
  });
  EXPECT_EQ(TopLevelWindows::Get().SendMessageW(h, win::WM_CLOSE, 0, 0), 0);
  killer.join();
  EXPECT_EQ(WaitAndClose(notepad), 9u);  // TerminateProcess's code
}

TEST_F(ProgramsTest, TheLauncherStartsTheHandlerOnTheMirrorFolder) {
  // As the access-control engine starts it from the service, session 0.
  RegisterCurrentProcess(L"C:\\Program Files\\ZV\\zvorx.exe", 0);
  auto info = Start(L"\"halvorn.exe\" \"/exe:notepad.exe/mirror:C:\\m\\C\\Users\\a\"", 0, nullptr, win::SW_SHOW);
  win::DWORD launcher = info.dwProcessId;
  EXPECT_EQ(WaitAndClose(info), 0u);
  auto start = StartOf(launcher);
  ASSERT_TRUE(start);
  EXPECT_EQ(start->image, L"C:\\Program Files\\ZV\\halvorn.exe");  // found in zvorx's folder
  EXPECT_EQ(start->session, 0u);
  EXPECT_EQ(start->showWindow, win::SW_SHOW);
  auto notes = Notes(launcher);
  EXPECT_EQ(notes["exe"], L"notepad.exe");
  EXPECT_EQ(notes["mirror"], L"C:\\m\\C\\Users\\a");
  std::optional<ProgramStart> handler;
  for (const ProgramStart& s : ListProgramStarts(*machine_)) {
    if (s.parent == launcher) handler = s;
  }
  ASSERT_TRUE(handler);
  // The launcher is 32-bit: its bare-name search goes through the WOW64
  // folder redirection, so the handler is SysWOW64's copy, itself 32-bit.
  EXPECT_EQ(handler->image, L"C:\\Windows\\SysWOW64\\notepad.exe");
  EXPECT_EQ(handler->commandLine, L"notepad.exe C:\\m\\C\\Users\\a");
  EXPECT_EQ(handler->showWindow, win::SW_SHOW);
  EXPECT_EQ(handler->session, 0u);
  // Its window is in session 0, where the service finds and closes it.
  ASSERT_TRUE(WaitForOwnerWindow(*machine_, handler->pid, 30000));
  EXPECT_EQ(Notes(handler->pid)["wow64"], L"1");
  win::HWND h = TopLevelWindows::Get().FindWindowW(nullptr, L"Untitled - Notepad");
  ASSERT_NE(h, nullptr);
  win::HANDLE p = Processes::Get().OpenProcess(win::SYNCHRONIZE | win::PROCESS_QUERY_LIMITED_INFORMATION, win::FALSE,
                                               handler->pid);
  ASSERT_NE(p, nullptr) << GetLastError();
  EXPECT_TRUE(TopLevelWindows::Get().PostMessageW(h, win::WM_CLOSE, 0, 0));
  EXPECT_EQ(Threads::Get().WaitForSingleObject(p, win::INFINITE), win::WAIT_OBJECT_0);
  CloseHandle(p);
}

TEST_F(ProgramsTest, AStartedProgramCountsTicksFromTheMachineBoot) {
  // Programs here run 100 times faster than the host: the uptime the
  // recorder reads is 30 s plus the machine time its start took, whatever
  // the program's own age.
  const auto before = std::chrono::steady_clock::now();
  BootMachine(*machine_, 30000);
  auto info = Start(L"C:\\Windows\\System32\\sc.exe query");
  const win::DWORD pid = info.dwProcessId;
  EXPECT_EQ(WaitAndClose(info), 0u);
  const auto realMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - before).count();
  const std::uint64_t tick = std::stoull(Notes(pid)["tick_count"]);
  EXPECT_GE(tick, 30000u);
  EXPECT_LE(tick, 30000u + 100u * static_cast<std::uint64_t>(realMs) + 1000u);
  EXPECT_EQ(Notes(pid)["wow64"], L"0");  // the 64-bit System32 copy, from a 32-bit caller without WOW64 files
}

TEST_F(ProgramsTest, NetStopStopsTheDriver) {
  ASSERT_EQ(Filters::Get().FilterLoad(L"ZVORX"), win::S_OK);
  EXPECT_EQ(Processes::Get().WinExec("net stop zvorx", win::SW_HIDE), 33u);
  auto starts = ListProgramStarts(*machine_);
  ASSERT_EQ(starts.size(), 1u);
  win::HANDLE p = Processes::Get().OpenProcess(win::SYNCHRONIZE | win::PROCESS_QUERY_LIMITED_INFORMATION, win::FALSE,
                                               starts[0].pid);
  if (p) {
    EXPECT_EQ(Threads::Get().WaitForSingleObject(p, win::INFINITE), win::WAIT_OBJECT_0);
    win::DWORD code = 1;
    EXPECT_TRUE(Programs::Get().GetExitCodeProcess(p, &code));
    EXPECT_EQ(code, 0u);
    CloseHandle(p);
  }
  EXPECT_NE(Filters::Get().FilterUnload(L"ZVORX"), win::S_OK);  // already unloaded
}

}  // namespace
}  // namespace zv::suite
