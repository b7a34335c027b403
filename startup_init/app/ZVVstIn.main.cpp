// ZVVstIn: the start-up program the product runs with one switch at fixed
// moments (before logon, after logon, maintenance jobs). A 32-bit program:
// started from the host without a bitness it takes 32.
//
// Owns: the program's set-up (machine time, WOW64 file redirection) and its
// one application object. Must not: end with anything but exit code 0.
#include <exception>

#include "platform/processes/process_table.h"
#include "platform/system/boot.h"
#include "platform/system/wow64.h"
#include "startup_init/app/vstin_app.h"

int main() {
  zv::platform::DeclareProgramBitness(32);
  zv::platform::UseMachineTime();
  zv::platform::UseWow64Files();
  try {
    zv::startup::CZVVstInApp app;
    app.InitInstance();
  } catch (const std::exception&) {
    // A machine that cannot be reached ends the run; the exit code stays 0.
    zv::startup::Trace(L"stopped: machine error");
  }
  return 0;
}
