// The access-control engines inside a running zvorx: the driver stand-in,
// configuration through zvorxctl command files, then file opens played from
// scenario files. One fresh machine per test; clocks 100 times faster.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/files/machine.h"
#include "platform/processes/process_table.h"
#include "suite/driver/driver_events.h"
#include "suite/driver/testing/machine_fixture.h"

extern char** environ;

namespace zv::engines {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
  std::ifstream f(p);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

int Count(const std::string& text, std::string_view needle) {
  int n = 0;
  for (auto p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
  return n;
}

const fs::path kTestFiles = fs::path(__FILE__).parent_path();

class AccessServiceTest : public suite::testing::ScratchMachineTest {
 protected:
  AccessServiceTest() : ScratchMachineTest("zvac-") {}
  void SetUp() override {
    ScratchMachineTest::SetUp();
    bin_ = std::getenv("ZV_BIN_DIR");
    // Replies are never late, however slow the build.
    machine_->SetSetting("driver.ReplyTimeoutMs", "300000");
  }
  void TearDown() override {
    for (pid_t pid : children_) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    ScratchMachineTest::TearDown();
  }

  pid_t Spawn(const std::string& name, const std::string& file, std::vector<std::string> args) {
    std::string program = bin_ + "/" + file;
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::string out = (root_ / (name + ".out")).string(), err = (root_ / (name + ".err")).string();
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    children_.push_back(pid);
    return pid;
  }
  std::optional<int> Wait(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(60)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        std::erase(children_, pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::nullopt;
  }
  std::optional<int> Run(const std::string& name, const std::string& file, std::vector<std::string> args) {
    return Wait(Spawn(name, file, std::move(args)));
  }
  std::string Out(const std::string& name) { return ReadFile(root_ / (name + ".out")); }
  std::string Err(const std::string& name) {
    std::string err = ReadFile(root_ / (name + ".err"));
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    return err;
  }

  // Starts zvorx and waits until it serves the driver and the control
  // interface.
  void StartZvorx(std::vector<std::string> args = {}) {
    Spawn("zvorx", "zvorx", std::move(args));
    bool connected = false;
    for (int i = 0; i < 2000 && !connected; ++i) {
      auto status = suite::DriverControl().Status();
      connected = status && status->find("client: connected") != std::string::npos;
      if (!connected) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(connected) << Err("zvorx");
    bool listening = false;
    for (int i = 0; i < 500 && !listening; ++i) {
      listening = Run("probe", "zvorxctl", {"i", "0", "NO_SUCH_COMMAND", "0"}) == 0;
      if (!listening) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(listening) << Out("probe");
  }

  win::DWORD Process(const std::string& name, const std::wstring& image) {
    win::DWORD pid = platform::AddProcess(*machine_, 4, image, 1, false);
    values_[name] = std::to_string(pid);
    return pid;
  }
  // A test file with every ${NAME} replaced, written to the machine root.
  std::string Resolve(const std::string& file) {
    std::string text = ReadFile(kTestFiles / file);
    for (const auto& [name, value] : values_) {
      std::string key = "${" + name + "}";
      for (auto p = text.find(key); p != std::string::npos; p = text.find(key, p)) text.replace(p, key.size(), value);
    }
    EXPECT_EQ(text.find("${"), std::string::npos) << file;
    fs::path out = root_ / file;
    std::ofstream(out) << text;
    return out.string();
  }
  void Configure(const std::string& commands) {
    EXPECT_EQ(Run("ctl", "zvorxctl", {"run", Resolve(commands)}), 0) << Out("ctl") << Err("ctl");
  }
  // Plays a scenario; every expectation in it must hold.
  void Play(const std::string& scenario) {
    std::string file = Resolve(scenario);
    EXPECT_EQ(Run("play", "zvorx-driver", {"play", file}), 0) << Out("play") << Err("play");
    EXPECT_EQ(Count(Out("play"), "[ok]"), Count(ReadFile(file), " expect ")) << Out("play");
  }
  void MakeFolder(const std::string& rel) { fs::create_directories(root_ / "volumes" / "C" / rel); }
  void MakeFile(const std::string& rel) {
    fs::create_directories((root_ / "volumes" / "C" / rel).parent_path());
    std::ofstream(root_ / "volumes" / "C" / rel) << "x";
  }

  std::string bin_;
  std::vector<pid_t> children_;
  std::map<std::string, std::string> values_;
};

TEST_F(AccessServiceTest, AccessControlDecidesOpensByProcessAndPathType) {
  MakeFile("Downloads/setup.exe");
  StartZvorx();
  Process("WHITE", L"C:\\Windows\\System32\\cmd.exe");
  Process("IE", L"C:\\Program Files\\Internet Explorer\\iexplore.exe");
  Process("NOTYPE", L"C:\\Tools\\plain.exe");
  win::DWORD bad = Process("BAD", L"C:\\Tools\\BadTool.exe");
  Process("FREE", L"C:\\Tools\\freetool.exe");
  Process("FREENAME", L"C:\\Tools\\freebyname.exe");
  for (const char* type : {"1", "4", "8", "21", "40", "80", "400", "10800"}) {
    Process(std::string("P") + type, L"C:\\Tools\\proc-0x" + std::wstring(type, type + std::strlen(type)) + L".exe");
  }
  Configure("access_control.commands");
  Play("access_control.scenario");

  // The restricted program was ended through the machine's process calls.
  EXPECT_FALSE(platform::FindProcess(*machine_, bad));
  std::string err = Err("zvorx");
  EXPECT_EQ(Count(err, "AC1 ---- process[" + std::to_string(bad) + "] Access Restricted Install \\\\?\\C:\\Windows\\win.ini"),
            1)
      << err;
  EXPECT_EQ(Count(err, "AC1 ---- RPCListen_i AC_SET_ENGINEWORK , 1"), 1);
  // The key-3 command reached only the key-2 engine, which echoed it before
  // its key test and left C:\Secret protected (the scenario shows it).
  EXPECT_EQ(Count(err, "AC1 ---- RPCListen_is AC_ADD_PATHTYPE ,4, C:\\Secret\r\n"), 1);
}

TEST_F(AccessServiceTest, DeviceAccessEngineIsCreatedOnceAndKeepsItsOwnSettings) {
  MakeFolder("DevBrowse");
  MakeFile("DevBrowse/file.txt");
  StartZvorx();
  Process("USER", L"C:\\Tools\\user.exe");
  Process("COM", L"C:\\Windows\\System32\\dllhost.exe");
  Configure("device_access.commands");
  Play("device_access.scenario");

  std::string err = Err("zvorx");
  // One creation (its debugger line); the second command found the engine.
  // The key-2 engine echoes both commands, the key-3 engine the second.
  EXPECT_EQ(Count(err, "RPCListen_s MAIN_ENGINE_CREATEDEVICEACCESS"), 3) << err;
  EXPECT_EQ(Count(err, "MAIN_ENGINE_CREATEDEVICEACCESS"), 4) << err;
  // Text commands reach both engines; keyed ones only their own.
  EXPECT_EQ(Count(err, "AC1 ---- RPCListen_s AC_ADD_PROTECTPATH , C:\\Both"), 2);
  EXPECT_EQ(Count(err, "AC1 ---- RPCListen_i AC_SET_DEVICEACCESSMODE , 3"), 1);
  EXPECT_EQ(Count(err, "AC1 ---- RPCListen_i AC_SET_DEVICEACCESSMODE , 2"), 1);
}

TEST_F(AccessServiceTest, SkipSwitchLeavesTheEngineDeaf) {
  StartZvorx({"-skipac"});
  Process("P1", L"C:\\Tools\\proc-0x1.exe");
  Process("FREE", L"C:\\Tools\\freetool.exe");
  Configure("access_control.commands");
  ASSERT_EQ(Run("play", "zvorx-driver", {"inject", "open", values_["P1"], "C:\\Secret\\plan.txt", "expect", "allow"}),
            0)
      << Out("play");
  EXPECT_EQ(Count(Err("zvorx"), "AC1 ----"), 0);
}

}  // namespace
}  // namespace zv::engines
