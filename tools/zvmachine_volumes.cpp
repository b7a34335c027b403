// The volume commands of zvmachine: list, add, letter, remove.
//
// Owns: parsing and printing of "zvmachine volume ..." over the volume table.
// Must not: change volume folders on the host (removing a volume drops its row only).
#include "tools/zvmachine_commands.h"

#include <string>
#include <vector>

#include "platform/base/text.h"
#include "platform/files/machine.h"
#include "platform/files/volumes.h"

namespace zv::tools {

using namespace zv::platform;

int RunVolumeCommand(const std::vector<std::string>& args) {
  VolumeTable table(Machine::Current());
  if (args.empty()) return Usage("volume needs a sub-command");
  const std::string& sub = args[0];
  auto wide = [](const std::string& s) { return zv::text::FromUtf8(s); };
  if (sub == "list" && args.size() == 1) {
    for (const VolumeInfo& v : table.List()) {
      Out((v.letter.empty() ? L"--" : v.letter) + L"  " + v.device + L"  volumes/" + zv::text::FromHostName(v.folder));
    }
    return kOk;
  }
  win::DWORD e;
  if (sub == "add" && (args.size() == 2 || args.size() == 3)) {
    e = table.Add(wide(args[1]), args.size() == 3 ? wide(args[2]) : L"");
  } else if (sub == "letter" && args.size() == 3) {
    e = table.SetLetter(wide(args[1]), args[2] == "none" ? L"" : wide(args[2]));
  } else if (sub == "remove" && args.size() == 2) {
    e = table.Remove(wide(args[1]));
  } else {
    return Usage("bad volume command");
  }
  return e ? Win32Failure("volume " + sub, e) : kOk;
}

}  // namespace zv::tools
