// The setting commands of zvmachine: get, set, clear.
//
// Owns: reading and writing machine settings by key.
// Must not: interpret the values (each setting belongs to the part of the
// machine that reads it).
#include "tools/zvmachine_commands.h"

#include <cstdio>
#include <string>
#include <vector>

#include "platform/files/machine.h"

namespace zv::tools {

using namespace zv::platform;

int RunSettingCommand(const std::vector<std::string>& args) {
  auto m = Machine::Current();
  if (args.size() == 2 && args[0] == "get") {
    auto value = m->Setting(args[1]);
    if (!value) {
      std::fprintf(stderr, "zvmachine: no setting %s\n", args[1].c_str());
      return kFailed;
    }
    std::printf("%s\n", value->c_str());
    return kOk;
  }
  if (args.size() == 3 && args[0] == "set") {
    m->SetSetting(args[1], args[2]);
    return kOk;
  }
  if (args.size() == 2 && args[0] == "clear") {
    m->ClearSetting(args[1]);
    return kOk;
  }
  return Usage("bad setting command");
}

}  // namespace zv::tools
