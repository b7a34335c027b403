// Engine base (see baseengine.h).
//
// Owns: the table operations, the process snapshot walk and the name-rule
// classification of running processes.
// Must not: take the locks in another order than snapshot, name rules,
// special processes; log while holding any lock but the special-process one.
#include "engines/base/baseengine.h"

#include <algorithm>
#include <shared_mutex>

#include "log/log.h"
#include "platform/base/handles.h"
#include "platform/processes/process_api.h"
#include "platform/base/text.h"

namespace zv::engines {

namespace {

constexpr win::DWORD kModulePathUnits = win::MAX_PATH;

std::wstring TextOfField(const win::WCHAR* field, std::size_t units) {
  return std::wstring(field, std::find(field, field + units, L'\0'));
}

}  // namespace

bool baseengine::AddSpecialProcess(std::uint32_t processId, std::uint32_t type) {
  std::lock_guard lock(SpecialProcessLock);
  log::LogWrite(kBaseLogLevel, L"BASE", L"AddSpecialProcess Start, %d type=%x", static_cast<int>(processId),
                static_cast<unsigned>(type));
  SpecialProcesses.emplace(processId, type);
  return true;
}

bool baseengine::DelSpecialProcess(std::uint32_t processId) {
  std::lock_guard lock(SpecialProcessLock);
  log::LogWrite(kBaseLogLevel, L"BASE", L"DelSpecialProcess Start, %d", static_cast<int>(processId));
  SpecialProcesses.erase(processId);
  return true;
}

bool baseengine::QuerySpecialProcess(std::uint32_t processId, std::uint32_t mask, std::uint32_t* type) {
  std::shared_lock lock(SpecialProcessLock);
  auto it = SpecialProcesses.find(processId);
  if (it == SpecialProcesses.end() || (it->second & mask) == 0) return false;
  if (type) *type = it->second;
  return true;
}

void baseengine::AddProcessNameRule(std::wstring_view fragment, std::uint32_t type) {
  std::wstring key = text::AsciiLowerCopy(fragment);
  std::lock_guard lock(NameRuleLock);
  if (NameRuleIndex.Insert(key) == NameRuleTypes.size()) NameRuleTypes.push_back(type);
  ProcessNameRules.emplace(std::move(key), type);
}

bool baseengine::MatchProcessNameRules(std::wstring_view path, std::uint32_t mask, std::uint32_t* type) {
  thread_local std::wstring lowered;
  AsciiLowerInto(path, lowered);
  std::shared_lock lock(NameRuleLock);
  // The last match in key order is the greatest matching key.
  std::uint32_t id =
      NameRuleIndex.GreatestContained(lowered, [&](std::uint32_t rule) { return (NameRuleTypes[rule] & mask) != 0; });
  if (id == FragmentIndex::kNone) return false;
  if (type) *type = NameRuleTypes[id];
  return true;
}

void baseengine::ClearProcessNameRules() {
  std::lock_guard lock(NameRuleLock);
  ClearNameRulesLocked();
}

void baseengine::ClearNameRulesLocked() {
  ProcessNameRules.clear();
  NameRuleIndex.Clear();
  NameRuleTypes.clear();
}

void baseengine::RefreshProcessSnapshot(const std::unique_lock<std::mutex>& snapshotHeld) {
  if (!snapshotHeld.owns_lock() || snapshotHeld.mutex() != &SnapshotLock) return;

  auto& processes = platform::Processes::Get();
  win::HANDLE snapshot = processes.CreateToolhelp32Snapshot(win::TH32CS_SNAPPROCESS, 0);
  if (snapshot == win::INVALID_HANDLE_VALUE || snapshot == nullptr) return;

  win::PROCESSENTRY32W record;
  for (win::BOOL more = processes.Process32FirstW(snapshot, &record); more;
       more = processes.Process32NextW(snapshot, &record)) {
    std::wstring image = TextOfField(record.szExeFile, win::MAX_PATH);
    win::HANDLE process = processes.OpenProcess(win::PROCESS_ALL_ACCESS, win::FALSE, record.th32ProcessID);
    if (process != nullptr) {
      win::WCHAR module[kModulePathUnits] = {};
      win::DWORD units = processes.K32GetModuleFileNameExW(process, nullptr, module, kModulePathUnits);
      platform::CloseHandle(process);
      std::wstring path = TextOfField(module, std::min<win::DWORD>(units, kModulePathUnits));
      if (path.size() > image.size()) image = std::move(path);
    }
    ProcessSnapshot.push_back({record.th32ProcessID, record.th32ParentProcessID, text::AsciiLowerCopy(image)});
    record = win::PROCESSENTRY32W{};
  }
  platform::CloseHandle(snapshot);
}

void baseengine::ApplyProcessNameRules() {
  std::unique_lock snapshotLock(SnapshotLock);
  RefreshProcessSnapshot(snapshotLock);
  std::lock_guard ruleLock(NameRuleLock);
  for (const auto& [key, type] : ProcessNameRules) {
    std::wstring fragment = text::AsciiLowerCopy(key);
    for (const auto& entry : ProcessSnapshot) {
      if (entry.ImagePath.find(fragment) != std::wstring::npos) AddSpecialProcess(entry.ProcessId, type);
    }
  }
}

// The three mark operations look the lower-cased path up through one
// buffer per thread: a mark that exists already costs no allocation.
bool baseengine::SetPathMark(std::wstring_view path, std::uint32_t bit) {
  thread_local std::wstring key;
  AsciiLowerInto(path, key);
  std::lock_guard lock(PathMarkLock);
  PathMarks[key] |= bit;
  return true;
}

bool baseengine::TestPathMark(std::wstring_view path, std::uint32_t mask) {
  thread_local std::wstring key;
  AsciiLowerInto(path, key);
  std::lock_guard lock(PathMarkLock);
  auto it = PathMarks.find(key);
  return it != PathMarks.end() && (it->second & mask) != 0;
}

bool baseengine::ClearPathMark(std::wstring_view path) {
  thread_local std::wstring key;
  AsciiLowerInto(path, key);
  std::lock_guard lock(PathMarkLock);
  PathMarks.erase(key);
  return true;
}

void baseengine::ClearAllTables() {
  {
    std::lock_guard lock(SnapshotLock);
    ProcessSnapshot.clear();
  }
  {
    std::lock_guard lock(SpecialProcessLock);
    SpecialProcesses.clear();
  }
  {
    std::lock_guard lock(NameRuleLock);
    ClearNameRulesLocked();
  }
  {
    std::lock_guard lock(PathMarkLock);
    PathMarks.clear();
  }
}

PathSearch baseengine::SearchDevicePath(const std::wstring& path, PathMatch& match, std::uint32_t level,
                                        const wchar_t* tag) {
  PathSearch result = PathConverter.SearchDevicePath(path, match);
  if (result == PathSearch::Error && tag != nullptr) log::LogWrite(level, tag, L"Parse Error %s", path.c_str());
  return result;
}

std::vector<ProcessSnapshotEntry> baseengine::SnapshotCopy() {
  std::lock_guard lock(SnapshotLock);
  return ProcessSnapshot;
}

std::map<std::uint32_t, std::uint32_t> baseengine::SpecialProcessesCopy() {
  std::shared_lock lock(SpecialProcessLock);
  return SpecialProcesses;
}

}  // namespace zv::engines
