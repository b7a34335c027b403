// Drive paths of the machine as the restore tool handles them.
//
// Owns: parsing deletion-log lines and folder options into a drive letter
// and plain components, refusing anything that is not an absolute drive
// path (relative forms, ".", "..", empty components, device or UNC forms);
// the "\\?\X:\..." text and the case-blind key used to merge lines.
// Must not: touch files (file_steps.h does that).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zv::tools::restore {

struct MachinePath {
  wchar_t drive = 0;  // upper case 'A'..'Z'
  std::vector<std::wstring> parts;

  // "\\?\X:\a\b" ("\\?\X:\" for the root).
  std::wstring Text() const;
  // Text lower-cased (ASCII): lines that differ only in case are one path.
  std::wstring Key() const;
  bool IsRoot() const { return parts.empty(); }
  // True when this path is `other` or lies below it (case-blind).
  bool Within(const MachinePath& other) const;
  MachinePath Child(const std::wstring& name) const;
  MachinePath Parent() const;
  // `under` + drive letter + parts: the layout of the backup tree and the
  // quarantine.
  MachinePath MirroredUnder(const MachinePath& under) const;
};

// A deletion-log line: exactly "\\?\X:\" followed by one or more non-empty
// components, none of them "." or "..", and no '/'. False with the reason
// otherwise.
bool ParseLogLine(std::wstring_view line, MachinePath& out, std::string& reason);

// A folder given on the command line: "X:\a\b", "X:/a/b" or "\\?\X:\a\b",
// with or without a trailing separator; the same component rules.
bool ParseFolder(std::wstring_view text, MachinePath& out, std::string& reason);

}  // namespace zv::tools::restore
