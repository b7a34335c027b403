#include "log/log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <barrier>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

#include "log/tests/fake_process_api.h"
#include "platform/base/clock.h"
#include "platform/base/debug_output.h"
#include "platform/base/handles.h"
#include "platform/files/testing/memory_files.h"
#include "platform/files/testing/machine_fixture.h"
#include "platform/base/text.h"

using namespace zv;
using ::testing::_;
using ::testing::NiceMock;
using ::testing::Return;

namespace {

constexpr std::int64_t k20240301_091502 = 1709284502000;
constexpr std::int64_t k20240301_235959 = 1709337599000;

class LogTest : public ::testing::Test {
 protected:
  LogTest() {
    setenv("TZ", "UTC", 1);
    tzset();
  }
  ~LogTest() override {
    log::SetLevelMask(1);
    log::SetOutputFlags(1);
    log::SetLogFilePath(L"");
  }
  std::vector<std::wstring> Lines() const { return capture_.Lines(); }

  platform::VirtualClock clock_{k20240301_091502};
  platform::ScopedClock scopedClock_{clock_};
  platform::fakes::MemoryFiles files_;
  platform::ScopedApi<platform::FileApi> scopedFiles_{files_};
  platform::DebugOutputCapture capture_;
};

TEST_F(LogTest, LevelMustBeCoveredByTheMask) {
  auto shown = [&](std::uint32_t mask, std::uint32_t level) {
    log::SetLevelMask(mask);
    std::size_t before = Lines().size();
    log::LogWrite(level, L"T", L"x");
    return Lines().size() == before + 1;
  };
  EXPECT_TRUE(shown(1, 0));
  EXPECT_TRUE(shown(0, 0));  // level 0 passes any mask
  EXPECT_TRUE(shown(1, 1));
  EXPECT_FALSE(shown(1, 0xffff));
  EXPECT_TRUE(shown(0x8, 0x8));  // command echo without errors
  EXPECT_FALSE(shown(0x8, 0x1));
  EXPECT_TRUE(shown(0xffff, 0xffff));
  for (std::uint32_t bit = 1; bit < 0x10000; bit <<= 1) EXPECT_TRUE(shown(0xffff, bit)) << bit;
  EXPECT_FALSE(shown(0xffff, 0x10000));
  EXPECT_FALSE(shown(0x7fff, 0xffff));

  log::SetLevelMask(0xffffffff);
  log::SetOutputFlags(0);  // no sink: nothing, not even level 0
  log::LogWrite(0, L"T", L"x");
  EXPECT_FALSE(log::LevelEnabled(0));
  EXPECT_EQ(Lines().size(), 21u);
}

TEST_F(LogTest, LineTextWithStampTagAndCrLf) {
  log::SetLevelMask(0xffff);
  log::LogWrite(0xffff, L"Init", L"Filter Loading ...");
  log::LogWrite(1, L"Init", L"<ERROR> (ERROR=0x%08x)=FilterLoad()", static_cast<std::int32_t>(0x800700B7u));
  log::LogWrite(0xffff, L"Init", L"RAVORIdoduz Starting ... skipbe=%d skipac=%d", 1, 0);
  EXPECT_THAT(Lines(), ::testing::ElementsAre(
                           L"#2024-03-01 09:15:02 [mxred] Init ---- Filter Loading ...\r\n",
                           L"#2024-03-01 09:15:02 [mxred] Init ---- <ERROR> (ERROR=0x800700b7)=FilterLoad()\r\n",
                           L"#2024-03-01 09:15:02 [mxred] Init ---- RAVORIdoduz Starting ... skipbe=1 skipac=0\r\n"));

  log::DebugWrite(L"service state %d", 4);  // unfiltered, no line end of its own
  log::SetLevelMask(0);
  log::DebugWrite(L"again");
  EXPECT_EQ(Lines().at(3), L"#2024-03-01 09:15:02 service state 4");
  EXPECT_EQ(Lines().at(4), L"#2024-03-01 09:15:02 again");
}

TEST_F(LogTest, FileSinkAppendsUtf16Lines) {
  const std::wstring path = L"C:\\zv\\msg.log";
  log::SetLogFilePath(path);
  log::SetOutputFlags(log::kOutputFile);
  files_.Put(path, "OLD");
  log::LogWrite(1, L"BE", L"a \u00e9");
  log::LogWrite(1, L"BE", L"b");
  EXPECT_TRUE(Lines().empty());
  EXPECT_EQ(files_.Bytes(path), "OLD" + text::ToUtf16Le(L"#2024-03-01 09:15:02 [mxred] BE ---- a \u00e9\r\n"
                                                        L"#2024-03-01 09:15:02 [mxred] BE ---- b\r\n"));
  EXPECT_EQ(files_.WriteCalls(), 2);  // one write per line

  log::SetOutputFlags(log::kOutputFile | log::kOutputDebugger | 0x100);  // other bits have no effect
  log::LogWrite(1, L"BE", L"c");
  EXPECT_EQ(Lines().size(), 1u);
  files_.Deny(path);  // an unopenable file drops the line silently
  log::LogWrite(1, L"BE", L"d");
  EXPECT_EQ(Lines().size(), 2u);
  EXPECT_EQ(files_.WriteCalls(), 3);
}

TEST_F(LogTest, ConcurrentFileLinesAreNeitherLostNorTorn) {
  const std::wstring path = L"C:\\zv\\msg.log";
  log::SetLogFilePath(path);
  log::SetOutputFlags(log::kOutputFile);
  constexpr int kThreads = 4, kLines = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) log::LogWrite(1, L"W", L"%d-%d", t, i);
    });
  }
  for (auto& th : threads) th.join();
  std::wstring text = text::FromUtf16Le(files_.Bytes(path).data(), files_.Bytes(path).size());
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kLines; ++i) {
      EXPECT_NE(text.find(log::Format(L"---- %d-%d\r\n", t, i)), std::wstring::npos) << t << "-" << i;
    }
  }
}

