// The block-driver functions: the records they write byte for byte, the
// table limits, installing and starting the drivers (into System32 even
// from a 32-bit program), stopping and removing them, a stop that
// hangs, and the names the program and the shared library export.
#include <cxxabi.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/base/clock.h"
#include "platform/base/handles.h"
#include "platform/files/testing/machine_fixture.h"
#include "platform/registry/registry_api.h"
#include "platform/services/service_manager.h"
#include "platform/services/service_manager_api.h"
#include "platform/files/file_api.h"
#include "platform/processes/process_table.h"
#include "platform/system/wow64.h"
#include "startup_init/block_drivers/block_driver_config.h"

namespace zv::startup {
namespace {

using namespace zv::platform;

const std::vector<std::string> kExported = {
    "MXBLKURLAddExceptionPort",           "MXBLKURLAddExceptionURLTextA",     "MXBLKURLAddExceptionURLTextW",
    "MXBLKURLClearExceptionURLTextList",  "MXBLKURLSaveBlockPortSettings",    "MXBLKURLSaveBlockURLSettings",
    "MXBLKURLSetDebugTextOutputStatus",   "MXBLKURLSetDefaultStatusIsBlocking", "MXBLKURLStartPortDriver",
    "MXBLKURLStartURLDriver",             "MXBLKURLStopPortDriver",           "MXBLKURLStopURLDriver"};

// A 32-bit program of the machine: ZV_BITNESS says so for a program started
// from the host.
struct ThirtyTwoBit {
  ThirtyTwoBit() { ::setenv("ZV_BITNESS", "32", 1); }
  ~ThirtyTwoBit() { ::unsetenv("ZV_BITNESS"); }
};

class BlockDriverConfigTest : public testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    installedUrlDriver_ = C("Windows/System32/drivers/mxblkurl.sys").string();
    RegisterCurrentProcess(L"C:\\Program Files\\ZV\\ZVVstIn.exe", 1);
    for (std::string name : {"mxblkurl", "mxblkprt"}) {
      for (std::string bits : {"x64", "x32"}) {
        MakeFile(C("Program Files/ZV/" + name + "_" + bits + ".sys"),
                 "ZVPROGRAM\r\nstandin=" + name + "\r\n# " + bits + "\r\n");
      }
    }
    std::filesystem::create_directories(C("Windows/System32/drivers"));
    std::filesystem::create_directories(C("Windows/SysWOW64/drivers"));
  }
  void TearDown() override {
    UnregisterCurrentProcess();
    MachineTest::TearDown();
  }

  void MakeKey(const std::wstring& service) {
    win::HKEY key = nullptr;
    ASSERT_EQ(Reg().RegCreateKeyExW(win::HKEY_LOCAL_MACHINE, (L"SYSTEM\\CurrentControlSet\\Services\\" + service).c_str(),
                                    0, nullptr, 0, win::KEY_ALL_ACCESS, nullptr, &key, nullptr),
              0);
    Reg().RegCloseKey(key);
  }
  // The value's type and bytes; type 0 and "missing" when it cannot be read.
  std::pair<win::DWORD, std::string> Value(const std::wstring& service, const std::wstring& name) {
    win::HKEY key = nullptr;
    if (Reg().RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, (L"SYSTEM\\CurrentControlSet\\Services\\" + service).c_str(), 0,
                            win::KEY_READ, &key)) {
      return {0, "missing"};
    }
    std::string data(8192, '\0');
    win::DWORD type = 0, size = static_cast<win::DWORD>(data.size());
    win::LSTATUS e = Reg().RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<win::BYTE*>(data.data()), &size);
    Reg().RegCloseKey(key);
    if (e) return {0, "missing"};
    data.resize(size);
    return {type, data};
  }
  static std::string Dword(win::DWORD v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
  std::optional<ServiceEntry> Service(const wchar_t* name) { return FindService(*machine_, name); }
  RegistryApi& Reg() { return Registry::Get(); }

  std::string installedUrlDriver_;
};

