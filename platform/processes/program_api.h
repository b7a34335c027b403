// Starting programs on the machine and ending them, with Win32 meaning.
//
// Owns: the ProgramApi interface (CreateProcessW, GetExitCodeProcess,
// GetCommandLineW, GetStartupInfoW, ExitProcess). The real implementation
// starts the stand-in of ours that a program file on the machine's drive
// names (docs/programs.md); tests may install a fake. Process handles it
// returns are waited on with the thread layer's WaitForSingleObject.
// Must not: run anything that is not one of our stand-ins in ZV_BIN_DIR.
#pragma once

#include "platform/base/injectable.h"
#include "platform/base/win32.h"

namespace zv::platform {

class ProgramApi {
 public:
  virtual ~ProgramApi() = default;

  // applicationName null: the program is the first token of commandLine,
  // searched as Windows searches it. environment must be null (the machine
  // has one environment). The handles have PROCESS_ALL_ACCESS.
  virtual win::BOOL CreateProcessW(const win::WCHAR* applicationName, win::WCHAR* commandLine,
                                   const void* processAttributes, const void* threadAttributes,
                                   win::BOOL inheritHandles, win::DWORD creationFlags, const void* environment,
                                   const win::WCHAR* currentDirectory, const win::STARTUPINFOW* startupInfo,
                                   win::PROCESS_INFORMATION* processInformation) = 0;
  // STILL_ACTIVE (259) while the process runs.
  virtual win::BOOL GetExitCodeProcess(win::HANDLE process, win::DWORD* exitCode) = 0;
  // Our command line; the text lives as long as the program.
  virtual const win::WCHAR* GetCommandLineW() = 0;
  // How we were started: desktop, STARTF_USESHOWWINDOW and the show state.
  virtual void GetStartupInfoW(win::STARTUPINFOW* info) = 0;
  // Records the exit code, ends our row and the host process at once.
  [[noreturn]] virtual void ExitProcess(win::UINT exitCode) = 0;
};

using Programs = Api<ProgramApi>;

}  // namespace zv::platform
