// The registry editor's text form: .reg files and hive files.
//
// Owns: reading and writing "Windows Registry Editor Version 5.00" files
// (UTF-16LE with a byte-order mark, CR LF lines), rooted key paths
// (HKEY_LOCAL_MACHINE\..., HKEY_USERS\...), exporting a subtree and
// importing a file into the machine's registry in one transaction.
// Values keep their exact bytes: a value is written as "text" or dword:
// only when that form gives back the same bytes, otherwise as hex(type).
// Must not: apply registry views (paths in files are physical) or know
// handles.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/base/win32.h"
#include "platform/files/machine.h"
#include "platform/registry/registry_store.h"

namespace zv::platform {

struct RegFileValue {
  std::wstring name;
  bool remove = false;  // "name"=-
  win::DWORD type = 0;
  std::string data;
};

struct RegFileKey {
  std::wstring path;    // rooted, as written between the brackets
  bool remove = false;  // [-path]
  std::vector<RegFileValue> values;
};

inline constexpr wchar_t kRegFileHeader[] = L"Windows Registry Editor Version 5.00";

// The file's bytes: byte-order mark, header, one block per key.
// ERROR_INVALID_DATA when a key or value name cannot be written in the form
// (a line break in a name, or a ']' ending a key name).
win::DWORD WriteRegFile(const std::vector<RegFileKey>& keys, std::string& bytes);
// Parses a file in the form above (UTF-16LE with its mark; UTF-8 or ASCII
// text with the same header is accepted too). ERROR_BADDB with the 1-based
// line of the fault in *badLine.
win::DWORD ParseRegFile(std::string_view bytes, std::vector<RegFileKey>& keys, std::size_t* badLine);

// "HKEY_LOCAL_MACHINE\A\B" (or HKLM, HKEY_USERS, HKU) to a root and names.
win::DWORD ParseRootedPath(std::wstring_view path, RegRoot& root, std::vector<std::wstring>& names);
std::wstring RootedPath(RegRoot root, const std::vector<std::wstring>& names);

// The key's subtree, keys in enumeration order, each with its values, named
// by their rooted paths. ERROR_FILE_NOT_FOUND for a missing key.
win::DWORD ExportTree(Machine& machine, RegRoot root, const std::vector<std::wstring>& names,
                      std::vector<RegFileKey>& keys);
// The same inside the caller's transaction, from a key found already, whose
// rooted path is `path`.
void ExportSubtree(sqlite3* db, KeyId key, const std::wstring& path, std::vector<RegFileKey>& out);
// Applies the keys in one transaction: creates keys, sets and removes
// values, removes subtrees. New keys straight under a root and the removal of
// a root or hive are refused with ERROR_ACCESS_DENIED; nothing is applied
// then.
win::DWORD ImportKeys(Machine& machine, const std::vector<RegFileKey>& keys);

}  // namespace zv::platform
