// Processes, tokens, privileges and the named mutex, with Win32 meaning.
//
// Owns: the ProcessApi interface. The real implementation answers from the
// machine's process table (machine.db); tests may install a fake.
// Every call sets the thread's last error (handles.h) where Win32 does.
#pragma once

#include <string>

#include "platform/base/injectable.h"
#include "platform/base/win32.h"

namespace zv::platform {

class ProcessApi {
 public:
  virtual ~ProcessApi() = default;

  // Toolhelp snapshot of all processes (TH32CS_SNAPPROCESS).
  virtual win::HANDLE CreateToolhelp32Snapshot(win::DWORD flags, win::DWORD processId) = 0;
  virtual win::BOOL Process32FirstW(win::HANDLE snapshot, win::PROCESSENTRY32W* entry) = 0;
  virtual win::BOOL Process32NextW(win::HANDLE snapshot, win::PROCESSENTRY32W* entry) = 0;

  // Null with ERROR_ACCESS_DENIED for pids 0 and 4 and protected processes,
  // ERROR_INVALID_PARAMETER for an unknown pid.
  virtual win::HANDLE OpenProcess(win::DWORD desiredAccess, win::BOOL inheritHandle, win::DWORD processId) = 0;
  // size: in, the buffer's units; out, the units written without the terminator.
  virtual win::BOOL QueryFullProcessImageNameW(win::HANDLE process, win::DWORD flags, win::WCHAR* buffer,
                                               win::DWORD* size) = 0;
  // module null: the main module. Returns the units copied (truncated to size-1
  // and terminated when the buffer is short), 0 on failure.
  virtual win::DWORD K32GetModuleFileNameExW(win::HANDLE process, win::HMODULE module, win::WCHAR* buffer,
                                             win::DWORD size) = 0;
  virtual win::BOOL ProcessIdToSessionId(win::DWORD processId, win::DWORD* sessionId) = 0;
  virtual win::BOOL TerminateProcess(win::HANDLE process, win::UINT exitCode) = 0;
  virtual win::DWORD GetCurrentProcessId() = 0;
  // The pseudo handle of the calling process.
  virtual win::HANDLE GetCurrentProcess() = 0;
  // The calling program's DOS image path (module null), as Win32 copies it.
  virtual win::DWORD GetModuleFileNameW(win::HMODULE module, win::WCHAR* buffer, win::DWORD size) = 0;

  // Tokens and privileges, as SetPrivilege calls them.
  virtual win::BOOL OpenProcessToken(win::HANDLE process, win::DWORD desiredAccess, win::HANDLE* token) = 0;
  virtual win::BOOL LookupPrivilegeValueW(const win::WCHAR* systemName, const win::WCHAR* name, win::LUID* luid) = 0;
  // Succeeds with last error ERROR_NOT_ALL_ASSIGNED when the token lacks one.
  virtual win::BOOL AdjustTokenPrivileges(win::HANDLE token, win::BOOL disableAll, win::TOKEN_PRIVILEGES* newState,
                                          win::DWORD bufferLength, win::TOKEN_PRIVILEGES* previousState,
                                          win::DWORD* returnLength) = 0;

  // Machine-wide named mutex. A name already held by another live process
  // still returns a handle, with last error ERROR_ALREADY_EXISTS (183).
  // Released when its last handle closes or its holder ends.
  virtual win::HANDLE CreateMutexW(const void* securityAttributes, win::BOOL initialOwner,
                                   const win::WCHAR* name) = 0;

  // Runs a command line (WinExec); >31 on success.
  virtual win::UINT WinExec(const std::string& commandLine, win::UINT showCommand) = 0;
};

using Processes = Api<ProcessApi>;

}  // namespace zv::platform
