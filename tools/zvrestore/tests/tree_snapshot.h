// Test helper: a drive's tree as the restore tests compare it: every entry
// below a host folder with its kind, bytes, Windows attributes (through the
// machine's file API) and host mode.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "platform/base/text.h"
#include "platform/files/file_api.h"

namespace zv::tools::restore::testing {

struct EntryState {
  bool folder = false;
  std::string bytes;
  unsigned attributes = 0;
  unsigned mode = 0;
  bool operator==(const EntryState&) const = default;
};
using Tree = std::map<std::string, EntryState>;

// host: the host folder of `dos` (a DOS folder such as "C:\" or "C:\qd\quarantine\C").
// Entries whose path starts with one of `skip` are left out.
inline Tree Snapshot(const std::filesystem::path& host, const std::string& dos,
                     std::initializer_list<std::string> skip = {}) {
  namespace fs = std::filesystem;
  Tree tree;
  if (!fs::exists(host)) return tree;
  for (auto it = fs::recursive_directory_iterator(host); it != fs::recursive_directory_iterator(); ++it) {
    std::string rel = fs::relative(it->path(), host).string();
    bool skipped = false;
    for (const std::string& s : skip) skipped = skipped || rel == s || rel.rfind(s + "/", 0) == 0;
    if (skipped) {
      if (it->is_directory()) it.disable_recursion_pending();
      continue;
    }
    EntryState e;
    struct stat st;
    ::lstat(it->path().c_str(), &st);
    e.folder = S_ISDIR(st.st_mode);
    e.mode = st.st_mode & 07777;
    std::string winPath = dos + rel;
    for (char& c : winPath) c = c == '/' ? '\\' : c;
    e.attributes = platform::Files::Get().GetFileAttributesW(text::FromUtf8(winPath).c_str());
    if (!e.folder) {
      std::ifstream f(it->path(), std::ios::binary);
      std::stringstream s;
      s << f.rdbuf();
      e.bytes = s.str();
    }
    tree[rel] = e;
  }
  return tree;
}

// The entries that differ, one line each ("" when the trees are equal).
inline std::string Differences(const Tree& got, const Tree& want) {
  std::string out;
  auto describe = [](const EntryState& e) {
    return (e.folder ? std::string("folder") : "file \"" + e.bytes + "\"") + " attributes " +
           std::to_string(e.attributes) + " mode " + std::to_string(e.mode);
  };
  for (const auto& [rel, state] : want) {
    auto it = got.find(rel);
    if (it == got.end()) out += "missing " + rel + "\n";
    else if (!(it->second == state)) out += rel + ": " + describe(it->second) + ", wanted " + describe(state) + "\n";
  }
  for (const auto& [rel, state] : got) {
    if (!want.count(rel)) out += "extra " + rel + "\n";
  }
  return out;
}

}  // namespace zv::tools::restore::testing
