// The real ProcessApi and ProgramApi: Win32 process, program start, wait,
// token, mutex and WinExec calls answered from the stand-in machine.
//
// Owns: process, snapshot, token and mutex handle objects; the calling
// program's token (privileges live in memory, per host process; the file
// layer's PrivilegeHeld answers from it once the program adjusts it); the table
// of privilege names and their LUIDs; the named-mutex lock files under
// <run>/mutex/; starting machine programs (CreateProcessW, and WinExec
// through it); the per-machine watcher that signals process handles when
// the change feed reports their end.
// Failure switches (machine settings, value = the Win32 error code):
//   fail.OpenProcessToken, fail.LookupPrivilegeValue,
//   fail.LookupPrivilegeValue.<PrivilegeName>, fail.AdjustTokenPrivileges,
//   fail.AdjustTokenPrivileges.<PrivilegeName>;
//   token.lacks = comma-separated privilege names our tokens do not hold.
// Must not: keep process rows itself (process_table.h does) or reach above
// platform/.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/handles.h"
#include "platform/files/machine.h"
#include "platform/processes/process_api.h"
#include "platform/processes/program_api.h"

namespace zv::platform {

class RealProcessApi : public ProcessApi {
 public:
  win::HANDLE CreateToolhelp32Snapshot(win::DWORD flags, win::DWORD processId) override;
  win::BOOL Process32FirstW(win::HANDLE snapshot, win::PROCESSENTRY32W* entry) override;
  win::BOOL Process32NextW(win::HANDLE snapshot, win::PROCESSENTRY32W* entry) override;
  win::HANDLE OpenProcess(win::DWORD desiredAccess, win::BOOL inheritHandle, win::DWORD processId) override;
  win::BOOL QueryFullProcessImageNameW(win::HANDLE process, win::DWORD flags, win::WCHAR* buffer,
                                       win::DWORD* size) override;
  win::DWORD K32GetModuleFileNameExW(win::HANDLE process, win::HMODULE module, win::WCHAR* buffer,
                                     win::DWORD size) override;
  win::BOOL ProcessIdToSessionId(win::DWORD processId, win::DWORD* sessionId) override;
  win::BOOL TerminateProcess(win::HANDLE process, win::UINT exitCode) override;
  win::DWORD GetCurrentProcessId() override;
  win::HANDLE GetCurrentProcess() override;
  win::DWORD GetModuleFileNameW(win::HMODULE module, win::WCHAR* buffer, win::DWORD size) override;
  win::BOOL OpenProcessToken(win::HANDLE process, win::DWORD desiredAccess, win::HANDLE* token) override;
  win::BOOL LookupPrivilegeValueW(const win::WCHAR* systemName, const win::WCHAR* name, win::LUID* luid) override;
  win::BOOL AdjustTokenPrivileges(win::HANDLE token, win::BOOL disableAll, win::TOKEN_PRIVILEGES* newState,
                                  win::DWORD bufferLength, win::TOKEN_PRIVILEGES* previousState,
                                  win::DWORD* returnLength) override;
  win::HANDLE CreateMutexW(const void* securityAttributes, win::BOOL initialOwner, const win::WCHAR* name) override;
  win::UINT WinExec(const std::string& commandLine, win::UINT showCommand) override;
};

class RealProgramApi : public ProgramApi {
 public:
  win::BOOL CreateProcessW(const win::WCHAR* applicationName, win::WCHAR* commandLine, const void* processAttributes,
                           const void* threadAttributes, win::BOOL inheritHandles, win::DWORD creationFlags,
                           const void* environment, const win::WCHAR* currentDirectory,
                           const win::STARTUPINFOW* startupInfo,
                           win::PROCESS_INFORMATION* processInformation) override;
  win::BOOL GetExitCodeProcess(win::HANDLE process, win::DWORD* exitCode) override;
  const win::WCHAR* GetCommandLineW() override;
  void GetStartupInfoW(win::STARTUPINFOW* info) override;
  [[noreturn]] void ExitProcess(win::UINT exitCode) override;
};

// A handle to a machine process (OpenProcess, CreateProcessW), or to the
// main thread of one CreateProcessW started (thread set). Signalled once
// the process has ended: the first wait asks the machine's exit watcher to
// follow the pid on the change feed, which then calls NotifyWaiters.
class ProcessObject : public WaitableObject, public std::enable_shared_from_this<ProcessObject> {
 public:
  ProcessObject(win::DWORD pid, win::DWORD access, std::wstring image, win::DWORD session,
                std::shared_ptr<Machine> machine = nullptr, win::DWORD thread = 0)
      : pid(pid), access(access), image(std::move(image)), session(session), thread(thread),
        machine_(std::move(machine)) {}
  const win::DWORD pid;
  const win::DWORD access;
  const std::wstring image;
  const win::DWORD session;
  const win::DWORD thread;

  bool TryAcquire() override;
  bool NotifiesWaiters() const override { return true; }
  void OnLastHandleClosed() override;
  // Called by the exit watcher.
  void MarkEnded();
  bool Closed() const { return closed_.load(); }

 private:
  std::shared_ptr<Machine> machine_;
  std::atomic<bool> ended_{false};
  std::atomic<bool> watched_{false};
  std::atomic<bool> closed_{false};
};

// ---- Privileges -------------------------------------------------------------------

struct PrivilegeName {
  const wchar_t* name;
  win::DWORD luid;  // LowPart; HighPart is 0 for every well-known privilege
};
// The privileges Windows knows, with their well-known LUIDs.
const std::vector<PrivilegeName>& KnownPrivileges();
// The name of a well-known LUID, or empty.
std::wstring PrivilegeNameOf(win::LUID luid);
// The privileges our tokens hold, with SE_PRIVILEGE_ENABLED for the ones on
// by default: an elevated administrator's token.
struct HeldPrivilege {
  win::DWORD luid;
  win::DWORD attributes;
};
std::vector<HeldPrivilege> DefaultTokenPrivileges();

// Where the stand-ins of machine programs are: ZV_BIN_DIR, else the
// running program's folder.
std::string ProgramFolder();

}  // namespace zv::platform
