// The registry editor's text form: see reg_file.h.
#include "platform/registry/reg_file.h"

#include <cstdio>

#include "platform/base/text.h"
#include "platform/registry/registry_api.h"

namespace zv::platform {
namespace {

using win::DWORD;

constexpr std::size_t kHexLineWidth = 76;

struct Abort {
  DWORD error;
};

std::wstring Escape(std::wstring_view s) {
  std::wstring out;
  for (wchar_t c : s) {
    if (c == L'\\' || c == L'"') out.push_back(L'\\');
    out.push_back(c);
  }
  return out;
}

bool HasLineBreak(std::wstring_view s) { return s.find_first_of(L"\r\n") != std::wstring_view::npos; }

// The text of REG_SZ data when "text" gives back exactly these bytes: an
// even size, one terminating zero unit and no other, no line break.
bool AsPlainString(const std::string& data, std::wstring& text) {
  if (data.size() < 2 || data.size() % 2) return false;
  std::wstring units = text::FromUtf16Le(data.data(), data.size());
  if (units.back() != 0) return false;
  units.pop_back();
  if (units.find(L'\0') != std::wstring::npos || HasLineBreak(units)) return false;
  text = std::move(units);
  return true;
}

std::wstring HexDigits(unsigned v, int width) {
  wchar_t buf[16];
  std::swprintf(buf, 16, L"%0*x", width, v);
  return buf;
}

std::wstring ValueLine(const RegFileValue& v) {
  std::wstring line = v.name.empty() ? L"@=" : L"\"" + Escape(v.name) + L"\"=";
  if (v.remove) return line + L"-";
  std::wstring plain;
  if (v.type == win::REG_SZ && AsPlainString(v.data, plain)) return line + L"\"" + Escape(plain) + L"\"";
  if (v.type == win::REG_DWORD && v.data.size() == 4) {
    unsigned d = 0;
    for (int i = 3; i >= 0; --i) d = (d << 8) | static_cast<unsigned char>(v.data[i]);
    return line + L"dword:" + HexDigits(d, 8);
  }
  line += v.type == win::REG_BINARY ? std::wstring(L"hex:") : L"hex(" + HexDigits(v.type, 1) + L"):";
  std::size_t column = line.size();
  for (std::size_t i = 0; i < v.data.size(); ++i) {
    line += HexDigits(static_cast<unsigned char>(v.data[i]), 2);
    column += 2;
    if (i + 1 < v.data.size()) {
      line += L',';
      ++column;
      if (column + 3 > kHexLineWidth) {
        line += L"\\\r\n  ";
        column = 2;
      }
    }
  }
  return line;
}

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  wchar_t u = text::AsciiUpper(c);
  if (u >= L'A' && u <= L'F') return u - L'A' + 10;
  return -1;
}

std::wstring_view Trim(std::wstring_view s) {
  while (!s.empty() && (s.front() == L' ' || s.front() == L'\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == L' ' || s.back() == L'\t')) s.remove_suffix(1);
  return s;
}

// A quoted string with \\ and \" escapes at the front of s; consumes it.
bool TakeQuoted(std::wstring_view& s, std::wstring& out) {
  if (s.empty() || s.front() != L'"') return false;
  out.clear();
  for (std::size_t i = 1; i < s.size(); ++i) {
    wchar_t c = s[i];
    if (c == L'\\' && i + 1 < s.size()) {
      out.push_back(s[++i]);
    } else if (c == L'"') {
      s.remove_prefix(i + 1);
      return true;
    } else {
      out.push_back(c);
    }
  }
  return false;
}

bool ParseHexBytes(std::wstring_view s, std::string& out) {
  out.clear();
  s = Trim(s);
  if (s.empty()) return true;
  for (;;) {
    s = Trim(s);
    if (s.size() < 2) return false;
    int hi = HexValue(s[0]), lo = HexValue(s[1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<char>(hi * 16 + lo));
    s = Trim(s.substr(2));
    if (s.empty()) return true;
    if (s.front() != L',') return false;
    s.remove_prefix(1);
    if (Trim(s).empty()) return true;  // a trailing comma
  }
}

bool ParseValue(std::wstring_view line, RegFileValue& v) {
  if (line.front() == L'@') {
    v.name.clear();
    line.remove_prefix(1);
  } else if (!TakeQuoted(line, v.name)) {
    return false;
  }
  line = Trim(line);
  if (line.empty() || line.front() != L'=') return false;
  line = Trim(line.substr(1));
  if (line == L"-") {
    v.remove = true;
    return true;
  }
  if (!line.empty() && line.front() == L'"') {
    std::wstring textValue;
    if (!TakeQuoted(line, textValue) || !Trim(line).empty()) return false;
    v.type = win::REG_SZ;
    v.data = text::ToUtf16Le(textValue + L'\0');
    return true;
  }
  std::wstring lower = text::AsciiLowerCopy(line);
  if (lower.rfind(L"dword:", 0) == 0) {
    std::wstring_view digits = Trim(line.substr(6));
    if (digits.empty() || digits.size() > 8) return false;
    unsigned d = 0;
    for (wchar_t c : digits) {
      int h = HexValue(c);
      if (h < 0) return false;
      d = d * 16 + static_cast<unsigned>(h);
    }
    v.type = win::REG_DWORD;
    v.data.clear();
    for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<char>((d >> (8 * i)) & 0xFF));
    return true;
  }
  if (lower.rfind(L"hex:", 0) == 0) {
    v.type = win::REG_BINARY;
    return ParseHexBytes(line.substr(4), v.data);
  }
  if (lower.rfind(L"hex(", 0) == 0) {
    std::size_t close = line.find(L"):");
    if (close == std::wstring_view::npos || close == 4 || close > 12) return false;
    unsigned type = 0;
    for (wchar_t c : line.substr(4, close - 4)) {
      int h = HexValue(c);
      if (h < 0) return false;
      type = type * 16 + static_cast<unsigned>(h);
    }
    v.type = type;
    return ParseHexBytes(line.substr(close + 2), v.data);
  }
  return false;
}

std::wstring DecodeText(std::string_view bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    return text::FromUtf16Le(bytes.data() + 2, bytes.size() - 2);
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return text::FromUtf8(bytes);
}

}  // namespace

void ExportSubtree(sqlite3* db, KeyId key, const std::wstring& path, std::vector<RegFileKey>& out) {
  RegFileKey k;
  k.path = path;
  for (RegValue& v : regdb::Values(db, key)) k.values.push_back({std::move(v.name), false, v.type, std::move(v.data)});
  out.push_back(std::move(k));
  for (const std::wstring& child : regdb::Subkeys(db, key)) {
    ExportSubtree(db, regdb::Child(db, key, child), path + L"\\" + child, out);
  }
}

DWORD WriteRegFile(const std::vector<RegFileKey>& keys, std::string& bytes) {
  std::wstring out = std::wstring(kRegFileHeader) + L"\r\n\r\n";
  for (const RegFileKey& k : keys) {
    if (HasLineBreak(k.path)) return win::ERROR_INVALID_DATA;
    out += (k.remove ? L"[-" : L"[") + k.path + L"]\r\n";
    for (const RegFileValue& v : k.values) {
      if (HasLineBreak(v.name)) return win::ERROR_INVALID_DATA;
      out += ValueLine(v) + L"\r\n";
    }
    out += L"\r\n";
  }
  bytes = "\xFF\xFE" + text::ToUtf16Le(out);
  return win::ERROR_SUCCESS;
}

DWORD ParseRegFile(std::string_view bytes, std::vector<RegFileKey>& keys, std::size_t* badLine) {
  keys.clear();
  std::wstring textAll = DecodeText(bytes);
  std::vector<std::wstring> lines;
  std::size_t start = 0;
  while (start <= textAll.size()) {
    std::size_t end = textAll.find(L'\n', start);
    std::wstring line = textAll.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    lines.push_back(std::move(line));
    if (end == std::wstring::npos) break;
    start = end + 1;
  }
  auto fail = [&](std::size_t lineNo) {
    if (badLine) *badLine = lineNo;
    keys.clear();
    return win::ERROR_BADDB;
  };
  std::size_t i = 0;
  while (i < lines.size() && Trim(lines[i]).empty()) ++i;
  if (i == lines.size() || Trim(lines[i]) != kRegFileHeader) return fail(i + 1);
  for (++i; i < lines.size(); ++i) {
    std::size_t lineNo = i + 1;
    std::wstring line(Trim(lines[i]));
    if (line.empty() || line.front() == L';') continue;
    if (line.front() == L'[') {
      std::size_t close = line.rfind(L']');
      if (close == std::wstring::npos || close < 2) return fail(lineNo);
      RegFileKey k;
      k.remove = line[1] == L'-';
      k.path = line.substr(k.remove ? 2 : 1, close - (k.remove ? 2 : 1));
      keys.push_back(std::move(k));
      continue;
    }
    // Hex data continues over lines ending with a backslash.
    while (!line.empty() && line.back() == L'\\' && i + 1 < lines.size()) {
      line.pop_back();
      line += Trim(lines[++i]);
    }
    if (line.empty() || keys.empty() || keys.back().remove) return fail(lineNo);
    RegFileValue v;
    if (!ParseValue(line, v)) return fail(lineNo);
    keys.back().values.push_back(std::move(v));
  }
  return win::ERROR_SUCCESS;
}

DWORD ParseRootedPath(std::wstring_view path, RegRoot& root, std::vector<std::wstring>& names) {
  std::size_t cut = path.find(L'\\');
  std::wstring_view head = path.substr(0, cut);
  if (text::AsciiIEquals(head, L"HKEY_LOCAL_MACHINE") || text::AsciiIEquals(head, L"HKLM")) {
    root = RegRoot::Machine;
  } else if (text::AsciiIEquals(head, L"HKEY_USERS") || text::AsciiIEquals(head, L"HKU")) {
    root = RegRoot::Users;
  } else {
    return win::ERROR_BAD_PATHNAME;
  }
  if (cut == std::wstring_view::npos) {
    names.clear();
    return win::ERROR_SUCCESS;
  }
  return SplitKeyPath(path.substr(cut + 1), names);
}

std::wstring RootedPath(RegRoot root, const std::vector<std::wstring>& names) {
  std::wstring out = root == RegRoot::Machine ? L"HKEY_LOCAL_MACHINE" : L"HKEY_USERS";
  for (const std::wstring& n : names) out += L"\\" + n;
  return out;
}

DWORD ExportTree(Machine& machine, RegRoot root, const std::vector<std::wstring>& names,
                 std::vector<RegFileKey>& keys) {
  regdb::EnsureRegistry(machine);
  keys.clear();
  DWORD result = win::ERROR_SUCCESS;
  machine.Read([&](sqlite3* db) {
    sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
    try {
      // The path as stored, in the case each key was made with.
      std::vector<std::wstring> stored;
      KeyId key = regdb::RootKey(db, root);
      for (const std::wstring& n : names) {
        key = regdb::Child(db, key, n);
        if (!key) break;
        stored.push_back(regdb::NameOf(db, key));
      }
      if (key) {
        ExportSubtree(db, key, RootedPath(root, stored), keys);
      } else {
        result = win::ERROR_FILE_NOT_FOUND;
      }
    } catch (...) {
      sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
      throw;
    }
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
  });
  return result;
}

DWORD ImportKeys(Machine& machine, const std::vector<RegFileKey>& keys) {
  regdb::EnsureRegistry(machine);
  try {
    machine.Write([&](sqlite3* db) {
      for (const RegFileKey& k : keys) {
        RegRoot root;
        std::vector<std::wstring> names;
        if (DWORD e = ParseRootedPath(k.path, root, names)) throw Abort{e};
        KeyId key = regdb::RootKey(db, root);
        if (k.remove) {
          KeyId target = regdb::Walk(db, key, names);
          if (!target) continue;
          if (regdb::IsHiveRoot(db, target)) {
            throw Abort{win::ERROR_ACCESS_DENIED};
          }
          regdb::DeleteTree(db, target);
          continue;
        }
        if (names.empty() && !k.values.empty()) throw Abort{win::ERROR_ACCESS_DENIED};
        for (std::size_t i = 0; i < names.size(); ++i) {
          KeyId next = regdb::Child(db, key, names[i]);
          if (!next && i == 0) throw Abort{win::ERROR_ACCESS_DENIED};
          key = next ? next : regdb::CreateChild(db, key, names[i], nullptr);
        }
        for (const RegFileValue& v : k.values) {
          if (v.name.size() > kMaxValueName) throw Abort{win::ERROR_INVALID_PARAMETER};
          if (v.remove) {
            regdb::DeleteValue(db, key, v.name);
          } else {
            regdb::SetValue(db, key, v.name, v.type, v.data);
          }
        }
      }
    });
  } catch (const Abort& a) {
    return a.error;
  }
  return win::ERROR_SUCCESS;
}

}  // namespace zv::platform
