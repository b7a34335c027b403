// 8.3 short names of the machine's files and folders.
//
// Owns: the rules for valid 8.3 names and for making an alias (PROGRA~1),
// and the short_names table of machine.db that keeps every alias handed out,
// per host folder. An alias is made when first needed (a listing, a short
// path), is never renumbered, and a new entry takes the next number free in
// its folder; a real entry named like an alias always wins.
// Must not: parse DOS paths (paths.h) or open files.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files/machine.h"

namespace zv::platform {

class ShortNames {
 public:
  // A name that needs no alias: 1-8 characters, optionally a dot and 1-3
  // more, from the 8.3 character set (letter case does not matter).
  static bool IsValid83(std::wstring_view name);
  // The alias with number n for a long name: up to six upper-case valid
  // characters (fewer for larger numbers), "~n", then up to three characters
  // of the extension.
  static std::wstring MakeAlias(std::wstring_view longName, int n);
  // Looks like an alias someone might type: contains '~' and is a valid 8.3
  // name.
  static bool LooksLikeAlias(std::wstring_view name);

  explicit ShortNames(std::shared_ptr<Machine> machine) : machine_(std::move(machine)) {}

  // The aliases of entries of hostDir (canonical host folder below the
  // volumes folder), made now for those that have none. Names that are
  // valid 8.3 names get none. Keys and values: host names and aliases.
  std::map<std::string, std::wstring> AliasesFor(const std::string& hostDir, const std::vector<std::string>& hostNames);
  std::wstring AliasFor(const std::string& hostDir, const std::string& hostName);
  // The host name an alias stands for in hostDir, when that entry still
  // exists.
  std::optional<std::string> LongNameOf(const std::string& hostDir, std::wstring_view alias);
  // Drops the alias of an entry that was deleted or renamed away.
  void Forget(const std::string& hostDir, const std::string& hostName);

 private:
  std::string FolderKey(const std::string& hostDir);
  std::shared_ptr<Machine> machine_;
};

}  // namespace zv::platform
