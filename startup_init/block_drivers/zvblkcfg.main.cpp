// zvblkcfg: calls the block-driver functions in one process, in the order
// given, and prints each answer ("NAME=answer"). It stands in for ZVVstIn
// until that program exists and exports the functions the same way.
//
//   zvblkcfg [default FLAG] [debug FLAG] [clear] [url TEXT] [save-urls]
//            [port A B] [save-ports] [start url|port IS64] [stop url|port REMOVE]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/base/debug_output.h"
#include "platform/base/text.h"
#include "platform/system/boot.h"
#include "platform/system/wow64.h"
#include "startup_init/block_drivers/block_driver_config.h"

namespace {

int Usage() {
  zv::platform::OutputDebugStringW(
      L"usage: zvblkcfg COMMAND...\n"
      L"  default FLAG | debug FLAG       DefaultIsDenyURL / DebugTextOutput\n"
      L"  clear | url TEXT | urlw TEXT    the URL table (TEXT in the ANSI code page, or UTF-8 for urlw)\n"
      L"  save-urls | port A B | save-ports\n"
      L"  start url|port IS64 | stop url|port REMOVE\n");
  return 2;
}

void Answer(const char* name, int answer) { std::printf("%s=%d\n", name, answer); }

}  // namespace

int main(int argc, char** argv) {
  // As ZVVstIn: the machine's time, and the WOW64 view when run 32-bit.
  zv::platform::UseMachineTime();
  zv::platform::UseWow64Files();
  if (argc < 2) return Usage();
  for (int i = 1; i < argc; ++i) {
    const std::string cmd = argv[i];
    auto arg = [&](int k) -> const char* { return i + k < argc ? argv[i + k] : nullptr; };
    auto number = [&](int k) { return static_cast<int>(std::strtol(arg(k), nullptr, 0)); };
    if ((cmd == "default" || cmd == "debug" || cmd == "url" || cmd == "urlw") && !arg(1)) return Usage();
    if (cmd == "default") {
      Answer("MXBLKURLSetDefaultStatusIsBlocking", MXBLKURLSetDefaultStatusIsBlocking(number(1)));
      ++i;
    } else if (cmd == "debug") {
      Answer("MXBLKURLSetDebugTextOutputStatus", MXBLKURLSetDebugTextOutputStatus(number(1)));
      ++i;
    } else if (cmd == "clear") {
      Answer("MXBLKURLClearExceptionURLTextList", MXBLKURLClearExceptionURLTextList());
    } else if (cmd == "url") {
      Answer("MXBLKURLAddExceptionURLTextA", MXBLKURLAddExceptionURLTextA(arg(1)));
      ++i;
    } else if (cmd == "urlw") {
      Answer("MXBLKURLAddExceptionURLTextW", MXBLKURLAddExceptionURLTextW(zv::text::FromUtf8(arg(1)).c_str()));
      ++i;
    } else if (cmd == "save-urls") {
      Answer("MXBLKURLSaveBlockURLSettings", MXBLKURLSaveBlockURLSettings());
    } else if (cmd == "port" && arg(2)) {
      Answer("MXBLKURLAddExceptionPort", MXBLKURLAddExceptionPort(static_cast<unsigned>(std::strtoul(arg(1), nullptr, 0)),
                                                                  static_cast<unsigned>(std::strtoul(arg(2), nullptr, 0))));
      i += 2;
    } else if (cmd == "save-ports") {
      Answer("MXBLKURLSaveBlockPortSettings", MXBLKURLSaveBlockPortSettings());
    } else if ((cmd == "start" || cmd == "stop") && arg(2)) {
      const std::string which = arg(1);
      if (which != "url" && which != "port") return Usage();
      const int value = number(2);
      if (cmd == "start") {
        which == "url" ? Answer("MXBLKURLStartURLDriver", MXBLKURLStartURLDriver(value))
                       : Answer("MXBLKURLStartPortDriver", MXBLKURLStartPortDriver(value));
      } else {
        which == "url" ? Answer("MXBLKURLStopURLDriver", MXBLKURLStopURLDriver(value))
                       : Answer("MXBLKURLStopPortDriver", MXBLKURLStopPortDriver(value));
      }
      i += 2;
    } else {
      return Usage();
    }
  }
  return 0;
}
