// zvorx-driver: the stand-in of the suite's minifilter driver "ZVORX".
//
// Owns: the command line: "serve" (the daemon, started by FilterLoad),
// "load", "unload", "status", "inject EVENT..." and "play FILE".
// Must not: hold driver logic (driver_daemon.cpp, driver_events.cpp, scenario.cpp).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <iostream>
#include <string>

#include "platform/filter/filter_api.h"
#include "platform/files/machine.h"
#include "platform/base/text.h"
#include "suite/driver/driver_daemon.h"
#include "suite/driver/driver_events.h"
#include "suite/driver/scenario.h"

using namespace zv;

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: zvorx-driver load | unload | status\n"
               "       zvorx-driver inject EVENT...   (a scenario line, e.g. open 1200 C:\\x.txt access=GENERIC_WRITE)\n"
               "       zvorx-driver play FILE\n"
               "The machine is ZV_MACHINE.\n");
  return 2;
}

int PrintHr(const char* what, win::HRESULT hr) {
  std::printf("%s: 0x%08X\n", what, static_cast<unsigned>(hr));
  return hr == win::S_OK ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string command = argv[1];
  try {
    if (command == "serve") {
      std::wstring filter = L"ZVORX";
      int readyFd = -1;
      for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--filter") == 0) filter = text::FromUtf8(argv[i + 1]);
        else if (std::strcmp(argv[i], "--ready-fd") == 0) readyFd = std::atoi(argv[i + 1]);
      }
      suite::DriverDaemon daemon(filter, platform::Machine::Current());
      return daemon.Run(readyFd);
    }
    if (command == "load") return PrintHr("FilterLoad", platform::Filters::Get().FilterLoad(L"ZVORX"));
    if (command == "unload") return PrintHr("FilterUnload", platform::Filters::Get().FilterUnload(L"ZVORX"));
    if (command == "status") {
      suite::DriverControl control;
      auto status = control.Status();
      if (!status) {
        std::printf("ZVORX is not loaded\n");
        return 1;
      }
      std::fputs(status->c_str(), stdout);
      return 0;
    }
    if (command == "inject" || command == "play") {
      suite::DriverControl control;
      if (!control.Connected()) {
        std::fprintf(stderr, "ZVORX is not loaded\n");
        return 2;
      }
      suite::PlayResult result;
      if (command == "inject") {
        std::string line;
        for (int i = 2; i < argc; ++i) {
          std::string arg = argv[i];
          if (arg.find_first_of(" \t") != std::string::npos) arg = "\"" + arg + "\"";
          line += (i > 2 ? " " : "") + arg;
        }
        std::istringstream in(line);
        result = suite::PlayScenario(in, control, std::cout);
      } else {
        if (argc != 3) return Usage();
        std::ifstream in(argv[2]);
        if (!in) {
          std::fprintf(stderr, "cannot open %s\n", argv[2]);
          return 2;
        }
        result = suite::PlayScenario(in, control, std::cout);
      }
      return result.failed == 0 ? 0 : 1;
    }
  } catch (const platform::MachineError& e) {
    std::fprintf(stderr, "zvorx-driver: %s\n", e.what());
    return 2;
  }
  return Usage();
}