TEST_F(BlockDriverConfigTest, SettingsNeedTheServiceKey) {
  EXPECT_EQ(MXBLKURLSetDefaultStatusIsBlocking(1), 0);
  EXPECT_EQ(MXBLKURLSetDebugTextOutputStatus(1), 0);
  EXPECT_EQ(MXBLKURLClearExceptionURLTextList(), 1);
  EXPECT_EQ(MXBLKURLSaveBlockURLSettings(), 0);
  EXPECT_EQ(Value(L"mxblkurl", L"ExceptURLCount").second, "missing") << "the key is not made";

  MakeKey(L"mxblkurl");
  EXPECT_EQ(MXBLKURLSetDefaultStatusIsBlocking(1), 1);
  EXPECT_EQ(MXBLKURLSetDebugTextOutputStatus(0x12345678), 1);
  EXPECT_EQ(Value(L"mxblkurl", L"DefaultIsDenyURL"), std::make_pair(win::REG_DWORD, Dword(1)));
  EXPECT_EQ(Value(L"mxblkurl", L"DebugTextOutput"), std::make_pair(win::REG_DWORD, Dword(0x12345678)));
}

TEST_F(BlockDriverConfigTest, UrlRecordsAreByteExact) {
  MakeKey(L"mxblkurl");
  MXBLKURLClearExceptionURLTextList();
  EXPECT_EQ(MXBLKURLAddExceptionURLTextA("abcdefghijklmnopqrst"), 1);
  EXPECT_EQ(MXBLKURLAddExceptionURLTextA(nullptr), 0);
  EXPECT_EQ(MXBLKURLAddExceptionURLTextW(nullptr), 0);
  EXPECT_EQ(MXBLKURLAddExceptionURLTextA(""), 1);
  // The wide form converts to the ANSI code page (1252 here) and cuts the
  // converted text, however long, to 14 bytes.
  EXPECT_EQ(MXBLKURLAddExceptionURLTextW(L"h\u00e9llo-w\u00f6rld.example"), 1);
  EXPECT_EQ(MXBLKURLAddExceptionURLTextW(L"\u4e2d.cn"), 1);
  EXPECT_EQ(MXBLKURLAddExceptionURLTextW(std::wstring(1000, L'w').c_str()), 1);
  ASSERT_EQ(MXBLKURLSaveBlockURLSettings(), 1);

  std::string expected;
  for (std::string text : {std::string("abcdefghijklmn"), std::string(), std::string("h\xe9llo-w\xf6rld.ex"),
                           std::string("?.cn"), std::string(14, 'w')}) {
    expected += text + std::string(16 - text.size(), '\0');
  }
  EXPECT_EQ(Value(L"mxblkurl", L"ExceptURLCount"), std::make_pair(win::REG_DWORD, Dword(5)));
  EXPECT_EQ(Value(L"mxblkurl", L"ExceptURLList"), std::make_pair(win::REG_BINARY, expected));
}

TEST_F(BlockDriverConfigTest, TableLimitsAndSaveAfterClear) {
  MakeKey(L"mxblkurl");
  MakeKey(L"mxblkprt");
  MXBLKURLClearExceptionURLTextList();
  for (int i = 0; i < 400; ++i) ASSERT_EQ(MXBLKURLAddExceptionURLTextA(("u" + std::to_string(i)).c_str()), 1);
  EXPECT_EQ(MXBLKURLAddExceptionURLTextA("one-too-many"), 0);
  EXPECT_EQ(MXBLKURLAddExceptionURLTextW(L"one-too-many"), 0);
  ASSERT_EQ(MXBLKURLSaveBlockURLSettings(), 1);
  EXPECT_EQ(Value(L"mxblkurl", L"ExceptURLCount").second, Dword(400));
  std::string list = Value(L"mxblkurl", L"ExceptURLList").second;
  ASSERT_EQ(list.size(), 6400u);
  EXPECT_EQ(list.substr(399 * 16, 16), std::string("u399") + std::string(12, '\0'));

  EXPECT_EQ(MXBLKURLClearExceptionURLTextList(), 1);
  ASSERT_EQ(MXBLKURLSaveBlockURLSettings(), 1);
  EXPECT_EQ(Value(L"mxblkurl", L"ExceptURLCount"), std::make_pair(win::REG_DWORD, Dword(0)));
  EXPECT_EQ(Value(L"mxblkurl", L"ExceptURLList"), std::make_pair(win::REG_BINARY, std::string()));

  // The port table has no clear: this is the one test that fills it.
  std::string ports;
  for (unsigned i = 0; i < 100; ++i) {
    ASSERT_EQ(MXBLKURLAddExceptionPort(8000 + i, 0xFFFFFFF0u + (i % 16)), 1);
    ports += Dword(8000 + i) + Dword(0xFFFFFFF0u + (i % 16));
  }
  EXPECT_EQ(MXBLKURLAddExceptionPort(1, 2), 0);
  ASSERT_EQ(MXBLKURLSaveBlockPortSettings(), 1);
  EXPECT_EQ(Value(L"mxblkprt", L"BlockPortCount"), std::make_pair(win::REG_DWORD, Dword(100)));
  EXPECT_EQ(Value(L"mxblkprt", L"BlockPortList"), std::make_pair(win::REG_BINARY, ports));
}

