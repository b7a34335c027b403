// 8.3 aliases: see short_names.h.
#include "platform/files/short_names.h"

#include <sys/stat.h>

#include <set>

#include "platform/files/paths.h"
#include "platform/base/text.h"
#include "platform/files/volumes.h"

namespace zv::platform {
namespace {

bool Is83Char(wchar_t c) {
  if (c >= L'0' && c <= L'9') return true;
  wchar_t u = text::AsciiUpper(c);
  if (u >= L'A' && u <= L'Z') return true;
  return std::wstring_view(L"!#$%&'()-@^_`{}~").find(c) != std::wstring_view::npos;
}

// The characters of a part as an alias holds them: upper case, spaces and
// dots dropped, other characters outside the 8.3 set become '_'.
std::wstring AliasChars(std::wstring_view part) {
  std::wstring out;
  for (wchar_t c : part) {
    if (c == L' ' || c == L'.') continue;
    out += Is83Char(c) ? text::AsciiUpper(c) : L'_';
  }
  return out;
}

}  // namespace

bool ShortNames::IsValid83(std::wstring_view name) {
  if (name.empty() || name.size() > 12) return false;
  std::size_t dot = name.find(L'.');
  std::wstring_view base = name.substr(0, dot);
  std::wstring_view ext = dot == std::wstring_view::npos ? std::wstring_view() : name.substr(dot + 1);
  if (base.empty() || base.size() > 8) return false;
  if (dot != std::wstring_view::npos && (ext.empty() || ext.size() > 3)) return false;
  for (wchar_t c : base) {
    if (!Is83Char(c)) return false;
  }
  for (wchar_t c : ext) {
    if (!Is83Char(c)) return false;
  }
  return true;
}

bool ShortNames::LooksLikeAlias(std::wstring_view name) {
  return name.find(L'~') != std::wstring_view::npos && IsValid83(name);
}

std::wstring ShortNames::MakeAlias(std::wstring_view longName, int n) {
  std::wstring_view name = longName;
  while (!name.empty() && name.front() == L'.') name.remove_prefix(1);
  std::size_t dot = name.rfind(L'.');
  std::wstring base = AliasChars(name.substr(0, dot));
  std::wstring ext = dot == std::wstring_view::npos ? std::wstring() : AliasChars(name.substr(dot + 1));
  if (base.empty()) base = L"_";
  std::wstring number = L"~" + std::to_wstring(n);
  std::size_t keep = number.size() >= 8 ? 1 : 8 - number.size();
  if (keep > 6) keep = 6;
  std::wstring alias = base.substr(0, keep) + number;
  if (!ext.empty()) alias += L"." + ext.substr(0, 3);
  return alias;
}

std::string ShortNames::FolderKey(const std::string& hostDir) {
  VolumeTable volumes(machine_);
  const std::string& root = volumes.VolumesFolder();
  if (hostDir.size() > root.size() && hostDir.compare(0, root.size(), root) == 0 && hostDir[root.size()] == '/') {
    return hostDir.substr(root.size() + 1);
  }
  return hostDir;
}

std::map<std::string, std::wstring> ShortNames::AliasesFor(const std::string& hostDir,
                                                           const std::vector<std::string>& hostNames) {
  std::map<std::string, std::wstring> out;
  std::vector<std::string> wanted;
  for (const std::string& n : hostNames) {
    if (!IsValid83(text::FromHostName(n))) wanted.push_back(n);
  }
  if (wanted.empty()) return out;
  std::string key = FolderKey(hostDir);

  auto readKnown = [&](sqlite3* db) {
    Statement q(db, "SELECT long_name, alias FROM short_names WHERE folder = ?;");
    q.Bind(1, key);
    std::map<std::string, std::wstring> known;
    while (q.Step()) known[q.Text(0)] = text::FromUtf8(q.Text(1));
    return known;
  };
  bool missing = false;
  machine_->Read([&](sqlite3* db) {
    auto known = readKnown(db);
    for (const std::string& n : wanted) {
      auto it = known.find(n);
      if (it == known.end()) {
        missing = true;
      } else {
        out[n] = it->second;
      }
    }
  });
  if (!missing) return out;

  // Real entries of the folder: an alias never takes a name that exists.
  std::set<std::wstring> taken;
  std::vector<std::string> entries;
  if (ListHostFolder(*machine_, hostDir, entries)) {
    for (const std::string& e : entries) taken.insert(text::AsciiUpperCopy(text::FromHostName(e)));
  }
  machine_->Write([&](sqlite3* db) {
    auto known = readKnown(db);  // another process may have handed some out meanwhile
    for (const auto& [longName, alias] : known) taken.insert(text::AsciiUpperCopy(alias));
    Statement ins(db, "INSERT INTO short_names(folder, long_name, alias) VALUES(?, ?, ?);");
    for (const std::string& n : wanted) {
      auto it = known.find(n);
      if (it != known.end()) {
        out[n] = it->second;
        continue;
      }
      std::wstring longName = text::FromHostName(n);
      for (int number = 1; number < 1000000; ++number) {
        std::wstring alias = MakeAlias(longName, number);
        if (taken.count(alias)) continue;
        ins.Reset();
        ins.Bind(1, key).Bind(2, n).Bind(3, text::ToUtf8(alias)).Run();
        taken.insert(alias);
        out[n] = alias;
        break;
      }
    }
  });
  return out;
}

std::wstring ShortNames::AliasFor(const std::string& hostDir, const std::string& hostName) {
  auto all = AliasesFor(hostDir, {hostName});
  auto it = all.find(hostName);
  return it == all.end() ? std::wstring() : it->second;
}

std::optional<std::string> ShortNames::LongNameOf(const std::string& hostDir, std::wstring_view alias) {
  std::optional<std::string> out;
  std::string key = FolderKey(hostDir);
  machine_->Read([&](sqlite3* db) {
    Statement q(db, "SELECT long_name FROM short_names WHERE folder = ? AND alias = ?;");
    if (q.Bind(1, key).Bind(2, text::ToUtf8(alias)).Step()) out = q.Text(0);
  });
  if (out) {
    struct stat st;
    if (::lstat((hostDir + "/" + *out).c_str(), &st) != 0) out.reset();
  }
  return out;
}

void ShortNames::Forget(const std::string& hostDir, const std::string& hostName) {
  std::string key = FolderKey(hostDir);
  machine_->Write([&](sqlite3* db) {
    Statement q(db, "DELETE FROM short_names WHERE folder = ? AND long_name = ?;");
    q.Bind(1, key).Bind(2, hostName).Run();
  });
}

}  // namespace zv::platform