TEST_F(LogTest, AppendLogWritesAnsiTextModeLines) {
  const std::wstring path = L"C:\\Windows\\zv\\zvorx\\sflog.log";
  log::AppendLog(path, L"session %s from %d\n", L"caf\u00e9", 7);
  log::AppendLog(path, L"a\r\nb\n");  // text mode turns every \n into \r\n, also after \r
  EXPECT_EQ(files_.Bytes(path), "[2024.3.1 - 9.15.2]:session caf\xe9 from 7\r\n"
                                "[2024.3.1 - 9.15.2]:a\r\r\nb\r\n");
  EXPECT_EQ(files_.AppendCalls(), 2);
  files_.Deny(L"C:\\x.log");
  log::AppendLog(L"C:\\x.log", L"dropped\n");
  EXPECT_FALSE(files_.Exists(L"C:\\x.log"));
}

// ---- Process-and-path trace ----------------------------------------------------

class TraceTest : public LogTest {
 protected:
  TraceTest() {
    ON_CALL(processes_, GetModuleFileNameW(nullptr, _, _))
        .WillByDefault([](win::HMODULE, win::WCHAR* b, win::DWORD n) {
          return log::fakes::CopyOut(L"C:\\Program Files\\zv\\zvorx.exe", b, n);
        });
    ON_CALL(processes_, GetCurrentProcessId()).WillByDefault(Return(1234));
    ON_CALL(processes_, OpenProcess(_, _, _)).WillByDefault([](win::DWORD access, win::BOOL, win::DWORD) {
      EXPECT_EQ(access, win::PROCESS_QUERY_INFORMATION | win::PROCESS_VM_READ);
      return platform::RegisterHandle(std::make_shared<platform::KernelObject>());
    });
    ON_CALL(processes_, K32GetModuleFileNameExW(_, nullptr, _, _))
        .WillByDefault([](win::HANDLE, win::HMODULE, win::WCHAR* b, win::DWORD n) {
          return log::fakes::CopyOut(L"C:\\Apps\\word.exe", b, n);
        });
  }
  void Settings(const std::string& text) { files_.Put(kIni, text); }
  std::string Trace(const std::wstring& stamp) const {
    return files_.Bytes(L"C:\\Program Files\\zv\\ZVORX.exe_" + stamp + L"_1234.log");
  }

