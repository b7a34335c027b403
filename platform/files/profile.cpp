// Profile files: see profile.h.
#include "platform/files/profile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"
#include "platform/files/machine.h"
#include "platform/files/paths.h"

namespace zv::platform {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\v' || c == L'\f'; }

std::wstring_view Trim(std::wstring_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

enum class Encoding { Ansi, Utf16Le, Utf16Be, Utf8 };

Encoding EncodingOf(const std::string& bytes) {
  auto starts = [&](std::string_view mark) { return bytes.compare(0, mark.size(), mark) == 0; };
  if (starts("\xFF\xFE")) return Encoding::Utf16Le;
  if (starts("\xFE\xFF")) return Encoding::Utf16Be;
  if (starts("\xEF\xBB\xBF")) return Encoding::Utf8;
  return Encoding::Ansi;
}

void SwapPairs(std::string& bytes) {
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) std::swap(bytes[i], bytes[i + 1]);
}

std::wstring Decode(const std::string& bytes) {
  switch (EncodingOf(bytes)) {
    case Encoding::Utf16Le:
      return text::FromUtf16Le(bytes.data() + 2, bytes.size() - 2);
    case Encoding::Utf16Be: {
      std::string swapped = bytes.substr(2);
      SwapPairs(swapped);
      return text::FromUtf16Le(swapped.data(), swapped.size());
    }
    case Encoding::Utf8:
      return text::FromUtf8(std::string_view(bytes).substr(3));
    case Encoding::Ansi:
      break;
  }
  return text::FromAnsi(bytes);
}

std::string Encode(const std::wstring& content, Encoding encoding) {
  switch (encoding) {
    case Encoding::Utf16Le:
      return "\xFF\xFE" + text::ToUtf16Le(content);
    case Encoding::Utf16Be: {
      std::string bytes = text::ToUtf16Le(content);
      SwapPairs(bytes);
      return "\xFE\xFF" + bytes;
    }
    case Encoding::Utf8:
      return "\xEF\xBB\xBF" + text::ToUtf8(content);
    case Encoding::Ansi:
      break;
  }
  return text::ToAnsi(content);
}

std::wstring ProfilePath(std::wstring_view fileName) {
  std::wstring path(fileName);
  if (path.find_first_of(L"\\/:") == std::wstring::npos) path = L"C:\\Windows\\" + path;
  return path;
}

// The raw bytes of a file; nothing when it cannot be opened.
std::optional<std::string> ReadBytes(const std::wstring& path) {
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
  return bytes;
}

// A profile file's lines, for editing.
struct Lines {
  std::vector<std::wstring> lines;

  explicit Lines(const std::wstring& content) {
    std::size_t pos = 0;
    while (pos < content.size()) {
      std::size_t end = content.find(L'\n', pos);
      if (end == std::wstring::npos) end = content.size();
      std::wstring line = content.substr(pos, end - pos);
      if (!line.empty() && line.back() == L'\r') line.pop_back();
      lines.push_back(std::move(line));
      pos = end + 1;
    }
  }

  std::wstring Text() const {
    std::wstring out;
    for (const std::wstring& line : lines) out += line + L"\r\n";
    return out;
  }

