// Tests that run zvorx as a program: a throw-away machine, zvorx and the
// driver stand-in started from ZV_BIN_DIR, configuration through zvorxctl
// command files and opens played from scenario files whose ${NAME} words are
// replaced by the pids of machine processes. For tests only.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/files/machine.h"
#include "platform/processes/process_table.h"
#include "suite/driver/driver_events.h"
#include "suite/driver/testing/machine_fixture.h"

extern char** environ;

namespace zv::suite::testing {

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& p) {
  std::ifstream f(p);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

inline int Count(const std::string& text, std::string_view needle) {
  int n = 0;
  for (auto p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
  return n;
}

class ZvorxProgramTest : public ScratchMachineTest {
 protected:
  // testFiles: the folder of the command and scenario files.
  ZvorxProgramTest(std::string prefix, fs::path testFiles)
      : ScratchMachineTest(std::move(prefix)), testFiles_(std::move(testFiles)) {}
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
    std::string text = ReadFile(testFiles_ / file);
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

  fs::path testFiles_;
  std::string bin_;
  std::vector<pid_t> children_;
  std::map<std::string, std::string> values_;
};

}  // namespace zv::suite::testing
