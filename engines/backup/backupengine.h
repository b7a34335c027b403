// The backup engine: process classification, touched paths, path rules,
// deletion logs and the BE_ commands.
//
// Owns: the one backupengine of zvorx with its members in their fixed order
// (run flags, work flag, own process id, its three threads, touched paths,
// process table, its own device-path converter, backup folder, deletion-log
// paths and queues, protect and free paths, free-process name rules), each
// collection under its own mutex. No operation holds two engine mutexes at
// once. Log lines carry the tag "BE" unless a routine names its own.
// Must not: write the reply to the driver except in the rename query, hold a
// mutex while copying files, creating folders or logging (only the
// deletion-log writers keep their own write lock, which no worker takes,
// during their file I/O), or throw.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engines/base/device_path.h"
#include "engines/base/fragment_index.h"
#include "engines/base/lock_meter.h"
#include "platform/base/win32.h"

namespace zv::channel {
struct _MXRED_NOTIFICATION;
struct _MXRED_REPLY_MESSAGE;
}  // namespace zv::channel

namespace zv::engines {

// ProcessTable values. A process without an entry has type 0 (not free).
inline constexpr std::uint32_t kBackupProcessNormal = 1;
inline constexpr std::uint32_t kBackupProcessFree = 2;
inline constexpr std::uint32_t kBackupProcessInherited = 0x10000;  // a child entered by its free parent

// TouchedPaths kinds (bits: 1 backed up, 2 created, 0x200 folder).
inline constexpr std::int32_t kTouchBackedUp = 1;
inline constexpr std::int32_t kTouchNewFile = 2;
inline constexpr std::int32_t kTouchNewFolder = 514;

inline constexpr wchar_t kDefaultBackupRoot[] = L"c:\\qd\\r\\";
inline constexpr wchar_t kDefaultDeleteLogPath[] = L"c:\\qd\\deletelog.dat";
inline constexpr wchar_t kSessionFilterLogPath[] = L"C:\\Windows\\zv\\zvorx\\sflog.log";

// Periods of the engine's threads, in clock milliseconds.
inline constexpr win::DWORD kWriterPauseMs = 600;         // twice per pass: files, then folders
inline constexpr win::DWORD kGarbagePauseMs = 1000;       // between collections of ended processes
inline constexpr win::DWORD kDirectFreeWaitMs = 1500;     // while the driver port is not connected

// Which name a process snapshot records for each process.
enum class SnapshotFill {
  Names,        // the executable file name only
  ImagePaths,   // the full Win32 image path (limited-query access)
  ModulePaths,  // the main module's file name (all access)
};

struct BackupSnapshotEntry {
  win::DWORD ProcessId = 0;
  win::DWORD ParentProcessId = 0;
  std::wstring Name;  // ASCII lower case
};

// Backup-rule key: ASCII lower case, a trailing backslash, and "\\?\" in
// front of drive paths and of every result shorter than 5 units. Nothing is
// rejected for its length.
std::wstring NormalizeBackupRulePath(std::wstring_view path);
// The same into a caller's buffer (kept from call to call: no allocation
// once it is large enough). `out` must not overlap `path`.
void NormalizeBackupRulePathInto(std::wstring_view path, std::wstring& out);

// Backup file and folder of a rename target \\?\X:\dir\name under the
// backup root; both empty when the target holds no backslash or the root is
// empty.
struct RenameBackupPaths {
  std::wstring BackupFile;
  std::wstring BackupFolder;
};
RenameBackupPaths MakeRenameBackupPath(const std::wstring& target, const std::wstring& backupRoot);

// Whether the directory part and last component of a matched path hold a
// ".", ".." or empty component (such paths are not parsed any further).
bool HasRelativeOrEmptyComponent(const std::wstring& directory, const std::wstring& name);

// The paths MakeRedirectPathString builds from one device-path match.
struct RedirectPaths {
  std::wstring DosPath;       // \\?\C:\dir\name, 8.3 names expanded
  std::wstring BackupFile;    // \\?\<backup root><drive letter>\dir\name
  std::wstring BackupFolder;  // \\?\<backup root><drive letter>\dir
};

class backupengine {
 public:
  // Takes the own process id and enables "SeSecurityPrivilege".
  backupengine();
  // Stops the engine (Shutdown) if that has not happened yet.
  ~backupengine();
  backupengine(const backupengine&) = delete;
  backupengine& operator=(const backupengine&) = delete;

  // Patterns, default paths, run flags; starts the writer, garbage and
  // first-direct-free threads unless `startThreads` is false.
  void Initialize(bool startThreads = true);

