// Windows profile (ini) files, read with Win32 meaning.
//
// Owns: GetPrivateProfileIntW and the reading of profile files it rests on.
// Files are read through the FileApi; a file may be UTF-16LE or UTF-16BE
// with a byte-order mark, UTF-8 with a mark, or in the ANSI code page.
// Section and key names match without ASCII case; whitespace around names
// and values is ignored; a value wrapped in one pair of matching quotes
// loses them. A bare file name (no folder) is looked for in C:\Windows.
// Must not: cache files between calls; every call reads the file anew.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/base/win32.h"

namespace zv::platform {

// The integer value of a key, or `defaultValue` when the file, section or
// key is missing or the value is empty. Otherwise the value is read as the
// NT run time reads integers: leading blanks, an optional sign, an optional
// "0x" (hex), "0o" (octal) or "0b" (binary) prefix, then digits up to the
// first character that is not one; no digits give 0. "01" reads as 1,
// "12abc" as 12, "abc" as 0, "-1" as 0xFFFFFFFF.
win::UINT GetPrivateProfileIntW(const win::WCHAR* section, const win::WCHAR* key, int defaultValue,
                                const win::WCHAR* fileName);

// The whole file decoded to UTF-16; nothing when it cannot be read.
std::optional<std::wstring> ReadProfileFile(std::wstring_view fileName);
// The trimmed, unquoted value of the first matching key of a matching section.
std::optional<std::wstring> FindProfileValue(std::wstring_view fileText, std::wstring_view section,
                                             std::wstring_view key);
// The integer reading described above.
win::UINT ParseProfileInt(std::wstring_view value);

}  // namespace zv::platform
