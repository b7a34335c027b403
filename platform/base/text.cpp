// Text conversions: see text.h.
#include "platform/base/text.h"

#include <array>
#include <cstdlib>
#include <cstring>

namespace zv::text {
namespace {

bool IsHigh(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void AppendUtf16(std::wstring& out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out += static_cast<wchar_t>(0xD800 + (cp >> 10));
    out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
  } else {
    out += static_cast<wchar_t>(cp);
  }
}

std::string Encode(std::wstring_view utf16, bool keepLoneSurrogates) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t u = static_cast<char32_t>(utf16[i]) & 0xFFFF;
    if (IsHigh(u) && i + 1 < utf16.size() && IsLow(static_cast<char32_t>(utf16[i + 1]) & 0xFFFF)) {
      char32_t low = static_cast<char32_t>(utf16[++i]) & 0xFFFF;
      AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
    } else if (IsHigh(u) || IsLow(u)) {
      AppendUtf8(out, keepLoneSurrogates ? u : 0xFFFD);
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

// Windows-1252 bytes 0x80..0x9F; 0 where the code page leaves a hole.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

}  // namespace

std::wstring FromUtf8(std::string_view s) {
  std::wstring out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : -1;
    if (extra < 0) {
      out += L'\xFFFD';
      ++i;
      continue;
    }
    char32_t cp = extra == 0 ? c : (c & (0x3F >> extra));
    bool ok = true;
    for (int k = 1; k <= extra; ++k) {
      if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (!ok || cp < kMin[extra] || cp > 0x10FFFF) {
      out += L'\xFFFD';
      ++i;
      continue;
    }
    AppendUtf16(out, cp);
    i += extra + 1;
  }
  return out;
}

std::string ToUtf8(std::wstring_view utf16) { return Encode(utf16, false); }
std::string ToHostName(std::wstring_view utf16) { return Encode(utf16, true); }
std::wstring FromHostName(std::string_view hostName) { return FromUtf8(hostName); }

std::string ToUtf16Le(std::wstring_view utf16) {
  std::string out(utf16.size() * 2, '\0');
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    auto u = static_cast<std::uint16_t>(utf16[i]);
    out[2 * i] = static_cast<char>(u & 0xFF);
    out[2 * i + 1] = static_cast<char>(u >> 8);
  }
  return out;
}

std::wstring FromUtf16Le(const void* bytes, std::size_t byteCount) {
  const auto* b = static_cast<const unsigned char*>(bytes);
  std::wstring out(byteCount / 2, L'\0');
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<wchar_t>(b[2 * i] | (b[2 * i + 1] << 8));
  }
  return out;
}

std::wstring FromUtf16LeField(const void* bytes, std::size_t maxUnits) {
  const auto* b = static_cast<const unsigned char*>(bytes);
  std::wstring out;
  for (std::size_t i = 0; i < maxUnits; ++i) {
    wchar_t u = static_cast<wchar_t>(b[2 * i] | (b[2 * i + 1] << 8));
    if (u == 0) break;
    out += u;
  }
  return out;
}

std::wstring AsciiLowerCopy(std::wstring_view s) {
  std::wstring out(s);
  for (auto& c : out) c = AsciiLower(c);
  return out;
}

std::wstring AsciiUpperCopy(std::wstring_view s) {
  std::wstring out(s);
  for (auto& c : out) c = AsciiUpper(c);
  return out;
}

bool AsciiIEquals(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

unsigned AnsiCodePage() {
  static const unsigned page = [] {
    const char* v = std::getenv("ZV_ANSI_CODEPAGE");
    if (v && std::strcmp(v, "65001") == 0) return 65001u;
    return 1252u;
  }();
  return page;
}

std::string ToAnsi(std::wstring_view utf16) {
  if (AnsiCodePage() == 65001) return ToUtf8(utf16);
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char16_t u = static_cast<char16_t>(utf16[i]);
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
      out += static_cast<char>(u);
      continue;
    }
    char mapped = '?';
    for (std::size_t k = 0; k < kCp1252High.size(); ++k) {
      if (kCp1252High[k] != 0 && kCp1252High[k] == u) mapped = static_cast<char>(0x80 + k);
    }
    if (IsHigh(u) && i + 1 < utf16.size() && IsLow(static_cast<char16_t>(utf16[i + 1]))) ++i;
    out += mapped;
  }
  return out;
}

std::wstring FromAnsi(std::string_view ansi) {
  if (AnsiCodePage() == 65001) return FromUtf8(ansi);
  std::wstring out;
  out.reserve(ansi.size());
  for (unsigned char c : ansi) {
    if (c >= 0x80 && c <= 0x9F) {
      char16_t u = kCp1252High[c - 0x80];
      // Holes map to the C1 control of the same value, as Windows does.
      out += static_cast<wchar_t>(u ? u : c);
    } else {
      out += static_cast<wchar_t>(c);
    }
  }
  return out;
}

}  // namespace zv::text
