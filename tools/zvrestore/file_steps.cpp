// File operations of the restore tool over platform::Files; see file_steps.h.
#include "tools/zvrestore/file_steps.h"

#include <algorithm>

#include "platform/base/handles.h"

namespace zv::tools::restore {
namespace {

platform::FileApi& Api() { return platform::Files::Get(); }

bool NotFound(win::DWORD e) { return e == win::ERROR_FILE_NOT_FOUND || e == win::ERROR_PATH_NOT_FOUND; }

}  // namespace

PathProbe Probe(const MachinePath& path) {
  PathProbe probe;
  MachinePath step;
  step.drive = path.drive;
  for (std::size_t i = 0; i <= path.parts.size(); ++i) {
    if (i) step.parts.push_back(path.parts[i - 1]);
    win::DWORD attributes = Api().GetFileAttributesW(step.Text().c_str());
    if (attributes == win::INVALID_FILE_ATTRIBUTES) {
      win::DWORD e = platform::GetLastError();
      if (NotFound(e)) return probe;
      probe.state = PathState::Unreachable;
      probe.error = e;
      probe.where = step;
      return probe;
    }
    if (attributes & win::FILE_ATTRIBUTE_REPARSE_POINT) {
      probe.state = PathState::Link;
      probe.where = step;
      return probe;
    }
    if (i < path.parts.size() && !(attributes & win::FILE_ATTRIBUTE_DIRECTORY)) return probe;  // a file on the way
    probe.attributes = attributes;
  }
  probe.state = (probe.attributes & win::FILE_ATTRIBUTE_DIRECTORY) ? PathState::Folder : PathState::File;
  return probe;
}

bool DriveExists(wchar_t drive) {
  MachinePath root;
  root.drive = drive;
  win::DWORD attributes = Api().GetFileAttributesW(root.Text().c_str());
  return attributes != win::INVALID_FILE_ATTRIBUTES && (attributes & win::FILE_ATTRIBUTE_DIRECTORY);
}

bool ListFolder(const MachinePath& folder, std::vector<FolderEntry>& entries, win::DWORD& error) {
  entries.clear();
  std::wstring pattern = folder.Text();
  if (pattern.back() != L'\\') pattern += L'\\';
  pattern += L'*';
  win::WIN32_FIND_DATAW data;
  win::HANDLE find = Api().FindFirstFileW(pattern.c_str(), &data);
  if (find == win::INVALID_HANDLE_VALUE) {
    error = platform::GetLastError();
    return error == win::ERROR_FILE_NOT_FOUND;  // nothing in it
  }
  do {
    std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    entries.push_back({name, data.dwFileAttributes});
  } while (Api().FindNextFileW(find, &data));
  error = platform::GetLastError();
  Api().FindClose(find);
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  if (error == win::ERROR_NO_MORE_FILES) error = 0;
  return error == 0;
}

namespace {

bool ReadAll(const MachinePath& path, std::string& bytes) {
  win::HANDLE file = Api().CreateFileW(path.Text().c_str(), win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                                       win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == win::INVALID_HANDLE_VALUE) return false;
  bytes.clear();
  char buffer[65536];
  bool ok = true;
  while (true) {
    win::DWORD got = 0;
    if (!Api().ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    bytes.append(buffer, got);
  }
  platform::CloseHandle(file);
  return ok;
}

}  // namespace

bool SameContent(const MachinePath& a, const MachinePath& b) {
  std::string left, right;
  return ReadAll(a, left) && ReadAll(b, right) && left == right;
}

bool CarriedSecurity(const MachinePath& folder, platform::SecurityDescriptor& out) {
  const platform::SECURITY_INFORMATION parts = platform::GROUP_SECURITY_INFORMATION | platform::DACL_SECURITY_INFORMATION;
  win::DWORD needed = 0;
  std::wstring text = folder.Text();
  Api().GetFileSecurityW(text.c_str(), parts, nullptr, 0, &needed);
  if (needed == 0) return false;
  std::string bytes(needed, '\0');
  if (!Api().GetFileSecurityW(text.c_str(), parts, bytes.data(), needed, &needed)) return false;
  return platform::ParseSecurityDescriptor(bytes.data(), needed, out);
}

win::DWORD MakeFolder(const MachinePath& folder, const platform::SecurityDescriptor* security) {
  if (Api().CreateDirectoryW(folder.Text().c_str(), security)) return 0;
  return platform::GetLastError();
}

win::DWORD EmptyFolder(const MachinePath& folder) {
  std::vector<FolderEntry> entries;
  win::DWORD error = 0;
  if (!ListFolder(folder, entries, error)) return error;
  win::DWORD first = 0;
  for (const FolderEntry& entry : entries) {
    MachinePath child = folder.Child(entry.name);
    std::wstring text = child.Text();
    win::DWORD e = 0;
    if (entry.IsLink()) {
      // The link goes, never what it leads to.
      if (!Api().DeleteFileW(text.c_str()) && !Api().RemoveDirectoryW(text.c_str())) e = platform::GetLastError();
    } else if (entry.IsFolder()) {
      e = EmptyFolder(child);
      if (!e && (entry.attributes & win::FILE_ATTRIBUTE_READONLY)) {
        Api().SetFileAttributesW(text.c_str(), win::FILE_ATTRIBUTE_DIRECTORY);
      }
      if (!e && !Api().RemoveDirectoryW(text.c_str())) e = platform::GetLastError();
    } else {
      if (entry.attributes & (win::FILE_ATTRIBUTE_READONLY | win::FILE_ATTRIBUTE_HIDDEN | win::FILE_ATTRIBUTE_SYSTEM)) {
        Api().SetFileAttributesW(text.c_str(), win::FILE_ATTRIBUTE_NORMAL);
      }
      if (!Api().DeleteFileW(text.c_str())) e = platform::GetLastError();
    }
    if (e && !first) first = e;
  }
  return first;
}

}  // namespace zv::tools::restore
