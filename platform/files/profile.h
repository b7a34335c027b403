// Windows profile (ini) files, read with Win32 meaning.
//
// Owns: GetPrivateProfileIntW, GetPrivateProfileStringW (values, and the
// lists of sections and keys), WritePrivateProfileStringW (set a key,
// delete a key, delete a section) and the reading of profile files they
// rest on. Files are read and written through the FileApi; a file may be
// UTF-16LE or UTF-16BE with a byte-order mark, UTF-8 with a mark, or in the
// ANSI code page, and a write keeps the file's encoding (a new file is
// ANSI, so characters the code page lacks become '?'). Section and key
// names match without ASCII case; whitespace around names and values is
// ignored; a value wrapped in one pair of matching quotes loses them. A
// bare file name (no folder) is looked for in C:\Windows.
// Writes: the new content goes to a temporary file in the same folder that
// then replaces the file in one rename, so a reader in any process sees the
// old file or the new one, never a part; writers of one file take a
// machine-wide lock (a host lock file in the run folder) around read,
// change and rename, so two writers lose nothing.
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

// Copies the value of a key (default when missing; a null default is
// empty) into the buffer and returns the units copied without the
// terminator: a value that does not fit is cut to size - 1 units. A null
// key lists the keys of the section, a null section the section names:
// each name followed by a zero unit, and one more zero at the end; a list
// that does not fit is cut and ends with two zero units (returns size - 2).
// Sets ERROR_FILE_NOT_FOUND when the file is missing.
win::DWORD GetPrivateProfileStringW(const win::WCHAR* section, const win::WCHAR* key, const win::WCHAR* defaultValue,
                                    win::WCHAR* buffer, win::DWORD size, const win::WCHAR* fileName);

// Sets key = value in the section (the section is added at the end when
// missing, the key after the section's last line when missing). A null
// value deletes the key; a null key deletes the section (every section of
// that name) with its keys. Deleting from a missing file succeeds and
// creates nothing. A read-only file fails with ERROR_ACCESS_DENIED; all
// three names null is a flush and succeeds.
win::BOOL WritePrivateProfileStringW(const win::WCHAR* section, const win::WCHAR* key, const win::WCHAR* value,
                                     const win::WCHAR* fileName);

// The whole file decoded to UTF-16; nothing when it cannot be read.
std::optional<std::wstring> ReadProfileFile(std::wstring_view fileName);
// The trimmed, unquoted value of the first matching key of a matching section.
std::optional<std::wstring> FindProfileValue(std::wstring_view fileText, std::wstring_view section,
                                             std::wstring_view key);
// The integer reading described above.
win::UINT ParseProfileInt(std::wstring_view value);

}  // namespace zv::platform
