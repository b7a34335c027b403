// The command groups of zvmachine and what they share.
//
// Owns: the entry point of each command group (one source file per group:
// zvmachine_volumes.cpp, zvmachine_files.cpp, zvmachine_settings.cpp,
// zvmachine_processes.cpp, zvmachine_registry.cpp, zvmachine_users.cpp,
// zvmachine_programs.cpp, zvmachine_windows.cpp, zvmachine_boot.cpp,
// zvmachine_services.cpp) and
// the output helpers they share. Each group
// works on Machine::Current(), which main sets from --machine or ZV_MACHINE.
// Must not: own zvmachine's main (zvmachine.main.cpp: options, the machine
// root, dispatch and the overall usage text).
#pragma once

#include <string>
#include <vector>

#include "platform/base/win32.h"

namespace zv::tools {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// The overall usage text.
extern const char kZvmachineUsage[];

// Prints "zvmachine: <message>" (when given) and the usage text to standard
// error; returns kUsage.
int Usage(const char* message = nullptr);
// One line of UTF-8 output.
void Out(const std::wstring& line);
// "zvmachine: <what> failed with Win32 error <error>"; returns kFailed.
int Win32Failure(const std::string& what, win::DWORD error);

// args are the words after the command's name.
int RunVolumeCommand(const std::vector<std::string>& args);   // volume list | add | letter | remove
int RunDirCommand(const std::vector<std::string>& args);      // dir DOSPATH
int RunAttribCommand(const std::vector<std::string>& args);   // attrib DOSPATH [+r|-r ...]
int RunSettingCommand(const std::vector<std::string>& args);  // setting get | set | clear
int RunProcessCommand(const std::vector<std::string>& args);  // process list | add | end | events
int RunRegCommand(const std::vector<std::string>& args);      // reg query | set | delete | import | export
int RunUserCommand(const std::vector<std::string>& args);     // user add | list
int RunLogonCommand(const std::vector<std::string>& args);    // logon NAME
int RunLogoffCommand(const std::vector<std::string>& args);   // logoff NAME
int RunInstallCommand(const std::vector<std::string>& args);  // install
int RunProgramCommand(const std::vector<std::string>& args);  // program start | list | notes
int RunWindowCommand(const std::vector<std::string>& args);   // window list | open | close
int RunBootCommand(const std::vector<std::string>& args);     // boot [--uptime S] | show | restarts
int RunServiceCommand(const std::vector<std::string>& args);  // service list | status NAME
int RunProductCommand(const std::vector<std::string>& args);  // product set ITEM VALUE | show
// The start-up program's part of the install step.
int InstallStartupProgram();

}  // namespace zv::tools
