// The process commands of zvmachine.
//
// Owns: parsing and printing for
//   zvmachine process list
//   zvmachine process add IMAGE [--parent PID] [--session N] [--protected]
//   zvmachine process end PID
//   zvmachine process events [--from SEQ] [--follow]
// on Machine::Current() (ZV_MACHINE, or whatever the caller set).
// Must not: own zvmachine's main or other command groups.
#pragma once

namespace zv::tools {

// argv[0] is the word after "process" (list, add, end, events); a leading
// "process" is skipped too. Prints human-readable lines; returns 0 on
// success, 1 when the command failed, 2 on a usage error.
int RunProcessCommand(int argc, char** argv);

}  // namespace zv::tools
