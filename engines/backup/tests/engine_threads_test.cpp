// The engine's three threads on a stepped clock: the deletion-log writer
// (600 ms pauses), the garbage collection of ended processes (1000 ms), the
// first direct-free registration once the port is connected, and how they
// end at shutdown.
#include <atomic>
#include <future>
#include <thread>

#include "engines/backup/tests/engine_fixture.h"
#include "platform/base/clock.h"
#include "platform/base/text.h"
#include "platform/processes/process_api.h"

namespace zv::engines::testing {
namespace {

class EngineThreadsTest : public BackupEngineTest {
 protected:
  void SetUp() override {
    BackupEngineTest::SetUp();
    std::filesystem::create_directories(C("qd"));
    engine_ = std::make_unique<backupengine>();
    engine_->Initialize(true);
    // Writer, garbage collector and the direct-free thread waiting for the port.
    ASSERT_TRUE(clock_.WaitForSleepers(3));
  }
  void TearDown() override {
    clock_.Release();  // sleeps return at once: the threads can be joined
    channel::SetSharedPortHandle(win::INVALID_HANDLE_VALUE);
    BackupEngineTest::TearDown();
  }
  std::string Host(const char* path) { return ReadHost(C(path)); }
  static std::string Utf16(const std::wstring& text) { return text::ToUtf16Le(text); }

