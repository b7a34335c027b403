// Windows paths of the machine's volumes and their host locations.
//
// Owns: parsing of DOS paths (C:\x, C:/x, \\?\C:\x, \??\C:\x, \\.\C:\x) with
// Win32 normalisation for plain paths and none for the verbatim forms, name
// validation (forbidden characters, reserved device names, lengths), and the
// walk that maps each component case-insensitively to an entry of the host
// folder (8.3 aliases included). Symbolic links on the host are followed only
// when their target stays below the volumes folder.
// Must not: change anything on disk, or know what the caller does with the
// result (files_real.cpp does the operations).
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/files/machine.h"
#include "platform/files/volumes.h"
#include "platform/base/win32.h"

namespace zv::platform {

struct DosPath {
  std::wstring prefix;                  // "", "\\?\" or "\??\" as given
  wchar_t letter = 0;                   // drive letter as given
  std::vector<std::wstring> components; // after normalisation
  bool trailingSeparator = false;       // the text ended with a separator
  bool verbatim = false;                // \\?\ or \??\ form

  // The path text back: prefix, letter, colon, components.
  std::wstring Text() const;
};

// Parses and validates a DOS path. ERROR_SUCCESS, or ERROR_INVALID_NAME
// (forbidden characters or names, '.' or '..' in a verbatim path, embedded
// zero units), ERROR_FILENAME_EXCED_RANGE (over 32767 units, or a plain path
// of MAX_PATH or more), ERROR_PATH_NOT_FOUND (no drive letter),
// ERROR_BAD_NETPATH (UNC paths).
win::DWORD ParseDosPath(std::wstring_view path, DosPath& out);

// Validates one name (no separators): ERROR_SUCCESS or ERROR_INVALID_NAME.
win::DWORD CheckComponent(std::wstring_view name);

struct ResolvedPath {
  DosPath dos;
  VolumeRoot volume;
  std::string host;             // host path of the whole path (canonical)
  std::string parentHost;       // host folder holding the last component
  std::string leafHostName;     // host name of the last component
  std::vector<std::wstring> longNames;  // per component: the on-disk name
                                        // where an alias was expanded, else
                                        // the text given
  // Per component: the host folder holding it and its host name there
  // (for the last component, also when it does not exist yet).
  std::vector<std::string> folders;
  std::vector<std::string> entries;
  bool isRoot = false;          // the path names the volume root
  bool exists = false;          // the last component exists
  struct stat st {};            // of the entry, when it exists
};

// Resolves a DOS path on the machine. ERROR_SUCCESS when every folder on the
// way exists; the last component may be missing (exists == false, and host
// then ends with the name as given). Otherwise: the ParseDosPath errors,
// ERROR_PATH_NOT_FOUND (missing folder, unmapped drive letter, a file where a
// folder should be), ERROR_ACCESS_DENIED (a link leading outside the volume
// folders or dangling), ERROR_CANT_RESOLVE_FILENAME (link loop).
win::DWORD ResolveDosPath(Machine& machine, std::wstring_view path, ResolvedPath& out);

// The host folder's entries (host names), from the per-machine listing cache.
// False when the folder cannot be read.
bool ListHostFolder(Machine& machine, const std::string& hostDir, std::vector<std::string>& names);

// Win32 error for a host errno.
win::DWORD Win32FromErrno(int error);

}  // namespace zv::platform
