// The machine's registry as it is kept in machine.db.
//
// Owns: the schema step "registry" (keys, values, loaded hives, users), the
// keys and values every new registry starts with, key look-up by physical
// path with case-insensitive, case-preserving names, value storage as exact
// bytes with a type, the machine's architecture and Windows version, and
// the 32-bit view of HKLM\SOFTWARE (which keys are redirected to
// WOW6432Node and which are shared).
// Must not: know handles or access rights (registry_api_real.cpp), the text
// form of .reg files (reg_file.h), or user profiles (hives.h). Every
// function taking a sqlite3* runs inside the caller's Machine::Read or
// Machine::Write.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/win32.h"
#include "platform/files/machine.h"

namespace zv::platform {

enum class RegRoot { Machine, Users };

using KeyId = std::int64_t;  // 0: no key

struct RegValue {
  std::wstring name;  // empty: the key's default value
  win::DWORD type = 0;
  std::string data;  // exact bytes
};

// The machine's shape as the registry sees it.
struct MachineShape {
  bool x64 = true;                 // setting machine.architecture: "x64" (default) or "x86"
  int major = 10, minor = 0;       // setting machine.windows_version: "10.0.19045" by default
  int build = 19045;
};
MachineShape ShapeOf(Machine& machine);

// Key and value name limits (units).
inline constexpr std::size_t kMaxKeyName = 255;
inline constexpr std::size_t kMaxValueName = 16383;

namespace regdb {

// The schema step, the first keys and values; cheap once done.
void EnsureRegistry(Machine& machine);

KeyId RootKey(sqlite3* db, RegRoot root);
bool KeyExists(sqlite3* db, KeyId key);
KeyId Child(sqlite3* db, KeyId parent, std::wstring_view name);
// Finds or creates; *created tells which.
KeyId CreateChild(sqlite3* db, KeyId parent, std::wstring_view name, bool* created);
// Walks names from `from`; 0 when a key on the way is missing.
KeyId Walk(sqlite3* db, KeyId from, const std::vector<std::wstring>& names);
KeyId ParentOf(sqlite3* db, KeyId key);
std::wstring NameOf(sqlite3* db, KeyId key);

std::optional<RegValue> GetValue(sqlite3* db, KeyId key, std::wstring_view name);
// A value set again keeps its place in the enumeration order.
void SetValue(sqlite3* db, KeyId key, std::wstring_view name, win::DWORD type, const std::string& data);
bool DeleteValue(sqlite3* db, KeyId key, std::wstring_view name);

// Subkeys in Windows' order (names compared without case); values in the
// order they were first set.
std::optional<std::wstring> SubkeyAt(sqlite3* db, KeyId key, std::int64_t index);
std::optional<RegValue> ValueAt(sqlite3* db, KeyId key, std::int64_t index);
std::vector<std::wstring> Subkeys(sqlite3* db, KeyId key);
std::vector<RegValue> Values(sqlite3* db, KeyId key);
bool HasSubkeys(sqlite3* db, KeyId key);

// Removes the key, its subkeys and all their values.
void DeleteTree(sqlite3* db, KeyId key);
// The key under HKU at which a loaded hive is mounted, when `key` lies in one.
KeyId HiveMountOf(sqlite3* db, KeyId key);
// True for keys that cannot be deleted: the roots and their direct children
// (the hives, loaded user hives among them).
bool IsHiveRoot(sqlite3* db, KeyId key);

}  // namespace regdb

// The upper-case form by which names are compared: ASCII letters only, as
// everywhere on the machine.
std::wstring FoldName(std::wstring_view name);

// Splits a subkey path at backslashes. ERROR_SUCCESS; ERROR_BAD_PATHNAME for a
// leading backslash or an empty component inside; ERROR_INVALID_PARAMETER for
// a component longer than 255 units. One trailing backslash is ignored.
win::DWORD SplitKeyPath(std::wstring_view path, std::vector<std::wstring>& out);

// The physical path of a logical HKLM path seen in the 32-bit view of an x64
// machine: SOFTWARE\X becomes SOFTWARE\WOW6432Node\X unless X is shared
// between the views; SOFTWARE\Classes\{CLSID, ...} go to
// SOFTWARE\Classes\WOW6432Node\... Paths already naming WOW6432Node and
// every other path are unchanged.
std::vector<std::wstring> RedirectTo32(const std::vector<std::wstring>& logical);

}  // namespace zv::platform