  platform::SteppedClock clock_;
  platform::ScopedClock scopedClock_{clock_};
};

TEST_F(EngineThreadsTest, TheWriterWritesFilesThenFoldersEverySixHundredMilliseconds) {
  engine_->QueueDeleteLogLine(L"\\\\?\\C:\\a.txt", true);
  engine_->QueueDeleteLogLine(L"\\\\?\\C:\\dir", false);
  clock_.Advance(599);
  EXPECT_EQ(engine_->PendingLineCounts(), (std::pair<std::size_t, std::size_t>{1, 1}));
  clock_.Advance(1);
  EXPECT_EQ(Host("qd/deletelog.dat"), Utf16(L"\\\\?\\C:\\a.txt\n"));
  EXPECT_EQ(engine_->PendingLineCounts().second, 1u);
  clock_.Advance(600);
  EXPECT_EQ(Host("qd/deletelog.dat_dir"), Utf16(L"\\\\?\\C:\\dir\n"));

  // An unwritable log (its folder is missing) keeps lines across passes.
  engine_->OnCommandString(0, L"BE_SET_DELETELOG", L"C:\\logs\\del.dat");
  engine_->QueueDeleteLogLine(L"\\\\?\\C:\\b.txt", true);
  clock_.Advance(2400);
  EXPECT_EQ(engine_->PendingLineCounts().first, 1u);
  std::filesystem::create_directories(C("logs"));
  clock_.Advance(1200);
  EXPECT_EQ(Host("logs/del.dat"), Utf16(L"\\\\?\\C:\\b.txt\n"));
  EXPECT_EQ(engine_->PendingLineCounts().first, 0u);
}

TEST_F(EngineThreadsTest, EndedProcessesAreCollectedWithinASecond) {
  win::DWORD running = Spawn(L"C:\\Apps\\a.exe");
  win::DWORD ending = Spawn(L"C:\\Apps\\b.exe");
  engine_->SetProcessType(running, kBackupProcessFree);
  engine_->SetProcessType(ending, kBackupProcessFree);
  engine_->SetProcessType(999996, kBackupProcessNormal);
  ASSERT_EQ(platform::EndProcess(*machine_, ending), platform::EndResult::Ended);
  clock_.Advance(999);
  EXPECT_EQ(Type(ending), kBackupProcessFree);
  clock_.Advance(1);
  EXPECT_EQ(Type(ending), 0u);
  EXPECT_EQ(Type(999996), 0u);
  EXPECT_EQ(Type(running), kBackupProcessFree);
}

TEST_F(EngineThreadsTest, DirectFreeWaitsForThePortAndRunsOnce) {
  platform::DebugOutputCapture debug;
  clock_.Advance(3000);
  EXPECT_TRUE(filters_.DirectFree().empty());
  channel::SetSharedPortHandle(reinterpret_cast<win::HANDLE>(0x5150));
  clock_.Advance(1500);
  EXPECT_EQ(filters_.DirectFree(), (std::vector<win::DWORD>{4}));
  clock_.Advance(6000);
  EXPECT_EQ(filters_.DirectFree().size(), 1u);
  int waits = 0;
  for (const auto& line : debug.Lines()) waits += line == L"FirstDriverDirectFree Wait";
  EXPECT_EQ(waits, 2);  // after 1500 and 3000 ms
}

TEST_F(EngineThreadsTest, ShutdownJoinsTheThreadsWithinTheirPausesAndLosesNoLine) {
  engine_->QueueDeleteLogLine(L"\\\\?\\C:\\a.txt", true);
  engine_->QueueDeleteLogLine(L"\\\\?\\C:\\dir", false);
  auto stop = std::async(std::launch::async, [&] { engine_->Shutdown(); });
  // The final pass does not wait for a writer pass.
  for (int i = 0; i < 500 && engine_->PendingLineCounts() != std::pair<std::size_t, std::size_t>{0, 0}; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(Host("qd/deletelog.dat"), Utf16(L"\\\\?\\C:\\a.txt\n"));
  EXPECT_EQ(Host("qd/deletelog.dat_dir"), Utf16(L"\\\\?\\C:\\dir\n"));
  // The direct-free thread leaves its wait at its next wake-up, the writer
  // within two pauses, the garbage collector within one.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the run flags drop after the final pass
  clock_.Advance(1500);
  bool joined = stop.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  EXPECT_TRUE(joined);
  if (!joined) clock_.Release();
  stop.get();
  EXPECT_EQ(clock_.Sleepers(), 0u);
  EXPECT_FALSE(engine_->Working());
}

TEST_F(EngineThreadsTest, WorkersCommandsAndTheWriterMeetWithoutLosingALine) {
  Str(L"BE_ADD_FREEPROCESSNAME", L"tool");
  Int(L"BE_SET_ENGINEWORK", 1);
  constexpr int kWorkers = 4, kRounds = 200;
  std::atomic<bool> go{false};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < kRounds; ++i) {
        win::DWORD pid = 20000 + static_cast<win::DWORD>(w * kRounds + i) * 4;
        Started(pid, 4);
        Image(pid, L"\\Device\\HarddiskVolume2\\Tools\\tool" + std::to_wstring(i) + L".exe");
        engine_->HasProcessType(pid, kBackupProcessFree);
        engine_->QueueDeleteLogLine(L"\\\\?\\C:\\w" + std::to_wstring(w) + L"\\" + std::to_wstring(i), i % 2 == 0);
        Ended(pid);
      }
    });
  }
  go = true;
  for (int i = 0; i < 50; ++i) {
    Str(L"BE_SET_BACKUPPATH", i % 2 ? L"c:\\bk1" : L"d:\\bk2");
    Int(L"BE_SET_SESSIONFILTER", i % 2);
    Int(L"BE_ADD_NORMALPROCESSID", 30000 + i);
    clock_.Advance(300);
  }
  for (auto& t : workers) t.join();
  clock_.Release();  // let the threads run out; the final pass writes the rest
  engine_->Shutdown();
  // Every line once, in its file.
  std::string files = Host("qd/deletelog.dat"), folders = Host("qd/deletelog.dat_dir");
  EXPECT_EQ(files.size() + folders.size(), 0u + [&] {
    std::size_t bytes = 0;
    for (int w = 0; w < kWorkers; ++w) {
      for (int i = 0; i < kRounds; ++i) bytes += Utf16(L"\\\\?\\C:\\w" + std::to_wstring(w) + L"\\" + std::to_wstring(i) + L"\n").size();
    }
    return bytes;
  }());
  EXPECT_EQ(Count(files, Utf16(L"\\\\?\\C:\\w3\\198\n")), 1);
  EXPECT_EQ(Count(folders, Utf16(L"\\\\?\\C:\\w0\\199\n")), 1);
}

}  // namespace
}  // namespace zv::engines::testing
