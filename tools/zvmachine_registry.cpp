// The registry commands of zvmachine:
//   zvmachine reg query KEY [/v NAME | /ve] [/s] [/reg:32 | /reg:64]
//   zvmachine reg set KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/reg:32 | /reg:64]
//   zvmachine reg delete KEY [/v NAME | /ve] [/reg:32 | /reg:64]
//   zvmachine reg import FILE
//   zvmachine reg export KEY FILE [/reg:32 | /reg:64]
//
// Owns: parsing and printing of the registry commands on Machine::Current().
// KEY is HKEY_LOCAL_MACHINE\... or HKEY_USERS\... (HKLM, HKU). The native
// view is the default; /reg:32 reads and writes the 32-bit view of
// HKLM\SOFTWARE on an x64 machine. FILE is a host file in the registry
// editor's text form.
// Must not: change the registry except through platform/registry.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "platform/base/text.h"
#include "platform/registry/reg_file.h"
#include "platform/registry/registry_api.h"
#include "platform/registry/registry_store.h"
#include "tools/zvmachine_commands.h"

namespace zv::tools {
namespace {

using platform::Machine;
using platform::RegFileKey;
using platform::RegFileValue;
using platform::RegRoot;

int RegUsage() {
  std::fputs(
      "usage: zvmachine reg query KEY [/v NAME | /ve] [/s] [/reg:32 | /reg:64]\n"
      "       zvmachine reg set KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/reg:32 | /reg:64]\n"
      "       zvmachine reg delete KEY [/v NAME | /ve] [/reg:32 | /reg:64]\n"
      "       zvmachine reg import FILE\n"
      "       zvmachine reg export KEY FILE [/reg:32 | /reg:64]\n"
      "KEY: HKEY_LOCAL_MACHINE\\... or HKEY_USERS\\... (HKLM, HKU). TYPE: REG_SZ (default),\n"
      "REG_EXPAND_SZ, REG_MULTI_SZ (items separated by \\0), REG_DWORD, REG_QWORD (decimal or\n"
      "0x hex), REG_BINARY, REG_NONE (hex digits).\n",
      stderr);
  return kUsage;
}

struct Options {
  std::wstring key;
  std::vector<std::string> positional;
  bool hasValue = false;
  std::wstring value;  // empty with hasValue: the default value
  bool recursive = false;
  bool view32 = false;
  std::string type = "REG_SZ";
  bool hasData = false;
  std::string data;
};

void ParseOptions(const std::vector<std::string>& args, Options& o) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string lower = text::ToUtf8(text::AsciiLowerCopy(text::FromUtf8(a)));
    if (lower == "/v" && i + 1 < args.size()) {
      o.hasValue = true;
      o.value = text::FromUtf8(args[++i]);
    } else if (lower == "/ve") {
      o.hasValue = true;
      o.value.clear();
    } else if (lower == "/s") {
      o.recursive = true;
    } else if (lower == "/reg:32" || lower == "/reg:64") {
      o.view32 = lower == "/reg:32";
    } else if (lower == "/t" && i + 1 < args.size()) {
      o.type = text::ToUtf8(text::AsciiUpperCopy(text::FromUtf8(args[++i])));
    } else if (lower == "/d" && i + 1 < args.size()) {
      o.hasData = true;
      o.data = args[++i];
    } else {
      o.positional.push_back(a);  // host files may start with '/'
    }
  }
}

// The physical path of KEY in the view asked for.
win::DWORD Locate(Machine& m, const std::string& key, bool view32, RegRoot& root, std::vector<std::wstring>& names) {
  if (win::DWORD e = platform::ParseRootedPath(text::FromUtf8(key), root, names)) return e;
  if (view32 && root == RegRoot::Machine && platform::ShapeOf(m).x64) names = platform::RedirectTo32(names);
  return win::ERROR_SUCCESS;
}

const char* TypeName(win::DWORD type) {
  switch (type) {
    case win::REG_NONE: return "REG_NONE";
    case win::REG_SZ: return "REG_SZ";
    case win::REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case win::REG_BINARY: return "REG_BINARY";
    case win::REG_DWORD: return "REG_DWORD";
    case win::REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case win::REG_LINK: return "REG_LINK";
    case win::REG_MULTI_SZ: return "REG_MULTI_SZ";
    case win::REG_QWORD: return "REG_QWORD";
    default: return nullptr;
  }
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char buf[4];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02X", c);
    out += buf;
  }
  return out;
}