TEST_F(BlockDriverConfigTest, StartInstallsTheDriverIntoSystem32EvenFromA32BitProgram) {
  // As ZVVstIn runs on an x64 machine: 32-bit, its file calls redirected.
  ThirtyTwoBit bits;
  Wow64FileApi wow64(Files::Get());
  ScopedApi<FileApi> useWow64(wow64);
  ASSERT_EQ(MXBLKURLStartURLDriver(1), 1);
  EXPECT_EQ(ReadHost(installedUrlDriver_), "ZVPROGRAM\r\nstandin=mxblkurl\r\n# x64\r\n");
  EXPECT_FALSE(std::filesystem::exists(C("Windows/SysWOW64/drivers/mxblkurl.sys")));
  EXPECT_FALSE(Wow64RedirectionDisabled()) << "switched back on";
  auto e = Service(L"mxblkurl");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->state, win::SERVICE_RUNNING);
  EXPECT_EQ(e->type, win::SERVICE_KERNEL_DRIVER);
  EXPECT_EQ(e->start, win::SERVICE_DEMAND_START);
  EXPECT_EQ(e->displayName, L"mxblkurl");
  EXPECT_EQ(e->imagePath, L"C:\\Windows\\system32\\Drivers\\mxblkurl.sys");

  // A running driver: nothing is copied, the answer is 1 at once.
  MakeFile(C("Program Files/ZV/mxblkurl_x64.sys"), "changed");
  EXPECT_EQ(MXBLKURLStartURLDriver(1), 1);
  EXPECT_EQ(ReadHost(installedUrlDriver_), "ZVPROGRAM\r\nstandin=mxblkurl\r\n# x64\r\n");

  // Without the switches in kernel32 the copy runs redirected, as such a
  // program's would: into SysWOW64, and the start then misses the file.
  machine_->SetSetting("kernel32.missing", "Wow64DisableWow64FsRedirection");
  EXPECT_EQ(MXBLKURLStartPortDriver(0), 0);
  EXPECT_EQ(ReadHost(C("Windows/SysWOW64/drivers/mxblkprt.sys")), "ZVPROGRAM\r\nstandin=mxblkprt\r\n# x32\r\n");
}

TEST_F(BlockDriverConfigTest, StartWithoutDriverFileFailsButCreatesTheService) {
  std::filesystem::remove(C("Program Files/ZV/mxblkurl_x64.sys"));
  EXPECT_EQ(MXBLKURLStartURLDriver(1), 0);
  auto e = Service(L"mxblkurl");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->state, win::SERVICE_STOPPED);
  // An existing service is left as it is: a later start only copies.
  EXPECT_EQ(MXBLKURLStartURLDriver(0), 1);
  EXPECT_EQ(ReadHost(installedUrlDriver_), "ZVPROGRAM\r\nstandin=mxblkurl\r\n# x32\r\n");
}

TEST_F(BlockDriverConfigTest, StopAndRemove) {
  VirtualClock clock;
  ScopedClock useClock(clock);
  // Installed but not running: the stop is refused, the service deleted.
  ASSERT_EQ(MXBLKURLStartURLDriver(1), 1);
  ASSERT_EQ(MXBLKURLStopURLDriver(0), 1);
  EXPECT_EQ(Service(L"mxblkurl")->state, win::SERVICE_STOPPED);
  EXPECT_EQ(MXBLKURLStopURLDriver(1), 1);
  EXPECT_FALSE(Service(L"mxblkurl"));
  // Running: stopped, then deleted.
  ASSERT_EQ(MXBLKURLStartURLDriver(1), 1);
  EXPECT_EQ(MXBLKURLStopURLDriver(1), 1);
  EXPECT_FALSE(Service(L"mxblkurl"));
  // Stop-pending for a while: followed until stopped, then deleted.
  machine_->SetSetting("service.mxblkprt.stop_pending_ms", "2500");
  ASSERT_EQ(MXBLKURLStartPortDriver(1), 1);
  EXPECT_EQ(MXBLKURLStopPortDriver(1), 1);
  EXPECT_EQ(clock.SleptMilliseconds(), 3000u);
  EXPECT_FALSE(Service(L"mxblkprt"));
  // No service at all.
  EXPECT_EQ(MXBLKURLStopPortDriver(1), 1);
}