  static bool IsSection(std::wstring_view line) { return !line.empty() && line.front() == L'['; }
  static std::wstring_view SectionName(std::wstring_view line) {
    std::size_t close = line.find(L']');
    return Trim(line.substr(1, close == std::wstring_view::npos ? std::wstring_view::npos : close - 1));
  }
  static std::wstring_view KeyName(std::wstring_view line) {
    if (line.empty() || line.front() == L';') return {};
    return Trim(line.substr(0, line.find(L'=')));
  }
  bool SectionAt(std::size_t i, std::wstring_view section) const {
    std::wstring_view line = Trim(lines[i]);
    return IsSection(line) && text::AsciiIEquals(SectionName(line), section);
  }
  // One past the last line of the section whose header is at `header`.
  std::size_t SectionEnd(std::size_t header) const {
    std::size_t i = header + 1;
    while (i < lines.size() && !IsSection(Trim(lines[i]))) ++i;
    return i;
  }
};

// Serialises the writers of one file: within the process a mutex, across
// processes a host lock file in the machine's run folder named after the
// file's host path (files outside a machine only take the mutex).
class WriterLock {
 public:
  explicit WriterLock(const std::wstring& path) : guard_(ProcessMutex()) {
    try {
      std::shared_ptr<Machine> machine = Machine::Current();
      ResolvedPath resolved;
      if (!machine || ResolveDosPath(*machine, path, resolved) != win::ERROR_SUCCESS) return;
      std::string name = "profile-" + std::to_string(std::hash<std::string>{}(resolved.host)) + ".lock";
      fd_ = ::open((machine->RunFolder() / name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      if (fd_ >= 0) {
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
      }
    } catch (const std::exception&) {
    }
  }
  ~WriterLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  static std::mutex& ProcessMutex() {
    static std::mutex mutex;
    return mutex;
  }
  std::lock_guard<std::mutex> guard_;
  int fd_ = -1;
};

// Writes bytes to a new temporary file beside `path` and renames it over
// `path`; the file's hidden, system and archive attributes carry over.
bool ReplaceFile(const std::wstring& path, const std::string& bytes, win::DWORD oldAttributes) {
  static std::atomic<unsigned> counter{0};
  FileApi& files = Files::Get();
  std::size_t cut = path.find_last_of(L"\\/");
  std::wstring temp = path.substr(0, cut + 1) + L"~zvprofile-" + std::to_wstring(::getpid()) + L"-" +
                      std::to_wstring(counter.fetch_add(1)) + L".tmp";
  win::HANDLE file = files.CreateFileW(temp.c_str(), win::GENERIC_WRITE, 0, nullptr, win::CREATE_NEW,
                                       win::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == win::INVALID_HANDLE_VALUE || file == nullptr) return false;
  win::DWORD written = 0;
  bool ok = bytes.empty() ||
            (files.WriteFile(file, bytes.data(), static_cast<win::DWORD>(bytes.size()), &written, nullptr) &&
             written == bytes.size());
  ok = ok && files.FlushFileBuffers(file);
  CloseHandle(file);
  if (ok && oldAttributes != win::INVALID_FILE_ATTRIBUTES) {
    const win::DWORD keep = oldAttributes & (win::FILE_ATTRIBUTE_HIDDEN | win::FILE_ATTRIBUTE_SYSTEM |
                                             win::FILE_ATTRIBUTE_ARCHIVE);
    if (keep) files.SetFileAttributesW(temp.c_str(), keep);
  }
  if (ok) ok = files.MoveFileExW(temp.c_str(), path.c_str(), win::MOVEFILE_REPLACE_EXISTING);
  if (!ok) {
    const win::DWORD error = GetLastError();
    files.DeleteFileW(temp.c_str());
    SetLastError(error);
  }
  return ok;
}

// Copies a value into a Win32 buffer: cut to size - 1, terminated.
win::DWORD CopyValue(std::wstring_view value, win::WCHAR* buffer, win::DWORD size) {
  if (size == 0 || buffer == nullptr) return 0;
  const std::size_t n = std::min<std::size_t>(value.size(), size - 1);
  std::copy_n(value.data(), n, buffer);
  buffer[n] = L'\0';
  if (n < value.size()) SetLastError(win::ERROR_MORE_DATA);
  return static_cast<win::DWORD>(n);
}

// Copies a list of names, each zero-terminated, with a closing zero; a list
// that does not fit is cut and ends with two zeros.
win::DWORD CopyList(const std::vector<std::wstring>& names, win::WCHAR* buffer, win::DWORD size) {
  if (size == 0 || buffer == nullptr) return 0;
  if (size == 1) {
    buffer[0] = L'\0';
    return 0;
  }
  std::wstring all;
  for (const std::wstring& name : names) {
    all += name;
    all.push_back(L'\0');
  }
  if (all.size() + 1 <= size) {
    std::copy(all.begin(), all.end(), buffer);
    buffer[all.size()] = L'\0';
    return static_cast<win::DWORD>(all.size());
  }
  std::copy_n(all.data(), size - 2, buffer);
  buffer[size - 2] = L'\0';
  buffer[size - 1] = L'\0';
  SetLastError(win::ERROR_MORE_DATA);
  return size - 2;
}

int DigitValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'z') return c - L'a' + 10;
  if (c >= L'A' && c <= L'Z') return c - L'A' + 10;
  return 99;
}

}  // namespace

