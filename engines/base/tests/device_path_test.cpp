#include "engines/base/device_path.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include "engines/base/baseengine.h"
#include "engines/base/tests/fakes.h"
#include "engines/base/tests/log_capture.h"

using namespace zv::engines;
using namespace zv::testing;
using ::testing::_;
using ::testing::NiceMock;
using ::testing::Return;

namespace {

// Answers FilterGetDosName from a device -> letter map; counts calls.
struct FakeVolumes {
  explicit FakeVolumes(NiceMock<MockFilterApi>& api) {
    ON_CALL(api, FilterGetDosName(_, _, _)).WillByDefault([this](const WCHAR* device, WCHAR* out, DWORD units) {
      ++calls;
      std::lock_guard lock(mutex);
      if (std::any_of(out, out + units, [](WCHAR c) { return c != 0; })) dirtyBuffers++;
      lastUnits = units;
      auto it = letters.find(device);
      if (it == letters.end()) return zv::win::HR_FLT_INSTANCE_NOT_FOUND;
      std::copy(it->second.begin(), it->second.end(), out);
      return zv::win::S_OK;
    });
  }
  void Set(const std::wstring& device, const std::wstring& letter) {
    std::lock_guard lock(mutex);
    letters[device] = letter;
  }
  std::mutex mutex;
  std::map<std::wstring, std::wstring> letters;
  std::atomic<int> calls{0};
  int dirtyBuffers = 0;
  DWORD lastUnits = 0;
};

// A file system with 8.3 aliases: short path -> long path for what exists.
struct FakeLongNames {
  explicit FakeLongNames(NiceMock<MockFileApi>& api) {
    ON_CALL(api, GetLongPathNameW(_, _, _)).WillByDefault([this](const WCHAR* in, WCHAR* out, DWORD units) -> DWORD {
      requests.push_back({in, units});
      auto it = known.find(in);
      if (it == known.end()) {
        // A failing call may leave anything in the buffer.
        std::fill(out, out + std::min<DWORD>(units, 4), L'#');
        zv::platform::SetLastError(zv::win::ERROR_FILE_NOT_FOUND);
        return 0;
      }
      const std::wstring& full = it->second;
      if (full.size() + 1 > units) return static_cast<DWORD>(full.size() + 1);
      std::copy(full.begin(), full.end(), out);
      out[full.size()] = 0;
      return static_cast<DWORD>(full.size());
    });
  }
  std::map<std::wstring, std::wstring> known;
  std::vector<std::pair<std::wstring, DWORD>> requests;
};

class DevicePathTest : public ::testing::Test {
 protected:
  DevicePathTest() : volumes(filter), longNames(files) {
    volumes.Set(L"\\Device\\HarddiskVolume2", L"C:");
    volumes.Set(L"\\Device\\HarddiskVolume12", L"E:");
    volumes.Set(L"\\Device\\Harddisk1\\DP(1)0-0+5", L"F:");
    volumes.Set(L"\\Device\\CdRom0", L"D:");
    converter.CompilePathPatterns();
  }

  std::wstring Convert(const std::wstring& devicePath) {
    PathMatch match;
    EXPECT_EQ(converter.SearchDevicePath(devicePath, match), PathSearch::Match) << std::string(devicePath.begin(), devicePath.end());
    std::wstring out;
    converter.DeviceToDosPath(match, out);
    return out;
  }

