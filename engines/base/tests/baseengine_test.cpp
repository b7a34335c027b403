#include "engines/base/baseengine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engines/base/tests/fakes.h"
#include "engines/base/tests/log_capture.h"

using namespace zv::engines;
using namespace zv::testing;
using ::testing::_;
using ::testing::NiceMock;

namespace {

class BaseEngineTest : public ::testing::Test {
 protected:
  BaseEngineTest() : table(processes) {}

  NiceMock<MockProcessApi> processes;
  zv::platform::ScopedApi<zv::platform::ProcessApi> scope{processes};
  FakeProcessTable table;
  baseengine engine;
};

TEST_F(BaseEngineTest, SpecialProcessTable) {
  LogCapture log(0x20);
  EXPECT_TRUE(engine.AddSpecialProcess(42, 0x40));
  EXPECT_TRUE(engine.AddSpecialProcess(42, 0x2));  // never overwrites
  std::uint32_t type = 0x1234;
  EXPECT_FALSE(engine.QuerySpecialProcess(42, 0x2, &type));
  EXPECT_EQ(type, 0x1234u);  // untouched on false
  EXPECT_FALSE(engine.QuerySpecialProcess(7, 0xFFFFFFFF, &type));
  EXPECT_TRUE(engine.QuerySpecialProcess(42, 0xFFFF, nullptr));

  EXPECT_TRUE(engine.AddSpecialProcess(43, 0x10040));
  EXPECT_TRUE(engine.QuerySpecialProcess(43, 0x40, &type));
  EXPECT_EQ(type, 0x10040u);  // the whole stored type, not masked

  // Replacing takes a delete first.
  EXPECT_TRUE(engine.DelSpecialProcess(42));
  EXPECT_TRUE(engine.DelSpecialProcess(42));  // absent: still 1
  EXPECT_TRUE(engine.AddSpecialProcess(42, 0x2));
  EXPECT_TRUE(engine.QuerySpecialProcess(42, 0x2, &type));
  EXPECT_EQ(type, 0x2u);

  auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], L"BASE ---- AddSpecialProcess Start, 42 type=40");
  EXPECT_EQ(lines[2], L"BASE ---- AddSpecialProcess Start, 43 type=10040");
  EXPECT_EQ(lines[3], L"BASE ---- DelSpecialProcess Start, 42");

  // The lines carry exactly level 0x20: shown under mask 0x20, hidden without it.
  LogCapture others(~0x20u);
  engine.AddSpecialProcess(44, 1);
  engine.DelSpecialProcess(44);
  EXPECT_TRUE(others.Lines().empty());
}

TEST_F(BaseEngineTest, ProcessNameRules) {
  engine.AddProcessNameRule(L"cmd.exe", 0x40);
  engine.AddProcessNameRule(L"md.exe", 0x2);
  engine.AddProcessNameRule(L"CMD.EXE", 0x4);  // same key once lower-cased: ignored
  std::uint32_t type = 0;
  // Both match; md.exe sorts after cmd.exe, so the last match decides.
  EXPECT_TRUE(engine.MatchProcessNameRules(L"C:\\Windows\\System32\\CMD.exe", 0xFFFFF, &type));
  EXPECT_EQ(type, 0x2u);
  // The mask filters rules before they can decide.
  EXPECT_TRUE(engine.MatchProcessNameRules(L"c:\\windows\\system32\\cmd.exe", 0x40, &type));
  EXPECT_EQ(type, 0x40u);
  type = 77;
  EXPECT_FALSE(engine.MatchProcessNameRules(L"c:\\windows\\system32\\cmd.exe", 0x4, &type));
  EXPECT_FALSE(engine.MatchProcessNameRules(L"c:\\notepad.exe", 0xFFFFF, &type));
  EXPECT_EQ(type, 77u);

  // An empty fragment is kept and is in every path.
  engine.AddProcessNameRule(L"", 0x1);
  EXPECT_TRUE(engine.MatchProcessNameRules(L"c:\\notepad.exe", 0x1, &type));
  EXPECT_EQ(type, 0x1u);

  engine.ClearProcessNameRules();
  EXPECT_FALSE(engine.MatchProcessNameRules(L"c:\\windows\\system32\\cmd.exe", 0xFFFFF, nullptr));
}

TEST_F(BaseEngineTest, PathMarks) {
  EXPECT_TRUE(engine.SetPathMark(L"\\\\?\\C:\\Doc.txt", 0x2));
  EXPECT_TRUE(engine.SetPathMark(L"\\\\?\\c:\\doc.TXT", 0x20));
  EXPECT_TRUE(engine.TestPathMark(L"\\\\?\\c:\\doc.txt", 0x2));
  EXPECT_TRUE(engine.TestPathMark(L"\\\\?\\C:\\DOC.txt", 0x20));
  EXPECT_FALSE(engine.TestPathMark(L"\\\\?\\c:\\doc.txt", 0x4));
  EXPECT_FALSE(engine.TestPathMark(L"\\\\?\\c:\\other.txt", 0xFF));
  EXPECT_TRUE(engine.ClearPathMark(L"\\\\?\\C:\\DOC.TXT"));
  EXPECT_FALSE(engine.TestPathMark(L"\\\\?\\c:\\doc.txt", 0x22));
}

