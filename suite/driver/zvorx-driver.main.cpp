// zvorx-driver: the stand-in of the suite's minifilter driver "ZVORX".
//
// Owns: the command line: "serve" (the daemon, started by FilterLoad),
// "load", "unload", "status", "inject [--explain] EVENT..." and
// "play [--explain] FILE".
// Must not: hold driver logic (driver_daemon.cpp, driver_events.cpp, scenario.cpp).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <iostream>
#include <string>

#include "platform/filter/filter_api.h"
#include "platform/files/machine.h"
#include "platform/base/text.h"
#include "platform/system/boot.h"
#include "suite/driver/driver_daemon.h"
#include "suite/driver/driver_events.h"
#include "suite/driver/scenario.h"

using namespace zv;

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: zvorx-driver load | unload | status\n"
               "       zvorx-driver inject [--explain] EVENT...   (a scenario line, e.g. open 1200 C:\\x.txt access=GENERIC_WRITE)\n"
               "       zvorx-driver play [--explain] FILE\n"
               "--explain prints under each event the lines zvorx wrote while deciding it.\n"
               "The machine is ZV_MACHINE.\n");
  return 2;
}

// A scenario is a regular file of at most kMaxScenarioBytes, read whole:
// a folder, a device (/dev/zero) or a read error is a failure, never an
// empty scenario.
constexpr std::size_t kMaxScenarioBytes = 16 * 1024 * 1024;

bool ReadScenarioFile(const char* path, std::string& contents, std::string& error) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (!ok) error = std::strerror(errno);
  else if (!S_ISREG(st.st_mode)) error = S_ISDIR(st.st_mode) ? "it is a folder" : "not a regular file";
  char buffer[65536];
  while (ok && error.empty()) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = std::strerror(errno);
    if (n <= 0) break;
    contents.append(buffer, static_cast<std::size_t>(n));
    if (contents.size() > kMaxScenarioBytes) error = "larger than 16 MiB";
  }
  ::close(fd);
  return ok && error.empty();
}

int PrintHr(const char* what, win::HRESULT hr) {
  std::printf("%s: 0x%08X\n", what, static_cast<unsigned>(hr));
  return hr == win::S_OK ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  platform::UseMachineTime();
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
      const bool connected = control.Connected();
      auto status = control.Status();
      if (!status) {
        std::printf("%s\n", connected ? "ZVORX closed the connection" : control.Unavailable().c_str());
        return 1;
      }
      std::fputs(status->c_str(), stdout);
      return 0;
    }
    if (command == "inject" || command == "play") {
      int first = 2;
      const bool explain = argc > first && std::strcmp(argv[first], "--explain") == 0;
      if (explain) ++first;
      if (command == "play" && argc != first + 1) return Usage();
      suite::DriverControl control;
      if (!control.Connected()) {
        std::fprintf(stderr, "%s\n", control.Unavailable().c_str());
        return 2;
      }
      control.SetExplain(explain);
      suite::PlayResult result;
      if (command == "inject") {
        std::string line;
        for (int i = first; i < argc; ++i) {
          std::string arg = argv[i];
          if (arg.find_first_of(" \t") != std::string::npos) arg = "\"" + arg + "\"";
          line += (i > first ? " " : "") + arg;
        }
        std::istringstream in(line);
        result = suite::PlayScenario(in, control, std::cout);
      } else {
        std::string contents, error;
        if (!ReadScenarioFile(argv[first], contents, error)) {
          std::fprintf(stderr, "cannot read %s: %s\n", argv[first], error.c_str());
          return 2;
        }
        std::istringstream in(contents);
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
