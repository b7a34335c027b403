// Decisions explained, with the worker pool in this process against the real
// driver stand-in: the lines written while deciding a marked message come
// back with that message's outcome, and only those.
#include <gtest/gtest.h>

#include <boost/signals2.hpp>
#include <chrono>
#include <cwchar>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "driver_channel/explain.h"
#include "driver_channel/port_client.h"
#include "driver_channel/records.h"
#include "driver_channel/signals.h"
#include "log/log.h"
#include "platform/base/debug_output.h"
#include "platform/base/text.h"
#include "platform/filter/filter_api.h"
#include "suite/driver/driver_events.h"
#include "suite/driver/testing/machine_fixture.h"

namespace zv::channel {
namespace {

using suite::DriverControl;
using suite::InjectResult;
using Outcome = platform::wire::Outcome;

suite::Notification Open(std::uint32_t pid, const std::wstring& name) {
  suite::Notification n;
  n.kind = kKindFileOpen;
  n.processId = pid;
  n.path = L"\\Device\\HarddiskVolume2\\" + name;
  return n;
}

std::vector<std::wstring> Texts(const InjectResult& r) {
  std::vector<std::wstring> texts;
  for (const auto& line : r.lines) texts.push_back(line.text);
  return texts;
}

class ExplainTest : public suite::testing::ScratchMachineTest {
 protected:
  ExplainTest() : ScratchMachineTest("zvexplain-") {}
  void SetUp() override {
    ScratchMachineTest::SetUp();
    log::SetLevelMask(1);
    machine_->SetSetting("driver.ReplyTimeoutMs", "300000");
    ASSERT_EQ(platform::Filters::Get().FilterLoad(L"ZVORX"), win::S_OK);
    run_ = std::async(std::launch::async, [] { return ServiceThreadFunc(nullptr); });
    for (int i = 0; i < 3000 && LiveWorkerCount() != static_cast<std::int32_t>(kPoolSize); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(LiveWorkerCount(), static_cast<std::int32_t>(kPoolSize));
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
  std::future<win::DWORD> run_;
};

// Two "engines" write lines for notifications that several workers decide
// at once; one also writes from a thread of its own while deciding.
TEST_F(ExplainTest, ConcurrentDecisionsGetExactlyTheirOwnLines) {
  platform::DebugOutputCapture debug;
  platform::ConsoleCapture console;
  boost::signals2::scoped_connection access =
      NotificationSignal.connect([](_MXRED_NOTIFICATION* n, _MXRED_REPLY_MESSAGE* r) {
        if (n->ProcessId < 9000) return;  // the machine's own process feed
        std::wstring path = n->SourcePath();
        // Filtered by the mask, still explained.
        log::LogWrite(0x10, L"AC1", L"query %s", path);
        if (path.find(L"deny") != std::wstring::npos) {
          r->Allow = r->AuxFlag = 0;
          log::LogWrite(1, L"AC1", L"<ERROR> denied %s", path);
        }
        // Another thread's line is not part of the decision.
        std::thread([path] { log::LogWrite(1, L"AC1", L"side thread %s", path); }).join();
      });
  boost::signals2::scoped_connection backup =
      NotificationSignal.connect([](_MXRED_NOTIFICATION* n, _MXRED_REPLY_MESSAGE* r) {
        if (n->ProcessId < 9000) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // overlap the workers
        log::LogWrite(2, L"BE", L"access %d allow %d %s", n->ProcessId, r->Allow, n->SourcePath());
      });

  constexpr int kPerThread = 40;
  auto play = [](int thread, bool explain) {
    DriverControl control;
    control.SetExplain(explain);
    std::vector<std::string> faults;
    for (int i = 0; i < kPerThread; ++i) {
      std::wstring name = L"t" + std::to_wstring(thread) + L"_" + std::to_wstring(i) + (i % 3 ? L".txt" : L"_deny.txt");
      std::wstring path = L"\\Device\\HarddiskVolume2\\" + name;
      InjectResult r = control.Inject(Open(9000 + thread, name));
      if (r.outcome != Outcome::Replied) faults.push_back("not replied: " + r.error);
      std::vector<std::wstring> expected;
      if (explain) {
        expected.push_back(L"AC1 ---- query " + path);
        if (i % 3 == 0) expected.push_back(L"AC1 ---- <ERROR> denied " + path);
        expected.push_back(L"BE ---- access " + std::to_wstring(9000 + thread) + L" allow " +
                           (i % 3 ? L"1 " : L"0 ") + path);
        if (!r.explained) faults.push_back("no explanation for " + text::ToUtf8(name));
      }
      if (Texts(r) != expected) faults.push_back("wrong lines for " + text::ToUtf8(name));
      if (explain && r.lines.size() == expected.size()) {
        // Levels and whether the mask let the line into the log.
        if (r.lines.front().level != 0x10 || r.lines.front().flags != log::kLineFiltered ||
            r.lines.back().level != 2 || r.lines.back().flags != log::kLineFiltered ||
            (i % 3 == 0 && (r.lines[1].level != 1 || r.lines[1].flags != 0))) {
          faults.push_back("wrong level or flags for " + text::ToUtf8(name));
        }
      }
    }
    return faults;
  };
  auto first = std::async(std::launch::async, play, 1, true);
  auto second = std::async(std::launch::async, play, 2, true);
  auto quiet = std::async(std::launch::async, play, 3, false);
  for (auto* f : {&first, &second, &quiet}) {
    std::vector<std::string> faults = f->get();
    EXPECT_TRUE(faults.empty()) << faults.size() << " faults, first: " << faults.front();
  }

  // The log itself is as without explaining: enabled lines once, filtered
  // ones never.
  auto lines = debug.Lines();
  auto count = [&](std::wstring_view text) {
    return std::count_if(lines.begin(), lines.end(), [&](const std::wstring& l) { return l.find(text) != l.npos; });
  };
  EXPECT_EQ(count(L"AC1 ---- side thread "), 3 * kPerThread);
  EXPECT_EQ(count(L"AC1 ---- <ERROR> denied "), 3 * ((kPerThread + 2) / 3));
  EXPECT_EQ(count(L"AC1 ---- query "), 0);
  EXPECT_EQ(count(L"BE ---- access "), 0);
}

// A report kind is explained too (the driver waits for its lines), and a
// long explanation arrives in parts, cut only where the answer must end.
TEST_F(ExplainTest, ReportKindsAndLongExplanations) {
  platform::DebugOutputCapture debug;
  constexpr int kLines = 3000;
  boost::signals2::scoped_connection chatty =
      NotificationSignal.connect([](_MXRED_NOTIFICATION* n, _MXRED_REPLY_MESSAGE*) {
        if (n->ProcessId == 9100) {
          for (int i = 0; i < kLines; ++i) log::LogWrite(0x80, L"BE", L"line %05d of a long decision", i);
        } else if (n->ProcessId == 9200) {
          log::LogWrite(0x80, L"BE", L"%s", std::wstring(40000, L'x'));
        }
      });
  DriverControl control;
  control.SetExplain(true);

  suite::Notification start;
  start.kind = kKindProcess;
  start.processId = 9300;
  start.param1 = 4;
  start.param2 = 1;
  InjectResult r = control.Inject(start);
  EXPECT_EQ(r.outcome, Outcome::NoReplyExpected);
  ASSERT_TRUE(r.explained);
  EXPECT_EQ(Texts(r), std::vector<std::wstring>{
                          L"ScannerWorker ---- ZVORX , ProcessNotify():  Success FltSendMessagepid=9300, ppid=4, "
                          L"create=1"});

  r = control.Inject(Open(9100, L"long.txt"));
  ASSERT_TRUE(r.explained);
  ASSERT_GT(r.lines.size(), 100u);
  EXPECT_EQ(r.lines.size() + r.droppedLines, static_cast<std::size_t>(kLines));
  for (std::size_t i = 0; i < r.lines.size(); ++i) {
    wchar_t expected[64];
    std::swprintf(expected, 64, L"BE ---- line %05d of a long decision", static_cast<int>(i));
    ASSERT_EQ(r.lines[i].text, expected);
  }

  // One line longer than a part is cut to fit one.
  r = control.Inject(Open(9200, L"wide.txt"));
  ASSERT_TRUE(r.explained);
  ASSERT_EQ(r.lines.size(), 1u);
  EXPECT_EQ(r.lines[0].text.size(), (kExplanationPartBytes - kExplanationHeaderSize - kExplainedLineHeaderSize) / 2);
  EXPECT_EQ(r.lines[0].text.substr(0, 10), L"BE ---- xx");

  // Without explaining, nothing comes back and nothing was sent.
  control.SetExplain(false);
  r = control.Inject(Open(9100, L"long.txt"));
  EXPECT_FALSE(r.explained);
  EXPECT_TRUE(r.lines.empty());
  auto status = control.Status();
  ASSERT_TRUE(status);
  EXPECT_NE(status->find("commands: 0 (refused 0)"), std::string::npos) << *status;
}

TEST(ExplainedLines, DecodingStopsAtATruncatedLineAndCutsKeepSurrogatePairs) {
  std::string bytes;
  AppendExplainedLine(bytes, {1, 0, L"first"}, 1024);
  // "ab" then a surrogate pair that a cut after 3 units would split.
  AppendExplainedLine(bytes, {2, log::kLineFiltered, std::wstring(L"ab") + wchar_t(0xD83D) + wchar_t(0xDE00)},
                      kExplainedLineHeaderSize + 6);
  std::vector<log::DecisionLine> lines;
  ASSERT_TRUE(DecodeExplainedLines(bytes, lines));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, L"first");
  EXPECT_EQ(lines[1].text, L"ab");
  EXPECT_EQ(lines[1].flags, log::kLineFiltered);

  lines.clear();
  EXPECT_FALSE(DecodeExplainedLines(std::string_view(bytes).substr(0, bytes.size() - 1), lines));
  EXPECT_EQ(lines.size(), 1u);
  EXPECT_EQ(WholeLinesWithin(bytes, bytes.size() - 1), kExplainedLineHeaderSize + 10);
}

}  // namespace
}  // namespace zv::channel