std::string Shown(const RegFileValue& v) {
  auto number = [&](std::size_t size) {
    unsigned long long n = 0;
    for (std::size_t i = size; i-- > 0;) n = (n << 8) | static_cast<unsigned char>(v.data[i]);
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", n);
    return std::string(buf);
  };
  if (v.type == win::REG_DWORD && v.data.size() == 4) return number(4);
  if (v.type == win::REG_QWORD && v.data.size() == 8) return number(8);
  if (v.type == win::REG_SZ || v.type == win::REG_EXPAND_SZ || v.type == win::REG_MULTI_SZ) {
    std::wstring s = text::FromUtf16Le(v.data.data(), v.data.size());
    while (!s.empty() && s.back() == 0) s.pop_back();
    std::wstring shown;
    for (wchar_t c : s) shown += c ? std::wstring(1, c) : std::wstring(L"\\0");
    return text::ToUtf8(shown);
  }
  return Hex(v.data);
}

void PrintKey(const RegFileKey& k, const Options& o) {
  Out(k.path);
  for (const RegFileValue& v : k.values) {
    if (o.hasValue && !text::AsciiIEquals(v.name, o.value)) continue;
    const char* type = TypeName(v.type);
    std::string typeText = type ? type : "0x" + Hex(std::string{static_cast<char>(v.type >> 24), static_cast<char>(v.type >> 16),
                                                                 static_cast<char>(v.type >> 8), static_cast<char>(v.type)});
    std::printf("    %s    %s    %s\n", v.name.empty() ? "(Default)" : text::ToUtf8(v.name).c_str(), typeText.c_str(),
                Shown(v).c_str());
  }
  std::printf("\n");
}

int Query(Machine& m, const Options& o) {
  RegRoot root;
  std::vector<std::wstring> names;
  if (win::DWORD e = Locate(m, o.positional[0], o.view32, root, names)) return Win32Failure("reg query", e);
  std::vector<RegFileKey> keys;
  if (win::DWORD e = platform::ExportTree(m, root, names, keys)) return Win32Failure("reg query", e);
  if (o.hasValue) {
    bool found = false;
    for (const RegFileValue& v : keys[0].values) found = found || text::AsciiIEquals(v.name, o.value);
    if (!found) return Win32Failure("reg query", win::ERROR_FILE_NOT_FOUND);
  }
  if (o.recursive) {
    for (const RegFileKey& k : keys) PrintKey(k, o);
    return kOk;
  }
  PrintKey(keys[0], o);
  if (!o.hasValue) {
    // The direct subkeys, by their full paths.
    std::size_t depth = std::count(keys[0].path.begin(), keys[0].path.end(), L'\\');
    for (std::size_t i = 1; i < keys.size(); ++i) {
      if (static_cast<std::size_t>(std::count(keys[i].path.begin(), keys[i].path.end(), L'\\')) == depth + 1) {
        Out(keys[i].path);
      }
    }
  }
  return kOk;
}

bool ParseUnsigned(const std::string& s, unsigned long long max, unsigned long long& out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  out = std::strtoull(s.c_str(), &end, s.rfind("0x", 0) == 0 || s.rfind("0X", 0) == 0 ? 16 : 10);
  return errno == 0 && end && *end == '\0' && out <= max && s[0] != '-';
}

