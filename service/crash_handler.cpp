// Crash handler settings and installation: see crash_handler.h.
#include "service/crash_handler.h"

#include "platform/base/crash_dump.h"

namespace zv::service {
namespace {

bool MayWriteDump() { return true; }
void AfterDumpWritten(const char*) {}

// Runs during static initialisation, before main.
[[maybe_unused]] const bool installedAtStart = EnsureCrashHandler();

}  // namespace

bool EnsureCrashHandler() {
  platform::CrashDumpSettings settings;
  settings.dumpType = 0;
  settings.mayWrite = &MayWriteDump;
  settings.afterWrite = &AfterDumpWritten;
  return platform::InstallCrashDump(settings);
}

}  // namespace zv::service
