// WOW64, system folders and the kernel32 look-up: see wow64.h.
#include "platform/system/wow64.h"

#include <array>
#include <cstring>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/processes/process_api.h"
#include "platform/processes/process_api_real.h"
#include "platform/processes/process_table.h"
#include "platform/processes/program_files.h"

namespace zv::platform {
namespace {

constexpr win::DWORD kErrorCallNotImplemented = 120;
constexpr win::DWORD kErrorProcNotFound = 127;

constexpr wchar_t kWindowsFolder[] = L"C:\\Windows";
constexpr wchar_t kSystemFolder[] = L"C:\\Windows\\system32";
constexpr wchar_t kWow64Folder[] = L"C:\\Windows\\SysWOW64";

// Redirection switch of this thread: true while switched off.
thread_local bool redirectionOff = false;

// The one module handle there is (kernel32's).
char kernel32Module;

std::shared_ptr<Machine> CurrentMachineOrNull() {
  try {
    return Machine::Current();
  } catch (const std::exception&) {
    return nullptr;
  }
}

bool Is(const std::wstring& a, std::wstring_view b) { return text::AsciiIEquals(a, b); }

// Below System32, these folders are not redirected.
bool Exempt(const std::vector<std::wstring>& parts) {
  // parts[0] = Windows, parts[1] = System32.
  if (parts.size() < 3) return false;
  const std::wstring& first = parts[2];
  if (Is(first, L"catroot") || Is(first, L"catroot2") || Is(first, L"driverstore") || Is(first, L"logfiles") ||
      Is(first, L"spool")) {
    return true;
  }
  return parts.size() >= 4 && Is(first, L"drivers") && Is(parts[3], L"etc");
}

win::UINT CopyOut(std::wstring_view value, win::WCHAR* buffer, win::UINT units) {
  const auto needed = static_cast<win::UINT>(value.size() + 1);
  if (buffer == nullptr || units < needed) return needed;
  std::memcpy(buffer, value.data(), value.size() * sizeof(wchar_t));
  buffer[value.size()] = L'\0';
  return needed - 1;
}

}  // namespace

bool MachineIs64Bit(Machine& machine) {
  // The architecture does not change under a running machine: read once
  // per machine object, not on every redirected file call.
  struct Architecture {
    std::once_flag once;
    bool is64 = true;
  };
  auto arch = machine.Cache<Architecture>("system.arch");
  std::call_once(arch->once, [&] {
    std::optional<std::string> value = machine.Setting("machine.architecture");
    arch->is64 = !(value && (*value == "x86" || *value == "X86"));
  });
  return arch->is64;
}

int OwnBitness() {
  // A program started by the machine's CreateProcessW (ZV_PID set) has its
  // bitness in its row, from its program file; the start does not hand
  // ZV_BITNESS on. A program started from the host says it in ZV_BITNESS.
  if (std::getenv(process_detail::kPidVariable)) {
    static const int fromRow = [] {
      try {
        return CurrentProcessBitness();
      } catch (const std::exception&) {
        return 64;
      }
    }();
    return fromRow;
  }
  if (const char* v = std::getenv("ZV_BITNESS"); v && std::strcmp(v, "32") == 0) return 32;
  return 64;
}

bool IsWow64() {
  if (OwnBitness() != 32) return false;
  std::shared_ptr<Machine> machine = CurrentMachineOrNull();
  return machine && MachineIs64Bit(*machine);
}

win::BOOL IsWow64Process(win::HANDLE process, win::BOOL* wow64) {
  if (process == nullptr || wow64 == nullptr) {
    SetLastError(process == nullptr ? win::ERROR_INVALID_HANDLE : win::ERROR_INVALID_PARAMETER);
    return win::FALSE;
  }
  if (process == Processes::Get().GetCurrentProcess()) {
    *wow64 = IsWow64() ? win::TRUE : win::FALSE;
    return win::TRUE;
  }
  // Another process: a 32-bit row on a 64-bit machine.
  auto object = LookupHandleAs<ProcessObject>(process);
  if (!object || object->thread != 0) {
    SetLastError(win::ERROR_INVALID_HANDLE);
    return win::FALSE;
  }
  if ((object->access & (win::PROCESS_QUERY_INFORMATION | win::PROCESS_QUERY_LIMITED_INFORMATION)) == 0) {
    SetLastError(win::ERROR_ACCESS_DENIED);
    return win::FALSE;
  }
  std::shared_ptr<Machine> machine = CurrentMachineOrNull();
  std::optional<MachineProcess> row = machine ? FindProcess(*machine, object->pid) : std::nullopt;
  *wow64 = machine && row && row->bitness == 32 && MachineIs64Bit(*machine) ? win::TRUE : win::FALSE;
  return win::TRUE;
}

win::BOOL Wow64DisableWow64FsRedirection(void** oldValue) {
  if (!IsWow64()) {
    SetLastError(win::ERROR_INVALID_FUNCTION);
    return win::FALSE;
  }
  if (oldValue == nullptr) {
    SetLastError(win::ERROR_INVALID_PARAMETER);
    return win::FALSE;
  }
  *oldValue = reinterpret_cast<void*>(static_cast<std::uintptr_t>(redirectionOff ? 1 : 0));
  redirectionOff = true;
  return win::TRUE;
}

win::BOOL Wow64RevertWow64FsRedirection(void* oldValue) {
  if (!IsWow64()) {
    SetLastError(win::ERROR_INVALID_FUNCTION);
    return win::FALSE;
  }
  redirectionOff = reinterpret_cast<std::uintptr_t>(oldValue) != 0;
  return win::TRUE;
}

bool Wow64RedirectionDisabled() { return redirectionOff; }

std::wstring RedirectSystem32(const std::wstring& path) {
  std::wstring_view rest(path);
  std::wstring prefix;
  bool verbatim = false;
  for (std::wstring_view p : {std::wstring_view(L"\\\\?\\"), std::wstring_view(L"\\??\\"),
                              std::wstring_view(L"\\\\.\\")}) {
    if (rest.substr(0, p.size()) == p) {
      prefix = p;
      verbatim = p[2] != L'.';
      rest.remove_prefix(p.size());
      break;
    }
  }
  if (rest.size() < 2 || rest[1] != L':' || !(text::AsciiUpper(rest[0]) == L'C')) return path;
  const wchar_t letter = rest[0];
  rest.remove_prefix(2);
  auto sep = [verbatim](wchar_t c) { return c == L'\\' || (!verbatim && c == L'/'); };
  std::vector<std::wstring> parts;
  bool trailing = !rest.empty() && sep(rest.back());
  std::size_t i = 0;
  while (i < rest.size()) {
    while (i < rest.size() && sep(rest[i])) ++i;
    std::size_t start = i;
    while (i < rest.size() && !sep(rest[i])) ++i;
    if (i == start) break;
    std::wstring part(rest.substr(start, i - start));
    if (!verbatim && part == L".") continue;
    if (!verbatim && part == L"..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(std::move(part));
  }
  if (parts.size() < 2 || !Is(parts[0], L"Windows")) return path;
  if (Is(parts[1], L"Sysnative")) {
    parts[1] = L"System32";
  } else if (Is(parts[1], L"System32") && !Exempt(parts)) {
    parts[1] = L"SysWOW64";
  } else {
    return path;
  }
  std::wstring out = prefix;
  out += letter;
  out += L":";
  for (const std::wstring& part : parts) out += L"\\" + part;
  if (trailing) out += L'\\';
  return out;
}

std::wstring RedirectForWow64(const std::wstring& path) {
  if (redirectionOff || !IsWow64()) return path;
  return RedirectSystem32(path);
}

win::UINT GetWindowsDirectoryW(win::WCHAR* buffer, win::UINT units) { return CopyOut(kWindowsFolder, buffer, units); }

win::UINT GetSystemDirectoryW(win::WCHAR* buffer, win::UINT units) { return CopyOut(kSystemFolder, buffer, units); }

win::UINT GetSystemWow64DirectoryW(win::WCHAR* buffer, win::UINT units) {
  std::shared_ptr<Machine> machine = CurrentMachineOrNull();
  if (machine && !MachineIs64Bit(*machine)) {
    SetLastError(kErrorCallNotImplemented);
    return 0;
  }
  return CopyOut(kWow64Folder, buffer, units);
}

win::HMODULE GetModuleHandleW(const win::WCHAR* name) {
  if (name != nullptr) {
    std::wstring n(name);
    if (Is(n, L"kernel32") || Is(n, L"kernel32.dll")) return &kernel32Module;
  }
  SetLastError(win::ERROR_MOD_NOT_FOUND);
  return nullptr;
}

win::HMODULE LoadLibraryW(const win::WCHAR* name) { return GetModuleHandleW(name); }

win::BOOL FreeLibrary(win::HMODULE module) {
  if (module != &kernel32Module) {
    SetLastError(win::ERROR_INVALID_HANDLE);
    return win::FALSE;
  }
  return win::TRUE;
}

ProcAddress GetProcAddress(win::HMODULE module, const char* name) {
  if (module != &kernel32Module) {
    SetLastError(win::ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  struct Export {
    const char* name;
    ProcAddress address;
  };
  static const std::array<Export, 6> kExports = {{
      {"IsWow64Process", reinterpret_cast<ProcAddress>(&IsWow64Process)},
      {"Wow64DisableWow64FsRedirection", reinterpret_cast<ProcAddress>(&Wow64DisableWow64FsRedirection)},
      {"Wow64RevertWow64FsRedirection", reinterpret_cast<ProcAddress>(&Wow64RevertWow64FsRedirection)},
      {"GetSystemWow64DirectoryW", reinterpret_cast<ProcAddress>(&GetSystemWow64DirectoryW)},
      {"GetSystemDirectoryW", reinterpret_cast<ProcAddress>(&GetSystemDirectoryW)},
      {"GetWindowsDirectoryW", reinterpret_cast<ProcAddress>(&GetWindowsDirectoryW)},
  }};
  if (name != nullptr) {
    for (const Export& e : kExports) {
      if (std::strcmp(e.name, name) != 0) continue;
      // Procedure names match with case, as Windows' export look-up does.
      std::shared_ptr<Machine> machine = CurrentMachineOrNull();
      std::optional<std::string> missing = machine ? machine->Setting("kernel32.missing") : std::nullopt;
      if (missing) {
        std::string list = "," + *missing + ",";
        std::erase(list, ' ');
        if (list.find("," + std::string(name) + ",") != std::string::npos) break;
      }
      return e.address;
    }
  }
  SetLastError(kErrorProcNotFound);
  return nullptr;
}

// ---- Wow64FileApi ------------------------------------------------------------

namespace {

std::wstring R(const win::WCHAR* path) { return path ? RedirectForWow64(path) : std::wstring(); }

}  // namespace

#define ZV_PATH(p) ((p) ? R(p).c_str() : nullptr)

win::DWORD Wow64FileApi::GetFileAttributesW(const win::WCHAR* path) { return inner_.GetFileAttributesW(ZV_PATH(path)); }
win::BOOL Wow64FileApi::SetFileAttributesW(const win::WCHAR* path, win::DWORD attributes) {
  return inner_.SetFileAttributesW(ZV_PATH(path), attributes);
}
win::BOOL Wow64FileApi::CopyFileW(const win::WCHAR* existing, const win::WCHAR* newFile, win::BOOL failIfExists) {
  return inner_.CopyFileW(ZV_PATH(existing), ZV_PATH(newFile), failIfExists);
}
win::BOOL Wow64FileApi::DeleteFileW(const win::WCHAR* path) { return inner_.DeleteFileW(ZV_PATH(path)); }
win::BOOL Wow64FileApi::CreateDirectoryW(const win::WCHAR* path, const SecurityDescriptor* security) {
  return inner_.CreateDirectoryW(ZV_PATH(path), security);
}
win::BOOL Wow64FileApi::RemoveDirectoryW(const win::WCHAR* path) { return inner_.RemoveDirectoryW(ZV_PATH(path)); }
win::BOOL Wow64FileApi::MoveFileExW(const win::WCHAR* existing, const win::WCHAR* newName, win::DWORD flags) {
  return inner_.MoveFileExW(ZV_PATH(existing), ZV_PATH(newName), flags);
}
int Wow64FileApi::SHCreateDirectoryExW(win::HWND window, const win::WCHAR* path, const SecurityDescriptor* security) {
  return inner_.SHCreateDirectoryExW(window, ZV_PATH(path), security);
}
win::BOOL Wow64FileApi::GetFileSecurityW(const win::WCHAR* path, SecurityDescriptor* out) {
  return inner_.GetFileSecurityW(ZV_PATH(path), out);
}
win::BOOL Wow64FileApi::GetFileSecurityW(const win::WCHAR* path, SECURITY_INFORMATION requested, void* descriptor,
                                         win::DWORD length, win::DWORD* needed) {
  return inner_.GetFileSecurityW(ZV_PATH(path), requested, descriptor, length, needed);
}
win::DWORD Wow64FileApi::GetLongPathNameW(const win::WCHAR* shortPath, win::WCHAR* longPath, win::DWORD units) {
  // The name given comes back: only where it is looked up is redirected.
  return inner_.GetLongPathNameW(shortPath, longPath, units);
}
win::DWORD Wow64FileApi::GetShortPathNameW(const win::WCHAR* longPath, win::WCHAR* shortPath, win::DWORD units) {
  return inner_.GetShortPathNameW(longPath, shortPath, units);
}
win::HANDLE Wow64FileApi::CreateFileW(const win::WCHAR* path, win::DWORD desiredAccess, win::DWORD shareMode,
                                      const void* securityAttributes, win::DWORD creationDisposition,
                                      win::DWORD flagsAndAttributes, win::HANDLE templateFile) {
  return inner_.CreateFileW(ZV_PATH(path), desiredAccess, shareMode, securityAttributes, creationDisposition,
                            flagsAndAttributes, templateFile);
}
win::BOOL Wow64FileApi::ReadFile(win::HANDLE file, void* buffer, win::DWORD bytesToRead, win::DWORD* bytesRead,
                                 win::OVERLAPPED* overlapped) {
  return inner_.ReadFile(file, buffer, bytesToRead, bytesRead, overlapped);
}
win::BOOL Wow64FileApi::WriteFile(win::HANDLE file, const void* buffer, win::DWORD bytesToWrite,
                                  win::DWORD* bytesWritten, win::OVERLAPPED* overlapped) {
  return inner_.WriteFile(file, buffer, bytesToWrite, bytesWritten, overlapped);
}
win::BOOL Wow64FileApi::SetFilePointerEx(win::HANDLE file, win::LONGLONG distance, win::LONGLONG* newPosition,
                                         win::DWORD moveMethod) {
  return inner_.SetFilePointerEx(file, distance, newPosition, moveMethod);
}
win::BOOL Wow64FileApi::FlushFileBuffers(win::HANDLE file) { return inner_.FlushFileBuffers(file); }
win::BOOL Wow64FileApi::GetFileSizeEx(win::HANDLE file, win::LONGLONG* size) { return inner_.GetFileSizeEx(file, size); }
win::HANDLE Wow64FileApi::FindFirstFileW(const win::WCHAR* pattern, win::WIN32_FIND_DATAW* data) {
  if (pattern == nullptr) return inner_.FindFirstFileW(pattern, data);
  // The mask is not a folder: redirect the folder part only.
  std::wstring p(pattern);
  std::size_t cut = p.find_last_of(L"\\/");
  if (cut == std::wstring::npos) return inner_.FindFirstFileW(pattern, data);
  std::wstring folder = RedirectForWow64(p.substr(0, cut + 1));
  if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
  return inner_.FindFirstFileW((folder + p.substr(cut + 1)).c_str(), data);
}
win::BOOL Wow64FileApi::FindNextFileW(win::HANDLE find, win::WIN32_FIND_DATAW* data) {
  return inner_.FindNextFileW(find, data);
}
win::BOOL Wow64FileApi::FindClose(win::HANDLE find) { return inner_.FindClose(find); }
bool Wow64FileApi::AppendToFile(const std::wstring& path, const std::string& bytes) {
  return inner_.AppendToFile(RedirectForWow64(path), bytes);
}

#undef ZV_PATH

void UseWow64Files() {
  if (!IsWow64()) return;
  static Wow64FileApi* files = new Wow64FileApi(Files::Get());  // lives until the process ends
  Api<FileApi>::Exchange(files);
  SetProgramSearchRewrite(&RedirectForWow64);
}

void EnsureSystemFolders(Machine& machine) {
  FileApi& files = Files::Get();
  std::vector<std::wstring> folders = {L"C:\\Windows\\System32\\drivers"};
  if (MachineIs64Bit(machine)) {
    folders.push_back(L"C:\\Windows\\SysWOW64");
    folders.push_back(L"C:\\Windows\\SysWOW64\\drivers");
  }
  for (const std::wstring& folder : folders) {
    if (files.GetFileAttributesW(folder.c_str()) == win::INVALID_FILE_ATTRIBUTES) {
      files.SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    }
  }
}

}  // namespace zv::platform
