// Port client and worker pool against in-process fakes of the driver port,
// the completion port and threads.
#include <gtest/gtest.h>

#include <boost/signals2.hpp>
#include <future>
#include <set>

#include "driver_channel/port_client.h"
#include "driver_channel/signals.h"
#include "driver_channel/tests/fake_port.h"
#include "log/log.h"
#include "platform/base/debug_output.h"

namespace zv::channel {
namespace {

using namespace zv::testing;
using platform::ScopedApi;

int CountContaining(const std::vector<std::wstring>& lines, std::wstring_view text) {
  return static_cast<int>(
      std::count_if(lines.begin(), lines.end(), [&](const std::wstring& l) { return l.find(text) != l.npos; }));
}
int CountContaining(const std::string& text, std::string_view needle) {
  int n = 0;
  for (auto p = text.find(needle); p != text.npos; p = text.find(needle, p + 1)) ++n;
  return n;
}

// Runs ServiceThreadFunc on a thread of its own against the fakes.
class PortClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log::SetLevelMask(0xffff);
    log::SetOutputFlags(1);
  }
  void TearDown() override {
    if (run_.valid()) {
      driver_.Unload();
      run_.wait();
    }
    threads_.JoinAll();
    SetFreeProcessTest(nullptr);
    log::SetLevelMask(1);
  }
  void Start() {
    run_ = std::async(std::launch::async, [] { return ServiceThreadFunc(nullptr); });
    ASSERT_TRUE(driver_.WaitPending(kPoolSize * kReadsPerWorker));
    // The count is set once the whole pool is up, just after its reads.
    for (int i = 0; i < 1000 && LiveWorkerCount() != static_cast<std::int32_t>(kPoolSize); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  DWORD Finish() {
    DWORD r = run_.get();
    return r;
  }
  // Replies are sent before the buffer is re-posted; wait for the re-post so
  // that all 40 reads are pending again.
  void Settle() { ASSERT_TRUE(driver_.WaitPending(kPoolSize * kReadsPerWorker)); }

  platform::DebugOutputCapture debug_;
  platform::ConsoleCapture console_;
  FakeDriver driver_;
  FakeThreads threads_;
  ScopedApi<platform::FilterApi> filterApi_{driver_};
  ScopedApi<platform::CompletionPortApi> completionApi_{driver_};
  ScopedApi<platform::ThreadApi> threadApi_{threads_};
  std::future<DWORD> run_;
};

TEST_F(PortClientTest, DispatchesEveryKindAndRepliesOnlyWhereTheDriverWaits) {
  std::mutex m;
  std::multiset<int> seen;
  boost::signals2::scoped_connection c = NotificationSignal.connect([&](_MXRED_NOTIFICATION* n, _MXRED_REPLY_MESSAGE* r) {
    {
      std::lock_guard lock(m);
      seen.insert(n->Kind);
    }
    if (n->Kind == 4) r->Allow = r->AuxFlag = 0;  // an engine denies renames
  });
  Start();
  EXPECT_EQ(driver_.Concurrency(), kPoolSize);
  EXPECT_NE(SharedPortHandle(), win::INVALID_HANDLE_VALUE);

  std::map<int, ULONGLONG> ids;
  for (int kind : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}) {
    auto n = MakeNotification(static_cast<BYTE>(kind), 4242, L"\\Device\\HarddiskVolume2\\a.txt");
    n.Param1 = 77;
    n.Param2 = 1;
    ids[kind] = driver_.Inject(n);
  }
  for (int kind : {3, 4, 5, 7, 8, 10}) {
    auto reply = driver_.WaitReply(ids[kind]);
    ASSERT_TRUE(reply) << kind;
    EXPECT_EQ(reply->status, 0);
    EXPECT_EQ(reply->messageId, ids[kind]);
    EXPECT_EQ(reply->allow, kind == 4 ? 0 : 1) << kind;
    EXPECT_EQ(reply->auxFlag, 0);
    EXPECT_TRUE(reply->reservedZero);
  }
  Settle();
  for (int kind : {1, 2, 6, 9, 11}) EXPECT_FALSE(driver_.HasReply(ids[kind])) << kind;
  {
    std::lock_guard lock(m);
    for (int kind = 1; kind <= 11; ++kind) EXPECT_EQ(seen.count(kind), 1u) << kind;
  }
  // No allocation per notification: every buffer went back as the same read.
  EXPECT_EQ(driver_.getMessageCalls.load(), 40 + 11);
  EXPECT_EQ(CountContaining(debug_.Lines(),
                            L"[mxred] ScannerWorker ---- ZVORX , ProcessNotify():  Success FltSendMessagepid=4242, "
                            L"ppid=77, create=1\r\n"),
            1);
}

TEST_F(PortClientTest, VendorPathsAndFreeProcessesOfFileOpensSkipTheEngines) {
  std::atomic<int> calls{0};
  boost::signals2::scoped_connection c = NotificationSignal.connect([&](_MXRED_NOTIFICATION*, _MXRED_REPLY_MESSAGE* r) {
    ++calls;
    r->Allow = r->AuxFlag = 0;
  });
  SetFreeProcessTest([](DWORD pid) { return pid == 777; });
  Start();

  struct Case {
    BYTE kind;
    DWORD pid;
    const wchar_t* path;
    bool skipped;
  };
  const Case cases[] = {
      {3, 10, L"\\Device\\HarddiskVolume2\\Program Files\\Trend Micro\\x.dll", true},
      {3, 10, L"\\Device\\HarddiskVolume2\\bin\\TmProxy.exe", true},
      {3, 777, L"\\Device\\HarddiskVolume2\\a.txt", true},
      {3, 10, L"\\Device\\HarddiskVolume2\\trend micro\\x.dll", false},  // case-sensitive
      {3, 10, L"\\Device\\HarddiskVolume2\\tmproxy.exe", false},
      {4, 10, L"\\Device\\HarddiskVolume2\\Trend Micro\\x.dll", false},  // file opens only
      {4, 777, L"\\Device\\HarddiskVolume2\\a.txt", false},
  };
  for (const Case& k : cases) {
    int before = calls.load();
    auto reply = driver_.WaitReply(driver_.Inject(MakeNotification(k.kind, k.pid, k.path)));
    ASSERT_TRUE(reply);
    EXPECT_EQ(calls.load() - before, k.skipped ? 0 : 1) << k.path;
    EXPECT_EQ(reply->allow, k.skipped ? 1 : 0) << k.path;
  }
}

TEST_F(PortClientTest, LateReplyIsLoggedAndTheWorkerGoesOnOtherReplyFailuresEndIt) {
  driver_.replyResults[1] = win::HR_FLT_NO_WAITER_FOR_REPLY;
  driver_.replyResults[2] = win::E_FAIL;
  Start();
  ASSERT_TRUE(driver_.WaitReply(driver_.Inject(MakeNotification(3, 5, L"\\Device\\HarddiskVolume2\\late.txt"))));
  ASSERT_TRUE(driver_.WaitReply(driver_.Inject(MakeNotification(5, 5, L"\\Device\\HarddiskVolume2\\bad.txt"))));
  // The late reply's buffer is re-posted; the failed reply's worker ends.
  ASSERT_TRUE(driver_.WaitPending(39));
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(driver_.WaitReply(driver_.Inject(MakeNotification(3, 5))));

  auto lines = debug_.Lines();
  EXPECT_EQ(CountContaining(lines, L"ScannerWorker ---- <ERROR> (ERROR:0x801F0020)=FilterReplyMessage("
                                   L"\\Device\\HarddiskVolume2\\late.txt) [TIME_OUT]\r\n"),
            1);
  EXPECT_EQ(CountContaining(lines, L"<ERROR> (ERROR:0x80004005)=FilterReplyMessage(\\Device\\HarddiskVolume2\\bad.txt)"),
            1);
  EXPECT_EQ(CountContaining(lines, L"Unknown error occured. Error = 0x80004005"), 1);
  EXPECT_EQ(CountContaining(console_.Text(),
                            "[TN_QUERY_REDIRECT] Error replying message. Error = 0x80004005  "
                            "\\Device\\HarddiskVolume2\\bad.txt\n"),
            1);
  EXPECT_EQ(CountContaining(console_.Text(), "ZVORX: Unknown error occured. Error = 0x80004005\n"), 1);
  EXPECT_EQ(LiveWorkerCount(), 8);  // counted only when the whole pool has ended
}

// A read that fails with anything but ERROR_INVALID_HANDLE gives its
// buffer back to the port: more failures than the pool has buffers leave
// every read posted and every notification answered.
TEST_F(PortClientTest, FailedReadsAreRepostedAndNeverStallThePool) {
  Start();
  const int failures = kPoolSize * kReadsPerWorker + 10;
  for (int i = 0; i < failures; ++i) {
    ASSERT_TRUE(driver_.WaitPending(1)) << "no read left to fail after " << i << " failures";
    driver_.FailOneRead(win::ERROR_OPERATION_ABORTED);
  }
  Settle();
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(driver_.WaitReply(driver_.Inject(MakeNotification(3, 5))));
  Settle();
  EXPECT_EQ(driver_.Pending(), kPoolSize * kReadsPerWorker);
  EXPECT_EQ(CountContaining(debug_.Lines(), L"<ERROR> (ERROR:995)=GetQueuedCompletionStatus(outSize=0, key="),
            failures);
  EXPECT_EQ(CountContaining(console_.Text(), "Port is disconnected"), 0);
  EXPECT_EQ(LiveWorkerCount(), static_cast<std::int32_t>(kPoolSize));
}

TEST_F(PortClientTest, UnloadEndsEveryWorkerAndTheRestartedPoolCleansUp) {
  Start();
  ASSERT_TRUE(driver_.WaitReply(driver_.Inject(MakeNotification(3, 5))));
  Settle();
  win::HANDLE port = SharedPortHandle();
  driver_.Unload();
  EXPECT_EQ(Finish(), 0u);

  std::string console = console_.Text();
  EXPECT_EQ(console.find("ZVORX: Connecting to the filter ...\n"), 0u);
  EXPECT_EQ(CountContaining(console, "ZVORX: Port = 0x"), 1);
  EXPECT_GE(CountContaining(console, "ZVORX: Port is disconnected, probably due to scanner filter unloading.\n"), 8);
  EXPECT_EQ(CountContaining(console, "ZVORX:  All done. Result = 0x80070006\n"), 1);

  auto lines = debug_.Lines();
  EXPECT_GE(CountContaining(lines, L"ScannerWorker ---- <ERROR> Port is disconnected, probably due to mxred filter "
                                   L"unloading.\r\n"),
            8);
  EXPECT_EQ(CountContaining(lines, L"ServiceThreadFunc ---- <ERROR> WaitForMultipleObjects(SIGNALED:IOCP Thread)"), 8);
  EXPECT_EQ(CountContaining(lines, L"ServiceThreadFunc ---- <ERROR> All IOCP Thread Terminated !!"), 1);
  EXPECT_EQ(CountContaining(lines, L"ServiceThreadFunc ---- <ERROR> Trying to reconnect IOCP !!"), 1);
  EXPECT_EQ(CountContaining(lines, L"ServiceThreadFunc ---- <ERROR> (ERROR:0x80070006)=FilterGetMessage()"), 1);
  EXPECT_EQ(CountContaining(lines, L"ServiceThreadFunc ---- <ERROR> All done. Result = 0x80070006"), 1);
  EXPECT_EQ(CountContaining(lines, L"(ERROR:6)=GetQueuedCompletionStatus(outSize=0, key=0000000000000000, pOvlp="),
            CountContaining(lines, L"Port is disconnected, probably due to mxred"));

  // The restarted pool had created one worker before its first read failed.
  EXPECT_EQ(threads_.Created(), 9);
  EXPECT_EQ(CountContaining(lines, L"scanworkker begin"), 9);
  EXPECT_EQ(SharedPortHandle(), win::INVALID_HANDLE_VALUE);
  EXPECT_TRUE(driver_.Port()->closedByClient);
  EXPECT_EQ(platform::LookupHandle(port), nullptr);
}

TEST(PortClientStart, ConnectAndCompletionPortFailuresReturnTheirCodes) {
  log::SetLevelMask(1);
  FakeDriver driver;
  FakeThreads threads;
  ScopedApi<platform::FilterApi> f(driver);
  ScopedApi<platform::CompletionPortApi> c(driver);
  ScopedApi<platform::ThreadApi> t(threads);
  {
    platform::DebugOutputCapture debug;
    platform::ConsoleCapture console;
    driver.connectResult = win::HR_FLT_FILTER_NOT_FOUND;
    EXPECT_EQ(ServiceThreadFunc(nullptr), 2u);
    EXPECT_EQ(console.Text(),
              "ZVORX: Connecting to the filter ...\nERROR: Connecting to filter port: 0x801f0013\n");
    EXPECT_EQ(CountContaining(debug.Lines(),
                              L"ServiceThreadFunc ---- <ERROR> (ERROR:0x801F0013)=FilterConnectCommunicationPort()"),
              1);
  }
  {
    platform::DebugOutputCapture debug;
    platform::ConsoleCapture console;
    driver.connectResult = win::S_OK;
    driver.completionError = win::ERROR_INVALID_PARAMETER;
    EXPECT_EQ(ServiceThreadFunc(nullptr), 3u);
    EXPECT_EQ(CountContaining(console.Text(), "ERROR: Creating completion port: 87\n"), 1);
    EXPECT_EQ(CountContaining(debug.Lines(), L"<ERROR> (ERROR:87)=CreateIoCompletionPort()"), 1);
    EXPECT_TRUE(driver.Port()->closedByClient);
  }
  EXPECT_EQ(threads.Created(), 0);
}

TEST(PortClientStart, AThreadThatCannotBeCreatedEndsTheRunAndStopsTheOthers) {
  log::SetLevelMask(0xffff);
  FakeDriver driver;
  FakeThreads threads;
  threads.FailCreateAt(2, win::ERROR_NOT_ENOUGH_MEMORY);
  ScopedApi<platform::FilterApi> f(driver);
  ScopedApi<platform::CompletionPortApi> c(driver);
  ScopedApi<platform::ThreadApi> t(threads);
  platform::DebugOutputCapture debug;
  platform::ConsoleCapture console;
  platform::VirtualClock clock;  // the 2000 ms waits pass at once
  platform::ScopedClock scoped(clock);

  EXPECT_EQ(ServiceThreadFunc(nullptr), 0u);
  log::SetLevelMask(1);
  EXPECT_EQ(CountContaining(console.Text(), "ERROR: Couldn't create thread: 8\n"), 1);
  EXPECT_EQ(CountContaining(console.Text(), "ZVORX:  All done. Result = 0x00000008\n"), 1);
  auto lines = debug.Lines();
  EXPECT_EQ(CountContaining(lines, L"<ERROR> (ERROR:8)=CreateThread()"), 1);
  // Both live workers sit in their completion wait and are terminated there.
  EXPECT_EQ(CountContaining(lines, L"ServiceThreadFunc ---- threads[0] is still active ...)"), 1);
  EXPECT_EQ(CountContaining(lines, L"ServiceThreadFunc ---- threads[1] is still active ...)"), 1);
  EXPECT_EQ(CountContaining(lines, L"ServiceThreadFunc ---- TerminateThread(thread[i])"), 2);
  EXPECT_EQ(threads.terminations.load(), 2);
  EXPECT_EQ(SharedPortHandle(), win::INVALID_HANDLE_VALUE);
  threads.JoinAll();
}

// Threads whose pool wait always fails.
class FailingWaitThreads : public FakeThreads {
 public:
  DWORD WaitForMultipleObjects(DWORD, const HANDLE*, BOOL, DWORD) override {
    platform::SetLastError(win::ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
};

// A pool wait that keeps failing is tried a bounded number of times, then
// the run cleans up and ends instead of writing "UNKNOWN" lines for ever.
TEST(PortClientStart, APoolWaitThatKeepsFailingEndsTheRun) {
  log::SetLevelMask(0xffff);
  FakeDriver driver;
  FailingWaitThreads threads;
  ScopedApi<platform::FilterApi> f(driver);
  ScopedApi<platform::CompletionPortApi> c(driver);
  ScopedApi<platform::ThreadApi> t(threads);
  platform::DebugOutputCapture debug;
  platform::ConsoleCapture console;
  platform::VirtualClock clock;  // pauses and the 2000 ms waits pass at once
  platform::ScopedClock scoped(clock);

  auto run = std::async(std::launch::async, [] { return ServiceThreadFunc(nullptr); });
  ASSERT_EQ(run.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(run.get(), 0u);
  log::SetLevelMask(1);
  auto lines = debug.Lines();
  EXPECT_EQ(CountContaining(lines, L"ServiceThreadFunc ---- <ERROR> WaitForMultipleObjects(UNKNOWN)"), 10);
  EXPECT_EQ(CountContaining(console.Text(), "ZVORX:  All done. Result = 0x00000057\n"), 1);
  EXPECT_EQ(CountContaining(lines, L"ServiceThreadFunc ---- TerminateThread(thread[i])"), 8);
  EXPECT_EQ(SharedPortHandle(), win::INVALID_HANDLE_VALUE);
  threads.JoinAll();
}

}  // namespace
}  // namespace zv::channel