  NiceMock<MockFilterApi> filter;
  NiceMock<MockFileApi> files;
  zv::platform::ScopedApi<zv::platform::FilterApi> filterScope{filter};
  zv::platform::ScopedApi<zv::platform::FileApi> fileScope{files};
  FakeVolumes volumes;
  FakeLongNames longNames;
  DevicePathConverter converter;
};

TEST_F(DevicePathTest, DevicePatternGroups) {
  struct Case {
    std::wstring path, device, directory, name;
  };
  const Case cases[] = {
      {L"\\Device\\HarddiskVolume2\\Windows\\System32\\cmd.exe", L"\\Device\\HarddiskVolume2", L"\\Windows\\System32",
       L"cmd.exe"},
      {L"\\Device\\HarddiskVolume2\\readme.txt", L"\\Device\\HarddiskVolume2", L"", L"readme.txt"},
      {L"\\Device\\HarddiskVolume12\\x", L"\\Device\\HarddiskVolume12", L"", L"x"},
      {L"\\Device\\Harddisk1\\DP(1)0-0+5\\a.txt", L"\\Device\\Harddisk1\\DP(1)0-0+5", L"", L"a.txt"},
      {L"\\Device\\CdRom0\\setup\\", L"\\Device\\CdRom0", L"\\setup", L""},
      {L"\\Device\\Floppy1\\a", L"\\Device\\Floppy1", L"", L"a"},
      {L"\\Device\\VSDisk\\VSDisk3\\dir\\f.dat", L"\\Device\\VSDisk\\VSDisk3", L"\\dir", L"f.dat"},
      // A search: the match may start anywhere; the first device wins.
      {L"junk\\Device\\HarddiskVolume3\\a\\Device\\CdRom1\\b", L"\\Device\\HarddiskVolume3",
       L"\\a\\Device\\CdRom1", L"b"},
  };
  for (const auto& c : cases) {
    PathMatch m;
    ASSERT_EQ(converter.SearchDevicePath(c.path, m), PathSearch::Match);
    EXPECT_EQ(m.Device, c.device);
    EXPECT_EQ(m.Directory, c.directory);
    EXPECT_EQ(m.Name, c.name);
    EXPECT_EQ(m.Head, c.device + c.directory);
  }

  const std::wstring unparsable[] = {
      L"\\Device\\Mup\\server\\share\\f.txt",
      L"\\Device\\LanmanRedirector\\server\\share\\f.txt",
      L"\\Device\\HarddiskVolumeShadowCopy1\\Windows\\f.txt",
      L"\\Device\\HarddiskVolume2",  // bare volume, no backslash after it
      L"\\device\\harddiskvolume2\\x",  // case-sensitive
      L"",
  };
  for (const auto& path : unparsable) {
    PathMatch m;
    EXPECT_EQ(converter.SearchDevicePath(path, m), PathSearch::NoMatch);
  }
}

TEST_F(DevicePathTest, DosPatternGroups) {
  PathMatch m;
  ASSERT_EQ(converter.SearchDosPath(L"\\??\\C:\\Users\\me\\doc.txt", m), PathSearch::Match);
  EXPECT_EQ(m.Device, L"\\??\\C:");
  EXPECT_EQ(m.Directory, L"\\Users\\me");
  EXPECT_EQ(m.Name, L"doc.txt");
  EXPECT_EQ(converter.SearchDosPath(L"C:\\Users\\me\\doc.txt", m), PathSearch::NoMatch);
}

TEST_F(DevicePathTest, RegexErrorIsReportedApartFromNoMatch) {
  DevicePathConverter uncompiled;  // an empty pattern makes the engine throw
  PathMatch m;
  std::string error;
  EXPECT_EQ(uncompiled.SearchDevicePath(L"\\Device\\HarddiskVolume2\\x", m, &error), PathSearch::Error);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(uncompiled.SearchDosPath(L"\\??\\C:\\x", m), PathSearch::Error);

  // The engine base logs the raw path with the caller's tag and level.
  LogCapture log(16);
  baseengine engine;  // patterns not compiled yet
  const std::wstring raw = L"\\Device\\HarddiskVolume2\\a b\\%s.txt";
  EXPECT_EQ(engine.SearchDevicePath(raw, m, 16, L"AC1"), PathSearch::Error);
  EXPECT_EQ(engine.SearchDevicePath(raw, m, 16, nullptr), PathSearch::Error);
  engine.CompilePathPatterns();
  EXPECT_EQ(engine.SearchDevicePath(L"\\Device\\Mup\\s\\x", m, 16, L"AC1"), PathSearch::NoMatch);
  auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], L"AC1 ---- Parse Error " + raw);
}