  const std::wstring kIni = L"C:\\Program Files\\zv\\ZVORXSettings.ini";
  NiceMock<log::fakes::MockProcessApi> processes_;
  platform::ScopedApi<platform::ProcessApi> scopedProcesses_{processes_};
  log::ProcessPathTrace trace_;
};

TEST_F(TraceTest, SwitchedOnOnlyByTheValueOne) {
  struct Case {
    const char* ini;
    int kept;
  };
  for (Case c : {Case{nullptr, 0}, Case{"[Settings]\r\nWriteProcessAndPathLog=0\r\n", 0},
                 Case{"[Settings]\r\nWriteProcessAndPathLog=2\r\n", 2},
                 Case{"[Other]\r\nWriteProcessAndPathLog=1\r\n", 0}}) {
    platform::fakes::MemoryFiles files;
    platform::ScopedApi<platform::FileApi> scoped(files);
    if (c.ini) files.Put(kIni, c.ini);
    log::ProcessPathTrace trace;
    EXPECT_EQ(trace.Setting(), -1);
    trace.Log(55, L"\\Device\\HarddiskVolume3\\a.txt", false);
    EXPECT_EQ(trace.Setting(), c.kept) << (c.ini ? c.ini : "(no file)");
    EXPECT_EQ(files.FileCount(), c.ini ? 1u : 0u);  // no trace file
    EXPECT_TRUE(trace.FileName().empty());
  }
}

TEST_F(TraceTest, WritesTwoLinesPerEventAndReadsTheSwitchOnce) {
  Settings("[settings]\r\n  writeprocessandpathlog = 01 \r\n");  // no case, blanks, "01" is 1
  trace_.Log(55, L"\\Device\\HarddiskVolume3\\doc.txt", false);
  Settings("[Settings]\r\nWriteProcessAndPathLog=0\r\n");  // later edits have no effect
  clock_.Advance(1000);
  trace_.Log(56, L"\\Device\\HarddiskVolume3\\dir", true);
  EXPECT_EQ(trace_.FileName(), L"C:\\Program Files\\zv\\ZVORX.exe_20240301_091502_1234.log");
  EXPECT_EQ(Trace(L"20240301_091502"),
            "2024/03/01_09:15:02(1234) - (New File)_()\r\n"
            "2024/03/01_09:15:02(1234) - (C:\\Apps\\word.exe)_(\\Device\\HarddiskVolume3\\doc.txt)\r\n"
            "2024/03/01_09:15:03(1234) - (New Folder)_()\r\n"
            "2024/03/01_09:15:03(1234) - (C:\\Apps\\word.exe)_(\\Device\\HarddiskVolume3\\dir)\r\n");
}

TEST_F(TraceTest, FailuresWriteOneLineAndTextsAreCutAt260Bytes) {
  Settings("[Settings]\r\nWriteProcessAndPathLog=1\r\n");
  EXPECT_CALL(processes_, OpenProcess(_, _, _)).Times(::testing::AnyNumber());
  EXPECT_CALL(processes_, K32GetModuleFileNameExW(_, _, _, _)).Times(::testing::AnyNumber());
  EXPECT_CALL(processes_, OpenProcess(_, _, 7)).WillOnce(Return(nullptr));
  trace_.Log(7, L"x", false);
  EXPECT_CALL(processes_, K32GetModuleFileNameExW(_, _, _, _)).WillOnce(Return(0)).RetiresOnSaturation();
  trace_.Log(8, L"x", false);
  trace_.Log(9, std::wstring(300, L'\u00e9'), false);
  std::string expected = "2024/03/01_09:15:02(1234) - (Failed to open process.)_()\r\n"
                         "2024/03/01_09:15:02(1234) - (Failed to get module filename.)_()\r\n"
                         "2024/03/01_09:15:02(1234) - (New File)_()\r\n"
                         "2024/03/01_09:15:02(1234) - (C:\\Apps\\word.exe)_(" +
                         std::string(260, '\xe9') + ")\r\n";
  EXPECT_EQ(Trace(L"20240301_091502"), expected);
}

