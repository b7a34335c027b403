// WOW64 on the machine: process bitness, the per-thread file-system
// redirection of System32, the system folders, and the module and
// procedure look-up through which 32-bit programs find these calls.
//
// Owns: the machine's architecture (machine setting "machine.architecture": "x64",
// the default, or "x86"); the bitness of the calling program (its process
// row's for a program the machine started, else ZV_BITNESS 32 or 64, else
// 64); the per-thread redirection switch; the path rewriting (System32 ->
// SysWOW64 with Windows' exemptions, Sysnative -> System32), Wow64FileApi,
// the FileApi that applies it for a 32-bit program, and its use as the
// program search rewrite of CreateProcessW; the
// kernel32 stand-in of GetModuleHandleW / LoadLibraryW / GetProcAddress
// (machine setting "kernel32.missing": a comma list of functions that the
// look-up does not find); the standard system folders a 64-bit machine has.
// Must not: rewrite paths of a 64-bit program or of a 32-bit one on an x86
// machine; change what the wrapped FileApi does with the rewritten path.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/base/win32.h"
#include "platform/files/file_api.h"
#include "platform/files/machine.h"

namespace zv::platform {

// The procedure address type of GetProcAddress; callers cast it to the
// function's own type.
using ProcAddress = void (*)();

// True on an x64 machine (the default), false on an x86 one.
bool MachineIs64Bit(Machine& machine);
// The calling program's bitness, 32 or 64.
int OwnBitness();
// True when the calling program is a 32-bit one on an x64 machine.
bool IsWow64();

// IsWow64Process for the current-process pseudo handle or a handle of our
// own process. Other processes count as 64-bit.
win::BOOL IsWow64Process(win::HANDLE process, win::BOOL* wow64);
// Per thread. Outside WOW64 both fail with ERROR_INVALID_FUNCTION.
win::BOOL Wow64DisableWow64FsRedirection(void** oldValue);
win::BOOL Wow64RevertWow64FsRedirection(void* oldValue);
// True while the calling thread has redirection switched off.
bool Wow64RedirectionDisabled();

// The path a WOW64 program with redirection on reaches for `path`: a path
// below <windows>\System32 goes to <windows>\SysWOW64 except below catroot,
// catroot2, driverstore, drivers\etc, logfiles and spool; <windows>\Sysnative
// goes to System32. Any other path, and every path of a program that is not
// WOW64 or has redirection off on this thread, comes back unchanged.
std::wstring RedirectForWow64(const std::wstring& path);
// The rewriting above without looking at the program or thread.
std::wstring RedirectSystem32(const std::wstring& path);

// Win32 folder calls: units written without the terminator, or the size
// needed with it when the buffer is short (nothing written), 0 on failure.
win::UINT GetWindowsDirectoryW(win::WCHAR* buffer, win::UINT units);
win::UINT GetSystemDirectoryW(win::WCHAR* buffer, win::UINT units);
// Fails with ERROR_CALL_NOT_IMPLEMENTED on an x86 machine.
win::UINT GetSystemWow64DirectoryW(win::WCHAR* buffer, win::UINT units);

// "kernel32" (with or without ".dll", any case) is the one module known.
win::HMODULE GetModuleHandleW(const win::WCHAR* name);
win::HMODULE LoadLibraryW(const win::WCHAR* name);
win::BOOL FreeLibrary(win::HMODULE module);
// The stand-ins of IsWow64Process, Wow64DisableWow64FsRedirection,
// Wow64RevertWow64FsRedirection, GetSystemWow64DirectoryW,
// GetSystemDirectoryW and GetWindowsDirectoryW; ERROR_PROC_NOT_FOUND for any
// other name or one listed in "kernel32.missing".
ProcAddress GetProcAddress(win::HMODULE module, const char* name);

// A FileApi that rewrites every path through RedirectForWow64 before the
// wrapped one sees it.
class Wow64FileApi : public FileApi {
 public:
  explicit Wow64FileApi(FileApi& inner) : inner_(inner) {}

  win::DWORD GetFileAttributesW(const win::WCHAR* path) override;
  win::BOOL SetFileAttributesW(const win::WCHAR* path, win::DWORD attributes) override;
  win::BOOL CopyFileW(const win::WCHAR* existing, const win::WCHAR* newFile, win::BOOL failIfExists) override;
  win::BOOL DeleteFileW(const win::WCHAR* path) override;
  win::BOOL CreateDirectoryW(const win::WCHAR* path, const SecurityDescriptor* security) override;
  win::BOOL RemoveDirectoryW(const win::WCHAR* path) override;
  win::BOOL MoveFileExW(const win::WCHAR* existing, const win::WCHAR* newName, win::DWORD flags) override;
  int SHCreateDirectoryExW(win::HWND window, const win::WCHAR* path, const SecurityDescriptor* security) override;
  win::BOOL GetFileSecurityW(const win::WCHAR* path, SecurityDescriptor* out) override;
  win::BOOL GetFileSecurityW(const win::WCHAR* path, SECURITY_INFORMATION requested, void* descriptor,
                             win::DWORD length, win::DWORD* needed) override;
  win::DWORD GetLongPathNameW(const win::WCHAR* shortPath, win::WCHAR* longPath, win::DWORD units) override;
  win::DWORD GetShortPathNameW(const win::WCHAR* longPath, win::WCHAR* shortPath, win::DWORD units) override;
  win::HANDLE CreateFileW(const win::WCHAR* path, win::DWORD desiredAccess, win::DWORD shareMode,
                          const void* securityAttributes, win::DWORD creationDisposition,
                          win::DWORD flagsAndAttributes, win::HANDLE templateFile) override;
  win::BOOL ReadFile(win::HANDLE file, void* buffer, win::DWORD bytesToRead, win::DWORD* bytesRead,
                     win::OVERLAPPED* overlapped) override;
  win::BOOL WriteFile(win::HANDLE file, const void* buffer, win::DWORD bytesToWrite, win::DWORD* bytesWritten,
                      win::OVERLAPPED* overlapped) override;
  win::BOOL SetFilePointerEx(win::HANDLE file, win::LONGLONG distance, win::LONGLONG* newPosition,
                             win::DWORD moveMethod) override;
  win::BOOL FlushFileBuffers(win::HANDLE file) override;
  win::BOOL GetFileSizeEx(win::HANDLE file, win::LONGLONG* size) override;
  win::HANDLE FindFirstFileW(const win::WCHAR* pattern, win::WIN32_FIND_DATAW* data) override;
  win::BOOL FindNextFileW(win::HANDLE find, win::WIN32_FIND_DATAW* data) override;
  win::BOOL FindClose(win::HANDLE find) override;
  bool AppendToFile(const std::wstring& path, const std::string& bytes) override;

 private:
  FileApi& inner_;
};

// For a WOW64 program: makes a Wow64FileApi over the current FileApi the
// current one for the rest of the process, and RedirectForWow64 the
// program search rewrite (program_files.h), so that its CreateProcessW
// finds SysWOW64's programs. Does nothing otherwise.
void UseWow64Files();

// Creates Windows\SysWOW64 (on an x64 machine), System32\drivers and
// SysWOW64\drivers when missing.
void EnsureSystemFolders(Machine& machine);

}  // namespace zv::platform
