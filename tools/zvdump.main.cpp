// zvdump: prints the symbolised trace of a crash dump ("<program>.dmp").
//
// Owns: the command line of the tool only; reading and symbolising are in
// platform/crash_dump.h.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/base/crash_dump.h"

namespace {

void Usage(std::FILE* to) {
  std::fputs(
      "usage: zvdump DUMPFILE\n"
      "Prints the crash dump written beside a program that died of a fatal\n"
      "signal: the program, its load address, the signal, and one line per\n"
      "frame with module, offset and (through addr2line) function and line.\n"
      "Exit codes: 0 printed, 1 not a readable dump, 2 usage error.\n",
      to);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    Usage(stdout);
    return 0;
  }
  if (argc != 2) {
    Usage(stderr);
    return 2;
  }
  std::string error;
  auto dump = zv::platform::ReadCrashDump(argv[1], &error);
  if (!dump) {
    std::fprintf(stderr, "zvdump: %s\n", error.c_str());
    return 1;
  }
  std::fputs(zv::platform::SymbolizeCrashDump(*dump).c_str(), stdout);
  return 0;
}