TEST_F(TraceTest, FileNamedByTheFirstLineAcrossMidnight) {
  Settings("[Settings]\r\nWriteProcessAndPathLog=1\r\n");
  clock_.SetUtcMilliseconds(k20240301_235959);
  trace_.Log(5, L"a", false);
  clock_.Advance(2000);
  trace_.Log(5, L"b", false);
  std::string text = Trace(L"20240301_235959");
  EXPECT_NE(text.find("2024/03/01_23:59:59(1234) - (C:\\Apps\\word.exe)_(a)"), std::string::npos);
  EXPECT_NE(text.find("2024/03/02_00:00:01(1234) - (C:\\Apps\\word.exe)_(b)"), std::string::npos);
  EXPECT_EQ(files_.FileCount(), 2u);  // settings and one trace file
}

// Every read of the time is a second later than the last one.
class SteppingClock : public platform::VirtualClock {
 public:
  using VirtualClock::VirtualClock;
  std::int64_t UtcMilliseconds() override {
    Advance(1000);
    return VirtualClock::UtcMilliseconds();
  }
};

TEST_F(TraceTest, ConcurrentFirstLinesShareOneFile) {
  Settings("[Settings]\r\nWriteProcessAndPathLog=1\r\n");
  SteppingClock stepping{k20240301_091502};
  platform::ScopedClock scoped(stepping);
  constexpr int kThreads = 8;
  std::barrier start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      trace_.Log(static_cast<win::DWORD>(t), L"p" + std::to_wstring(t), false);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(files_.FileCount(), 2u);
  std::string text = files_.Bytes(trace_.FileName());
  for (int t = 0; t < kThreads; ++t) EXPECT_NE(text.find("_(p" + std::to_string(t) + ")"), std::string::npos);
}

}  // namespace

namespace {

class LogOnMachineTest : public platform::testing::MachineTest {
 protected:
  void TearDown() override {
    log::SetOutputFlags(1);
    log::SetLogFilePath(L"");
    MachineTest::TearDown();
  }
  platform::VirtualClock clock_{k20240301_091502};
  platform::ScopedClock scopedClock_{clock_};
};

TEST_F(LogOnMachineTest, FileSinksWriteThroughTheRealFileApi) {
  setenv("TZ", "UTC", 1);
  tzset();
  std::filesystem::create_directories(C("zv"));
  log::SetLogFilePath(L"C:\\zv\\msg.log");
  log::SetOutputFlags(log::kOutputFile);
  log::LogWrite(1, L"BE", L"one");
  log::LogWrite(1, L"BE", L"two");
  EXPECT_EQ(ReadHost(C("zv/msg.log")), text::ToUtf16Le(L"#2024-03-01 09:15:02 [mxred] BE ---- one\r\n"
                                                        L"#2024-03-01 09:15:02 [mxred] BE ---- two\r\n"));
  log::AppendLog(L"C:\\zv\\sflog.log", L"a\n");
  log::AppendLog(L"C:\\zv\\sflog.log", L"b\n");
  EXPECT_EQ(ReadHost(C("zv/sflog.log")), "[2024.3.1 - 9.15.2]:a\r\n[2024.3.1 - 9.15.2]:b\r\n");
}

}  // namespace
