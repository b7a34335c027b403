// The worker pool in this process against the real driver stand-in daemon,
// the real filter-manager client, completion ports and threads; one fresh
// machine per test.
#include <gtest/gtest.h>

#include <boost/signals2.hpp>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "driver_channel/port_client.h"
#include "driver_channel/records.h"
#include "driver_channel/signals.h"
#include "log/log.h"
#include "platform/base/debug_output.h"
#include "platform/filter/filter_api.h"
#include "platform/filter/filter_wire.h"
#include "platform/files/machine.h"
#include "suite/driver/driver_events.h"
#include "suite/driver/testing/machine_fixture.h"

namespace zv::channel {
namespace {

using suite::DriverControl;
using suite::InjectResult;
using Outcome = platform::wire::Outcome;

int CountContaining(const std::vector<std::wstring>& lines, std::wstring_view text) {
  return static_cast<int>(
      std::count_if(lines.begin(), lines.end(), [&](const std::wstring& l) { return l.find(text) != l.npos; }));
}

suite::Notification Make(std::uint8_t kind, std::uint32_t pid, std::wstring path = L"") {
  suite::Notification n;
  n.kind = kind;
  n.processId = pid;
  n.path = std::move(path);
  return n;
}

class PoolDaemonTest : public suite::testing::ScratchMachineTest {
 protected:
  PoolDaemonTest() : ScratchMachineTest("zvpool-") {}
  void SetUp() override {
    ScratchMachineTest::SetUp();
    log::SetLevelMask(1);
  }
  void TearDown() override {
    if (run_.valid()) {
      platform::DebugOutputCapture quiet;
      platform::ConsoleCapture quietConsole;
      DriverControl().Unload();
      run_.wait();
    }
    ScratchMachineTest::TearDown();
  }
  void LoadAndServe(int replyTimeoutDriverMs) {
    machine_->SetSetting("driver.ReplyTimeoutMs", std::to_string(replyTimeoutDriverMs));
    ASSERT_EQ(platform::Filters::Get().FilterLoad(L"ZVORX"), win::S_OK);
    run_ = std::async(std::launch::async, [] { return ServiceThreadFunc(nullptr); });
    // The pool is complete once its eight workers are counted.
    for (int i = 0; i < 3000; ++i) {
      if (LiveWorkerCount() == static_cast<std::int32_t>(kPoolSize)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FAIL() << "the pool never started";
  }

  std::future<win::DWORD> run_;
};

TEST_F(PoolDaemonTest, RepliesDecisionsSkipsVendorPathsAndSurvivesALateReply) {
  platform::DebugOutputCapture debug;
  platform::ConsoleCapture console;
  std::mutex m;
  std::vector<std::pair<int, std::uint32_t>> seen;  // kind, pid
  boost::signals2::scoped_connection c =
      NotificationSignal.connect([&](_MXRED_NOTIFICATION* n, _MXRED_REPLY_MESSAGE* r) {
        if (n->ProcessId < 9000) return;  // the machine's own process feed
        {
          std::lock_guard lock(m);
          seen.emplace_back(n->Kind, n->ProcessId);
        }
        if (n->SourcePath().find(L"slow") != std::wstring::npos) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // past the driver's wait
        }
        if (n->ProcessId == 9666) r->Allow = r->AuxFlag = 0;
      });
  LoadAndServe(30000);  // 300 ms real

  DriverControl control;
  for (std::uint8_t kind : {1, 2, 9}) {
    InjectResult r = control.Inject(Make(kind, 9001, L"\\Device\\HarddiskVolume2\\img.dll"));
    ASSERT_TRUE(r.delivered) << r.error;
    EXPECT_EQ(r.outcome, Outcome::NoReplyExpected) << int(kind);
  }
  InjectResult r = control.Inject(Make(5, 9002));
  EXPECT_EQ(r.outcome, Outcome::Replied);
  EXPECT_EQ(r.allow, 1);
  r = control.Inject(Make(3, 9666, L"\\Device\\HarddiskVolume2\\deny.txt"));
  EXPECT_EQ(r.outcome, Outcome::Replied);
  EXPECT_EQ(r.allow, 0);
  r = control.Inject(Make(3, 9666, L"\\Device\\HarddiskVolume2\\Program Files\\Trend Micro\\a.exe"));
  EXPECT_EQ(r.outcome, Outcome::Replied);
  EXPECT_EQ(r.allow, 1);  // no handler was asked

  r = control.Inject(Make(3, 9003, L"\\Device\\HarddiskVolume2\\slow.txt"));
  EXPECT_EQ(r.outcome, Outcome::TimedOut);
  // The same eight workers go on answering.
  for (int i = 0; i < 20; ++i) {
    r = control.Inject(Make(4, 9004, L"\\Device\\HarddiskVolume2\\r.txt"));
    ASSERT_EQ(r.outcome, Outcome::Replied);
    EXPECT_EQ(r.allow, 1);
  }
  for (int i = 0; i < 500 && CountContaining(debug.Lines(), L"[TIME_OUT]") == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(CountContaining(debug.Lines(), L"ScannerWorker ---- <ERROR> (ERROR:0x801F0020)=FilterReplyMessage("
                                           L"\\Device\\HarddiskVolume2\\slow.txt) [TIME_OUT]\r\n"),
            1);
  EXPECT_EQ(LiveWorkerCount(), 8);
  {
    std::lock_guard lock(m);
    auto count = [&](int kind, std::uint32_t pid) { return std::count(seen.begin(), seen.end(), std::pair{kind, pid}); };
    EXPECT_EQ(count(1, 9001), 1);
    EXPECT_EQ(count(2, 9001), 1);
    EXPECT_EQ(count(9, 9001), 1);
    EXPECT_EQ(count(3, 9666), 1);  // the vendor path was not dispatched
    EXPECT_EQ(count(4, 9004), 20);
  }
  EXPECT_EQ(console.Text().find("Port is disconnected"), std::string::npos);
}

TEST_F(PoolDaemonTest, UnloadEndsAllWorkersAndTheRunReturnsZero) {
  platform::DebugOutputCapture debug;
  platform::ConsoleCapture console;
  LoadAndServe(300000);
  ASSERT_EQ(DriverControl().Inject(Make(5, 9002)).outcome, Outcome::Replied);
  ASSERT_EQ(DriverControl().Unload(), win::S_OK);
  ASSERT_EQ(run_.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(run_.get(), 0u);
  EXPECT_EQ(SharedPortHandle(), win::INVALID_HANDLE_VALUE);

  std::string text = console.Text();
  int disconnected = 0;
  for (auto p = text.find("ZVORX: Port is disconnected, probably due to scanner filter unloading.\n");
       p != std::string::npos; p = text.find("ZVORX: Port is disconnected", p + 1)) {
    ++disconnected;
  }
  EXPECT_GE(disconnected, 8);
  EXPECT_NE(text.find("ZVORX:  All done. Result = 0x80070006\n"), std::string::npos);
  auto lines = debug.Lines();
  EXPECT_EQ(CountContaining(lines, L"<ERROR> WaitForMultipleObjects(SIGNALED:IOCP Thread)"), 8);
  EXPECT_EQ(CountContaining(lines, L"<ERROR> All IOCP Thread Terminated !!"), 1);
  EXPECT_EQ(CountContaining(lines, L"<ERROR> Trying to reconnect IOCP !!"), 1);
  EXPECT_EQ(CountContaining(lines, L"ServiceThreadFunc ---- <ERROR> (ERROR:0x80070006)=FilterGetMessage()"), 1);
  // The driver is gone: a shutdown's own unload finds nothing.
  EXPECT_EQ(platform::Filters::Get().FilterUnload(L"ZVORX"), win::HR_FLT_FILTER_NOT_FOUND);
}

}  // namespace
}  // namespace zv::channel
