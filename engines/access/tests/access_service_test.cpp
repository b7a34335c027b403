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
#include "platform/processes/process_table.h"
#include "suite/driver/driver_events.h"
#include "suite/driver/testing/zvorx_program_test.h"

namespace zv::engines {
namespace {

namespace fs = std::filesystem;
using suite::testing::Count;
using suite::testing::ReadFile;

const fs::path kTestFiles = fs::path(__FILE__).parent_path();

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
