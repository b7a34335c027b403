#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "control/zvorx_interface.h"
#include "driver_channel/signals.h"
#include "platform/files/machine.h"
#include "platform/rpc/rpc_server.h"
#include "suite/driver/testing/scratch_machine.h"
#include "tools/zvorxctl_commands.h"

using namespace zv;
using namespace zv::tools;
namespace fs = std::filesystem;

TEST(ZvorxctlWords, QuotingAndNumbers) {
  std::vector<std::string> w;
  std::string error;
  ASSERT_TRUE(SplitCommandLine("  s 2\tBE_ADD_PROTECTPATH  \"c:\\Program Files\\x\\\"  ", w, error));
  EXPECT_EQ(w, (std::vector<std::string>{"s", "2", "BE_ADD_PROTECTPATH", "c:\\Program Files\\x\\"}));
  ASSERT_TRUE(SplitCommandLine("sss 0 N \"say \"\"hi\"\"\" \"\"", w, error));
  EXPECT_EQ(w, (std::vector<std::string>{"sss", "0", "N", "say \"hi\"", ""}));
  ASSERT_TRUE(SplitCommandLine("s 0 N c:\\a\\\"b", w, error));  // quotes inside a bare word are literal
  EXPECT_EQ(w.back(), "c:\\a\\\"b");
  EXPECT_FALSE(SplitCommandLine("s 0 N \"open", w, error));
  EXPECT_FALSE(SplitCommandLine("s 0 N \"a\"b", w, error));

  int v = 0;
  EXPECT_TRUE(ParseInt32("-2147483648", v));
  EXPECT_EQ(v, INT32_MIN);
  EXPECT_TRUE(ParseInt32("0xFFFFFFFF", v));
  EXPECT_EQ(v, -1);
  EXPECT_FALSE(ParseInt32("2147483648", v));
  EXPECT_FALSE(ParseInt32("12a", v));
  EXPECT_FALSE(ParseInt32("0x", v));
  EXPECT_FALSE(ParseInt32("", v));

  CtlCommand c;
  EXPECT_TRUE(ParseCommandWords({"is", "0", "MAIN_ENGINE_CREATE", "1", "VEVODEZU1"}, c, error));
  EXPECT_EQ(c.kind, CtlCommand::IS);
  EXPECT_EQ(c.text1, L"VEVODEZU1");
  EXPECT_FALSE(ParseCommandWords({"i", "0", "X"}, c, error));
  EXPECT_FALSE(ParseCommandWords({"x", "0", "X", "1"}, c, error));
  EXPECT_FALSE(ParseCommandWords({"i", "zero", "X", "1"}, c, error));

  std::istringstream file("\xEF\xBB\xBF# config\r\n\r\n  # indented comment\ni 0 MAIN_ENGINE_SETLOG 3\r\ns 2 BE_X \"a b\"\n");
  std::vector<CommandLine> lines;
  ASSERT_TRUE(ParseCommandFile(file, lines, error)) << error;
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].lineNumber, 4);
  EXPECT_EQ(lines[1].command.text1, L"a b");
  std::istringstream bad("i 0 A 1\nis 0 B\n");
  lines.clear();
  EXPECT_FALSE(ParseCommandFile(bad, lines, error));
  EXPECT_NE(error.find("line 2"), std::string::npos);
}

namespace {

struct CtlRun {
  int exit = -1;
  std::string out;
};

CtlRun RunCtl(const std::string& args) {
  const char* bin = std::getenv("ZV_BIN_DIR");
  std::string cmd = std::string(bin ? bin : "build/bin") + "/zvorxctl " + args + " 2>&1";
  CtlRun r;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p)) r.out += buf;
  int status = pclose(p);
  r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

}  // namespace

