// The main routine of zvorx: start-up, command line and shutdown.
//
// Owns: the start-up order (log defaults, single-instance mutex,
// subscriptions, privileges, driver loading, control thread, serving) and the
// ordered shutdown with its exit code; the privilege routine SetPrivilege.
// Must not: serve the port (driver_channel/port_client) or commands
// (control/), or hold engine state; engines own themselves.
#pragma once

#include <string>
#include <string_view>

#include "platform/base/win32.h"

namespace zv::service {

inline constexpr wchar_t kMutexName[] = L"_ZVORX_ENGINE_10_";
inline constexpr wchar_t kFilterName[] = L"ZVORX";
inline constexpr wchar_t kServiceName[] = L"ZVORXEngine";
inline constexpr int kFilterLoadAttempts = 10;

// Exit codes of the early returns; a normal end returns the unload result.
inline constexpr int kExitAlreadyRunning = 0;
inline constexpr int kExitPrivilege = 2;
inline constexpr int kExitFilterLoad = 3;

// Switches found anywhere in the command line, case-sensitively, also
// inside longer words.
struct Switches {
  bool service = false;
  bool skipBackup = false;
  bool skipAccess = false;
  bool test = false;  // recognised and ignored
};
Switches ReadSwitches(std::wstring_view commandLine);

// The command line as GetCommandLineW shows it, from a program's arguments:
// the arguments joined by spaces, an argument with a space in quotes.
std::wstring CommandLineFromArguments(int argc, char** argv);

// Enables or disables one privilege of the process token: 0 on success,
// else a system error code (87 for a null name).
win::DWORD SetPrivilege(const wchar_t* name, bool enable);

// Loads the driver, retrying up to ten times with growing sleeps; an
// already-present driver is unloaded and stopped first. True when loaded.
bool LoadFilterDriver();

// The shutdown sequence after serving; returns the unload result. Closes
// `instanceMutex`.
int Shutdown(win::HANDLE instanceMutex);

// The routine of the control-interface thread that start-up launches
// (control::ControlInterfaceThread unless replaced; null starts none).
void SetControlThreadRoutine(win::LPTHREAD_START_ROUTINE routine);

// The whole main routine; returns the process exit code.
int ZvorxMain(std::wstring_view commandLine);

// The status the process ends with for the main routine's result: a host
// keeps only its low 8 bits, so a failure HRESULT whose low byte is 0
// (0x80070500) ends with kExitFailureLowByteZero instead of 0.
inline constexpr int kExitFailureLowByteZero = 255;
int ProcessExitStatus(int mainResult);

}  // namespace zv::service
