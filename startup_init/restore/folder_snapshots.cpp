// R and R2 mirror trees, the app repository clean-up and the per-user and
// SQL data targets.
#include "startup_init/restore/folder_snapshots.h"

#include <set>

#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"
#include "platform/files/profile.h"
#include "platform/system/wow64.h"
#include "startup_init/restore/file_walk.h"

namespace zv::startup {

using platform::Files;

namespace {

const wchar_t kAppRepository[] = L"C:\\programdata\\Microsoft\\Windows\\AppRepository\\";
const wchar_t kSqlExpressData[] = L"C:\\Program Files\\Microsoft SQL Server\\MSSQL15.SQLEXPRESS\\MSSQL\\DATA\\";
const wchar_t* const kUserTargets[] = {
    L"%s\\AppData\\Local\\Microsoft\\IME\\15.0\\IMEJP\\Cache\\",
    L"%s\\AppData\\Roaming\\Microsoft\\IME\\15.0\\IMEJP\\UserDict\\",
    L"%s\\AppData\\Local\\Comms\\UnistoreDB\\",
};

std::wstring Fill(const std::wstring& format, const std::wstring& user) {
  std::wstring out = format;
  if (auto at = out.find(L"%s"); at != std::wstring::npos) out.replace(at, 2, user);
  return out;
}

std::wstring ParentOf(const std::wstring& path) {
  auto slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

bool StartsWithNoCase(const std::wstring& s, const std::wstring& prefix) {
  return s.size() >= prefix.size() && text::AsciiIEquals(std::wstring_view(s).substr(0, prefix.size()), prefix);
}

}  // namespace

std::wstring FolderSnapshots::MirrorPath(const std::wstring& target, bool second) const {
  if (target.size() < 3 || (target[0] != L'C' && target[0] != L'c') || target[1] != L':' || target[2] != L'\\') {
    return {};
  }
  return host_.ProductFolder() + (second ? L"R2\\C\\" : L"R\\C\\") + target.substr(3);
}

bool FolderSnapshots::InsideMirrors(const std::wstring& path) const {
  const std::wstring p = WithoutBackslash(path);
  for (const wchar_t* tree : {L"R", L"R2"}) {
    const std::wstring root = host_.ProductFolder() + tree;
    if (text::AsciiIEquals(p, root) || StartsWithNoCase(p, root + L"\\")) return true;
  }
  return false;
}

int FolderSnapshots::MirrorFolder(const std::wstring& user, int restore, int protectionOn,
                                  const std::wstring& pathFormat, int secondCopy, int skipSubfolders) {
  const std::wstring target = Fill(pathFormat, user);
  const std::wstring r = MirrorPath(target, false), r2 = MirrorPath(target, true);
  if (r.empty()) {
    host_.WriteLog(L"MirrorFolder: " + target + L" is not on drive C, skipped");
    return 0;
  }
  if (InsideMirrors(target)) {
    host_.WriteLog(L"MirrorFolder: " + target + L" lies inside a mirror tree, skipped");
    return 0;
  }
  const win::DWORD attributes = AttributesOf(target);
  if (attributes != win::INVALID_FILE_ATTRIBUTES && (attributes & win::FILE_ATTRIBUTE_REPARSE_POINT)) {
    host_.WriteLog(L"MirrorFolder: " + target + L" is a link, skipped");
    return 0;
  }
  bool folder;
  if (attributes != win::INVALID_FILE_ATTRIBUTES) {
    folder = (attributes & win::FILE_ATTRIBUTE_DIRECTORY) != 0;
  } else if (!target.empty() && target.back() == L'\\') {
    folder = true;
  } else {
    // A missing file target: its R2 copy says what it was.
    folder = IsFolder(r2);
  }

  if (restore == 1) {
    if (folder) {
      RestoreFolder(WithBackslash(target), WithBackslash(r2));
    } else {
      RestoreFile(target, r2);
    }
    return 1;
  }
  if (attributes == win::INVALID_FILE_ATTRIBUTES) return 0;
  if (protectionOn != 1) {
    DeleteMirror(r2);
    return 1;
  }
  if (folder) {
    BackupFolder(WithBackslash(target), WithBackslash(r), WithBackslash(r2), secondCopy, skipSubfolders);
  } else {
    BackupFile(target, r, r2, secondCopy);
  }
  return 1;
}

void FolderSnapshots::RestoreFolder(const std::wstring& target, const std::wstring& r2) {
  CreatePath(target);
  for (const FolderEntry& e : ListFolder(r2 + L"*").entries) {
    const std::wstring from = r2 + e.name, to = target + e.name;
    if (e.IsLink() || InsideMirrors(to)) continue;
    if (e.IsFolder()) {
      CopyTree(from, to);
    } else {
      Files::Get().CopyFileW(from.c_str(), to.c_str(), win::FALSE);
    }
  }
}

void FolderSnapshots::RestoreFile(const std::wstring& target, const std::wstring& r2) {
  // Without a saved copy the live file stays as it is.
  if (!IsFile(r2)) return;
  CreatePath(ParentOf(target));
  auto& files = Files::Get();
  if (files.CopyFileW(r2.c_str(), target.c_str(), win::FALSE)) return;
  if (platform::GetLastError() == win::ERROR_ACCESS_DENIED) {
    files.SetFileAttributesW(target.c_str(), win::FILE_ATTRIBUTE_NORMAL);
    files.CopyFileW(r2.c_str(), target.c_str(), win::FALSE);
  }
}

void FolderSnapshots::BackupFolder(const std::wstring& target, const std::wstring& r, const std::wstring& r2,
                                   int secondCopy, int skipSubfolders) {
  CreatePath(r);
  CreatePath(r2);
  auto& files = Files::Get();
  for (const FolderEntry& e : ListFolder(target + L"*").entries) {
    const std::wstring from = target + e.name;
    if (e.IsLink() || InsideMirrors(from)) continue;
    if (e.IsFolder()) {
      if (skipSubfolders == 1) continue;
      CopyTree(from, r + e.name);
      CopyTree(from, r2 + e.name);
    } else {
      files.CopyFileW(from.c_str(), (r + e.name).c_str(), win::TRUE);
      if (secondCopy == 1) files.CopyFileW(from.c_str(), (r2 + e.name).c_str(), win::TRUE);
    }
  }
}

void FolderSnapshots::BackupFile(const std::wstring& target, const std::wstring& r, const std::wstring& r2,
                                 int secondCopy) {
  // The copies are refreshed from the live file; a copy that fails keeps
  // the mirror it had instead of leaving none.
  auto refresh = [&](const std::wstring& mirror) {
    if (IsFolder(mirror)) DeleteMirror(mirror);
    CreatePath(ParentOf(mirror));
    Files::Get().CopyFileW(target.c_str(), mirror.c_str(), win::FALSE);
  };
  refresh(r);
  if (secondCopy == 1) {
    refresh(r2);
  } else {
    DeleteMirror(r2);
  }
}

void FolderSnapshots::DeleteMirror(const std::wstring& path) {
  const win::DWORD attributes = AttributesOf(path);
  if (attributes == win::INVALID_FILE_ATTRIBUTES) return;
  if ((attributes & win::FILE_ATTRIBUTE_DIRECTORY) && !(attributes & win::FILE_ATTRIBUTE_REPARSE_POINT)) {
    host_.DeleteDirectory(WithoutBackslash(path));
  } else {
    DeleteEntry(WithoutBackslash(path), attributes);
  }
}

win::DWORD FolderSnapshots::CopyTree(const std::wstring& source, const std::wstring& destination) {
  auto& files = Files::Get();
  files.CreateDirectoryW(destination.c_str(), nullptr);
  FolderListing listing = ListFolder(source + L"\\*.*");
  for (const FolderEntry& e : listing.entries) {
    if (e.name[0] == L'.' || e.IsLink()) continue;
    const std::wstring from = source + L"\\" + e.name, to = destination + L"\\" + e.name;
    // A tree that holds the product folder would copy R and R2 into
    // themselves.
    if (InsideMirrors(from) != InsideMirrors(source) || InsideMirrors(to) != InsideMirrors(destination)) continue;
    if (e.IsFolder()) {
      CopyTree(from, to);
    } else {
      files.CopyFileW(from.c_str(), to.c_str(), win::TRUE);
    }
  }
  return listing.endError == win::ERROR_NO_MORE_FILES ? 0 : listing.endError;
}

int FolderSnapshots::CreatePath(const std::wstring& path) {
  std::size_t start = 0;
  if (path.rfind(L"\\\\?\\", 0) == 0) start = 4;
  if (path.size() >= start + 3 && path[start + 1] == L':' && path[start + 2] == L'\\') start += 3;
  auto& files = Files::Get();
  auto make = [&](const std::wstring& folder) {
    return files.CreateDirectoryW(folder.c_str(), nullptr) || platform::GetLastError() == win::ERROR_ALREADY_EXISTS;
  };
  for (std::size_t at = path.find(L'\\', start); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
    if (at > start && !make(path.substr(0, at))) return 0;
  }
  if (path.size() > start && path.back() != L'\\' && !make(path)) return 0;
  return 1;
}

void FolderSnapshots::CleanAppRepository() {
  const std::wstring ini = host_.ModuleFolder() + L"\\ZVVstInAppRepository.ini";
  const int skipSubfolders = IniInt(ini, L"Setting", L"DoNotBackupSubDirectory");
  const int removeNew = IniInt(ini, L"Setting", L"RemoveNewFileInAppRepositoryDirectory");
  const int restoreRepository = IniInt(ini, L"Setting", L"RestoreAppRepository");
  std::vector<std::wstring> backupList;
  for (int i = 0;; ++i) {
    std::wstring entry = ReadIniString(ini, L"Backup", std::to_wstring(i), L"");
    if (entry.empty()) break;
    backupList.push_back(entry);
  }
  const int protectionOn = host_.ProtectionOn();

  if (removeNew != 0) {
    RemoveUnlistedFiles(protectionOn, L"");
  } else {
    Files::Get().DeleteFileW((host_.ProductFolder() + L"AppRepositoryList.ini").c_str());
  }
  if (restoreRepository != 0) {
    MirrorFolder(L"", 1, protectionOn, kAppRepository, 1, skipSubfolders);
    MirrorFolder(L"", 0, protectionOn, kAppRepository, 1, skipSubfolders);
  }
  void* redirection = nullptr;
  const bool switchedOff = platform::Wow64DisableWow64FsRedirection(&redirection);
  for (const std::wstring& entry : backupList) {
    MirrorFolder(L"", 1, protectionOn, entry, 1, 0);
    MirrorFolder(L"", 0, protectionOn, entry, 1, 0);
  }
  if (switchedOff) platform::Wow64RevertWow64FsRedirection(redirection);
}

void FolderSnapshots::RemoveUnlistedFiles(int protectionOn, const std::wstring& folder) {
  const std::wstring listingFile = host_.ProductFolder() + L"AppRepositoryList.ini";
  if (!Exists(listingFile)) return;
  if (folder.empty()) {
    RemoveUnlistedFiles(protectionOn, L"C:\\ProgramData\\Microsoft\\Windows\\AppRepository");
    if (protectionOn == 0) Files::Get().DeleteFileW(listingFile.c_str());
    return;
  }
  const std::wstring upper = text::AsciiUpperCopy(folder);
  std::set<std::wstring> listed;
  if (auto text = platform::ReadProfileFile(listingFile)) {
    for (int i = 0;; ++i) {
      auto name = platform::FindProfileValue(*text, upper, std::to_wstring(i));
      if (!name || name->empty()) break;
      listed.insert(text::AsciiUpperCopy(*name));
    }
  }
  FolderListing listing = ListFolder(upper + L"\\*");
  for (const FolderEntry& e : listing.entries) {
    // A link to a folder is neither a listed file nor a folder to enter.
    if (e.IsFolder() || listed.count(text::AsciiUpperCopy(e.name))) continue;
    const std::wstring path = upper + L"\\" + e.name;
    Files::Get().SetFileAttributesW(path.c_str(), win::FILE_ATTRIBUTE_NORMAL);
    Files::Get().DeleteFileW(path.c_str());
  }
  for (const FolderEntry& e : listing.entries) {
    if (e.IsFolder() && !e.IsLink()) RemoveUnlistedFiles(protectionOn, upper + L"\\" + e.name);
  }
}

void FolderSnapshots::MirrorUserFolders(int restore, int protectionOn) {
  for (const std::wstring& name : UserFolderNames(L"C:\\Users\\")) {
    for (const wchar_t* format : kUserTargets) {
      MirrorFolder(L"C:\\Users\\" + name, restore, protectionOn, format, 1, 0);
    }
  }
}

void FolderSnapshots::RestoreSqlExpressData() {
  if (host_.ProtectionOn() != 1) return;
  MirrorFolder(L"", 1, 1, kSqlExpressData, 0, 0);
}

}  // namespace zv::startup
