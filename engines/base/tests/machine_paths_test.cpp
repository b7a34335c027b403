// The engine base against a throw-away machine: real volume table, 8.3
// names, long-path expansion and process table. FilterGetDosName answers from
// the machine's volume table as the filter library does.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engines/base/baseengine.h"
#include "engines/base/tests/fakes.h"
#include "platform/processes/process_table.h"
#include "platform/files/testing/machine_fixture.h"
#include "platform/files/volumes.h"

using namespace zv::engines;
using namespace zv::testing;
using ::testing::_;
using ::testing::NiceMock;

namespace {

class MachinePathsTest : public zv::platform::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ON_CALL(filter, FilterGetDosName(_, _, _)).WillByDefault([this](const WCHAR* device, WCHAR* out, DWORD units) {
      std::wstring dos;
      zv::win::HRESULT hr = zv::platform::VolumeTable(machine_).DosNameOf(device, dos);
      if (zv::win::FAILED(hr)) return hr;
      if (dos.size() + 1 > units) return zv::win::HRESULT_FROM_WIN32(zv::win::ERROR_INSUFFICIENT_BUFFER);
      std::copy(dos.begin(), dos.end(), out);
      out[dos.size()] = 0;
      return zv::win::S_OK;
    });
    engine.CompilePathPatterns();
  }

  std::wstring Convert(const std::wstring& devicePath) {
    PathMatch match;
    EXPECT_EQ(engine.SearchDevicePath(devicePath, match, 16, L"AC1"), PathSearch::Match);
    std::wstring out;
    engine.DeviceToDosPath(match, out);
    return out;
  }

  NiceMock<MockFilterApi> filter;
  zv::platform::ScopedApi<zv::platform::FilterApi> filterScope{filter};
  baseengine engine;
};

TEST_F(MachinePathsTest, ConvertsOnTheMachine) {
  zv::platform::VolumeTable volumes(machine_);
  ASSERT_EQ(volumes.Add(L"\\Device\\HarddiskVolume12", L"E:"), 0u);
  ASSERT_EQ(volumes.Add(L"\\Device\\Harddisk1\\DP(1)0-0+5", L"F:"), 0u);

  EXPECT_EQ(Convert(L"\\Device\\HarddiskVolume2\\Windows\\System32\\cmd.exe"), L"\\\\?\\C:\\Windows\\System32\\cmd.exe");
  EXPECT_EQ(Convert(L"\\Device\\HarddiskVolume2\\readme.txt"), L"\\\\?\\C:\\readme.txt");
  EXPECT_EQ(Convert(L"\\Device\\HarddiskVolume12\\x"), L"\\\\?\\E:\\x");
  EXPECT_EQ(Convert(L"\\Device\\Harddisk1\\DP(1)0-0+5\\a.txt"), L"\\\\?\\F:\\a.txt");

  // The letter changes while the engine runs: the first one stays cached.
  ASSERT_EQ(volumes.SetLetter(L"\\Device\\HarddiskVolume12", L"G:"), 0u);
  EXPECT_EQ(Convert(L"\\Device\\HarddiskVolume12\\y"), L"\\\\?\\E:\\y");
  baseengine fresh;
  std::wstring dos;
  EXPECT_EQ(fresh.DeviceToDosName(L"\\Device\\HarddiskVolume12", dos), zv::win::S_OK);
  EXPECT_EQ(dos, L"G:");

  // A volume without a letter does not convert.
  ASSERT_EQ(volumes.Add(L"\\Device\\HarddiskVolume7", L""), 0u);
  PathMatch match;
  ASSERT_EQ(engine.SearchDevicePath(L"\\Device\\HarddiskVolume7\\z", match, 16, nullptr), PathSearch::Match);
  std::wstring out;
  engine.DeviceToDosPath(match, out);
  EXPECT_TRUE(out.empty());
}

TEST_F(MachinePathsTest, ExpandsShortFolderNames) {
  MakeFile(C("Program Files/Vendor App/tool.exe"));
  // The file exists: the whole path comes back long.
  EXPECT_EQ(Convert(L"\\Device\\HarddiskVolume2\\PROGRA~1\\VENDOR~1\\tool.exe"),
            L"\\\\?\\C:\\Program Files\\Vendor App\\tool.exe");
  // The file does not exist yet: its folders are still expanded.
  EXPECT_EQ(Convert(L"\\Device\\HarddiskVolume2\\PROGRA~1\\VENDOR~1\\new.txt"),
            L"\\\\?\\C:\\Program Files\\Vendor App\\new.txt");
  // Nothing to expand into: the short form stays.
  EXPECT_EQ(Convert(L"\\Device\\HarddiskVolume2\\NOSUCH~1\\new.txt"), L"\\\\?\\C:\\NOSUCH~1\\new.txt");
}

TEST_F(MachinePathsTest, ClassifiesMachineProcesses) {
  zv::win::DWORD cmd = zv::platform::AddProcess(*machine_, 4, L"C:\\Windows\\System32\\CMD.EXE", 1, false);
  zv::win::DWORD note = zv::platform::AddProcess(*machine_, 4, L"C:\\Windows\\notepad.exe", 1, false);
  engine.AddProcessNameRule(L"cmd.exe", PROCESSTYPE_SHELL);
  engine.AddProcessNameRule(L"system", PROCESSTYPE_FREE);  // pid 4 is matched by its file name
  engine.ApplyProcessNameRules();

  std::uint32_t type = 0;
  EXPECT_TRUE(engine.QuerySpecialProcess(cmd, PROCESSTYPE_SHELL, &type));
  EXPECT_EQ(type, PROCESSTYPE_SHELL);
  EXPECT_FALSE(engine.QuerySpecialProcess(note, 0xFFFFFFFF, nullptr));
  EXPECT_TRUE(engine.QuerySpecialProcess(4, PROCESSTYPE_FREE, nullptr));

  bool sawCmd = false;
  for (const auto& entry : engine.SnapshotCopy()) {
    if (entry.ProcessId == cmd) {
      sawCmd = true;
      EXPECT_EQ(entry.ImagePath, L"c:\\windows\\system32\\cmd.exe");
      EXPECT_EQ(entry.ParentProcessId, 4u);
    }
  }
  EXPECT_TRUE(sawCmd);
}

}  // namespace
