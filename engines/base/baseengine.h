// Engine base: process tables, process-name rules, path marks and the
// engine's own device-path converter.
//
// Owns: the process snapshot, the special-process table (process id ->
// process-type bits), the process-name rules (lower-case fragment -> type),
// the path-mark table and one DevicePathConverter, each table under its own
// mutex. Lock order: snapshot, then name rules, then special processes; no
// other nesting. Log lines carry the tag "BASE".
// Must not: decide access (the engines built on it give the bits meaning),
// hold any lock while logging except the special-process lock, or persist.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engines/base/device_path.h"
#include "engines/base/fragment_index.h"
#include "platform/base/win32.h"

namespace zv::engines {

// Process-type bits; the access-control engine gives them their meaning.
// Table values may combine them or be any 32-bit value a command stores.
inline constexpr std::uint32_t PROCESSTYPE_NORMAL = 0x1;
inline constexpr std::uint32_t PROCESSTYPE_EXEC_WHITELIST = 0x2;
inline constexpr std::uint32_t PROCESSTYPE_EXEC_BLACKLIST = 0x4;
inline constexpr std::uint32_t PROCESSTYPE_ACTIVEX = 0x8;
inline constexpr std::uint32_t PROCESSTYPE_RESTRICTED = 0x10;
inline constexpr std::uint32_t PROCESSTYPE_FREE = 0x20;
inline constexpr std::uint32_t PROCESSTYPE_SHELL = 0x40;
inline constexpr std::uint32_t PROCESSTYPE_EXPLORER = 0x80;
inline constexpr std::uint32_t PROCESSTYPE_DLLHOST = 0x400;
inline constexpr std::uint32_t PROCESSTYPE_EXPLORER_CHILD = 0x800;
inline constexpr std::uint32_t PROCESSTYPE_INHERITED = 0x10000;

// Level of the "BASE" lines.
inline constexpr std::uint32_t kBaseLogLevel = 0x20;

struct ProcessSnapshotEntry {
  std::uint32_t ProcessId = 0;
  std::uint32_t ParentProcessId = 0;
  std::wstring ImagePath;  // ASCII lower case: module path, or the file name
};

class baseengine {
 public:
  baseengine() = default;
  baseengine(const baseengine&) = delete;
  baseengine& operator=(const baseengine&) = delete;

  // Special-process table. Add never replaces an existing type.
  bool AddSpecialProcess(std::uint32_t processId, std::uint32_t type);
  bool DelSpecialProcess(std::uint32_t processId);
  // True when the id is present and its type shares a bit with the mask; then
  // the whole stored type goes to *type. On false *type is untouched.
  bool QuerySpecialProcess(std::uint32_t processId, std::uint32_t mask, std::uint32_t* type = nullptr);

  // Process-name rules. Keys are lower-cased; an existing key keeps its type.
  void AddProcessNameRule(std::wstring_view fragment, std::uint32_t type);
  // Every rule (key order) whose key occurs in the lower-cased path and whose
  // type shares a bit with the mask matches; the last match sets *type.
  bool MatchProcessNameRules(std::wstring_view path, std::uint32_t mask, std::uint32_t* type = nullptr);
  void ClearProcessNameRules();

  // Appends the running processes to the snapshot. The caller holds
  // SnapshotLock and proves it with its lock.
  void RefreshProcessSnapshot(const std::unique_lock<std::mutex>& snapshotHeld);
  // Refreshes the snapshot and gives each process the type of the first
  // rule (key order) whose key occurs in its image path.
  void ApplyProcessNameRules();

  // Path marks, keyed by the lower-cased path.
  bool SetPathMark(std::wstring_view path, std::uint32_t bit);
  bool TestPathMark(std::wstring_view path, std::uint32_t mask);
  bool ClearPathMark(std::wstring_view path);

  // Empties snapshot, special processes, name rules and path marks, in that
  // order; the DOS-name cache stays.
  void ClearAllTables();

  // Device paths (device_path.h), with this engine's patterns and cache.
  void CompilePathPatterns() { PathConverter.CompilePathPatterns(); }
  win::HRESULT DeviceToDosName(const std::wstring& device, std::wstring& dos) {
    return PathConverter.DeviceToDosName(device, dos);
  }
  void DeviceToDosPath(const PathMatch& match, std::wstring& out) { PathConverter.DeviceToDosPath(match, out); }
  // Searches `path` with DevicePathPattern. On a regular-expression error,
  // logs "Parse Error %s" with the raw path at `level` under `tag` (no line
  // when tag is null).
  PathSearch SearchDevicePath(const std::wstring& path, PathMatch& match, std::uint32_t level, const wchar_t* tag);

  // Copies for inspection.
  std::vector<ProcessSnapshotEntry> SnapshotCopy();
  std::map<std::uint32_t, std::uint32_t> SpecialProcessesCopy();

 protected:
  void ClearNameRulesLocked();  // NameRuleLock held

  std::vector<ProcessSnapshotEntry> ProcessSnapshot;
  std::mutex SnapshotLock;
  std::map<std::uint32_t, std::uint32_t> SpecialProcesses;
  MeteredSharedMutex SpecialProcessLock{EngineLock::SpecialProcesses};
  std::map<std::wstring, std::uint32_t> ProcessNameRules;  // code-unit order
  // The same rules for matching: index ids map to types.
  FragmentIndex NameRuleIndex;
  std::vector<std::uint32_t> NameRuleTypes;
  MeteredSharedMutex NameRuleLock{EngineLock::NameRules};
  // DevicePathPattern, DosPathPattern, DosNameCache and its mutex.
  DevicePathConverter PathConverter;
  std::map<std::wstring, std::uint32_t> PathMarks;
  MeteredMutex PathMarkLock{EngineLock::PathMarks};
};

}  // namespace zv::engines
