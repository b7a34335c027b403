// shutdown: the stand-in of the system's shut-down command. It records what
// was asked (restart, shut-down, log-off, abort) with the delay and the
// command line in the machine's restart requests and ends; the machine
// never restarts or shuts down by it (zvmachine boot does a boot).
//
// Owns: the command line ("-r -t 1", "/s /t 30 /c text", "-a", ...; '-' or
// '/', any case). Exit codes: 0 recorded, 87 bad arguments, 1 no machine.
// Must not: touch the host's power state or end any process.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/base/text.h"
#include "platform/files/machine.h"
#include "platform/system/boot.h"
#include "platform/system/wow64.h"

using namespace zv;

namespace {

constexpr int kBadArguments = 87;  // ERROR_INVALID_PARAMETER
constexpr unsigned long kMaxDelay = 315360000;  // ten years, the command's own limit

int Usage(const char* message) {
  std::fprintf(stderr,
               "shutdown: %s\n"
               "Usage: shutdown [/r | /s | /l | /a] [/t xxx] [/f] [/c \"comment\"]\n"
               "    /r  restart    /s  shut down    /l  log off    /a  abort a pending shut-down\n"
               "    /t xxx  delay in seconds (0-315360000, default 30)\n",
               message);
  return kBadArguments;
}

}  // namespace

int main(int argc, char** argv) {
  platform::UseMachineTime();
  platform::UseWow64Files();
  std::string kind;
  unsigned long delay = 30;
  std::wstring command = L"shutdown";
  for (int i = 1; i < argc; ++i) command += L" " + text::FromUtf8(argv[i]);
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.size() < 2 || (arg[0] != '-' && arg[0] != '/')) return Usage(("unknown argument " + arg).c_str());
    std::string option = arg.substr(1);
    for (char& c : option) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string chosen;
    if (option == "r" || option == "g") chosen = "restart";
    if (option == "s" || option == "p" || option == "h") chosen = "shutdown";
    if (option == "l") chosen = "logoff";
    if (option == "a") chosen = "abort";
    if (!chosen.empty()) {
      if (!kind.empty() && kind != chosen) return Usage("more than one action");
      kind = chosen;
    } else if (option == "t" || option == "c" || option == "d") {
      if (i + 1 >= argc) return Usage(("/" + option + " needs a value").c_str());
      std::string value = argv[++i];
      if (option == "t") {
        char* end = nullptr;
        delay = std::strtoul(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || delay > kMaxDelay) return Usage("bad delay");
      }
    } else if (option != "f" && option != "e" && option != "o" && option != "m") {
      return Usage(("unknown option " + arg).c_str());
    }
  }
  if (kind.empty()) return Usage("no action given");
  try {
    platform::RecordRestartRequest(*platform::Machine::Current(), kind, command,
                                   kind == "restart" || kind == "shutdown" ? static_cast<win::DWORD>(delay) : 0);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "shutdown: %s\n", e.what());
    return 1;
  }
  return 0;
}