TEST_F(DevicePathTest, ConvertsDevicePathsToDosPaths) {
  EXPECT_EQ(Convert(L"\\Device\\Harddisk1\\DP(1)0-0+5\\dir\\a.txt"), L"\\\\?\\F:\\dir\\a.txt");
  EXPECT_EQ(Convert(L"\\Device\\CdRom0\\dir\\"), L"\\\\?\\D:\\dir\\");
  EXPECT_TRUE(longNames.requests.empty());  // no tilde, no expansion

  // An unknown volume leaves the output as the caller had it.
  PathMatch m;
  ASSERT_EQ(converter.SearchDevicePath(L"\\Device\\HarddiskVolume9\\x", m), PathSearch::Match);
  std::wstring out = L"unchanged";
  converter.DeviceToDosPath(m, out);
  EXPECT_EQ(out, L"unchanged");
}

TEST_F(DevicePathTest, DosNameStatusesAndCache) {
  std::wstring dos = L"keep";
  EXPECT_EQ(converter.DeviceToDosName(L"", dos), zv::win::E_INVALIDARG);
  EXPECT_EQ(volumes.calls, 0);

  // Unknown device, no colon: the look-up's own failure, output untouched.
  EXPECT_EQ(converter.DeviceToDosName(L"\\Device\\Nothing", dos), zv::win::HR_FLT_INSTANCE_NOT_FOUND);
  EXPECT_EQ(dos, L"keep");

  // A colon gives the text from the character before the last colon; not cached.
  EXPECT_EQ(converter.DeviceToDosName(L"\\GLOBAL??\\X:", dos), zv::win::S_OK);
  EXPECT_EQ(dos, L"X:");
  EXPECT_EQ(converter.DeviceToDosName(L"\\GLOBAL??\\X:", dos), zv::win::S_OK);
  EXPECT_EQ(converter.DeviceToDosName(L":tail", dos), zv::win::S_OK);
  EXPECT_EQ(dos, L":tail");
  EXPECT_EQ(converter.CachedNameCount(), 0u);

  // Success is cached under the name exactly as received; a letter changed
  // later is not seen while the converter lives.
  int before = volumes.calls;
  EXPECT_EQ(converter.DeviceToDosName(L"\\Device\\HarddiskVolume2", dos), zv::win::S_OK);
  EXPECT_EQ(dos, L"C:");
  volumes.Set(L"\\Device\\HarddiskVolume2", L"Q:");
  EXPECT_EQ(converter.DeviceToDosName(L"\\Device\\HarddiskVolume2", dos), zv::win::S_OK);
  EXPECT_EQ(dos, L"C:");
  EXPECT_EQ(volumes.calls, before + 1);
  EXPECT_EQ(converter.CachedNameCount(), 1u);
  EXPECT_EQ(volumes.lastUnits, 520u);
  EXPECT_EQ(volumes.dirtyBuffers, 0);  // every call got a zero-filled buffer

  // Another converter (another engine) has its own cache.
  DevicePathConverter other;
  EXPECT_EQ(other.DeviceToDosName(L"\\Device\\HarddiskVolume2", dos), zv::win::S_OK);
  EXPECT_EQ(dos, L"Q:");
}

TEST_F(DevicePathTest, EmptySuccessIsAFailure) {
  EXPECT_CALL(filter, FilterGetDosName(_, _, _)).WillRepeatedly(Return(zv::win::S_OK));
  std::wstring dos;
  EXPECT_EQ(converter.DeviceToDosName(L"\\Device\\HarddiskVolume5", dos), zv::win::E_FAIL);
  EXPECT_TRUE(dos.empty());
  EXPECT_EQ(converter.CachedNameCount(), 0u);
}