  // The end of the engine's life, once and for all: stops the work, writes
  // both deletion-log queues, stops and joins the threads and prints
  // "backupengine deleted". Lines queued afterwards are written at once.
  // The object stays usable for handlers that are still running.
  void Shutdown();

  // NotificationSignal slot: image loads, process starts and ends, file
  // opens and renames.
  void OnNotification(channel::_MXRED_NOTIFICATION* notification, channel::_MXRED_REPLY_MESSAGE* reply);
  // CommandSignalI and CommandSignalS slots; the engine key is not used.
  int OnCommandInt(int key, const std::wstring command, int value);
  int OnCommandString(int key, const std::wstring command, const std::wstring value);

  // Classifies every running process and sets the work flag.
  void SessionFitler();

  // Process table.
  bool SetProcessType(win::DWORD processId, std::uint32_t type);
  bool DelProcess(win::DWORD processId);
  std::uint32_t GetProcessType(win::DWORD processId);
  bool HasProcessType(win::DWORD processId, std::uint32_t mask);
  bool FindProcessType(win::DWORD processId, std::uint32_t mask, std::uint32_t& type);
  void CollectProcessIds(std::vector<win::DWORD>& ids);

  // Free-process name rules (lower-cased fragments, substring tests).
  void AddFreeProcessName(std::wstring_view name);
  void AddFreeProcessException(std::wstring_view name);
  // 0 no rule, 2 a free fragment, 1 an exception fragment (which wins).
  int GetFreeProcessByRule(std::wstring_view path);
  bool IsFreeProcessName(std::wstring_view path);

  // Process notifications.
  void ProcessNotify(const channel::_MXRED_NOTIFICATION& notification);
  void ImageNotify(const channel::_MXRED_NOTIFICATION& notification);
  // Registers pid 4 and the suite's own service processes with the driver
  // as direct-free. Always true.
  bool CheckAndAddDriverDirectFree(std::wstring_view name, win::DWORD processId);
  // One pass of the first-direct-free thread (after its wait for the port).
  void RegisterDirectFreeProcesses();
  // One round of the garbage thread: drops entries of ended processes. A
  // round whose snapshot fails drops nothing.
  void CollectEndedProcesses();
  // "BE_FREEPROCESS_LIST": the free processes to the diagnostic log.
  void DumpFreeProcesses();
  // The running processes; `taken` tells an empty list from a snapshot
  // that could not be taken.
  std::vector<BackupSnapshotEntry> TakeProcessSnapshot(SnapshotFill fill, bool* taken = nullptr);

  // File opens (kind 3): backs a protected file up before its first change,
  // mirrors a protected folder about to be deleted, records new files and
  // folders. Never changes the reply. Returns the decision code (logged).
  std::uint32_t QueryRule(const channel::_MXRED_NOTIFICATION& notification, const channel::_MXRED_REPLY_MESSAGE& reply);
  // A protected folder: mirror before deletion, record when created.
  std::uint32_t QueryRuleDir(const std::wstring& dosPath, const std::wstring& backupFile, bool create,
                             win::DWORD access, win::DWORD processId);
  // Renames (kind 4): backs up a replaced protected file, records what comes
  // into a protected path, denies moving an existing protected folder.
  std::uint32_t QueryRename(const channel::_MXRED_NOTIFICATION& notification, channel::_MXRED_REPLY_MESSAGE& reply);

  // The longest containing protect entry against the longest containing free
  // entry; the protect entry must be strictly longer.
  bool IsProtectedPath(std::wstring_view dosPath);
  // 0 copied; 2 the source does not exist; otherwise the Win32 error (80
  // when the backup exists already: it is never overwritten).
  win::DWORD BackupCopy(const std::wstring& source, const std::wstring& backupFile, const std::wstring& backupFolder);
  // Creates `newFolder` and its missing parents with the group and access
  // lists of `source` (keepFull) or of its parent folder.
  void BECreateDirecotry(const std::wstring& source, const std::wstring& newFolder, bool keepFull);

  // Touched paths, keyed by the lower-case DOS path; the first kind stays.
  bool IsTouched(std::wstring_view path, std::int32_t mask);
  void MarkTouched(std::wstring_view path, std::int32_t kind);

  // Path rules and the backup folder.
  bool AddProtectPath(std::wstring_view path);
  bool AddFreePath(std::wstring_view path);
  bool SetBackupPath(std::wstring_view path);
  std::wstring BackupRootCopy();

  // Device-form path of a DevicePathPattern match -> DOS path and backup
  // paths. All three stay empty when the device has no DOS name.
  RedirectPaths MakeRedirectPathString(const PathMatch& match);
  // The same into `out`, whose strings keep their capacity between calls.
  void MakeRedirectPathString(const PathMatch& match, RedirectPaths& out);
  win::HRESULT DeviceToDosName(const std::wstring& device, std::wstring& dos) {
    return PathConverter.DeviceToDosName(device, dos);
  }

