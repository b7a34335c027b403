// The file and settings helpers the restore and clean-up steps share:
// folder listings, attribute tests, link-safe deletion of one entry, ini
// values of any length and the run time's integer reading.
//
// Owns: nothing but these helpers. Paths are kept whole in std::wstring;
// a path too long for the machine fails in the file call that gets it.
// Must not: follow links. A listing reports a link as a reparse point and
// no helper here descends through one.
#pragma once

#include <string>
#include <vector>

#include "platform/base/win32.h"

namespace zv::startup {

struct FolderEntry {
  std::wstring name;
  win::DWORD attributes = 0;
  bool IsFolder() const { return (attributes & win::FILE_ATTRIBUTE_DIRECTORY) != 0; }
  bool IsLink() const { return (attributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
};

struct FolderListing {
  std::vector<FolderEntry> entries;  // without "." and ".."
  // The error that ended the enumeration: ERROR_NO_MORE_FILES when it ran
  // to its end, else the error of the first or a later find call.
  win::DWORD endError = win::ERROR_NO_MORE_FILES;
};

// The entries matching `pattern` (a folder followed by "\*" or "\*.*"),
// read to the end before the caller changes anything.
FolderListing ListFolder(const std::wstring& pattern);

// INVALID_FILE_ATTRIBUTES when the entry cannot be read.
win::DWORD AttributesOf(const std::wstring& path);
bool Exists(const std::wstring& path);
bool IsFile(const std::wstring& path);
bool IsFolder(const std::wstring& path);

// Removes a file or a link (to a file or a folder) itself, clearing the
// read-only attribute first; never touches what a link points to.
void DeleteEntry(const std::wstring& path, win::DWORD attributes);

// The profile value of any length (GetPrivateProfileStringW with a
// growing buffer).
std::wstring ReadIniString(const std::wstring& file, const std::wstring& section, const std::wstring& key,
                           const std::wstring& defaultValue);
// GetPrivateProfileIntW with default 0.
int IniInt(const std::wstring& file, const wchar_t* section, const wchar_t* key);
// _wtoi: leading blanks, an optional sign, decimal digits; anything else 0.
int ToInt(const std::wstring& text);

// The folders of C:\Users (or the given root) except "." and "..";
// links are left out: a profile reached through a link is the folder it
// points to, which the listing holds under its own name.
std::vector<std::wstring> UserFolderNames(const std::wstring& root);

// Folder path with a trailing backslash.
std::wstring WithBackslash(const std::wstring& folder);
std::wstring WithoutBackslash(const std::wstring& folder);

}  // namespace zv::startup
