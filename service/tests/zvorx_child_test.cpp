// The zvorx program run as a child against the real driver stand-in: one
// fresh machine per test, clocks sped up with ZV_TIME_SCALE, and every
// process of the test killed in TearDown.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/filter/filter_api.h"
#include "platform/filter/filter_wire.h"
#include "platform/files/machine.h"
#include "suite/driver/driver_events.h"
#include "suite/driver/testing/zvorx_program_test.h"


namespace zv::service {
namespace {

namespace fs = std::filesystem;
using suite::DriverControl;
using Outcome = platform::wire::Outcome;

using suite::testing::Count;
using suite::testing::ReadFile;

class ZvorxChildTest : public suite::testing::ZvorxProgramTest {
 protected:
  ZvorxChildTest() : ZvorxProgramTest("zvorx-", {}) {}

  // Starts zvorx (or another program of ZV_BIN_DIR) with its output in
  // <root>/<name>.out and .err.
  pid_t Start(const std::string& name, std::vector<std::string> args = {}, const std::string& file = "zvorx") {
    return Spawn(name, file, std::move(args));
  }
  bool WaitConnected() {
    for (int i = 0; i < 2000; ++i) {
      auto status = DriverControl().Status();
      if (status && status->find("client: connected") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
};

TEST_F(ZvorxChildTest, ConsoleRunAnswersTheDriverRefusesASecondCopyAndEndsWhenItUnloads) {
  pid_t zvorx = Start("first");
  ASSERT_TRUE(WaitConnected()) << Err("first");

  DriverControl control;
  suite::Notification n;
  n.kind = 5;
  n.processId = 9002;
  auto r = control.Inject(n);
  EXPECT_EQ(r.outcome, Outcome::Replied);
  EXPECT_EQ(r.allow, 1);
  r = control.InjectOpen(9003, L"C:\\Program Files\\Trend Micro\\a.exe", 0x120089, false, false);
  EXPECT_EQ(r.outcome, Outcome::Replied) << r.error;
  EXPECT_EQ(r.allow, 1);
  r = control.InjectProcess(9004, 9003, true);
  EXPECT_EQ(r.outcome, Outcome::NoReplyExpected);

  // The control interface comes up 3500 ms (35 ms here) after start-up and
  // reaches the MAIN handlers: the mask 0xffff shows the progress lines.
  bool set = false;
  for (int i = 0; i < 200 && !set; ++i) {
    set = Wait(Start("ctl", {"i", "0", "MAIN_ENGINE_SETLOG", "65535"}, "zvorxctl")) == 0;
    if (!set) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(set) << Err("ctl");

  // A second copy leaves at once with 0 and writes nothing.
  pid_t second = Start("second");
  EXPECT_EQ(Wait(second), 0);
  EXPECT_EQ(Err("second"), "");
  EXPECT_EQ(Out("second"), "");

  // Unloaded from outside: the pool ends, shutdown's own unload finds no
  // driver, and its HRESULT 0x801F0013 is the exit code (low byte 0x13).
  ASSERT_EQ(DriverControl().Unload(), win::S_OK);
  EXPECT_EQ(Wait(zvorx), 0x13);
  std::string out = Out("first");
  EXPECT_EQ(out.find("ZVORX: Connecting to the filter ...\nZVORX: Port = 0x"), 0u) << out;
  EXPECT_GE(Count(out, "ZVORX: Port is disconnected, probably due to scanner filter unloading.\n"), 8);
  EXPECT_EQ(Count(out, "ZVORX:  All done. Result = 0x80070006\n"), 1);
  // The restarted pool's worker may still report its end after that line.
  EXPECT_NE(out.find("ZVORX:  RPC's Thread is terminating ... \r\n"
                     "ZVORX:  Filter Unloading ...\r\n"
                     "ZVORX:  (ERROR=0x801F0013)=FilterUnload() !!\r\n"
                     "ZVORX:  Internal data cleanup ...\r\n"
                     "ZVORX:  A Termination finished successfully ...\r\n"),
            std::string::npos)
      << out;
  std::string err = Err("first");
  EXPECT_EQ(Count(err, "[mxred] ServiceThreadFunc ---- <ERROR> WaitForMultipleObjects(SIGNALED:IOCP Thread)"), 8);
  EXPECT_EQ(Count(err, "[mxred] Init ---- <ERROR> (ERROR=0x801f0013)=FilterUnload()"), 1);
  EXPECT_EQ(Count(err, "[mxred] Init ---- RPC thread exit ...\r\n"), 1);
  EXPECT_EQ(Count(err, "[mxred] Init ---- Filter Unloading ...\r\n"), 1);
  EXPECT_EQ(Count(err, "[mxred] CleanupPluginDll ---- Plug-in list init ...\r\n"), 1);
  EXPECT_EQ(Count(err, "[mxred] Init ---- Finished !!\r\n"), 1);
}

TEST_F(ZvorxChildTest, TenFailedLoadsEndWithThree) {
  machine_->SetSetting("fail.FilterLoad", "0x80070005");
  auto started = std::chrono::steady_clock::now();
  pid_t zvorx = Start("zvorx");
  EXPECT_EQ(Wait(zvorx), 3);
  // 55 s of back-off on a clock a hundred times faster.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  std::string err = Err("zvorx");
  EXPECT_EQ(Count(err, "[mxred] Init ---- <ERROR> (ERROR=0x80070005)=FilterLoad()\r\n"), 10);
  EXPECT_NE(err.find("[mxred] Init Error ---- <ERROR> Exceed Max Filter Error\r\n"), std::string::npos);
  EXPECT_EQ(Out("zvorx"), "");
  EXPECT_FALSE(DriverControl().Connected());
}

TEST_F(ZvorxChildTest, ALoadedDriverIsUnloadedStoppedAndLoadedAgain) {
  ASSERT_EQ(platform::Filters::Get().FilterLoad(L"ZVORX"), win::S_OK);
  // "net stop zvorx" is not waited for; the 3 s pause and the 1 s back-off
  // (400 ms here) must outlast it, or it would stop the reloaded driver.
  ::setenv("ZV_TIME_SCALE", "10", 1);
  pid_t zvorx = Start("zvorx", {"-skipbe"});
  ASSERT_TRUE(WaitConnected()) << Err("zvorx");
  std::string err = Err("zvorx");
  EXPECT_EQ(Count(err, "[mxred] Init ---- <ERROR> (ERROR=0x800700b7)=FilterLoad()\r\n"), 1);
  EXPECT_EQ(Count(err, "FilterLoad()"), 1);
  ASSERT_EQ(DriverControl().Unload(), win::S_OK);
  EXPECT_EQ(Wait(zvorx), 0x13);
  Err("zvorx");
}

TEST_F(ZvorxChildTest, ServiceSwitchOutsideTheServiceManagerShutsDownAtOnce) {
  pid_t zvorx = Start("zvorx", {"-service"});
  EXPECT_EQ(Wait(zvorx), 0);  // the driver it loaded unloads cleanly
  EXPECT_EQ(Err("zvorx").find("Sanitizer"), std::string::npos);
  EXPECT_EQ(Out("zvorx"),
            "ZVORX:  RPC's Thread is terminating ... \r\n"
            "ZVORX:  Filter Unloading ...\r\n"
            "ZVORX:  Internal data cleanup ...\r\n"
            "ZVORX:  A Termination finished successfully ...\r\n");
  EXPECT_FALSE(DriverControl().Connected());
}

}  // namespace
}  // namespace zv::service
