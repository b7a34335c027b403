// The zvorx program: the service that answers the minifilter driver.
//
// Owns: the hand-over from the host's argument vector to the main routine,
// and the program's row in the machine's process table.
// Must not: do any work of its own.
#include <cstdio>

#include "platform/machine.h"
#include "platform/process_table.h"
#include "service/startup.h"

int main(int argc, char** argv) {
  const std::wstring commandLine = zv::service::CommandLineFromArguments(argc, argv);
  try {
    // A service runs in session 0; a console start in the console session.
    bool service = zv::service::ReadSwitches(commandLine).service;
    zv::platform::RegisterCurrentProcess(L"", service ? 0 : zv::platform::DefaultSession());
  } catch (const zv::platform::MachineError& e) {
    std::fprintf(stderr, "zvorx: %s\n", e.what());
    return 1;
  }
  return zv::service::ZvorxMain(commandLine);
}
