// Profile files: see profile.h.
#include "platform/files/profile.h"

#include <vector>

#include "platform/files/file_api.h"
#include "platform/base/handles.h"
#include "platform/base/text.h"

namespace zv::platform {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\v' || c == L'\f'; }

std::wstring_view Trim(std::wstring_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::wstring Decode(const std::string& bytes) {
  auto starts = [&](std::string_view mark) { return bytes.compare(0, mark.size(), mark) == 0; };
  if (starts("\xFF\xFE")) return text::FromUtf16Le(bytes.data() + 2, bytes.size() - 2);
  if (starts("\xFE\xFF")) {
    std::string swapped = bytes.substr(2);
    for (std::size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
    return text::FromUtf16Le(swapped.data(), swapped.size());
  }
  if (starts("\xEF\xBB\xBF")) return text::FromUtf8(std::string_view(bytes).substr(3));
  return text::FromAnsi(bytes);
}

int DigitValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'z') return c - L'a' + 10;
  if (c >= L'A' && c <= L'Z') return c - L'A' + 10;
  return 99;
}

}  // namespace

std::optional<std::wstring> ReadProfileFile(std::wstring_view fileName) {
  std::wstring path(fileName);
  if (path.find_first_of(L"\\/:") == std::wstring::npos) path = L"C:\\Windows\\" + path;
  FileApi& files = Files::Get();
  win::HANDLE file = files.CreateFileW(path.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE,
                                       nullptr, win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == win::INVALID_HANDLE_VALUE || file == nullptr) return std::nullopt;
  std::string bytes;
  std::vector<char> chunk(64 * 1024);
  for (;;) {
    win::DWORD got = 0;
    if (!files.ReadFile(file, chunk.data(), static_cast<win::DWORD>(chunk.size()), &got, nullptr) || got == 0) break;
    bytes.append(chunk.data(), got);
  }
  CloseHandle(file);
  return Decode(bytes);
}

std::optional<std::wstring> FindProfileValue(std::wstring_view fileText, std::wstring_view section,
                                             std::wstring_view key) {
  section = Trim(section);
  key = Trim(key);
  bool inSection = false;
  std::size_t pos = 0;
  while (pos <= fileText.size()) {
    std::size_t end = fileText.find_first_of(L"\r\n", pos);
    if (end == std::wstring_view::npos) end = fileText.size();
    std::wstring_view line = Trim(fileText.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line.front() == L';') continue;
    if (line.front() == L'[') {
      std::size_t close = line.find(L']');
      std::wstring_view name = line.substr(1, close == std::wstring_view::npos ? std::wstring_view::npos : close - 1);
      inSection = text::AsciiIEquals(Trim(name), section);
      continue;
    }
    if (!inSection) continue;
    std::size_t eq = line.find(L'=');
    std::wstring_view name = Trim(line.substr(0, eq));
    if (!text::AsciiIEquals(name, key)) continue;
    std::wstring_view value = eq == std::wstring_view::npos ? std::wstring_view() : Trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') && value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return std::wstring(value);
  }
  return std::nullopt;
}

win::UINT ParseProfileInt(std::wstring_view value) {
  std::size_t i = 0;
  while (i < value.size() && value[i] <= L' ') ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == L'+' || value[i] == L'-')) negative = value[i++] == L'-';
  unsigned base = 10;
  if (i + 1 < value.size() && value[i] == L'0') {
    wchar_t p = text::AsciiLower(value[i + 1]);
    if (p == L'x') base = 16;
    if (p == L'o') base = 8;
    if (p == L'b') base = 2;
    if (base != 10) i += 2;
  }
  win::UINT result = 0;
  for (; i < value.size(); ++i) {
    int d = DigitValue(value[i]);
    if (d >= static_cast<int>(base)) break;
    result = result * base + static_cast<win::UINT>(d);  // wraps as the run time does
  }
  return negative ? 0u - result : result;
}

win::UINT GetPrivateProfileIntW(const win::WCHAR* section, const win::WCHAR* key, int defaultValue,
                                const win::WCHAR* fileName) {
  const auto fallback = static_cast<win::UINT>(defaultValue);
  if (section == nullptr || key == nullptr || fileName == nullptr) return fallback;
  std::optional<std::wstring> text = ReadProfileFile(fileName);
  if (!text) return fallback;
  std::optional<std::wstring> value = FindProfileValue(*text, section, key);
  if (!value || value->empty()) return fallback;
  return ParseProfileInt(*value);
}

}  // namespace zv::platform
