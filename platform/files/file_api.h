// Files and folders of the machine's volumes, with Win32 meaning.
//
// Owns: the FileApi interface. Paths are DOS paths (C:\x, \\?\C:\x, \??\C:\x)
// resolved through the machine's volume table; no call ever reaches a host
// path outside the volume folders. Every failing call sets the last error.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/base/injectable.h"
#include "platform/base/win32.h"

namespace zv::platform {

// SECURITY_INFORMATION selector bits of GetFileSecurityW.
using SECURITY_INFORMATION = win::DWORD;
inline constexpr SECURITY_INFORMATION OWNER_SECURITY_INFORMATION = 0x1;
inline constexpr SECURITY_INFORMATION GROUP_SECURITY_INFORMATION = 0x2;
inline constexpr SECURITY_INFORMATION DACL_SECURITY_INFORMATION = 0x4;
inline constexpr SECURITY_INFORMATION SACL_SECURITY_INFORMATION = 0x8;

// What GetFileSecurityW reads and folder creation can carry to a new folder:
// owner, group, mode bits and the POSIX ACL entries where the host has them.
// `parts` says which of them the descriptor holds (SECURITY_INFORMATION
// bits); a new folder takes only those, the rest as its creator makes it
// (a folder made from a descriptor without owner is owned by its creator).
// The system ACL has no host meaning: it is always empty.
struct SecurityDescriptor {
  std::uint32_t parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  std::uint32_t mode = 0;
  std::string accessAcl;   // serialised host ACL (empty when none)
  std::string defaultAcl;  // folders only
};

// The self-relative form that the selector form of GetFileSecurityW writes:
// opaque bytes to the caller, turned back into a descriptor for folder
// creation. False when the bytes are not such a descriptor.
std::string SerializeSecurityDescriptor(const SecurityDescriptor& descriptor);
bool ParseSecurityDescriptor(const void* bytes, win::DWORD size, SecurityDescriptor& out);

// Whether the calling process holds a privilege enabled ("SeSecurityPrivilege"
// for reading system ACLs). The token lives above the file layer, so its
// owner (platform/processes, tokens.cpp) installs the test when the program
// first adjusts its own token; without one no privilege is held.
using PrivilegeHeldTest = bool (*)(const wchar_t* privilege);
void SetPrivilegeHeldTest(PrivilegeHeldTest test);
bool PrivilegeHeld(const wchar_t* privilege);

class FileApi {
 public:
  virtual ~FileApi() = default;

  virtual win::DWORD GetFileAttributesW(const win::WCHAR* path) = 0;
  virtual win::BOOL SetFileAttributesW(const win::WCHAR* path, win::DWORD attributes) = 0;
  virtual win::BOOL CopyFileW(const win::WCHAR* existing, const win::WCHAR* newFile, win::BOOL failIfExists) = 0;
  virtual win::BOOL DeleteFileW(const win::WCHAR* path) = 0;
  virtual win::BOOL CreateDirectoryW(const win::WCHAR* path, const SecurityDescriptor* security) = 0;
  virtual win::BOOL RemoveDirectoryW(const win::WCHAR* path) = 0;
  virtual win::BOOL MoveFileExW(const win::WCHAR* existing, const win::WCHAR* newName, win::DWORD flags) = 0;
  // Creates every missing folder of the path; ERROR_SUCCESS, or the Win32
  // error (ERROR_ALREADY_EXISTS when the whole path exists).
  virtual int SHCreateDirectoryExW(win::HWND window, const win::WCHAR* path, const SecurityDescriptor* security) = 0;
  // Owner, group and discretionary ACL of a file or folder.
  virtual win::BOOL GetFileSecurityW(const win::WCHAR* path, SecurityDescriptor* out) = 0;
  // The selected parts in self-relative form. `needed` receives the size of
  // the descriptor; a buffer shorter than that (or none, to ask the size)
  // fails with ERROR_INSUFFICIENT_BUFFER. Selecting the system ACL without
  // "SeSecurityPrivilege" held fails with ERROR_PRIVILEGE_NOT_HELD.
  virtual win::BOOL GetFileSecurityW(const win::WCHAR* path, SECURITY_INFORMATION requested, void* descriptor,
                                     win::DWORD length, win::DWORD* needed) = 0;
  // Expands 8.3 aliases in every component; input and output may be the same
  // buffer. Returns units written (without terminator), the size needed
  // (with terminator) when the buffer is short, or 0 on failure.
  virtual win::DWORD GetLongPathNameW(const win::WCHAR* shortPath, win::WCHAR* longPath, win::DWORD units) = 0;
  virtual win::DWORD GetShortPathNameW(const win::WCHAR* longPath, win::WCHAR* shortPath, win::DWORD units) = 0;

  virtual win::HANDLE CreateFileW(const win::WCHAR* path, win::DWORD desiredAccess, win::DWORD shareMode,
                                  const void* securityAttributes, win::DWORD creationDisposition,
                                  win::DWORD flagsAndAttributes, win::HANDLE templateFile) = 0;
  virtual win::BOOL ReadFile(win::HANDLE file, void* buffer, win::DWORD bytesToRead, win::DWORD* bytesRead,
                             win::OVERLAPPED* overlapped) = 0;
  // One call writes the whole buffer in one host write.
  virtual win::BOOL WriteFile(win::HANDLE file, const void* buffer, win::DWORD bytesToWrite, win::DWORD* bytesWritten,
                              win::OVERLAPPED* overlapped) = 0;
  virtual win::BOOL SetFilePointerEx(win::HANDLE file, win::LONGLONG distance, win::LONGLONG* newPosition,
                                     win::DWORD moveMethod) = 0;
  virtual win::BOOL FlushFileBuffers(win::HANDLE file) = 0;
  virtual win::BOOL GetFileSizeEx(win::HANDLE file, win::LONGLONG* size) = 0;

  virtual win::HANDLE FindFirstFileW(const win::WCHAR* pattern, win::WIN32_FIND_DATAW* data) = 0;
  virtual win::BOOL FindNextFileW(win::HANDLE find, win::WIN32_FIND_DATAW* data) = 0;
  virtual win::BOOL FindClose(win::HANDLE find) = 0;

  // Appends bytes to a file in one write, creating it when missing (the C
  // run time's append mode); false when the file cannot be opened.
  virtual bool AppendToFile(const std::wstring& path, const std::string& bytes) = 0;
};

using Files = Api<FileApi>;

}  // namespace zv::platform
