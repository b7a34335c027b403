// The file operations of the restore tool, on the machine's file API only.
//
// Owns: the link test of a whole path, listing a folder, comparing a restored
// file with its backup, reading a folder's carried security, making folders
// level by level and deleting a tree without descending through links.
// Must not: decide what to restore (plan) or report (report).
#pragma once

#include <string>
#include <vector>

#include "platform/base/win32.h"
#include "platform/files/file_api.h"
#include "tools/zvrestore/machine_path.h"

namespace zv::tools::restore {

// What a path is, checked component by component from the drive root so
// that no link on the way is ever followed.
enum class PathState {
  Absent,      // the path or one of its folders does not exist
  File,
  Folder,
  Link,        // the path or a folder on the way is a reparse point
  Unreachable  // a component cannot be read (a link leading off the drives reads so)
};
struct PathProbe {
  PathState state = PathState::Absent;
  win::DWORD attributes = 0;  // of the path itself when File or Folder
  win::DWORD error = 0;       // Unreachable: the error
  MachinePath where;          // Link / Unreachable: the component concerned
};
PathProbe Probe(const MachinePath& path);

// True when the drive exists on this machine.
bool DriveExists(wchar_t drive);

struct FolderEntry {
  std::wstring name;
  win::DWORD attributes = 0;
  bool IsLink() const { return attributes & win::FILE_ATTRIBUTE_REPARSE_POINT; }
  bool IsFolder() const { return attributes & win::FILE_ATTRIBUTE_DIRECTORY; }
};
// The entries of a folder without "." and "..", sorted by name; false with the
// error when it cannot be listed (an empty folder lists fine).
bool ListFolder(const MachinePath& folder, std::vector<FolderEntry>& entries, win::DWORD& error);

// True when both files can be read and hold the same bytes.
bool SameContent(const MachinePath& a, const MachinePath& b);

// The group and access list that a backup folder carries, as folder creation
// takes them; false when they cannot be read.
bool CarriedSecurity(const MachinePath& folder, platform::SecurityDescriptor& out);

// Creates one folder with the given security (null: default).
win::DWORD MakeFolder(const MachinePath& folder, const platform::SecurityDescriptor* security);

// Removes what a folder holds, deepest first; a link is removed as the link,
// never descended into. Returns the first error (0 when all went).
win::DWORD EmptyFolder(const MachinePath& folder);

}  // namespace zv::tools::restore