TEST_F(DevicePathTest, ParentFallbackKeepsTheCutPath) {
  longNames.known[L"\\\\?\\C:\\PROGRA~1\\app"] = L"\\\\?\\C:\\Program Files\\app";
  // The file does not exist: its folder is expanded and the name put back.
  EXPECT_EQ(Convert(L"\\Device\\HarddiskVolume2\\PROGRA~1\\app\\new~1.txt"),
            L"\\\\?\\C:\\Program Files\\app\\new~1.txt");
  // Neither exists: the short form stays, never a stale buffer.
  EXPECT_EQ(Convert(L"\\Device\\HarddiskVolume2\\NOPE~1\\x.txt"), L"\\\\?\\C:\\NOPE~1\\x.txt");
  EXPECT_EQ(longNames.requests.front().second, 1024u);
}

TEST_F(DevicePathTest, LongPathsAreExpandedWhole) {
  // A long name that does not fit the first 1024 units: the call asks for
  // more and the conversion retries with the size asked for.
  std::wstring deep(1500, L'd');
  longNames.known[L"\\\\?\\C:\\PROGRA~1\\f.txt"] = L"\\\\?\\C:\\" + deep + L"\\f.txt";
  std::wstring out = Convert(L"\\Device\\HarddiskVolume2\\PROGRA~1\\f.txt");
  EXPECT_EQ(out, L"\\\\?\\C:\\" + deep + L"\\f.txt");
  ASSERT_EQ(longNames.requests.size(), 2u);
  EXPECT_EQ(longNames.requests[1].second, 1514u);  // the size asked for

  // An input longer than 1024 units is passed whole, never cut.
  std::wstring longShort = L"\\\\?\\C:\\" + deep + L"\\PROGRA~1\\g.txt";
  longNames.known[longShort] = L"\\\\?\\C:\\" + deep + L"\\Program Files\\g.txt";
  EXPECT_EQ(Convert(L"\\Device\\HarddiskVolume2\\" + deep + L"\\PROGRA~1\\g.txt"),
            L"\\\\?\\C:\\" + deep + L"\\Program Files\\g.txt");
}

TEST(RulePaths, Normalisation) {
  EXPECT_EQ(NormalizeRulePath(L"C:\\Temp"), L"\\\\?\\c:\\temp\\");
  EXPECT_EQ(NormalizeRulePath(L"c:\\data\\"), L"\\\\?\\c:\\data\\");
  EXPECT_EQ(NormalizeRulePath(L"\\setup.exe"), L"\\setup.exe\\");
  EXPECT_EQ(NormalizeRulePath(L"MsiExec.EXE"), L"msiexec.exe\\");
  EXPECT_EQ(NormalizeRulePath(L"\\\\?\\C:\\Windows"), L"\\\\?\\c:\\windows\\");
  EXPECT_EQ(NormalizeRulePath(L"\\\\server\\share"), L"\\\\server\\share\\");
  EXPECT_EQ(NormalizeRulePath(L"\u00C4X"), L"\u00C4x\\");  // ASCII only

  // The trailing backslash anchors a fragment at the end of a component.
  std::wstring looked = NormalizeRulePath(L"\\\\?\\C:\\Windows\\System32\\msiexec.exe");
  EXPECT_NE(looked.find(NormalizeRulePath(L"msiexec.exe")), std::wstring::npos);
  EXPECT_EQ(NormalizeRulePath(L"c:\\x\\msiexec.exe.log").find(NormalizeRulePath(L"msiexec.exe")), std::wstring::npos);
}

TEST_F(DevicePathTest, ConcurrentConversions) {
  constexpr int kThreads = 8;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        std::wstring path = (t % 2 ? L"\\Device\\HarddiskVolume2\\dir\\f" : L"\\Device\\HarddiskVolume12\\g\\h") +
                            std::to_wstring(i);
        PathMatch m;
        PathSearch r = converter.SearchDevicePath(path, m);
        std::wstring out;
        if (r == PathSearch::Match) converter.DeviceToDosPath(m, out);
        std::wstring expected = (t % 2 ? L"\\\\?\\C:\\dir\\f" : L"\\\\?\\E:\\g\\h") + std::to_wstring(i);
        if (out != expected) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(converter.CachedNameCount(), 2u);
}

}  // namespace
