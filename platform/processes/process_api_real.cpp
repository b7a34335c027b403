// The real ProcessApi, process calls: see process_api_real.h. Tokens,
// the named mutex and WinExec live in tokens.cpp, named_mutex.cpp and
// win_exec.cpp.
#include "platform/processes/process_api_real.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "platform/processes/process_table.h"
#include "platform/base/text.h"

namespace zv::platform {

template <>
ProcessApi& Api<ProcessApi>::Default() {
  static RealProcessApi* api = new RealProcessApi;  // lives until the process ends
  return *api;
}

namespace {

const win::HANDLE kCurrentProcessPseudo = reinterpret_cast<win::HANDLE>(~std::uintptr_t{0});
constexpr win::DWORD kMaximumAllowed = 0x02000000;

class SnapshotObject : public KernelObject {
 public:
  std::mutex mutex;
  std::vector<MachineProcess> processes;
  std::size_t next = 0;
};

// The machine, or null with ERROR_NOT_READY when there is none.
std::shared_ptr<Machine> MachineOrFail() {
  try {
    return Machine::Current();
  } catch (const MachineError&) {
    SetLastError(win::ERROR_NOT_READY);
    return nullptr;
  }
}

// What a process handle names; the pseudo handle is us with all access.
std::shared_ptr<ProcessObject> ResolveProcess(win::HANDLE handle) {
  if (handle == kCurrentProcessPseudo) {
    return std::make_shared<ProcessObject>(CurrentProcessPid(), win::PROCESS_ALL_ACCESS, CurrentProcessImage(),
                                           CurrentProcessSession());
  }
  auto p = LookupHandleAs<ProcessObject>(handle);
  return p && p->thread == 0 ? p : nullptr;  // a main-thread handle is no process handle
}

bool Grants(const ProcessObject& p, win::DWORD needed) { return (p.access & needed) == needed; }

bool GrantsQuery(const ProcessObject& p) {
  return (p.access & (win::PROCESS_QUERY_INFORMATION | win::PROCESS_QUERY_LIMITED_INFORMATION)) != 0;
}

// Copies text into a caller's buffer as GetModuleFileName does: truncated
// text keeps size-1 units and a terminator.
win::DWORD CopyTruncated(const std::wstring& s, win::WCHAR* buffer, win::DWORD size, bool& truncated) {
  truncated = s.size() >= size;
  if (size == 0) return 0;
  std::size_t n = std::min<std::size_t>(s.size(), size - 1);
  std::copy_n(s.data(), n, buffer);
  buffer[n] = 0;
  return static_cast<win::DWORD>(n);
}

bool StillRunning(win::DWORD pid) {
  if (pid == CurrentProcessPid()) return true;
  std::shared_ptr<Machine> m = MachineOrFail();
  return m && FindProcess(*m, pid).has_value();
}

std::wstring NativeImagePath(Machine& m, const std::wstring& dos) {
  if (dos.size() < 2 || dos[1] != L':') return std::wstring();
  std::string device;
  m.Read([&](sqlite3* db) {
    Statement q(db, "SELECT device FROM volumes WHERE letter = ?;");
    q.Bind(1, text::ToUtf8(dos.substr(0, 2)));
    if (q.Step()) device = q.Text(0);
  });
  if (device.empty()) return std::wstring();
  return text::FromUtf8(device) + dos.substr(2);
}

}  // namespace

// ---- Snapshot ---------------------------------------------------------------------

win::HANDLE RealProcessApi::CreateToolhelp32Snapshot(win::DWORD flags, win::DWORD processId) {
  std::shared_ptr<Machine> m = MachineOrFail();
  if (!m) return win::INVALID_HANDLE_VALUE;
  auto snapshot = std::make_shared<SnapshotObject>();
  try {
    if (flags & win::TH32CS_SNAPPROCESS) {
      CurrentProcessPid();  // we are among the running processes
      snapshot->processes = ListProcesses(*m);
    }
  } catch (const MachineError&) {
    SetLastError(win::ERROR_NOT_READY);
    return win::INVALID_HANDLE_VALUE;
  }
  return RegisterHandle(snapshot);
}

static win::BOOL FillEntry(win::HANDLE handle, win::PROCESSENTRY32W* entry, bool first) {
  auto snapshot = LookupHandleAs<SnapshotObject>(handle);
  if (!snapshot) {
    SetLastError(win::ERROR_INVALID_HANDLE);
    return win::FALSE;
  }
  if (!entry || entry->dwSize < sizeof(win::PROCESSENTRY32W)) {
    SetLastError(win::ERROR_BAD_LENGTH);
    return win::FALSE;
  }
  std::lock_guard lock(snapshot->mutex);
  if (first) snapshot->next = 0;
  if (snapshot->next >= snapshot->processes.size()) {
    SetLastError(win::ERROR_NO_MORE_FILES);
    return win::FALSE;
  }
  const MachineProcess& p = snapshot->processes[snapshot->next++];
  win::DWORD size = entry->dwSize;
  *entry = win::PROCESSENTRY32W{};
  entry->dwSize = size;
  entry->th32ProcessID = p.pid;
  entry->th32ParentProcessID = p.parent;
  entry->cntThreads = 1;
  entry->pcPriClassBase = 8;
  // Toolhelp names the idle process "[System Process]".
  std::wstring name = p.pid == 0 ? std::wstring(L"[System Process]") : process_detail::FileNameOf(p.image);
  std::size_t n = std::min<std::size_t>(name.size(), win::MAX_PATH - 1);
  std::copy_n(name.data(), n, entry->szExeFile);
  entry->szExeFile[n] = 0;
  return win::TRUE;
}

win::BOOL RealProcessApi::Process32FirstW(win::HANDLE snapshot, win::PROCESSENTRY32W* entry) {
  return FillEntry(snapshot, entry, true);
}

win::BOOL RealProcessApi::Process32NextW(win::HANDLE snapshot, win::PROCESSENTRY32W* entry) {
  return FillEntry(snapshot, entry, false);
}

// ---- Process handles ------------------------------------------------------------------

win::HANDLE RealProcessApi::OpenProcess(win::DWORD desiredAccess, win::BOOL inheritHandle, win::DWORD processId) {
  if (processId == 0 || processId == 4) {
    SetLastError(win::ERROR_ACCESS_DENIED);
    return nullptr;
  }
  std::shared_ptr<Machine> m = MachineOrFail();
  if (!m) return nullptr;
  std::optional<MachineProcess> p;
  try {
    CurrentProcessPid();
    p = FindProcess(*m, processId);
  } catch (const MachineError&) {
    SetLastError(win::ERROR_NOT_READY);
    return nullptr;
  }
  if (!p) {
    SetLastError(win::ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (p->isProtected) {
    SetLastError(win::ERROR_ACCESS_DENIED);
    return nullptr;
  }
  win::DWORD access = desiredAccess;
  if (access & (kMaximumAllowed | win::GENERIC_ALL)) access = win::PROCESS_ALL_ACCESS;
  return RegisterHandle(std::make_shared<ProcessObject>(p->pid, access, p->image, p->session, m));
}

win::BOOL RealProcessApi::QueryFullProcessImageNameW(win::HANDLE process, win::DWORD flags, win::WCHAR* buffer,
                                                     win::DWORD* size) {
  auto p = ResolveProcess(process);
  if (!p) {
    SetLastError(win::ERROR_INVALID_HANDLE);
    return win::FALSE;
  }
  if (!GrantsQuery(*p)) {
    SetLastError(win::ERROR_ACCESS_DENIED);
    return win::FALSE;
  }
  if ((flags & ~win::PROCESS_NAME_NATIVE) != 0 || !size || (!buffer && *size != 0)) {
    SetLastError(win::ERROR_INVALID_PARAMETER);
    return win::FALSE;
  }
  std::wstring path = p->image;
  if (flags & win::PROCESS_NAME_NATIVE) {
    std::shared_ptr<Machine> m = MachineOrFail();
    if (!m) return win::FALSE;
    try {
      path = NativeImagePath(*m, p->image);
    } catch (const MachineError&) {
      path.clear();
    }
    if (path.empty()) {
      SetLastError(win::ERROR_PATH_NOT_FOUND);
      return win::FALSE;
    }
  }
  if (path.size() >= *size) {
    SetLastError(win::ERROR_INSUFFICIENT_BUFFER);
    return win::FALSE;
  }
  std::copy(path.begin(), path.end(), buffer);
  buffer[path.size()] = 0;
  *size = static_cast<win::DWORD>(path.size());
  return win::TRUE;
}

win::DWORD RealProcessApi::K32GetModuleFileNameExW(win::HANDLE process, win::HMODULE module, win::WCHAR* buffer,
                                                   win::DWORD size) {
  auto p = ResolveProcess(process);
  if (!p) {
    SetLastError(win::ERROR_INVALID_HANDLE);
    return 0;
  }
  // The main module needs only limited query access (as since Windows 10);
  // other modules would need query and read access, and there are none.
  if (module != nullptr) {
    SetLastError(win::ERROR_INVALID_HANDLE);
    return 0;
  }
  if (!GrantsQuery(*p) && !Grants(*p, win::PROCESS_QUERY_INFORMATION | win::PROCESS_VM_READ)) {
    SetLastError(win::ERROR_ACCESS_DENIED);
    return 0;
  }
  // An ended process has no modules left to read.
  if (!StillRunning(p->pid)) {
    SetLastError(win::ERROR_PARTIAL_COPY);
    return 0;
  }
  if (size == 0 || !buffer) {
    SetLastError(win::ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  bool truncated = false;
  return CopyTruncated(p->image, buffer, size, truncated);
}

win::BOOL RealProcessApi::ProcessIdToSessionId(win::DWORD processId, win::DWORD* sessionId) {
  if (!sessionId) {
    SetLastError(win::ERROR_NOACCESS);
    return win::FALSE;
  }
  if (processId == CurrentProcessPid()) {
    *sessionId = CurrentProcessSession();
    return win::TRUE;
  }
  std::shared_ptr<Machine> m = MachineOrFail();
  if (!m) return win::FALSE;
  std::optional<MachineProcess> p;
  try {
    p = FindProcess(*m, processId);
  } catch (const MachineError&) {
    SetLastError(win::ERROR_NOT_READY);
    return win::FALSE;
  }
  if (!p) {
    SetLastError(win::ERROR_INVALID_PARAMETER);
    return win::FALSE;
  }
  *sessionId = p->session;
  return win::TRUE;
}

win::BOOL RealProcessApi::TerminateProcess(win::HANDLE process, win::UINT exitCode) {
  auto p = ResolveProcess(process);
  if (!p) {
    SetLastError(win::ERROR_INVALID_HANDLE);
    return win::FALSE;
  }
  if (!Grants(*p, win::PROCESS_TERMINATE)) {
    SetLastError(win::ERROR_ACCESS_DENIED);
    return win::FALSE;
  }
  if (p->pid == CurrentProcessPid()) {
    // Ending ourselves: the code first, then no clean-up at all, as a
    // terminated process gets none; the row goes once we are gone.
    RecordCurrentProcessExit(exitCode);
    std::_Exit(static_cast<int>(exitCode));
  }
  std::shared_ptr<Machine> m = MachineOrFail();
  if (!m) return win::FALSE;
  EndResult result;
  try {
    result = EndProcess(*m, p->pid, exitCode);
  } catch (const MachineError&) {
    SetLastError(win::ERROR_NOT_READY);
    return win::FALSE;
  }
  if (result != EndResult::Ended) {
    // A process that has already ended refuses, as on Windows.
    SetLastError(win::ERROR_ACCESS_DENIED);
    return win::FALSE;
  }
  return win::TRUE;
}

win::DWORD RealProcessApi::GetCurrentProcessId() { return CurrentProcessPid(); }

win::HANDLE RealProcessApi::GetCurrentProcess() { return kCurrentProcessPseudo; }

win::DWORD RealProcessApi::GetModuleFileNameW(win::HMODULE module, win::WCHAR* buffer, win::DWORD size) {
  if (module != nullptr) {
    SetLastError(win::ERROR_MOD_NOT_FOUND);  // we load no modules
    return 0;
  }
  if (!buffer && size != 0) {
    SetLastError(win::ERROR_NOACCESS);
    return 0;
  }
  bool truncated = false;
  win::DWORD n = CopyTruncated(CurrentProcessImage(), buffer, size, truncated);
  if (truncated) {
    SetLastError(win::ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  return n;
}

}  // namespace zv::platform