TEST(Zvorxctl, CallsTheRunningServiceAndReportsFailures) {
  fs::path root = fs::temp_directory_path() / ("zvm-ctl-" + std::to_string(getpid()));
  auto scratch = suite::testing::CreateScratchMachine(root);
  std::string machine = "--machine " + root.string();

  CtlRun r = RunCtl("--help");
  EXPECT_EQ(r.exit, 0);
  EXPECT_NE(r.out.find("sss KEY NAME TEXT1 TEXT2"), std::string::npos);
  EXPECT_EQ(RunCtl(machine + " i 0 X").exit, kExitUsage);
  r = RunCtl(machine + " i 0 MAIN_ENGINE_SETLOG 3");
  EXPECT_EQ(r.exit, kExitUnavailable) << r.out;
  EXPECT_NE(r.out.find("not running"), std::string::npos);
  EXPECT_EQ(RunCtl("--machine " + (root / "none").string() + " i 0 X 1").exit, kExitConfig);

  std::mutex mutex;
  std::vector<std::wstring> seen;
  channel::CommandSignalS.disconnect_all_slots();
  channel::CommandSignalI.disconnect_all_slots();
  channel::CommandSignalS.connect([&](int k, const std::wstring c, const std::wstring t) {
    std::lock_guard lock(mutex);
    seen.push_back(std::to_wstring(k) + L"|" + c + L"|" + t);
    return 0;
  });
  channel::CommandSignalI.connect([&](int k, const std::wstring c, int v) {
    std::lock_guard lock(mutex);
    seen.push_back(std::to_wstring(k) + L"|" + c + L"|" + std::to_wstring(v));
    return 0;
  });
  platform::RpcRuntime runtime;
  ASSERT_EQ(runtime.RpcServerUseProtseqEpW(control::kProtocolSequence, 20, control::kEndpoint, nullptr), 0);
  ASSERT_EQ(runtime.RpcServerRegisterIf(control::ZvorxServerInterface(), nullptr, nullptr), 0);
  ASSERT_EQ(runtime.RpcServerListen(1, 1234, 1), 0);

  r = RunCtl(machine + " i 0 MAIN_ENGINE_SETLOG 0x10");
  EXPECT_EQ(r.exit, 0) << r.out;
  EXPECT_EQ(r.out, "99\n");
  fs::path file = root / "config.txt";
  std::ofstream(file) << "s 2 BE_ADD_PROTECTPATH " << std::string(40000, 'a') << "\n";
  r = RunCtl(machine + " run " + file.string());
  EXPECT_NE(r.exit, 0);
  EXPECT_NE(r.out.find("too long"), std::string::npos) << r.out;
  std::ofstream(file) << "# protect\n"
                         "s 2 BE_ADD_PROTECTPATH \"c:\\Program Files\\App\\\"\n"
                         "s 2 BE_ADD_FOLDER c:\\qd\\r\\\n";
  r = RunCtl(machine + " run " + file.string());
  EXPECT_EQ(r.exit, 0) << r.out;
  EXPECT_NE(r.out.find("2 commands sent"), std::string::npos);
  std::ofstream(file) << "s 2 A b\nbogus\n";
  EXPECT_EQ(RunCtl(machine + " run " + file.string()).exit, kExitDataError);
  EXPECT_EQ(RunCtl(machine + " run " + (root / "missing").string()).exit, kExitNoInput);
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, (std::vector<std::wstring>{L"0|MAIN_ENGINE_SETLOG|16",
                                               L"2|BE_ADD_PROTECTPATH|c:\\Program Files\\App\\",
                                               L"2|BE_ADD_FOLDER|c:\\qd\\r\\"}));
  }

  if (geteuid() == 0 && std::system("command -v setpriv >/dev/null") == 0) {  // a user outside the admin group
    const char* bin = std::getenv("ZV_BIN_DIR");
    std::string cmd = "setpriv --reuid=65534 --regid=65534 --clear-groups " + std::string(bin ? bin : "build/bin") +
                      "/zvorxctl " + machine + " i 0 X 1 >/dev/null 2>&1";
    int status = std::system(cmd.c_str());
    EXPECT_EQ(WEXITSTATUS(status), kExitNoPermission);
  }
  runtime.RpcMgmtStopServerListening(nullptr);
  channel::CommandSignalS.disconnect_all_slots();
  channel::CommandSignalI.disconnect_all_slots();
  suite::testing::RemoveScratchMachine(root, scratch);
}
