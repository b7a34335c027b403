// zvorxctl: calls the control interface of a running zvorx.
//
// Owns: the command line of the tool (machine choice, one call or a command
// file, --help) and its output. Calls go over one connection, in order.
// Must not: speak the wire protocol itself (control/ZvorxClient).
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "platform/files/machine.h"
#include "platform/base/text.h"
#include "tools/zvorxctl_commands.h"

using namespace zv;
using namespace zv::tools;

namespace {

const char kUsage[] =
    "usage: zvorxctl [--machine DIR] COMMAND\n"
    "\n"
    "Calls the control interface of the zvorx service running on the machine\n"
    "DIR (default: $ZV_MACHINE) and prints what the call returned (99).\n"
    "\n"
    "commands:\n"
    "  i   KEY NAME VALUE           RPCListen_i\n"
    "  is  KEY NAME VALUE TEXT      RPCListen_is\n"
    "  s   KEY NAME TEXT            RPCListen_s\n"
    "  sss KEY NAME TEXT1 TEXT2     RPCListen_sss\n"
    "  run FILE                     every command of FILE (\"-\": standard input)\n"
    "\n"
    "KEY and VALUE are 32-bit integers (decimal, or 0x and hex digits).\n"
    "Engine keys: 0 the service (MAIN_ENGINE_*), 2 access control, 3 device access.\n"
    "\n"
    "Command file: one command a line in the forms above; blank lines and lines\n"
    "starting with # are skipped; a text with blanks goes in double quotes, and\n"
    "\"\" inside quotes is one quote; backslashes are literal (c:\\qd\\r\\).\n"
    "The whole file is checked before the first call; calls stop at the first\n"
    "failure.\n"
    "\n"
    "exit status: 0 success; 64 usage; 65 bad command-file line; 66 file not\n"
    "readable; 69 service not running; 70 fault or protocol error;\n"
    "77 permission denied; 78 no machine.\n";

int Fail(int code, const std::string& message) {
  std::cerr << "zvorxctl: " << message << "\n";
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string machineRoot;
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") {
      std::cout << kUsage;
      return kExitOk;
    }
    if (args[i] == "--machine") {
      if (i + 1 >= args.size()) return Fail(kExitUsage, "--machine needs a folder");
      machineRoot = args[++i];
    } else if (args[i].rfind("--machine=", 0) == 0) {
      machineRoot = args[i].substr(10);
    } else if (args[i] == "--") {
      ++i;
      break;
    } else {
      break;
    }
  }
  std::vector<std::string> words(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  if (words.empty()) {
    std::cerr << kUsage;
    return kExitUsage;
  }

  std::vector<CommandLine> commands;
  std::string error;
  if (words[0] == "run") {
    if (words.size() != 2) return Fail(kExitUsage, "run takes one FILE");
    if (words[1] == "-") {
      if (!ParseCommandFile(std::cin, commands, error)) return Fail(kExitDataError, "<stdin>: " + error);
    } else {
      std::ifstream file(words[1], std::ios::binary);
      if (!file) return Fail(kExitNoInput, "cannot read " + words[1]);
      if (!ParseCommandFile(file, commands, error)) return Fail(kExitDataError, words[1] + ": " + error);
    }
  } else {
    CommandLine one;
    if (!ParseCommandWords(words, one.command, error)) return Fail(kExitUsage, error + " (see --help)");
    commands.push_back(std::move(one));
  }
  if (commands.empty()) {
    std::cout << "no commands\n";
    return kExitOk;
  }

  if (machineRoot.empty()) {
    const char* env = std::getenv("ZV_MACHINE");
    if (env) machineRoot = env;
  }
  if (machineRoot.empty()) return Fail(kExitConfig, "no machine: set ZV_MACHINE or pass --machine DIR");
  // Only the machine's run folder is needed: no database access, so any
  // user the endpoint admits can use the tool.
  std::error_code ec;
  if (!std::filesystem::exists(std::filesystem::path(machineRoot) / "machine.db", ec)) {
    return Fail(kExitConfig, "no machine at " + machineRoot);
  }
  std::string socketPath = (platform::Machine::RunFolderOf(machineRoot) / "zvorxinterface").string();

  control::ZvorxClient client;
  platform::RPC_STATUS st = client.Connect(socketPath);
  if (st != win::RPC_S_OK) return Fail(ExitCodeFor(st), DescribeFailure(st, 0));
  bool fromFile = words[0] == "run";
  for (const auto& c : commands) {
    int result = 0;
    st = Execute(client, c.command, &result);
    std::string where = fromFile ? "line " + std::to_string(c.lineNumber) + ": " : "";
    if (st != win::RPC_S_OK) return Fail(ExitCodeFor(st), where + DescribeFailure(st, client.LastFault()));
    if (fromFile) std::cout << where << text::ToUtf8(c.command.name) << " -> " << result << "\n";
    else std::cout << result << "\n";
  }
  if (fromFile) std::cout << commands.size() << " commands sent\n";
  return kExitOk;
}