  // Deletion logs.
  void QueueDeleteLogLine(std::wstring_view path, bool isFile);
  // Writes both queues now (files, then folders), as the writer does.
  void FlushDeleteLogs();
  void WriteDeleteLogFull(std::wstring_view path);
  void SetDeleteLogPath(std::wstring_view path);

  // State for inspection.
  bool Working() const { return EngineWork.load() != 0; }
  bool SessionFilterOn() const { return SessionFilter.load(); }
  win::DWORD OwnProcessId() const { return SelfProcessId; }
  std::map<win::DWORD, std::uint32_t> ProcessTableCopy();
  std::map<std::wstring, std::int32_t> TouchedPathsCopy();
  std::set<std::wstring> ProtectPathsCopy();
  std::set<std::wstring> FreePathsCopy();
  std::pair<std::wstring, std::wstring> DeleteLogPaths();
  // Lines queued and not yet in their file (those a write has taken out
  // count until it has finished): files, folders.
  std::pair<std::size_t, std::size_t> PendingLineCounts();

 private:
  // BackupCopy with the source's attributes already read (and the error of
  // that read when it failed).
  win::DWORD BackupCopyOf(const std::wstring& source, win::DWORD attributes, win::DWORD attributesError,
                          const std::wstring& backupFile, const std::wstring& backupFolder);
  void RecordNewFile(win::DWORD processId, const std::wstring& path);
  void RecordNewFolder(win::DWORD processId, const std::wstring& path);

  void WriteLogThread();
  void GarbagePidThread();
  void FirstDriverDirectFree();
  // The final pass over both queues; afterwards every queued line is
  // written at once.
  void CloseDeleteLogs();
  // One write of the file queue (or the folder queue): takes the lines out,
  // writes them without DeleteLogLock, puts back what did not reach the file.
  void WriteQueue(bool files);
  // One write of lines taken out of a queue; the caller holds
  // DeleteLogWriteLock. Leaves in `lines` what did not reach the file.
  void WritePendingLines(std::vector<std::wstring>& lines, std::size_t& writtenBytes, const std::wstring& path,
                         const wchar_t* errorFormat);

  std::atomic<bool> WriterRun{false};
  std::atomic<bool> GarbageRun{false};
  std::atomic<bool> SessionFilter{false};
  std::atomic<std::int32_t> EngineWork{0};
  win::DWORD SelfProcessId = 0;
  std::vector<std::thread> EngineThreads;  // touched only by Initialize and Shutdown
  std::map<std::wstring, std::int32_t> TouchedPaths;
  MeteredSharedMutex TouchedLock{EngineLock::Touched};
  std::map<win::DWORD, std::uint32_t> ProcessTable;
  MeteredSharedMutex ProcessLock{EngineLock::BackupProcesses};
  // DevicePathPattern, DosPathPattern, their lock, DosNameCache, DosNameLock.
  DevicePathConverter PathConverter;
  std::wstring BackupRoot;
  MeteredSharedMutex BackupRootLock{EngineLock::BackupRoot};  // BE_SET_BACKUPPATH writes while workers read
  std::wstring DeleteLogPath;
  std::wstring DeleteLogDirPath;
  std::vector<std::wstring> PendingFileLines;
  std::vector<std::wstring> PendingFolderLines;
  // Bytes of the first queued line already in its file after a write that
  // failed part-way; the next write starts behind them.
  std::size_t FileLineBytesWritten = 0;
  std::size_t FolderLineBytesWritten = 0;
  // Lines a write has taken out of each queue and not yet finished with.
  std::size_t FileLinesWriting = 0;
  std::size_t FolderLinesWriting = 0;
  bool DeleteLogsClosed = false;  // after the final pass: lines are written at once
  MeteredMutex DeleteLogLock{EngineLock::DeleteLog};
  std::mutex DeleteLogWriteLock;  // one writer at a time; see delete_log.cpp
  std::set<std::wstring> ProtectPaths;
  std::set<std::wstring> FreePaths;
  // Each set again, indexed for matching (fragment_index.h).
  FragmentIndex ProtectPathIndex;
  FragmentIndex FreePathIndex;
  MeteredSharedMutex PathRuleLock{EngineLock::BackupPathRules};
  std::set<std::wstring> FreeProcessNames;
  std::set<std::wstring> FreeProcessExceptions;
  FragmentIndex FreeProcessNameIndex;
  FragmentIndex FreeProcessExceptionIndex;
  MeteredSharedMutex ProcessRuleLock{EngineLock::BackupProcessRules};
  std::once_flag ShutdownOnce;
};

}  // namespace zv::engines