std::optional<std::wstring> ReadProfileFile(std::wstring_view fileName) {
  std::optional<std::string> bytes = ReadBytes(ProfilePath(fileName));
  if (!bytes) return std::nullopt;
  return Decode(*bytes);
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

win::DWORD GetPrivateProfileStringW(const win::WCHAR* section, const win::WCHAR* key, const win::WCHAR* defaultValue,
                                    win::WCHAR* buffer, win::DWORD size, const win::WCHAR* fileName) {
  if (fileName == nullptr) {
    SetLastError(win::ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::optional<std::wstring> text = ReadProfileFile(fileName);
  if (text && (section == nullptr || key == nullptr)) {
    Lines lines(*text);
    std::vector<std::wstring> names;
    for (std::size_t i = 0; i < lines.lines.size(); ++i) {
      std::wstring_view line = Trim(lines.lines[i]);
      if (section == nullptr) {
        if (Lines::IsSection(line)) names.emplace_back(Lines::SectionName(line));
      } else if (lines.SectionAt(i, Trim(section))) {
        for (std::size_t k = i + 1; k < lines.SectionEnd(i); ++k) {
          std::wstring_view name = Lines::KeyName(Trim(lines.lines[k]));
          if (!name.empty()) names.emplace_back(name);
        }
      }
    }
    return CopyList(names, buffer, size);
  }
  if (!text) SetLastError(win::ERROR_FILE_NOT_FOUND);
  if (text && section != nullptr && key != nullptr) {
    if (std::optional<std::wstring> value = FindProfileValue(*text, section, key)) {
      return CopyValue(*value, buffer, size);
    }
  }
  if (section == nullptr || key == nullptr) return CopyList({}, buffer, size);
  // The default loses trailing blanks, as Windows trims it.
  std::wstring_view fallback = defaultValue ? std::wstring_view(defaultValue) : std::wstring_view();
  while (!fallback.empty() && fallback.back() == L' ') fallback.remove_suffix(1);
  return CopyValue(fallback, buffer, size);
}

win::BOOL WritePrivateProfileStringW(const win::WCHAR* section, const win::WCHAR* key, const win::WCHAR* value,
                                     const win::WCHAR* fileName) {
  if (section == nullptr && key == nullptr && value == nullptr) return win::TRUE;  // a flush: nothing is cached
  if (section == nullptr || fileName == nullptr) {
    SetLastError(win::ERROR_INVALID_PARAMETER);
    return win::FALSE;
  }
  const std::wstring path = ProfilePath(fileName);
  const std::wstring_view sectionName = Trim(section);
  WriterLock lock(path);
  FileApi& files = Files::Get();
  const win::DWORD attributes = files.GetFileAttributesW(path.c_str());
  if (attributes != win::INVALID_FILE_ATTRIBUTES &&
      (attributes & (win::FILE_ATTRIBUTE_READONLY | win::FILE_ATTRIBUTE_DIRECTORY))) {
    SetLastError(win::ERROR_ACCESS_DENIED);
    return win::FALSE;
  }
  std::optional<std::string> bytes =
      attributes == win::INVALID_FILE_ATTRIBUTES ? std::nullopt : ReadBytes(path);
  const bool deleting = key == nullptr || value == nullptr;
  if (!bytes && deleting) return win::TRUE;  // nothing to delete
  const Encoding encoding = bytes ? EncodingOf(*bytes) : Encoding::Ansi;
  Lines lines(bytes ? Decode(*bytes) : std::wstring());
  bool changed = false;
  if (key == nullptr) {
    for (std::size_t i = 0; i < lines.lines.size();) {
      if (!lines.SectionAt(i, sectionName)) {
        ++i;
        continue;
      }
      lines.lines.erase(lines.lines.begin() + static_cast<std::ptrdiff_t>(i),
                        lines.lines.begin() + static_cast<std::ptrdiff_t>(lines.SectionEnd(i)));
      changed = true;
    }
  } else {
    const std::wstring_view keyName = Trim(key);
    std::optional<std::size_t> header;
    for (std::size_t i = 0; i < lines.lines.size() && !header; ++i) {
      if (lines.SectionAt(i, sectionName)) header = i;
    }
    if (header) {
      std::size_t end = lines.SectionEnd(*header);
      std::optional<std::size_t> found;
      std::size_t last = *header;  // the section's last line that is not blank
      for (std::size_t k = *header + 1; k < end; ++k) {
        if (!Trim(lines.lines[k]).empty()) last = k;
        if (!found && text::AsciiIEquals(Lines::KeyName(Trim(lines.lines[k])), keyName)) found = k;
      }
      if (value == nullptr) {
        if (found) {
          lines.lines.erase(lines.lines.begin() + static_cast<std::ptrdiff_t>(*found));
          changed = true;
        }
      } else {
        std::wstring line = std::wstring(keyName) + L"=" + value;
        if (found) {
          changed = lines.lines[*found] != line;
          lines.lines[*found] = line;
        } else {
          lines.lines.insert(lines.lines.begin() + static_cast<std::ptrdiff_t>(last + 1), line);
          changed = true;
        }
      }
    } else if (value != nullptr) {
      lines.lines.push_back(L"[" + std::wstring(sectionName) + L"]");
      lines.lines.push_back(std::wstring(keyName) + L"=" + value);
      changed = true;
    }
  }
  if (!changed && bytes) return win::TRUE;
  if (!ReplaceFile(path, Encode(lines.Text(), encoding), attributes)) return win::FALSE;
  return win::TRUE;
}

}  // namespace zv::platform
