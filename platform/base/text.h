// Text conversions with Windows meaning.
//
// Owns: std::wstring as UTF-16 (one code unit per wchar_t); UTF-16LE bytes
// for binary boundaries; WTF-8 host file names (unpaired surrogates survive a
// round trip); UTF-8 for display; ASCII-only case mapping as the C library's
// tolower/toupper do it in the "C" locale; the machine's ANSI code page.
// Must not: touch files or the machine; callers pick which form they need.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zv::text {

// UTF-8 (or WTF-8) to UTF-16. Malformed bytes become U+FFFD; encoded
// surrogates (WTF-8) come back as the same lone units.
std::wstring FromUtf8(std::string_view utf8);

// UTF-16 to UTF-8 for display and logs: unpaired surrogates become U+FFFD.
std::string ToUtf8(std::wstring_view utf16);

// UTF-16 to a host file name component or path: pairs joined, unpaired
// surrogates kept as their three-byte WTF-8 form so names stay distinct.
std::string ToHostName(std::wstring_view utf16);
std::wstring FromHostName(std::string_view hostName);

// Little-endian bytes of the code units; no byte-order mark.
std::string ToUtf16Le(std::wstring_view utf16);
// An odd trailing byte is ignored.
std::wstring FromUtf16Le(const void* bytes, std::size_t byteCount);

// The units of a zero-terminated UTF-16LE field of at most maxUnits units:
// stops at the first zero unit or at the end of the field.
std::wstring FromUtf16LeField(const void* bytes, std::size_t maxUnits);

constexpr wchar_t AsciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }
constexpr wchar_t AsciiUpper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; }
std::wstring AsciiLowerCopy(std::wstring_view s);
std::wstring AsciiUpperCopy(std::wstring_view s);
bool AsciiIEquals(std::wstring_view a, std::wstring_view b);

// The machine's ANSI code page: ZV_ANSI_CODEPAGE, 1252 (Western) when unset;
// 65001 (UTF-8) is also understood. Anything else falls back to 1252.
unsigned AnsiCodePage();

// UTF-16 to the ANSI code page as WideCharToMultiByte does with its default
// character: a unit the code page cannot hold becomes '?'; a surrogate pair
// counts as one unmappable character.
std::string ToAnsi(std::wstring_view utf16);
std::wstring FromAnsi(std::string_view ansi);

}  // namespace zv::text
