// The access-control engines inside a running zvorx: the driver stand-in,
// configuration through zvorxctl command files, then file opens played from
// scenario files. One fresh machine per test; clocks 100 times faster.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/files/machine.h"
#include "platform/files/volumes.h"
#include "platform/processes/process_table.h"
#include "platform/windows/window_table.h"
#include "suite/driver/driver_events.h"
#include "suite/driver/testing/zvorx_program_test.h"

namespace zv::engines {
namespace {

namespace fs = std::filesystem;
using suite::testing::Count;
using suite::testing::ReadFile;

const fs::path kTestFiles = fs::path(ZV_TEST_DATA_DIR);

// Sets (or, with nullptr, removes) an environment variable for the programs
// started in its scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (previous_) {
      ::setenv(name_, previous_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

class AccessServiceTest : public suite::testing::ZvorxProgramTest {
 protected:
  AccessServiceTest() : ZvorxProgramTest("zvac-", kTestFiles) {}
  void MakeFile(const std::string& rel) {
    fs::create_directories((root_ / "volumes" / "C" / rel).parent_path());
    std::ofstream(root_ / "volumes" / "C" / rel) << "x";
  }
};

TEST_F(AccessServiceTest, AccessControlDecidesOpensByProcessAndPathType) {
  MakeFile("Downloads/setup.exe");
  StartZvorx();
  Process("WHITE", L"C:\\Windows\\System32\\cmd.exe");
  Process("IE", L"C:\\Program Files\\Internet Explorer\\iexplore.exe");
  Process("NOTYPE", L"C:\\Tools\\plain.exe");
  win::DWORD bad = Process("BAD", L"C:\\Tools\\BadTool.exe");
  Process("FREE", L"C:\\Tools\\freetool.exe");
  Process("FREENAME", L"C:\\Tools\\freebyname.exe");
  for (const char* type : {"1", "4", "8", "21", "40", "80", "400", "10800"}) {
    Process(std::string("P") + type, L"C:\\Tools\\proc-0x" + std::wstring(type, type + std::strlen(type)) + L".exe");
  }
  Configure("access_control.commands");
  Play("access_control.scenario");

  // The restricted program was ended through the machine's process calls.
  EXPECT_FALSE(platform::FindProcess(*machine_, bad));
  std::string err = Err("zvorx");
  EXPECT_EQ(Count(err, "AC1 ---- process[" + std::to_string(bad) + "] Access Restricted Install \\\\?\\C:\\Windows\\win.ini"),
            1)
      << err;
  EXPECT_EQ(Count(err, "AC1 ---- RPCListen_i AC_SET_ENGINEWORK , 1"), 1);
  // The key-3 command reached only the key-2 engine, which echoed it before
  // its key test and left C:\Secret protected (the scenario shows it).
  EXPECT_EQ(Count(err, "AC1 ---- RPCListen_is AC_ADD_PATHTYPE ,4, C:\\Secret\r\n"), 1);
}

TEST_F(AccessServiceTest, DeviceAccessEngineIsCreatedOnceAndKeepsItsOwnSettings) {
  MakeFolder("DevBrowse");
  MakeFile("DevBrowse/file.txt");
  StartZvorx();
  Process("USER", L"C:\\Tools\\user.exe");
  Process("COM", L"C:\\Windows\\System32\\dllhost.exe");
  Configure("device_access.commands");
  Play("device_access.scenario");

  std::string err = Err("zvorx");
  // One creation (its debugger line); the second command found the engine.
  // The key-2 engine echoes both commands, the key-3 engine the second.
  EXPECT_EQ(Count(err, "RPCListen_s MAIN_ENGINE_CREATEDEVICEACCESS"), 3) << err;
  EXPECT_EQ(Count(err, "MAIN_ENGINE_CREATEDEVICEACCESS"), 4) << err;
  // Text commands reach both engines; keyed ones only their own.
  EXPECT_EQ(Count(err, "AC1 ---- RPCListen_s AC_ADD_PROTECTPATH , C:\\Both"), 2);
  EXPECT_EQ(Count(err, "AC1 ---- RPCListen_i AC_SET_DEVICEACCESSMODE , 3"), 1);
  EXPECT_EQ(Count(err, "AC1 ---- RPCListen_i AC_SET_DEVICEACCESSMODE , 2"), 1);
}

TEST_F(AccessServiceTest, DocumentOpenedFromTheFileManagerIsRedirectedToTheLauncher) {
  ASSERT_EQ(platform::VolumeTable(machine_).Add(L"\\Device\\HarddiskVolume3", L"D:"), 0u);
  fs::create_directories(root_ / "volumes" / "HarddiskVolume3" / "m" / "C" / "Users" / "a");
  std::ofstream(root_ / "volumes" / "HarddiskVolume3" / "m" / "C" / "Users" / "a" / "doc.txt") << "copy";
  ASSERT_EQ(Run("install", "zvmachine", {"install"}), 0) << Err("install");
  // A window holder outlives a failed test otherwise.
  struct EndHoldersAtExit {
    platform::Machine& machine;
    ~EndHoldersAtExit() {
      for (const auto& process : platform::ListProcesses(machine))
        if (process.image.ends_with(L"\\zvwindow.exe")) platform::EndProcess(machine, process.pid);
    }
  } endHolders{*machine_};
  // The document's window, held by a program of the user's session. Its
  // start is awaited on a real-time clock: a sanitised holder may take
  // longer than a sped-up wait allows.
  {
    ScopedEnv realTime("ZV_TIME_SCALE", nullptr);
    ASSERT_EQ(Run("window", "zvmachine", {"window", "open", "C:\\Users\\a\\doc.txt"}), 0) << Err("window");
  }
  auto windows = platform::ListWindows(*machine_);
  ASSERT_EQ(windows.size(), 1u);
  const win::DWORD holder = windows[0].owner;
  StartZvorx();
  Process("EXPLORER", L"C:\\Windows\\explorer.exe");
  Configure("redirect.commands");
  Play("redirect.scenario");

  // The launcher starts the handler on the mirror folder, and the window
  // closed by the service ends its holder.
  const std::wstring launcherLine = L"\"halvorn.exe\" \"/exe:C:\\Program Files\\ZV\\ZVSet.exe/mirror:D:\\m\\C\\Users\\a\"";
  std::optional<platform::ProgramStart> launcher, handler;
  // Until all three have ended, so nothing writes to the machine after the test.
  auto ended = [&](const std::optional<platform::ProgramStart>& start) { return start && start->exitCode; };
  for (int i = 0; i < 2000 && !(ended(launcher) && ended(handler) && !platform::FindProcess(*machine_, holder));
       ++i) {
    for (const auto& start : platform::ListProgramStarts(*machine_)) {
      if (start.image == L"C:\\Program Files\\ZV\\halvorn.exe") launcher = start;
      if (start.image == L"C:\\Program Files\\ZV\\ZVSet.exe") handler = start;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(launcher) << Err("zvorx");
  EXPECT_EQ(launcher->commandLine, launcherLine);
  EXPECT_EQ(launcher->showWindow, win::SW_SHOW);
  EXPECT_EQ(launcher->exitCode, 0u);
  ASSERT_TRUE(handler);
  EXPECT_EQ(handler->commandLine, L"\"C:\\Program Files\\ZV\\ZVSet.exe\" D:\\m\\C\\Users\\a");
  EXPECT_EQ(handler->parent, launcher->pid);
  EXPECT_FALSE(platform::FindProcess(*machine_, holder));
  EXPECT_EQ(platform::ExitCodeOf(*machine_, holder), 0u);

  std::string err = Err("zvorx");
  EXPECT_EQ(Count(err, "AC1 ---- !!!! lastaccess = \\\\?\\C:\\Users\\a\\doc.txt"), 1) << err;
  EXPECT_EQ(Count(err, "AC1 ---- TemporaryReadBlock  exe = \\\\?\\C:\\Windows\\System32\\notepad.exe , dat = "
                       "\\\\?\\C:\\Users\\a\\doc.txt"),
            1);
  EXPECT_EQ(Count(err, "<ERROR>"), 0);
}

TEST_F(AccessServiceTest, SkipSwitchLeavesTheEngineDeaf) {
  StartZvorx({"-skipac"});
  Process("P1", L"C:\\Tools\\proc-0x1.exe");
  Process("FREE", L"C:\\Tools\\freetool.exe");
  Configure("access_control.commands");
  ASSERT_EQ(Run("play", "zvorx-driver", {"inject", "open", values_["P1"], "C:\\Secret\\plan.txt", "expect", "allow"}),
            0)
      << Out("play");
  EXPECT_EQ(Count(Err("zvorx"), "AC1 ----"), 0);
}

}  // namespace
}  // namespace zv::engines
