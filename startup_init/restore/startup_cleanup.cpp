// Start-up folders, the clear list and the history folders.
#include "startup_init/restore/startup_cleanup.h"

#include <algorithm>
#include <set>

#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"
#include "platform/files/profile.h"
#include "startup_init/restore/file_walk.h"

namespace zv::startup {

using platform::Files;

namespace {

const wchar_t* const kHistorySuffixes[] = {
    L"\\AppData\\Local\\Microsoft\\Windows\\History",
    L"\\AppData\\Local\\Packages\\Microsoft.MicrosoftEdge_8wekyb3d8bbwe\\AC\\MicrosoftEdge",
};

}  // namespace

void StartupCleanup::CleanStartupFolders() {
  const std::wstring allowList = host_.ModuleFolder() + L"\\Startup.prs";
  if (!Exists(allowList)) return;
  for (const std::wstring& name : UserFolderNames(L"C:\\Users\\")) {
    CleanStartupFolder(allowList,
                       L"C:\\Users\\" + name + L"\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup\\");
  }
  CleanStartupFolder(allowList, L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Startup\\");
}

void StartupCleanup::CleanStartupFolder(const std::wstring& allowList, const std::wstring& folder) {
  const std::wstring section = text::AsciiLowerCopy(folder);
  auto allow = platform::ReadProfileFile(allowList);
  for (const FolderEntry& e : ListFolder(folder + L"*").entries) {
    if (text::AsciiIEquals(e.name, L"desktop.ini")) continue;
    std::optional<std::wstring> value;
    if (allow) value = platform::FindProfileValue(*allow, section, text::AsciiLowerCopy(e.name));
    if (value && *value == L"OK") continue;
    // Sub-folders refuse the file call and stay.
    Files::Get().DeleteFileW((folder + e.name).c_str());
  }
}

std::vector<std::wstring> StartupCleanup::ReadClearList() {
  const std::wstring ini = host_.ProductFolder() + L"ZVClearList.ini";
  std::vector<std::wstring> folders;
  const auto settings = platform::ReadProfileFile(ini);
  if (!settings) return folders;
  // A count far beyond any real list (a typo) must not keep the boot busy.
  const int count = std::min(IniInt(ini, L"Settings", L"Count"), 100000);
  for (int i = 0; i < count; ++i) {
    auto folder = platform::FindProfileValue(*settings, L"Settings", std::to_wstring(i));
    if (folder && !folder->empty()) folders.push_back(text::AsciiLowerCopy(*folder));
  }
  return folders;
}

bool StartupCleanup::CreateListingFile(const std::wstring& path) {
  auto& files = Files::Get();
  win::HANDLE file = files.CreateFileW(path.c_str(), win::GENERIC_WRITE, 0, nullptr, win::CREATE_NEW,
                                       win::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == win::INVALID_HANDLE_VALUE) return false;
  const unsigned char mark[2] = {0xFF, 0xFE};
  win::DWORD written = 0;
  const bool ok = files.WriteFile(file, mark, 2, &written, nullptr) && written == 2;
  platform::CloseHandle(file);
  return ok;
}

int StartupCleanup::ClearListStep() {
  const std::vector<std::wstring> folders = ReadClearList();
  if (folders.empty()) return 0;
  host_.ReadProductData();
  const std::wstring listing = host_.ProductFolder() + L"ZVClearList.prs";
  if (host_.ProtectionOn() == 1) {
    if (!Exists(listing)) {
      if (!CreateListingFile(listing)) {
        // Without a listing every entry of the folders would count as new.
        host_.WriteLog(L"<ERROR> (ERROR:" + std::to_wstring(platform::GetLastError()) + L")=CreateFileW " + listing +
                       L", clear list not applied");
        return 1;
      }
      for (const std::wstring& folder : folders) RecordFolderListing(listing, folder);
    }
    for (const std::wstring& folder : folders) DeleteUnrecorded(listing, folder);
  } else {
    Files::Get().SetFileAttributesW(listing.c_str(), win::FILE_ATTRIBUTE_NORMAL);
    Files::Get().DeleteFileW(listing.c_str());
  }
  return 1;
}

void StartupCleanup::RecordFolderListing(const std::wstring& listingFile, const std::wstring& folder) {
  int counter = 0;
  for (const FolderEntry& e : ListFolder(folder + L"\\*").entries) {
    if (e.IsFolder() && !e.IsLink()) RecordFolderListing(listingFile, text::AsciiLowerCopy(folder + L"\\" + e.name));
    platform::WritePrivateProfileStringW(folder.c_str(), std::to_wstring(counter).c_str(),
                                         text::AsciiLowerCopy(e.name).c_str(), listingFile.c_str());
    ++counter;
  }
  platform::WritePrivateProfileStringW(folder.c_str(), L"Count", std::to_wstring(counter).c_str(),
                                       listingFile.c_str());
}

void StartupCleanup::DeleteUnrecorded(const std::wstring& listingFile, const std::wstring& folder) {
  // A listing that cannot be read would make every entry count as new.
  const auto listing = platform::ReadProfileFile(listingFile);
  if (!listing) return;
  std::set<std::wstring> recorded;
  const auto count = platform::FindProfileValue(*listing, folder, L"Count");
  const int n = count ? ToInt(*count) : 0;
  for (int i = 0; i < n; ++i) {
    auto name = platform::FindProfileValue(*listing, folder, std::to_wstring(i));
    if (name && !name->empty()) recorded.insert(text::AsciiLowerCopy(*name));
  }
  for (const FolderEntry& e : ListFolder(folder + L"\\*").entries) {
    const std::wstring path = text::AsciiLowerCopy(folder + L"\\" + e.name);
    const bool known = recorded.count(text::AsciiLowerCopy(e.name)) != 0;
    if (e.IsLink()) {
      // Never entered: an unrecorded link goes itself, its target stays.
      if (!known) DeleteEntry(path, e.attributes);
    } else if (e.IsFolder()) {
      if (known) {
        DeleteUnrecorded(listingFile, path);
      } else {
        host_.DeleteDirectory(path);
      }
    } else if (!known) {
      Files::Get().SetFileAttributesW(path.c_str(), win::FILE_ATTRIBUTE_NORMAL);
      Files::Get().DeleteFileW(path.c_str());
    }
  }
}

void StartupCleanup::DeleteHistoryFolders() {
  for (const std::wstring& name : UserFolderNames(L"C:\\Users\\")) {
    for (const wchar_t* suffix : kHistorySuffixes) {
      const std::wstring path = L"C:\\Users\\" + name + suffix;
      host_.DeleteDirectory(path);
      Files::Get().CreateDirectoryW(path.c_str(), nullptr);
      host_.WriteLog(L"DeleteEdgeIEHistoryDirectory");
      host_.WriteLog(path);
    }
  }
}

}  // namespace zv::startup