bool DataOf(const Options& o, RegFileValue& v) {
  auto le = [](unsigned long long n, int size) {
    std::string s;
    for (int i = 0; i < size; ++i) s.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
    return s;
  };
  std::wstring wide = text::FromUtf8(o.data);
  if (o.type == "REG_SZ" || o.type == "REG_EXPAND_SZ") {
    v.type = o.type == "REG_SZ" ? win::REG_SZ : win::REG_EXPAND_SZ;
    v.data = text::ToUtf16Le(wide + L'\0');
  } else if (o.type == "REG_MULTI_SZ") {
    std::wstring items;
    for (std::size_t i = 0; i < wide.size(); ++i) {
      if (wide[i] == L'\\' && i + 1 < wide.size() && wide[i + 1] == L'0') {
        items.push_back(0);
        ++i;
      } else {
        items.push_back(wide[i]);
      }
    }
    if (!items.empty()) items.push_back(0);
    items.push_back(0);
    v.type = win::REG_MULTI_SZ;
    v.data = text::ToUtf16Le(items);
  } else if (o.type == "REG_DWORD" || o.type == "REG_QWORD") {
    unsigned long long n = 0;
    bool dword = o.type == "REG_DWORD";
    if (!ParseUnsigned(o.hasData ? o.data : "0", dword ? 0xFFFFFFFFull : ~0ull, n)) return false;
    v.type = dword ? win::REG_DWORD : win::REG_QWORD;
    v.data = le(n, dword ? 4 : 8);
  } else if (o.type == "REG_BINARY" || o.type == "REG_NONE") {
    if (o.data.size() % 2 || o.data.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    v.type = o.type == "REG_BINARY" ? win::REG_BINARY : win::REG_NONE;
    v.data.clear();
    for (std::size_t i = 0; i < o.data.size(); i += 2) {
      v.data.push_back(static_cast<char>(std::stoi(o.data.substr(i, 2), nullptr, 16)));
    }
  } else {
    return false;
  }
  return true;
}

int Set(Machine& m, const Options& o) {
  RegRoot root;
  std::vector<std::wstring> names;
  if (win::DWORD e = Locate(m, o.positional[0], o.view32, root, names)) return Win32Failure("reg set", e);
  RegFileKey key{platform::RootedPath(root, names), false, {}};
  if (o.hasValue) {
    RegFileValue v;
    v.name = o.value;
    if (!DataOf(o, v)) return Usage("bad type or data for reg set");
    key.values.push_back(std::move(v));
  } else if (o.hasData) {
    return Usage("reg set: /d needs /v or /ve");
  }
  if (win::DWORD e = platform::ImportKeys(m, {key})) return Win32Failure("reg set", e);
  return kOk;
}

int Delete(Machine& m, const Options& o) {
  RegRoot root;
  std::vector<std::wstring> names;
  if (win::DWORD e = Locate(m, o.positional[0], o.view32, root, names)) return Win32Failure("reg delete", e);
  std::vector<RegFileKey> existing;
  if (win::DWORD e = platform::ExportTree(m, root, names, existing)) return Win32Failure("reg delete", e);
  RegFileKey key{platform::RootedPath(root, names), !o.hasValue, {}};
  if (o.hasValue) {
    bool found = false;
    for (const RegFileValue& v : existing[0].values) found = found || text::AsciiIEquals(v.name, o.value);
    if (!found) return Win32Failure("reg delete", win::ERROR_FILE_NOT_FOUND);
    key.values.push_back({o.value, true, 0, {}});
  }
  if (win::DWORD e = platform::ImportKeys(m, {key})) return Win32Failure("reg delete", e);
  return kOk;
}

int Import(Machine& m, const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return Win32Failure("reg import (cannot read " + file + ")", win::ERROR_FILE_NOT_FOUND);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  std::vector<RegFileKey> keys;
  std::size_t line = 0;
  if (win::DWORD e = platform::ParseRegFile(bytes, keys, &line)) {
    return Win32Failure("reg import (line " + std::to_string(line) + ")", e);
  }
  if (win::DWORD e = platform::ImportKeys(m, keys)) return Win32Failure("reg import", e);
  return kOk;
}

int Export(Machine& m, const Options& o) {
  RegRoot root;
  std::vector<std::wstring> names;
  if (win::DWORD e = Locate(m, o.positional[0], o.view32, root, names)) return Win32Failure("reg export", e);
  std::vector<RegFileKey> keys;
  if (win::DWORD e = platform::ExportTree(m, root, names, keys)) return Win32Failure("reg export", e);
  std::string bytes;
  if (win::DWORD e = platform::WriteRegFile(keys, bytes)) return Win32Failure("reg export", e);
  std::ofstream out(o.positional[1], std::ios::binary | std::ios::trunc);
  if (!(out << bytes) || !out.flush()) return Win32Failure("reg export (cannot write " + o.positional[1] + ")", win::ERROR_CANTWRITE);
  return kOk;
}

}  // namespace

int RunRegCommand(const std::vector<std::string>& args) {
  if (args.empty()) return RegUsage();
  Options o;
  std::vector<std::string> rest(args.begin() + 1, args.end());
  ParseOptions(rest, o);
  auto m = Machine::Current();
  const std::string& verb = args[0];
  if (verb == "query" && o.positional.size() == 1) return Query(*m, o);
  if (verb == "set" && o.positional.size() == 1) return Set(*m, o);
  if (verb == "delete" && o.positional.size() == 1) return Delete(*m, o);
  if (verb == "import" && o.positional.size() == 1 && !o.hasValue) return Import(*m, o.positional[0]);
  if (verb == "export" && o.positional.size() == 2 && !o.hasValue) return Export(*m, o);
  return RegUsage();
}

}  // namespace zv::tools
