// zvmachine: create and inspect the stand-in machine.
//
// Owns: the tool's options (--machine, --help), creating a machine, opening
// the current one, and the dispatch of every other command to its group
// (zvmachine_commands.h; one source file per group). Exit codes: 0 done,
// 1 the operation failed, 2 bad usage.
// Must not: reach files or the database except through platform/ (the
// volume table, the file calls, machine settings).
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "platform/files/machine.h"
#include "tools/zvmachine_commands.h"

namespace {

using namespace zv::platform;
using namespace zv::tools;

struct CommandGroup {
  const char* name;
  int (*run)(const std::vector<std::string>& args);
};

// Every command but create; each group's own file parses its arguments.
const CommandGroup kCommands[] = {
    {"volume", RunVolumeCommand},   {"dir", RunDirCommand},         {"attrib", RunAttribCommand},
    {"setting", RunSettingCommand}, {"process", RunProcessCommand},
    {"reg", RunRegCommand},
    {"user", RunUserCommand},
    {"logon", RunLogonCommand},
    {"logoff", RunLogoffCommand},
    {"install", RunInstallCommand}, {"program", RunProgramCommand}, {"window", RunWindowCommand},
    {"boot", RunBootCommand},
    {"service", RunServiceCommand},
    {"product", RunProductCommand},
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string root;
  while (!args.empty() && args[0].rfind("--", 0) == 0) {
    if (args[0] == "--help" || args[0] == "-h") {
      std::fputs(kZvmachineUsage, stdout);
      return kOk;
    }
    if (args[0] == "--machine" && args.size() >= 2) {
      root = args[1];
      args.erase(args.begin(), args.begin() + 2);
    } else if (args[0].rfind("--machine=", 0) == 0) {
      root = args[0].substr(10);
      args.erase(args.begin());
    } else {
      return Usage(("unknown option " + args[0]).c_str());
    }
  }
  if (args.empty()) return Usage("no command");
  const std::string command = args[0];
  args.erase(args.begin());
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h") && command != "process" && command != "program" &&
      command != "window") {
    std::fputs(kZvmachineUsage, stdout);
    return kOk;
  }
  try {
    if (command == "create") {
      if (args.size() > 1) return Usage("create takes at most a root");
      if (!args.empty()) root = args[0];
      if (root.empty()) {
        const char* env = std::getenv("ZV_MACHINE");
        if (!env || !*env) return Usage("no machine root: give ROOT, --machine or ZV_MACHINE");
        root = env;
      }
      auto m = Machine::Open(root, true);
      std::printf("%s\n", m->Root().c_str());
      return kOk;
    }
    if (!root.empty()) {
      Machine::SetCurrent(Machine::Open(root, false));
    } else {
      const char* env = std::getenv("ZV_MACHINE");
      if (!env || !*env) return Usage("no machine root: give --machine or set ZV_MACHINE");
      Machine::SetCurrent(Machine::Open(env, false));
    }
    for (const CommandGroup& group : kCommands) {
      if (command == group.name) return group.run(args);
    }
    return Usage(("unknown command " + command).c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zvmachine: %s\n", e.what());
    return kFailed;
  }
}
