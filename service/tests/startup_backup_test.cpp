// The backup engine inside a running zvorx: started against the real driver
// stand-in on a fresh machine, driven with zvorxctl and the machine's
// processes, and stopped by unloading the driver (console) or by the
// service manager's stop (service).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "driver_channel/port_client.h"
#include "driver_channel/signals.h"
#include "driver_channel/tests/fake_port.h"
#include "engines/backup/backupengine.h"
#include "platform/processes/process_table.h"
#include "service/startup_backup.h"
#include "suite/driver/driver_events.h"
#include "suite/driver/testing/zvorx_program_test.h"


namespace zv::service {
namespace {

namespace fs = std::filesystem;
using suite::DriverControl;

using suite::testing::Count;
using suite::testing::ReadFile;

bool WaitFor(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(20)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

class BackupInZvorxTest : public suite::testing::ZvorxProgramTest {
 protected:
  BackupInZvorxTest() : ZvorxProgramTest("zvbe-", {}) {}
  void SetUp() override {
    ZvorxProgramTest::SetUp();
    fs::create_directories(root_ / "volumes/C/Windows/zv/zvorx");
  }
  void TearDown() override {
    if (notify_ >= 0) ::close(notify_);
    ::unsetenv("NOTIFY_SOCKET");
    ZvorxProgramTest::TearDown();
  }

  pid_t Start(const std::string& name, std::vector<std::string> args, const std::string& file = "zvorx") {
    return Spawn(name, file, std::move(args));
  }
  std::string Status() { return DriverControl().Status().value_or(""); }
  // Runs one zvorxctl call, retrying while the control interface is not up.
  bool Ctl(std::vector<std::string> words) {
    for (int i = 0; i < 200; ++i) {
      if (Wait(Start("ctl", words, "zvorxctl")) == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  std::string SessionLog() { return ReadFile(root_ / "volumes/C/Windows/zv/zvorx/sflog.log"); }

  // Plays the service manager: a notify socket that zvorx reports to.
  void BeServiceManager() {
    std::string name = "@zvbe-notify-" + std::to_string(::getpid());
    notify_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, name.data(), name.size());
    addr.sun_path[0] = '\0';
    ASSERT_EQ(::bind(notify_, reinterpret_cast<sockaddr*>(&addr),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())),
              0);
    ::setenv("NOTIFY_SOCKET", name.c_str(), 1);
  }

  int notify_ = -1;
};

TEST_F(BackupInZvorxTest, ConsoleRunClassifiesRegistersDirectFreeAndEndsTheEngineOnUnload) {
  platform::AddProcess(*machine_, 0, L"C:\\Tools\\Packer.exe", 1, false);
  win::DWORD word = platform::AddProcess(*machine_, 0, L"C:\\Apps\\Word.exe", 1, false);
  pid_t zvorx = Start("zvorx", {});
  // Once the port is connected the first-direct-free thread registers
  // System (pid 4) with the driver.
  ASSERT_TRUE(WaitFor([&] { return Status().find("direct-free: 4\n") != std::string::npos; })) << Status();

  ASSERT_TRUE(Ctl({"i", "0", "MAIN_ENGINE_SETLOG", "0x2009"}));
  ASSERT_TRUE(Ctl({"s", "9", "BE_ADD_FREEPROCESSNAME", "packer"}));
  ASSERT_TRUE(Ctl({"i", "9", "BE_SET_SESSIONFILTER", "1"}));
  ASSERT_TRUE(Ctl({"i", "9", "BE_SET_ENGINEWORK", "1"}));
  EXPECT_EQ(Count(SessionLog(), ":,<SessionFilter Set> , Set= 1 \r\n"), 1);
  EXPECT_EQ(Count(SessionLog(), ":,<SessionFilter Free> ,Process = system ,pid = 4 \r\n "), 1);

  // A service started now by a normal process: the driver reports its start
  // and image, and the session filter frees it. (A free parent's child would
  // stay normal.)
  win::DWORD service = platform::AddProcess(*machine_, word, L"C:\\Windows\\spoolsv.exe", 0, false);
  std::string freed = ":,<ImageNotify:SessionFilter Free> ,Process = \\\\?\\C:\\Windows\\spoolsv.exe ,pid = " +
                      std::to_string(service) + " \r\n";
  ASSERT_TRUE(WaitFor([&] { return SessionLog().find(freed) != std::string::npos; })) << SessionLog() << Err("zvorx");

  ASSERT_TRUE(Ctl({"i", "0", "BE_FREEPROCESS_LIST", "0"}));
  ASSERT_TRUE(WaitFor([&] { return Err("zvorx").find("Total FreeProcess From Map") != std::string::npos; }));
  std::string err = Err("zvorx");
  EXPECT_NE(err.find("[mxred] BE ---- Free_Process_List " + std::to_string(service) + " , c:\\windows\\spoolsv.exe"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("[mxred] BE ---- Free_Process From Map [ 4]"), std::string::npos);

  ASSERT_EQ(DriverControl().Unload(), win::S_OK);
  EXPECT_EQ(Wait(zvorx), 0x13);
  err = Err("zvorx");
  EXPECT_EQ(Count(err, "backupengine deleted"), 1) << err;
}

TEST_F(BackupInZvorxTest, ServiceStopEndsTheEngineAndSkipbeLeavesItDeaf) {
  BeServiceManager();
  pid_t zvorx = Start("zvorx", {"-service", "-skipbe"});
  ASSERT_TRUE(WaitFor([&] { return Status().find("direct-free: 4\n") != std::string::npos; })) << Status();
  // The command reaches the MAIN handler, but no handler of the engine.
  ASSERT_TRUE(Ctl({"i", "0", "BE_SET_SESSIONFILTER", "1"}));
  EXPECT_EQ(SessionLog(), "");

  ::kill(zvorx, SIGTERM);
  EXPECT_EQ(Wait(zvorx), 0);
  std::string err = Err("zvorx");
  EXPECT_EQ(Count(err, "backupengine deleted"), 1) << err;
  EXPECT_NE(err.find("Service Stopped"), std::string::npos) << err;
}

TEST(BackupEngineStartup, PortWorkersAnswerOpensOfFreeProcessesWithoutAnyEngine) {
  platform::VirtualClock clock;
  platform::ScopedClock scopedClock(clock);
  zv::testing::FakeDriver driver;
  zv::testing::FakeThreads threads;
  platform::ScopedApi<platform::FilterApi> filterApi(driver);
  platform::ScopedApi<platform::CompletionPortApi> completionApi(driver);
  platform::ScopedApi<platform::ThreadApi> threadApi(threads);
  SetBackupEngineThreads(false);
  CreateBackupEngine(true);
  BackupEngine()->SetProcessType(5000, engines::kBackupProcessFree);
  BackupEngine()->SetProcessType(5004, engines::kBackupProcessNormal);

  std::atomic<int> opens{0};
  auto counter = channel::NotificationSignal.connect(
      [&](channel::_MXRED_NOTIFICATION* n, channel::_MXRED_REPLY_MESSAGE*) { opens += n->Kind == 3; });
  auto run = std::async(std::launch::async, [] { return channel::ServiceThreadFunc(nullptr); });
  ASSERT_TRUE(driver.WaitPending(40));
  auto reply = driver.WaitReply(driver.Inject(zv::testing::MakeNotification(3, 5000, L"\\Device\\HarddiskVolume2\\a")));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->allow, 1);
  EXPECT_EQ(opens.load(), 0);
  reply = driver.WaitReply(driver.Inject(zv::testing::MakeNotification(3, 5004, L"\\Device\\HarddiskVolume2\\a")));
  ASSERT_TRUE(reply);
  EXPECT_EQ(opens.load(), 1);
  driver.Unload();
  EXPECT_EQ(run.get(), 0u);
  counter.disconnect();
  ShutdownBackupEngine();
  SetBackupEngineThreads(true);
}

}  // namespace
}  // namespace zv::service
