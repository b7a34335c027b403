// Folder listings, attribute tests, entry deletion and ini reading for the
// restore and clean-up steps.
#include "startup_init/restore/file_walk.h"

#include "platform/base/handles.h"
#include "platform/files/file_api.h"
#include "platform/files/profile.h"

namespace zv::startup {

using platform::Files;

FolderListing ListFolder(const std::wstring& pattern) {
  FolderListing listing;
  win::WIN32_FIND_DATAW data;
  win::HANDLE find = Files::Get().FindFirstFileW(pattern.c_str(), &data);
  if (find == win::INVALID_HANDLE_VALUE) {
    listing.endError = platform::GetLastError();
    return listing;
  }
  do {
    std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") listing.entries.push_back({name, data.dwFileAttributes});
  } while (Files::Get().FindNextFileW(find, &data));
  listing.endError = platform::GetLastError();
  Files::Get().FindClose(find);
  return listing;
}

win::DWORD AttributesOf(const std::wstring& path) { return Files::Get().GetFileAttributesW(path.c_str()); }

bool Exists(const std::wstring& path) { return AttributesOf(path) != win::INVALID_FILE_ATTRIBUTES; }

bool IsFile(const std::wstring& path) {
  win::DWORD a = AttributesOf(path);
  return a != win::INVALID_FILE_ATTRIBUTES && !(a & win::FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFolder(const std::wstring& path) {
  win::DWORD a = AttributesOf(path);
  return a != win::INVALID_FILE_ATTRIBUTES && (a & win::FILE_ATTRIBUTE_DIRECTORY);
}

void DeleteEntry(const std::wstring& path, win::DWORD attributes) {
  auto& files = Files::Get();
  if (attributes & win::FILE_ATTRIBUTE_READONLY) files.SetFileAttributesW(path.c_str(), win::FILE_ATTRIBUTE_NORMAL);
  if (attributes & win::FILE_ATTRIBUTE_DIRECTORY) {
    // Only ever reached for a link: removing it leaves its target alone.
    files.RemoveDirectoryW(path.c_str());
  } else {
    files.DeleteFileW(path.c_str());
  }
}

std::wstring ReadIniString(const std::wstring& file, const std::wstring& section, const std::wstring& key,
                           const std::wstring& defaultValue) {
  for (win::DWORD size = 512;; size *= 2) {
    std::wstring buffer(size, L'\0');
    win::DWORD n = platform::GetPrivateProfileStringW(section.c_str(), key.c_str(), defaultValue.c_str(),
                                                      buffer.data(), size, file.c_str());
    if (n + 1 < size || size >= (1u << 20)) {
      buffer.resize(n);
      return buffer;
    }
  }
}

int IniInt(const std::wstring& file, const wchar_t* section, const wchar_t* key) {
  return static_cast<int>(platform::GetPrivateProfileIntW(section, key, 0, file.c_str()));
}

int ToInt(const std::wstring& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == L' ' || text[i] == L'\t' || text[i] == L'\r' || text[i] == L'\n')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  long long value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + (text[i] - L'0');
    if (value > 0x7FFFFFFFLL) return negative ? static_cast<int>(0x80000000u) : 0x7FFFFFFF;
  }
  return static_cast<int>(negative ? -value : value);
}

std::vector<std::wstring> UserFolderNames(const std::wstring& root) {
  std::vector<std::wstring> names;
  for (const FolderEntry& e : ListFolder(WithBackslash(root) + L"*").entries) {
    if (e.IsFolder() && !e.IsLink()) names.push_back(e.name);
  }
  return names;
}

std::wstring WithBackslash(const std::wstring& folder) {
  return !folder.empty() && folder.back() == L'\\' ? folder : folder + L"\\";
}

std::wstring WithoutBackslash(const std::wstring& folder) {
  return !folder.empty() && folder.back() == L'\\' ? folder.substr(0, folder.size() - 1) : folder;
}

}  // namespace zv::startup