TEST_F(BaseEngineTest, SnapshotFromProcessTable) {
  table.processes = {
      {4, 0, L"System", L""},  // cannot be opened: keeps its file name
      {100, 4, L"CMD.EXE", L"C:\\Windows\\System32\\CMD.EXE"},
      {101, 100, L"longname-process.exe", L"C:\\a.exe"},  // module path shorter: the name stays
  };
  table.processes.push_back({102, 100, L"x.exe", L"C:\\" + std::wstring(400, L'P') + L"\\x.exe"});

  EXPECT_CALL(processes, CreateToolhelp32Snapshot(zv::win::TH32CS_SNAPPROCESS, _));
  engine.ApplyProcessNameRules();  // no rules: only the refresh
  auto entries = engine.SnapshotCopy();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].ImagePath, L"system");
  EXPECT_EQ(entries[1].ProcessId, 100u);
  EXPECT_EQ(entries[1].ParentProcessId, 4u);
  EXPECT_EQ(entries[1].ImagePath, L"c:\\windows\\system32\\cmd.exe");
  EXPECT_EQ(entries[2].ImagePath, L"longname-process.exe");
  // The module path is read into 260 units: at most 259 of them.
  EXPECT_EQ(entries[3].ImagePath.size(), 259u);
  EXPECT_EQ(table.lastAccess, 0x1FFFFFu);
  EXPECT_EQ(table.OpenHandles(), 0);  // process and snapshot handles closed
}

TEST_F(BaseEngineTest, SnapshotAppendsAndFailureKeepsIt) {
  table.processes = {{100, 4, L"cmd.exe", L""}};
  engine.ApplyProcessNameRules();
  engine.ApplyProcessNameRules();
  EXPECT_EQ(engine.SnapshotCopy().size(), 2u);  // refreshes append
  table.failSnapshot = true;
  engine.ApplyProcessNameRules();
  EXPECT_EQ(engine.SnapshotCopy().size(), 2u);

  engine.AddSpecialProcess(1, 1);
  engine.AddProcessNameRule(L"x", 1);
  engine.SetPathMark(L"p", 1);
  engine.CompilePathPatterns();
  NiceMock<MockFilterApi> filter;
  zv::platform::ScopedApi<zv::platform::FilterApi> filterScope(filter);
  ON_CALL(filter, FilterGetDosName(_, _, _)).WillByDefault([](const WCHAR*, WCHAR* out, DWORD) {
    out[0] = L'C';
    out[1] = L':';
    return zv::win::S_OK;
  });
  std::wstring dos;
  engine.DeviceToDosName(L"\\Device\\HarddiskVolume2", dos);
  EXPECT_CALL(filter, FilterGetDosName(_, _, _)).Times(0);

  engine.ClearAllTables();
  EXPECT_TRUE(engine.SnapshotCopy().empty());
  EXPECT_TRUE(engine.SpecialProcessesCopy().empty());
  EXPECT_FALSE(engine.MatchProcessNameRules(L"x", 1, nullptr));
  EXPECT_FALSE(engine.TestPathMark(L"p", 1));
  dos.clear();
  EXPECT_EQ(engine.DeviceToDosName(L"\\Device\\HarddiskVolume2", dos), zv::win::S_OK);  // cache kept
  EXPECT_EQ(dos, L"C:");
}

TEST_F(BaseEngineTest, FirstRuleInKeyOrderClassifiesRunningProcesses) {
  table.processes = {
      {100, 4, L"cmd.exe", L"C:\\Windows\\System32\\cmd.exe"},
      {200, 4, L"md.exe", L""},              // not openable: matched on its file name
      {300, 4, L"explorer.exe", L"C:\\Windows\\explorer.exe"},
      {400, 4, L"notepad.exe", L"C:\\Windows\\notepad.exe"},
  };
  engine.AddSpecialProcess(300, 0x20);  // already classified: stays
  engine.AddProcessNameRule(L"md.exe", 0x2);
  engine.AddProcessNameRule(L"cmd.exe", 0x40);
  engine.AddProcessNameRule(L"explorer.exe", 0x80);
  engine.ApplyProcessNameRules();

  auto special = engine.SpecialProcessesCopy();
  EXPECT_EQ(special[100], 0x40u);  // cmd.exe sorts before md.exe
  EXPECT_EQ(special[200], 0x2u);
  EXPECT_EQ(special[300], 0x20u);
  EXPECT_EQ(special.count(400), 0u);
}

TEST_F(BaseEngineTest, ConcurrentUseKeepsLockOrder) {
  table.processes = {{100, 4, L"cmd.exe", L"C:\\Windows\\System32\\cmd.exe"},
                     {101, 4, L"explorer.exe", L"C:\\Windows\\explorer.exe"}};
  engine.AddProcessNameRule(L"cmd.exe", 0x40);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 0; i < 30; ++i) engine.ApplyProcessNameRules();
  });
  threads.emplace_back([&] {
    for (std::uint32_t i = 0; i < 500; ++i) {
      engine.AddSpecialProcess(1000 + i, 0x1);
      engine.QuerySpecialProcess(100, 0x40, nullptr);
      engine.DelSpecialProcess(1000 + i);
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < 500; ++i) {
      engine.AddProcessNameRule(L"rule" + std::to_wstring(i % 20), 0x2);
      engine.MatchProcessNameRules(L"c:\\rule5\\cmd.exe", 0xFFFFF, nullptr);
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < 500; ++i) {
      std::wstring p = L"c:\\f" + std::to_wstring(i % 10);
      engine.SetPathMark(p, 0x2);
      engine.TestPathMark(p, 0x2);
      engine.ClearPathMark(p);
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < 5; ++i) engine.ClearAllTables();
  });
  for (auto& t : threads) t.join();
}

}  // namespace
