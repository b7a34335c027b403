// Process tracking of the backup engine (see backupengine.h).
//
// Owns: the process table and free-process name rules, the process and
// image-load handlers, the direct-free registration with the driver, the
// garbage collection of ended processes, the free-process dump and the
// process snapshots.
// Must not: hold ProcessLock or ProcessRuleLock for more than one table
// operation, or log while holding one.
#include <algorithm>
#include <set>
#include <shared_mutex>

#include "driver_channel/port_client.h"
#include "driver_channel/records.h"
#include "engines/backup/backupengine.h"
#include "log/log.h"
#include "platform/base/clock.h"
#include "platform/base/debug_output.h"
#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/filter/filter_api.h"
#include "platform/processes/process_api.h"

namespace zv::engines {
namespace {

constexpr wchar_t kTag[] = L"BE";
constexpr std::uint32_t kTableLevel = 0x1000;
constexpr std::uint32_t kImageLevel = 0x8;
constexpr std::uint32_t kListLevel = 0x2000;
constexpr win::DWORD kImagePathUnits = 512;
constexpr win::DWORD kModulePathUnits = 260;
constexpr win::DWORD kSystemProcessId = 4;

// The suite's own service processes, tested in this order.
constexpr const wchar_t* kDirectFreeNames[] = {L"mxred.exe", L"tmbmsrv.exe", L"coreserviceshell.exe",
                                               L"coreframeworkhost", L"ntrtscan.exe"};

std::wstring TextOfField(const win::WCHAR* field, std::size_t units) {
  return std::wstring(field, std::find(field, field + units, L'\0'));
}

bool EndsWithDll(const std::wstring& path) {
  return path.size() >= 4 && text::AsciiIEquals(std::wstring_view(path).substr(path.size() - 4), L".dll");
}

bool ContainsAny(const FragmentIndex& fragments, const std::wstring& text) {
  return fragments.FirstInsertedContained(text) != FragmentIndex::kNone;
}

}  // namespace

// ---- Process table ------------------------------------------------------------------

bool backupengine::SetProcessType(win::DWORD processId, std::uint32_t type) {
  std::lock_guard lock(ProcessLock);
  ProcessTable[processId] = type;
  return true;
}

bool backupengine::DelProcess(win::DWORD processId) {
  std::size_t remain = 0;
  {
    std::lock_guard lock(ProcessLock);
    ProcessTable.erase(processId);
    remain = ProcessTable.size();
  }
  log::LogWrite(kTableLevel, kTag, L"DelProcess %d Remain Process [%d] ", processId, remain);
  return true;
}

std::uint32_t backupengine::GetProcessType(win::DWORD processId) {
  std::shared_lock lock(ProcessLock);
  auto it = ProcessTable.find(processId);
  return it == ProcessTable.end() ? 0 : it->second;
}

bool backupengine::HasProcessType(win::DWORD processId, std::uint32_t mask) {
  std::shared_lock lock(ProcessLock);
  auto it = ProcessTable.find(processId);
  return it != ProcessTable.end() && (it->second & mask) != 0;
}

bool backupengine::FindProcessType(win::DWORD processId, std::uint32_t mask, std::uint32_t& type) {
  std::shared_lock lock(ProcessLock);
  auto it = ProcessTable.find(processId);
  if (it == ProcessTable.end() || (it->second & mask) == 0) return false;
  type = it->second;
  return true;
}

void backupengine::CollectProcessIds(std::vector<win::DWORD>& ids) {
  std::shared_lock lock(ProcessLock);
  for (const auto& entry : ProcessTable) ids.push_back(entry.first);
}

std::map<win::DWORD, std::uint32_t> backupengine::ProcessTableCopy() {
  std::shared_lock lock(ProcessLock);
  return ProcessTable;
}

// ---- Free-process name rules ---------------------------------------------------------

void backupengine::AddFreeProcessName(std::wstring_view name) {
  std::wstring key = text::AsciiLowerCopy(name);
  std::lock_guard lock(ProcessRuleLock);
  FreeProcessNameIndex.Insert(key);
  FreeProcessNames.insert(std::move(key));
}

void backupengine::AddFreeProcessException(std::wstring_view name) {
  std::wstring key = text::AsciiLowerCopy(name);
  std::lock_guard lock(ProcessRuleLock);
  FreeProcessExceptionIndex.Insert(key);
  FreeProcessExceptions.insert(std::move(key));
}

int backupengine::GetFreeProcessByRule(std::wstring_view path) {
  thread_local std::wstring lower;
  AsciiLowerInto(path, lower);
  std::shared_lock lock(ProcessRuleLock);
  int result = 0;
  if (ContainsAny(FreeProcessNameIndex, lower)) result = 2;
  if (ContainsAny(FreeProcessExceptionIndex, lower)) result = 1;
  return result;
}

bool backupengine::IsFreeProcessName(std::wstring_view path) {
  thread_local std::wstring lower;
  AsciiLowerInto(path, lower);
  std::shared_lock lock(ProcessRuleLock);
  return ContainsAny(FreeProcessNameIndex, lower) && !ContainsAny(FreeProcessExceptionIndex, lower);
}

// ---- Notifications ---------------------------------------------------------------------

void backupengine::ProcessNotify(const channel::_MXRED_NOTIFICATION& n) {
  const win::DWORD parent = n.Param1;
  const win::DWORD child = n.ProcessId;
  if (n.Param2 == 0) {
    log::LogWrite(kTableLevel, kTag, L"[del process] , %d", child);
    DelProcess(child);
    return;
  }
  if (HasProcessType(parent, kBackupProcessFree)) {
    log::LogWrite(kTableLevel, kTag, L"[Free Process]parent = %d Create %d", parent, child);
    SetProcessType(child, kBackupProcessFree | kBackupProcessInherited);
  } else {
    log::LogWrite(kTableLevel, kTag, L"[Normal Process]parent = %d Create %d", parent, child);
  }
}

void backupengine::ImageNotify(const channel::_MXRED_NOTIFICATION& n) {
  const std::wstring path = n.SourcePath();
  const win::DWORD pid = n.ProcessId;
  if (EndsWithDll(path)) return;

  std::uint32_t t = kBackupProcessNormal;
  if (FindProcessType(pid, 0xFFFFF, t)) {
    if ((t & kBackupProcessInherited) == 0) {
      log::LogWrite(kImageLevel, kTag, L"[ImageNotify]Check Inherit Reutnr %d,%s,%d", pid, path, t);
      return;
    }
    t &= ~kBackupProcessInherited;
    DelProcess(pid);
    log::LogWrite(kImageLevel, kTag, L"[ImageNotify]DelSpecial process  %d,%s,%d", pid, path, t);
  }

  PathMatch match;
  if (PathConverter.SearchDevicePath(path, match) != PathSearch::Match) {
    log::LogWrite(kImageLevel, kTag, L"[Parsing Error] %s", path);
    return;
  }
  const std::wstring dos = MakeRedirectPathString(match).DosPath;
  const int rule = GetFreeProcessByRule(dos);
  log::LogWrite(kImageLevel, kTag, L"GetFreeProcessByRule [%d] %s ptype = %d", pid, dos, rule);

  if (rule == 2 && !IsTouched(dos, kTouchBackedUp | kTouchNewFile)) {
    log::LogWrite(kImageLevel, kTag, L"Add FreeProcess Rule[%d] %s", pid, dos);
    SetProcessType(pid, kBackupProcessFree);
    CheckAndAddDriverDirectFree(dos, pid);
    return;
  }
  if (rule == 1) {
    log::LogWrite(kImageLevel, kTag, L"Add Normal Process[%d] %s", pid, dos);
    SetProcessType(pid, kBackupProcessNormal);
    return;
  }
  win::DWORD session = 0;
  if (!SessionFilter.load() || !platform::Processes::Get().ProcessIdToSessionId(pid, &session)) {
    log::LogWrite(kImageLevel, kTag, L"Add  Process by Inherit[%d] %s %d", pid, dos, t);
    SetProcessType(pid, t);
  } else if (session != 0 || t == kBackupProcessFree) {
    SetProcessType(pid, kBackupProcessNormal);
  } else {
    SetProcessType(pid, kBackupProcessFree);
    log::AppendLog(kSessionFilterLogPath, L",<ImageNotify:SessionFilter Free> ,Process = %s ,pid = %d \n", dos, pid);
  }
}

// ---- Direct-free registration ---------------------------------------------------------

bool backupengine::CheckAndAddDriverDirectFree(std::wstring_view name, win::DWORD processId) {
  const std::wstring lower = text::AsciiLowerCopy(name);
  bool send = processId == kSystemProcessId;
  for (const wchar_t* known : kDirectFreeNames) {
    if (send) break;
    send = lower.find(known) != std::wstring::npos;
  }
  if (!send) return true;
  channel::MXRED_COMMAND command = channel::MakeAddDirectFreeCommand(processId);
  win::DWORD returned = 0;
  win::HRESULT hr = platform::Filters::Get().FilterSendMessage(channel::SharedPortHandle(), &command,
                                                               channel::kCommandSize, nullptr, 0, &returned);
  if (win::FAILED(hr)) {
    log::LogWrite(1, L"CheckAndAddDriverDirectFree", L"<ERROR> (ERROR:0x%08X)=FilterSendMessage()", hr);
  } else {
    log::LogWrite(1, L"CheckAndAddDriverDirectFree", L"<SUCCESS> (ERROR:0x%08X)=FilterSendMessage()", hr);
  }
  return true;
}

void backupengine::RegisterDirectFreeProcesses() {
  for (const auto& entry : TakeProcessSnapshot(SnapshotFill::ImagePaths)) {
    CheckAndAddDriverDirectFree(entry.Name, entry.ProcessId);
    if (IsFreeProcessName(entry.Name)) SetProcessType(entry.ProcessId, kBackupProcessFree);
  }
}

void backupengine::FirstDriverDirectFree() {
  while (channel::SharedPortHandle() == win::INVALID_HANDLE_VALUE && WriterRun.load()) {
    platform::OutputDebugStringW(L"FirstDriverDirectFree Wait");
    platform::Sleep(kDirectFreeWaitMs);
  }
  RegisterDirectFreeProcesses();
}

// ---- Garbage collection and the free-process dump ---------------------------------------

void backupengine::CollectEndedProcesses() {
  std::vector<win::DWORD> ids;
  CollectProcessIds(ids);
  bool taken = false;
  std::vector<BackupSnapshotEntry> snapshot = TakeProcessSnapshot(SnapshotFill::Names, &taken);
  // Without a snapshot every process would look ended and lose its type.
  if (!taken) return;
  std::set<win::DWORD> running;
  for (const auto& entry : snapshot) running.insert(entry.ProcessId);
  for (win::DWORD id : ids) {
    if (running.count(id)) continue;
    log::LogWrite(kListLevel, kTag, L"Garbage PID deleted %d", id);
    DelProcess(id);
  }
}

void backupengine::GarbagePidThread() {
  while (GarbageRun.load()) {
    platform::Sleep(kGarbagePauseMs);
    CollectEndedProcesses();
  }
}

void backupengine::DumpFreeProcesses() {
  int count = 0;
  for (const auto& entry : TakeProcessSnapshot(SnapshotFill::ModulePaths)) {
    if (!HasProcessType(entry.ProcessId, kBackupProcessFree)) continue;
    log::LogWrite(kListLevel, kTag, L"Free_Process_List %d , %s", entry.ProcessId, entry.Name);
    ++count;
  }
  log::LogWrite(kListLevel, kTag, L"Total FreeProcess %d", count);

  std::vector<win::DWORD> free;
  {
    std::lock_guard lock(ProcessLock);
    for (const auto& [id, type] : ProcessTable) {
      if (type & kBackupProcessFree) free.push_back(id);
    }
  }
  for (win::DWORD id : free) log::LogWrite(kListLevel, kTag, L"Free_Process From Map [ %d]", id);
  log::LogWrite(kListLevel, kTag, L"Total FreeProcess From Map %d", free.size());
}

// ---- Snapshots ---------------------------------------------------------------------------

std::vector<BackupSnapshotEntry> backupengine::TakeProcessSnapshot(SnapshotFill fill, bool* taken) {
  std::vector<BackupSnapshotEntry> entries;
  if (taken) *taken = false;
  auto& processes = platform::Processes::Get();
  win::HANDLE snapshot = processes.CreateToolhelp32Snapshot(win::TH32CS_SNAPPROCESS, 0);
  if (snapshot == win::INVALID_HANDLE_VALUE || snapshot == nullptr) return entries;
  if (taken) *taken = true;

  win::PROCESSENTRY32W record;
  for (win::BOOL more = processes.Process32FirstW(snapshot, &record); more;
       more = processes.Process32NextW(snapshot, &record)) {
    std::wstring name = TextOfField(record.szExeFile, win::MAX_PATH);
    std::wstring longer;
    if (fill == SnapshotFill::ImagePaths) {
      win::HANDLE process =
          processes.OpenProcess(win::PROCESS_QUERY_LIMITED_INFORMATION, win::FALSE, record.th32ProcessID);
      if (process != nullptr) {
        win::WCHAR buffer[kImagePathUnits] = {};
        win::DWORD units = kImagePathUnits;
        if (processes.QueryFullProcessImageNameW(process, 0, buffer, &units)) {
          longer = TextOfField(buffer, std::min(units, kImagePathUnits));
        }
        platform::CloseHandle(process);
      }
    } else if (fill == SnapshotFill::ModulePaths) {
      win::HANDLE process = processes.OpenProcess(win::PROCESS_ALL_ACCESS, win::FALSE, record.th32ProcessID);
      if (process != nullptr) {
        win::WCHAR buffer[kModulePathUnits] = {};
        win::DWORD units = processes.K32GetModuleFileNameExW(process, nullptr, buffer, kModulePathUnits);
        longer = TextOfField(buffer, std::min(units, kModulePathUnits));
        platform::CloseHandle(process);
      }
    }
    if (longer.size() > name.size()) name = std::move(longer);
    entries.push_back({record.th32ProcessID, record.th32ParentProcessID, text::AsciiLowerCopy(name)});
    record = win::PROCESSENTRY32W{};
  }
  platform::CloseHandle(snapshot);
  return entries;
}

}  // namespace zv::engines
