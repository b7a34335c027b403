// Drive paths of the restore tool: parsing, text and keys. No file access.
#include "tools/zvrestore/machine_path.h"

#include "platform/base/text.h"

namespace zv::tools::restore {
namespace {

bool IsLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// Splits the part after "X:\" into components.
bool SplitComponents(std::wstring_view rest, wchar_t separator2, bool allowTrailing, MachinePath& out,
                     std::string& reason) {
  out.parts.clear();
  if (allowTrailing) {
    while (!rest.empty() && (rest.back() == L'\\' || rest.back() == separator2)) rest.remove_suffix(1);
  }
  if (rest.empty()) return true;
  std::size_t start = 0;
  while (true) {
    std::size_t end = rest.find_first_of(separator2 ? std::wstring{L'\\', separator2} : std::wstring{L'\\'}, start);
    std::wstring_view part = rest.substr(start, end == std::wstring_view::npos ? std::wstring_view::npos : end - start);
    if (part.empty()) return reason = "an empty component", false;
    if (part == L"." || part == L"..") return reason = "a \".\" or \"..\" component", false;
    if (part.find(L'/') != std::wstring_view::npos) return reason = "a '/' inside a component", false;
    if (part.find(L'\0') != std::wstring_view::npos) return reason = "a NUL character", false;
    out.parts.emplace_back(part);
    if (end == std::wstring_view::npos) break;
    start = end + 1;
  }
  return true;
}

}  // namespace

std::wstring MachinePath::Text() const {
  std::wstring text = L"\\\\?\\";
  text += drive;
  text += L":\\";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) text += L'\\';
    text += parts[i];
  }
  return text;
}

std::wstring MachinePath::Key() const { return text::AsciiLowerCopy(Text()); }

bool MachinePath::Within(const MachinePath& other) const {
  if (text::AsciiLower(drive) != text::AsciiLower(other.drive) || parts.size() < other.parts.size()) return false;
  for (std::size_t i = 0; i < other.parts.size(); ++i) {
    if (!text::AsciiIEquals(parts[i], other.parts[i])) return false;
  }
  return true;
}

MachinePath MachinePath::Child(const std::wstring& name) const {
  MachinePath child = *this;
  child.parts.push_back(name);
  return child;
}

MachinePath MachinePath::Parent() const {
  MachinePath parent = *this;
  if (!parent.parts.empty()) parent.parts.pop_back();
  return parent;
}

MachinePath MachinePath::MirroredUnder(const MachinePath& under) const {
  MachinePath mirrored = under;
  mirrored.parts.push_back(std::wstring(1, drive));
  mirrored.parts.insert(mirrored.parts.end(), parts.begin(), parts.end());
  return mirrored;
}

bool ParseLogLine(std::wstring_view line, MachinePath& out, std::string& reason) {
  if (line.size() < 7 || line.substr(0, 4) != L"\\\\?\\" || !IsLetter(line[4]) || line[5] != L':' ||
      line[6] != L'\\') {
    return reason = "not a \\\\?\\X:\\ path", false;
  }
  out.drive = text::AsciiUpper(line[4]);
  if (!SplitComponents(line.substr(7), 0, false, out, reason)) return false;
  if (out.parts.empty()) return reason = "a drive root", false;
  return true;
}

bool ParseFolder(std::wstring_view text, MachinePath& out, std::string& reason) {
  if (text.size() >= 4 && text.substr(0, 4) == L"\\\\?\\") {
    text.remove_prefix(4);
    if (text.size() < 3 || !IsLetter(text[0]) || text[1] != L':' || text[2] != L'\\') {
      return reason = "not a drive path", false;
    }
    out.drive = text::AsciiUpper(text[0]);
    return SplitComponents(text.substr(3), 0, true, out, reason);
  }
  if (text.size() < 3 || !IsLetter(text[0]) || text[1] != L':' || (text[2] != L'\\' && text[2] != L'/')) {
    return reason = "not an absolute drive path (X:\\...)", false;
  }
  out.drive = text::AsciiUpper(text[0]);
  return SplitComponents(text.substr(3), L'/', true, out, reason);
}

}  // namespace zv::tools::restore
