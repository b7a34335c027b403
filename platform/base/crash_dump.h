// Crash dumps of our programs: the fatal-signal handler that writes
// "<program path>.dmp", and the reader that turns a dump into a trace.
//
// Owns: the handler for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT (on an
// alternate signal stack), the dump format, dump reading and symbolising
// (addr2line). The handler uses only async-signal-safe calls: everything it
// writes except the signal, the faulting address and the frames is prepared
// when it is installed.
// Must not: keep the process alive after a fatal signal; the handler ends
// the process with the same signal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zv::platform {

struct CrashDumpSettings {
  int dumpType = 0;                      // recorded in the dump; one kind exists
  bool (*mayWrite)() = nullptr;          // null or true: write the dump
  void (*afterWrite)(const char* dumpPath) = nullptr;
};

// Installs the handler once per process (later calls change nothing and
// return true). Builds with sanitizers keep the sanitizers' own handlers:
// there it installs nothing and returns false.
bool InstallCrashDump(const CrashDumpSettings& settings);
bool CrashDumpInstalled();
// "<program path>.dmp", fixed at installation; empty before.
std::string CrashDumpPath();
// Gives the calling thread an alternate signal stack once the handler is
// installed (the thread layer calls it for every thread it starts), so a
// stack overflow can still be dumped. Freed when the thread ends.
void PrepareThreadForCrashDump();

struct CrashDumpModule {
  std::uint64_t base = 0;   // load bias
  std::uint64_t start = 0;  // lowest mapped address
  std::uint64_t end = 0;    // one past the highest
  std::string path;
};

struct CrashDump {
  int dumpType = 0;
  std::string executable;
  std::uint64_t loadAddress = 0;
  int signal = 0;
  std::uint64_t faultAddress = 0;
  std::vector<CrashDumpModule> modules;  // loaded when the handler was installed
  std::vector<std::uint64_t> frames;     // innermost first
};

// Parses a dump file; nullopt (with a reason in *error) when it is not one.
std::optional<CrashDump> ReadCrashDump(const std::string& path, std::string* error = nullptr);
// A readable trace: header, then one line per frame with module, offset and,
// where addr2line finds them, function, file and line.
std::string SymbolizeCrashDump(const CrashDump& dump);

}  // namespace zv::platform
