// Windows paths of the machine's volumes and their host locations.
//
// Owns: parsing of DOS paths (C:\x, C:/x, \\?\C:\x, \??\C:\x, \\.\C:\x) with
// Win32 normalisation for plain paths and none for the verbatim forms, name
// validation (forbidden characters, reserved device names, lengths), and the
// walk that maps each component case-insensitively to an entry of the host
// folder (8.3 aliases included), and the quicker look-up of attribute
// queries that gives the same answers. Symbolic links on the host are
// followed only when their target stays below the volumes folder.
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

// The same, with the components as views into the parsed text (which must
// outlive them). Nothing is copied: a view reused by the next parse keeps
// its vector's capacity.
struct DosPathView {
  std::wstring_view prefix;
  wchar_t letter = 0;
  std::vector<std::wstring_view> components;
  bool trailingSeparator = false;
  bool verbatim = false;
};

// Parses and validates a DOS path. ERROR_SUCCESS, or ERROR_INVALID_NAME
// (forbidden characters or names, '.' or '..' in a verbatim path, embedded
// zero units), ERROR_FILENAME_EXCED_RANGE (over 32767 units, or a plain path
// of MAX_PATH or more), ERROR_PATH_NOT_FOUND (no drive letter),
// ERROR_BAD_NETPATH (UNC paths).
win::DWORD ParseDosPath(std::wstring_view path, DosPath& out);
win::DWORD ParseDosPath(std::wstring_view path, DosPathView& out);

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

// What an attribute query needs of a path, as ResolveDosPath would find it.
struct EntryStat {
  bool exists = false;
  bool isLink = false;       // the entry itself is a host link (followed)
  struct stat st {};         // of the entry (a link's target), when it exists
  // An O_PATH descriptor of the entry when it was found by the quick
  // look-up (the caller closes it), else -1.
  int fd = -1;
  // Host path of the entry. Points into this thread's buffers: valid until
  // the thread's next StatDosPath.
  const std::string* host = nullptr;
};

// Stats a DOS path: the errors of ResolveDosPath, and when it succeeds
// whether the last component exists. The path as given, letter case
// included, is tried first with one no-links kernel walk; a missing last
// component in an existing folder is settled from the folder's listing.
// Only another letter case, an 8.3 alias, a link on the way or a missing
// folder take the component walk. Nothing is allocated on the quick path
// once the calling thread's buffers have grown.
win::DWORD StatDosPath(Machine& machine, std::wstring_view path, EntryStat& out);

// The host folder's entries (host names), from the per-machine listing cache.
// False when the folder cannot be read.
bool ListHostFolder(Machine& machine, const std::string& hostDir, std::vector<std::string>& names);

// Win32 error for a host errno.
win::DWORD Win32FromErrno(int error);

}  // namespace zv::platform
