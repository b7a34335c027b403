// The block-driver stand-ins loaded by the machine's service manager: what
// they read and refuse, and the run states of a driver service (running,
// already running, stop-pending for a while or for ever, deleted while
// running).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/clock.h"
#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/registry/registry_api.h"
#include "platform/services/service_manager_api.h"
#include "platform/services/testing/service_manager_fixture.h"
#include "suite/block_drivers/block_driver_settings.h"

namespace zv::suite {
namespace {

using namespace zv::platform;

class BlockDriverTest : public platform::testing::ServiceManagerMachineTest {
 protected:
  // An installed driver: its image names the stand-in, its service exists.
  win::SC_HANDLE Install(const std::string& name) {
    MakeFile(C("Windows/System32/drivers/" + name + ".sys"), "ZVPROGRAM\r\nstandin=" + name + "\r\nbitness=64\r\n");
    std::string image = "C:\\Windows\\System32\\drivers\\" + name + ".sys";
    return Scm().CreateServiceA(manager_, name.c_str(), name.c_str(), win::SERVICE_ALL_ACCESS,
                                win::SERVICE_KERNEL_DRIVER, win::SERVICE_DEMAND_START, win::SERVICE_ERROR_NORMAL,
                                image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  }
  void Set(const std::wstring& service, const std::wstring& name, win::DWORD type, const std::string& data) {
    win::HKEY key = nullptr;
    ASSERT_EQ(Registry::Get().RegCreateKeyExW(win::HKEY_LOCAL_MACHINE,
                                              (L"SYSTEM\\CurrentControlSet\\Services\\" + service).c_str(), 0,
                                              nullptr, 0, win::KEY_ALL_ACCESS, nullptr, &key, nullptr),
              0);
    Registry::Get().RegSetValueExW(key, name.c_str(), 0, type, reinterpret_cast<const win::BYTE*>(data.data()),
                                   static_cast<win::DWORD>(data.size()));
    Registry::Get().RegCloseKey(key);
  }
  static std::string Dword(win::DWORD v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
  win::DWORD Control(win::SC_HANDLE s, win::SERVICE_STATUS* st) {
    return Scm().ControlService(s, win::SERVICE_CONTROL_STOP, st) ? 0 : GetLastError();
  }
  win::DWORD State(win::SC_HANDLE s) {
    win::SERVICE_STATUS st{};
    EXPECT_TRUE(Scm().QueryServiceStatus(s, &st));
    return st.dwCurrentState;
  }

};

TEST_F(BlockDriverTest, LoadedDriversReportWhatTheyEnforce) {
  win::SC_HANDLE url = Install("mxblkurl");
  win::SC_HANDLE port = Install("mxblkprt");
  ASSERT_TRUE(url && port);
  Set(kUrlDriver, L"DefaultIsDenyURL", win::REG_DWORD, Dword(1));
  Set(kUrlDriver, L"ExceptURLCount", win::REG_DWORD, Dword(2));
  std::string urls(32, '\0');
  std::memcpy(urls.data(), "example.com", 11);
  std::memcpy(urls.data() + 16, "abcdefghijklmn", 14);
  Set(kUrlDriver, L"ExceptURLList", win::REG_BINARY, urls);
  Set(kPortDriver, L"BlockPortCount", win::REG_DWORD, Dword(1));
  Set(kPortDriver, L"BlockPortList", win::REG_BINARY, std::string("\x50\x00\x00\x00\x01\x00\x00\x80", 8));

  ASSERT_TRUE(Scm().StartServiceW(url, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(Scm().StartServiceW(port, 0, nullptr)) << GetLastError();
  EXPECT_EQ(FindService(*machine_, kUrlDriver)->report,
            "DefaultIsDenyURL=1\nDebugTextOutput=0\nExceptURLCount=2\nurl[0]=example.com\nurl[1]=abcdefghijklmn\n");
  EXPECT_EQ(FindService(*machine_, kPortDriver)->report, "BlockPortCount=1\nport[0]=80,2147483649\n");
  EXPECT_EQ(State(url), win::SERVICE_RUNNING);

  EXPECT_FALSE(Scm().StartServiceW(url, 0, nullptr));
  EXPECT_EQ(GetLastError(), win::ERROR_SERVICE_ALREADY_RUNNING);
  win::SERVICE_STATUS st{};
  EXPECT_EQ(Control(url, &st), 0u);
  EXPECT_EQ(st.dwCurrentState, win::SERVICE_STOPPED);
  EXPECT_EQ(Control(url, &st), win::ERROR_SERVICE_NOT_ACTIVE);
  Scm().CloseServiceHandle(url);
  Scm().CloseServiceHandle(port);
}

TEST_F(BlockDriverTest, MalformedValuesAreRefused) {
  // Wrong types.
  Set(kUrlDriver, L"DefaultIsDenyURL", win::REG_SZ, std::string("1\0", 2));
  Set(kUrlDriver, L"DebugTextOutput", win::REG_DWORD, std::string("\x01\x00", 2));
  Set(kUrlDriver, L"ExceptURLCount", win::REG_DWORD, Dword(1));
  Set(kUrlDriver, L"ExceptURLList", win::REG_SZ, std::string(16, 'a'));
  BlockDriverReading r = ReadBlockDriverKey(*machine_, BlockDriverKind::Url, kUrlDriver);
  EXPECT_EQ(r.defaultIsDeny, 0u);
  EXPECT_TRUE(r.urls.empty());
  EXPECT_EQ(r.errors.size(), 3u);

  // A count that does not match the list's size; a record without its
  // terminator; a count over the limit.
  Set(kUrlDriver, L"ExceptURLList", win::REG_BINARY, std::string(32, '\0'));
  r = ReadBlockDriverKey(*machine_, BlockDriverKind::Url, kUrlDriver);
  ASSERT_FALSE(r.errors.empty());
  EXPECT_NE(r.errors.back().find("32 bytes do not match ExceptURLCount 1 (16 bytes)"), std::string::npos)
      << r.errors.back();
  Set(kUrlDriver, L"ExceptURLList", win::REG_BINARY, std::string(16, 'a'));
  EXPECT_NE(ReadBlockDriverKey(*machine_, BlockDriverKind::Url, kUrlDriver).errors.back().find("record 0"),
            std::string::npos);
  Set(kPortDriver, L"BlockPortCount", win::REG_DWORD, Dword(101));
  Set(kPortDriver, L"BlockPortList", win::REG_BINARY, std::string(808, '\0'));
  r = ReadBlockDriverKey(*machine_, BlockDriverKind::Port, kPortDriver);
  EXPECT_TRUE(r.ports.empty());
  ASSERT_EQ(r.errors.size(), 1u);
  EXPECT_NE(r.errors[0].find("over 100"), std::string::npos);

  // The driver still loads and says what it refused.
  win::SC_HANDLE port = Install("mxblkprt");
  ASSERT_TRUE(Scm().StartServiceW(port, 0, nullptr)) << GetLastError();
  EXPECT_NE(FindService(*machine_, kPortDriver)->report.find("BlockPortCount=0\n<ERROR> BlockPortCount 101"),
            std::string::npos);
  Scm().CloseServiceHandle(port);
}

TEST_F(BlockDriverTest, StopPendingForAWhileAndForEver) {
  VirtualClock clock;
  ScopedClock useClock(clock);
  win::SC_HANDLE url = Install("mxblkurl");
  ASSERT_TRUE(Scm().StartServiceW(url, 0, nullptr));
  machine_->SetSetting("service.mxblkurl.stop_pending_ms", "2500");
  win::SERVICE_STATUS st{};
  EXPECT_EQ(Control(url, &st), 0u);
  EXPECT_EQ(st.dwCurrentState, win::SERVICE_STOP_PENDING);
  EXPECT_EQ(Control(url, &st), win::ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_FALSE(Scm().StartServiceW(url, 0, nullptr));
  EXPECT_EQ(GetLastError(), win::ERROR_SERVICE_ALREADY_RUNNING);
  clock.Advance(2499);
  EXPECT_EQ(State(url), win::SERVICE_STOP_PENDING);
  clock.Advance(1);
  EXPECT_EQ(State(url), win::SERVICE_STOPPED);

  machine_->SetSetting("service.mxblkurl.stop_pending_ms", "forever");
  ASSERT_TRUE(Scm().StartServiceW(url, 0, nullptr));
  EXPECT_EQ(Control(url, &st), 0u);
  clock.Advance(24ull * 3600 * 1000);
  EXPECT_EQ(State(url), win::SERVICE_STOP_PENDING);
  EXPECT_EQ(FindService(*machine_, kUrlDriver)->state, win::SERVICE_STOP_PENDING);
  Scm().CloseServiceHandle(url);
}

TEST_F(BlockDriverTest, DeletedWhileRunningGoesWhenStopped) {
  VirtualClock clock;
  ScopedClock useClock(clock);
  win::SC_HANDLE url = Install("mxblkurl");
  ASSERT_TRUE(Scm().StartServiceW(url, 0, nullptr));
  machine_->SetSetting("service.mxblkurl.stop_pending_ms", "1000");
  EXPECT_TRUE(Scm().DeleteService(url));
  EXPECT_TRUE(FindService(*machine_, kUrlDriver)->deletePending);
  EXPECT_FALSE(Scm().DeleteService(url));
  EXPECT_EQ(GetLastError(), win::ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(Install("mxblkurl"), nullptr);
  EXPECT_EQ(GetLastError(), win::ERROR_SERVICE_MARKED_FOR_DELETE);

  win::SERVICE_STATUS st{};
  EXPECT_EQ(Control(url, &st), 0u);
  EXPECT_TRUE(FindService(*machine_, kUrlDriver)) << "still stop-pending";
  clock.Advance(1000);
  EXPECT_EQ(State(url), win::SERVICE_STOPPED);
  EXPECT_FALSE(FindService(*machine_, kUrlDriver));
  EXPECT_EQ(Scm().OpenServiceW(manager_, kUrlDriver, win::SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), win::ERROR_SERVICE_DOES_NOT_EXIST);
  Scm().CloseServiceHandle(url);
}

// Several threads (each with its own handle, as separate programs would
// have) start one driver: it is loaded once, the others hear 1056.
TEST_F(BlockDriverTest, ConcurrentStartsLoadOnce) {
  win::SC_HANDLE url = Install("mxblkurl");
  ASSERT_NE(url, nullptr);
  std::atomic<int> started{0}, already{0}, other{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      win::SC_HANDLE h = Scm().OpenServiceW(manager_, kUrlDriver, win::SERVICE_START);
      if (Scm().StartServiceW(h, 0, nullptr)) {
        ++started;
      } else if (GetLastError() == win::ERROR_SERVICE_ALREADY_RUNNING) {
        ++already;
      } else {
        ++other;
      }
      Scm().CloseServiceHandle(h);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(started.load(), 1);
  EXPECT_EQ(already.load(), 3);
  EXPECT_EQ(other.load(), 0);
  EXPECT_EQ(State(url), win::SERVICE_RUNNING);
  Scm().CloseServiceHandle(url);
}

}  // namespace
}  // namespace zv::suite
