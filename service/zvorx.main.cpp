// The zvorx program: the service that answers the minifilter driver.
//
// Owns: the hand-over from the host's argument vector to the main routine,
// the program's row in the machine's process table, and the process's end.
// Must not: do any work of its own.
#include <cstdio>
#include <cstdlib>

#include "engines/base/regex_race_suppressions.h"
#include "platform/files/machine.h"
#include "platform/processes/process_table.h"
#include "platform/system/boot.h"
#include "service/startup.h"

int main(int argc, char** argv) {
  zv::platform::UseMachineTime();
  const std::wstring commandLine = zv::service::CommandLineFromArguments(argc, argv);
  try {
    // A service runs in session 0; a console start in the console session.
    bool service = zv::service::ReadSwitches(commandLine).service;
    zv::platform::RegisterCurrentProcess(L"", service ? 0 : zv::platform::DefaultSession());
  } catch (const zv::platform::MachineError& e) {
    std::fprintf(stderr, "zvorx: %s\n", e.what());
    return 1;
  }
  int exitCode = zv::service::ZvorxMain(commandLine);

  // The control-interface thread (and in service mode the work thread and
  // the workers) are still running and end with the process. Returning from
  // main would destroy process-wide objects under them, so the process ends
  // here: output flushed, our process-table row removed, no destructors.
  std::fflush(nullptr);
  zv::platform::UnregisterCurrentProcess(static_cast<zv::win::DWORD>(exitCode));
  std::_Exit(zv::service::ProcessExitStatus(exitCode));
}
