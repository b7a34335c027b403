// The general support library stand-in: see zvgcode.h.
#include "suite/support/zvgcode/zvgcode.h"

#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"
#include "platform/files/machine.h"
#include "platform/processes/process_table.h"
#include "platform/processes/program_api.h"
#include "platform/threads/sync_api.h"

namespace zv::support {
namespace {

std::optional<std::string> MachineSetting(const std::string& key) {
  try {
    return platform::Machine::Current()->Setting(key);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Copies `value` into a size-less buffer: 1 when it fits below
// kSizelessUnits, else an empty string and 0.
int CopyOut(const std::wstring& value, wchar_t* buffer) {
  if (!buffer) return 0;
  if (value.size() >= kSizelessUnits) {
    buffer[0] = L'\0';
    return 0;
  }
  std::wmemcpy(buffer, value.c_str(), value.size() + 1);
  return 1;
}

std::wstring ProductFolder() {
  std::wstring folder = kDefaultProductFolder;
  if (auto v = MachineSetting("product.folder"); v && !v->empty()) folder = text::FromUtf8(*v);
  if (folder.back() != L'\\') folder += L'\\';
  return folder;
}

struct Version {
  int major = 10, minor = 0;
};

Version WindowsVersion() {
  Version v;
  if (auto s = MachineSetting("machine.windows_version")) {
    int major = 0, minor = 0;
    if (std::sscanf(s->c_str(), "%d.%d", &major, &minor) == 2) v = {major, minor};
  }
  return v;
}

// CreateProcessW with a writable copy of the command line.
bool Start(const wchar_t* commandLine, unsigned showCode, win::PROCESS_INFORMATION& pi, win::DWORD& error) {
  if (!commandLine) {
    error = win::ERROR_INVALID_PARAMETER;
    return false;
  }
  std::vector<wchar_t> line(commandLine, commandLine + std::wcslen(commandLine) + 1);
  win::STARTUPINFOW si;
  si.dwFlags = win::STARTF_USESHOWWINDOW;
  si.wShowWindow = static_cast<win::WORD>(showCode);
  if (platform::Programs::Get().CreateProcessW(nullptr, line.data(), nullptr, nullptr, win::FALSE, 0, nullptr,
                                               nullptr, &si, &pi)) {
    return true;
  }
  error = platform::GetLastError();
  return false;
}

void DeleteTree(const std::wstring& folder) {
  auto& files = platform::Files::Get();
  win::WIN32_FIND_DATAW data;
  std::wstring pattern = folder + L"\\*";
  win::HANDLE find = files.FindFirstFileW(pattern.c_str(), &data);
  if (find != win::INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring path = folder + L"\\" + name;
      const bool link = data.dwFileAttributes & win::FILE_ATTRIBUTE_REPARSE_POINT;
      const bool dir = data.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY;
      files.SetFileAttributesW(path.c_str(), win::FILE_ATTRIBUTE_NORMAL);
      if (dir && !link) {
        DeleteTree(path);
      } else if (dir) {
        files.RemoveDirectoryW(path.c_str());
      } else {
        files.DeleteFileW(path.c_str());
      }
    } while (files.FindNextFileW(find, &data));
    files.FindClose(find);
  }
  files.RemoveDirectoryW(folder.c_str());
}

}  // namespace

int GetFolderName_QD(wchar_t* buffer) { return CopyOut(ProductFolder(), buffer); }

int GetFileName_QDData(wchar_t* buffer) { return CopyOut(ProductFolder() + kProductDataFileName, buffer); }

int GetVistaCurrentUserRegistryKey(wchar_t* buffer) {
  auto v = MachineSetting("product.current_user_key");
  if (!v || v->empty()) {
    if (buffer) buffer[0] = L'\0';
    return 0;
  }
  return CopyOut(text::FromUtf8(*v), buffer);
}

int WriteCurrentUserRegistryKey(const wchar_t* key) {
  if (!key) return 0;
  try {
    platform::Machine::Current()->SetSetting("product.current_user_key", text::ToUtf8(key));
    return 1;
  } catch (const std::exception&) {
    return 0;
  }
}

void DeleteDirectory(const wchar_t* folder) {
  if (!folder || !*folder) return;
  std::wstring path = folder;
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  auto& files = platform::Files::Get();
  win::DWORD attributes = files.GetFileAttributesW(path.c_str());
  if (attributes == win::INVALID_FILE_ATTRIBUTES || !(attributes & win::FILE_ATTRIBUTE_DIRECTORY)) return;
  files.SetFileAttributesW(path.c_str(), win::FILE_ATTRIBUTE_NORMAL);
  if (attributes & win::FILE_ATTRIBUTE_REPARSE_POINT) {
    files.RemoveDirectoryW(path.c_str());  // the link, not its target
    return;
  }
  DeleteTree(path);
}

int WinExecWait(const wchar_t* commandLine) { return WinExecWait(commandLine, 0); }

int WinExecWait(const wchar_t* commandLine, unsigned timeoutMs) {
  win::PROCESS_INFORMATION pi;
  win::DWORD error = 0;
  if (!Start(commandLine, 0, pi, error)) return 0;
  platform::Threads::Get().WaitForSingleObject(pi.hProcess, timeoutMs == 0 ? win::INFINITE : timeoutMs);
  platform::CloseHandle(pi.hThread);
  platform::CloseHandle(pi.hProcess);
  return 1;
}

unsigned WinExecWide(const wchar_t* commandLine, unsigned showCode) {
  win::PROCESS_INFORMATION pi;
  win::DWORD error = 0;
  if (!Start(commandLine, showCode, pi, error)) {
    if (error == win::ERROR_BAD_EXE_FORMAT || error == win::ERROR_EXE_MACHINE_TYPE_MISMATCH) return 11;
    return error < 32 ? error : 0;
  }
  platform::CloseHandle(pi.hThread);
  platform::CloseHandle(pi.hProcess);
  return 33;
}

int RequestWinExecBySystem(const wchar_t* commandLine) {
  // The product's system side runs the command in session 0: the start is
  // made from session 0 and our own session is put back at once.
  win::DWORD session = 0;
  try {
    session = platform::CurrentProcessSession();
    platform::SetCurrentProcessSession(0);
  } catch (const std::exception&) {
    return 0;
  }
  win::PROCESS_INFORMATION pi;
  win::DWORD error = 0;
  bool started = Start(commandLine, 0, pi, error);
  try {
    platform::SetCurrentProcessSession(session);
  } catch (const std::exception&) {
  }
  if (!started) return 0;
  platform::CloseHandle(pi.hThread);
  platform::CloseHandle(pi.hProcess);
  return 1;
}

int CheckVersionIsVista() { return WindowsVersion().major >= 6 ? 1 : 0; }

int CheckVersionIsWindows7() {
  Version v = WindowsVersion();
  return v.major == 6 && v.minor == 1 ? 1 : 0;
}

int CheckVersionIsWindows8() {
  Version v = WindowsVersion();
  return v.major == 6 && (v.minor == 2 || v.minor == 3) ? 1 : 0;
}

}  // namespace zv::support