TEST_F(BlockDriverConfigTest, HungStopEndsWithinTheBound) {
  VirtualClock clock;
  ScopedClock useClock(clock);
  ASSERT_EQ(MXBLKURLStartURLDriver(1), 1);
  machine_->SetSetting("service.mxblkurl.stop_pending_ms", "forever");
  EXPECT_EQ(MXBLKURLStopURLDriver(1), 1);
  EXPECT_EQ(clock.SleptMilliseconds(), 30000u);
  auto e = Service(L"mxblkurl");
  ASSERT_TRUE(e) << "not stopped, so not deleted";
  EXPECT_EQ(e->state, win::SERVICE_STOP_PENDING);
  EXPECT_FALSE(e->deletePending);
}

std::string BinDir() {
  const char* dir = std::getenv("ZV_BIN_DIR");
  return dir ? dir : "";
}

#ifdef ZV_SANITIZED
bool Ours(const std::string& name) {
  if (name.rfind("MXBLK", 0) == 0) return true;
  int status = 0;
  char* demangled = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  const bool ours = demangled && std::string(demangled).find("zv::") != std::string::npos;
  std::free(demangled);
  return ours;
}
#endif

std::vector<std::string> ExportedNames(const std::string& file) {
  std::vector<std::string> names;
  FILE* p = popen(("nm -D --defined-only '" + file + "' 2>&1").c_str(), "r");
  if (!p) return names;
  char line[1024];
  while (std::fgets(line, sizeof line, p)) {
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    std::string name = s.substr(s.find_last_of(' ') + 1);
    name = name.substr(0, name.find('@'));
#ifdef ZV_SANITIZED
    // A sanitized program also exports the C++ run time linked into it
    // (the sanitizer's run-time library calls back into it); only names of
    // ours count there.
    if (!Ours(name)) continue;
#endif
    names.push_back(name);
  }
  pclose(p);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(BlockDriverExports, ExactlyTheTwelveNames) {
  ASSERT_FALSE(BinDir().empty()) << "ZV_BIN_DIR";
  EXPECT_EQ(ExportedNames(BinDir() + "/zvblkcfg"), kExported);
  EXPECT_EQ(ExportedNames(BinDir() + "/libzvblockdrivers.so"), kExported);

  // Another program finds them in the library by name.
  void* lib = dlopen((BinDir() + "/libzvblockdrivers.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  for (const std::string& name : kExported) EXPECT_NE(dlsym(lib, name.c_str()), nullptr) << name;
  auto addA = reinterpret_cast<int (*)(const char*)>(dlsym(lib, "MXBLKURLAddExceptionURLTextA"));
  ASSERT_NE(addA, nullptr);
  EXPECT_EQ(addA(nullptr), 0);
  dlclose(lib);
}

// The program with a multi-byte ANSI code page: the wide form does not
// split a character when it cuts.
TEST_F(BlockDriverConfigTest, ProgramCutsUtf8AtACharacterBoundary) {
  ASSERT_FALSE(BinDir().empty()) << "ZV_BIN_DIR";
  MakeKey(L"mxblkurl");
  std::string command = "ZV_ANSI_CODEPAGE=65001 ZV_MACHINE='" + root_.string() + "' '" + BinDir() +
                        "/zvblkcfg' urlw 'abcdefghijklm\xc3\xa9xyz' urlw '\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"
                        "\xc3\xa9\xc3\xa9\xc3\xa9' url 'abcdefghijklm\xc3\xa9' save-urls > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::string expected = std::string("abcdefghijklm") + std::string(3, '\0') +
                         std::string("\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9") + std::string(2, '\0') +
                         std::string("abcdefghijklm\xc3") + std::string(2, '\0');
  EXPECT_EQ(Value(L"mxblkurl", L"ExceptURLList"), std::make_pair(win::REG_BINARY, expected));
}

}  // namespace
}  // namespace zv::startup

namespace zv::startup {
namespace {

std::string Shell(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[512];
  while (std::size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  pclose(p);
  return out;
}

// The programs together: zvmachine installs the driver files, zvblkcfg
// (32-bit, as ZVVstIn) installs and configures the drivers, the drivers
// load, zvmachine shows what they enforce, and a boot stops them.
TEST_F(BlockDriverConfigTest, ProgramsScenario) {
  ASSERT_FALSE(BinDir().empty()) << "ZV_BIN_DIR";
  for (const char* f : {"mxblkurl_x64.sys", "mxblkurl_x32.sys", "mxblkprt_x64.sys", "mxblkprt_x32.sys"}) {
    std::filesystem::remove(C(std::string("Program Files/ZV/") + f));
  }
  const std::string env = "ZV_MACHINE='" + root_.string() + "' ZV_IMAGE_PATH='C:\\Program Files\\ZV\\ZVVstIn.exe' ";
  const std::string cfg = env + "ZV_BITNESS=32 '" + BinDir() + "/zvblkcfg' ";
  const std::string zvm = env + "'" + BinDir() + "/zvmachine' ";
  EXPECT_NE(Shell(zvm + "install").find("installed 4 driver files"), std::string::npos);
  EXPECT_EQ(Shell(cfg + "start url 1 start port 1"), "MXBLKURLStartURLDriver=1\nMXBLKURLStartPortDriver=1\n");
  EXPECT_EQ(Shell(cfg + "default 1 url example.com url abcdefghijklmnopqrst save-urls port 443 6 save-ports"),
            "MXBLKURLSetDefaultStatusIsBlocking=1\nMXBLKURLAddExceptionURLTextA=1\nMXBLKURLAddExceptionURLTextA=1\n"
            "MXBLKURLSaveBlockURLSettings=1\nMXBLKURLAddExceptionPort=1\nMXBLKURLSaveBlockPortSettings=1\n");
  std::string list = Shell(zvm + "service list");
  EXPECT_NE(list.find("mxblkurl             KERNEL_DRIVER        RUNNING       C:\\Windows\\system32\\Drivers\\mxblkurl.sys"),
            std::string::npos)
      << list;
  std::string status = Shell(zvm + "service status MXBLKURL");
  EXPECT_NE(status.find("STATE: RUNNING\n"), std::string::npos) << status;
  EXPECT_NE(status.find("would enforce:\n  DefaultIsDenyURL=1\n  DebugTextOutput=0\n  ExceptURLCount=2\n"
                        "  url[0]=example.com\n  url[1]=abcdefghijklmn\n"),
            std::string::npos)
      << status;
  EXPECT_NE(status.find("last load:\n  DefaultIsDenyURL=0\n"), std::string::npos) << status;
  EXPECT_NE(Shell(zvm + "service status mxblkprt").find("  BlockPortCount=1\n  port[0]=443,6\n"), std::string::npos);

  // A boot stops both, the one that hangs in stop-pending too.
  machine_->SetSetting("service.mxblkprt.stop_pending_ms", "forever");
  EXPECT_NE(Shell(zvm + "boot").find("stopped 2 service(s) (1 by the boot itself)"), std::string::npos);
  list = Shell(zvm + "service list");
  EXPECT_NE(list.find("mxblkurl             KERNEL_DRIVER        STOPPED"), std::string::npos) << list;
  EXPECT_NE(list.find("mxblkprt             KERNEL_DRIVER        STOPPED"), std::string::npos) << list;
  EXPECT_EQ(list.find("RUNNING"), std::string::npos) << list;
  EXPECT_EQ(list.find("PENDING"), std::string::npos) << list;

  // Stopped and removed: gone from the list.
  EXPECT_EQ(Shell(cfg + "stop url 1 stop port 1"), "MXBLKURLStopURLDriver=1\nMXBLKURLStopPortDriver=1\n");
  EXPECT_EQ(Shell(zvm + "service list").find("mxblk"), std::string::npos);
}

}  // namespace
}  // namespace zv::startup
