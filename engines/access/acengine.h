// The access-control engine: execute control, protected and read-only
// paths, ActiveX and installer restriction, network shares, and (in its
// second instance, engine key 3) device access.
//
// Owns: the engine's settings, its path rules, share-folder list, hold table,
// last access, the file-open handler setting and its own threads (the hold
// countdown, and the short-lived read-block and window-closing threads of a
// document redirection); the command handlers of the AC_ commands; the
// file-open rule query, the rename test and the classification of processes
// at start, exit and image load. The process and path tables it classifies
// with are baseengine's.
// Lock order: hold table, then path marks (the countdown clears marks while
// it holds the hold table); the path-rule, share-folder, last-access and
// handler-setting locks are each taken alone. Numeric settings are relaxed
// atomics, read without a lock.
// Must not: throw to its callers, write anything to the reply but a denial
// (Allow and AuxFlag 0), or be destroyed while its handlers are subscribed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>  // std::function, std::greater
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engines/access/engine_threads.h"
#include "engines/base/baseengine.h"
#include "engines/base/fragment_index.h"

namespace zv::channel {
struct _MXRED_NOTIFICATION;
struct _MXRED_REPLY_MESSAGE;
}  // namespace zv::channel

namespace zv::engines {

// Engine keys of the two instances.
inline constexpr int kAccessControlEngineKey = 2;
inline constexpr int kDeviceAccessEngineKey = 3;

// Path types (values of the path rules).
inline constexpr std::uint32_t PATHTYPE_EXECTARGET = 1;
inline constexpr std::uint32_t PATHTYPE_PROTECT = 2;
inline constexpr std::uint32_t PATHTYPE_PERMIT = 4;
inline constexpr std::uint32_t PATHTYPE_BROWSE = 8;
inline constexpr std::uint32_t PATHTYPE_INSTALLER = 16;
inline constexpr std::uint32_t PATHTYPE_READONLY = 32;

// The access that maps an image for execution (synchronise, read
// attributes, execute, read data).
inline constexpr std::uint32_t kExecuteOpenAccess = 0x1000A1;
// One countdown tick of the hold table.
inline constexpr std::uint32_t kHoldTickMs = 500;

// The launcher that opens a redirected document with the file-open handler.
inline constexpr wchar_t kFileOpenLauncher[] = L"halvorn.exe";
// The longest command line a program start takes, terminator included.
inline constexpr std::size_t kCommandLineLimit = 32767;
// How long a redirected program and its document stay denied to the file
// manager, and how the document's window is closed: tries, and the
// milliseconds before each.
inline constexpr std::uint32_t kReadBlockMs = 1000;
inline constexpr std::uint32_t kCloseWindowIntervalMs = 50;
inline constexpr int kCloseWindowTries = 10;

// Log levels of the "AC1" lines.
inline constexpr std::uint32_t kAcLogLevel = 16;
inline constexpr std::uint32_t kAcDetailLevel = 64;
inline constexpr std::uint32_t kAcExplorerLevel = 1024;

// True when `fragment` occurs in `text`, both compared in ASCII lower case.
// The whole strings are compared, however long.
bool ContainsNoCase(std::wstring_view text, std::wstring_view fragment);

// False for masks that write or append data, or carry delete or
// security-changing rights; true otherwise.
bool IsReadOnlyAccess(std::uint32_t access);

// The program that opens documents for the file manager and the root of the
// document mirror; replaced together, read as a copy.
struct FileOpenHandlerSetting {
  std::wstring MirrorRoot;
  std::wstring Handler;
};

class acengine : public baseengine {
 public:
  // engineKey: 2 (access control) or 3 (device access).
  explicit acengine(int engineKey);
  acengine(const acengine&) = delete;
  acengine& operator=(const acengine&) = delete;

  // Compiles the path patterns and starts the hold countdown thread.
  void Start();

  // Command handlers (CommandSignalI, CommandSignalS, CommandSignalIS):
  // -1 for a foreign key, else 1; the text handler ignores the key and
  // returns 0.
  int OnCommandInt(int key, const std::wstring command, int value);
  int OnCommandString(int key, const std::wstring command, const std::wstring text);
  int OnCommandIntString(int key, const std::wstring command, int value, const std::wstring text);

  // NotificationSignal: nothing while the work flag is 0 or for the
  // service's own process; otherwise by kind.
  void OnNotification(channel::_MXRED_NOTIFICATION* notification, channel::_MXRED_REPLY_MESSAGE* reply);

  // Default process-name and path rules for the execute-control, ActiveX
  // and install settings (or for device access), then the running
  // processes are classified and the work flag set.
  void ApplyDefaultRules();
  void ApplyDeviceDefaultRules();

  // The file-open decision: leaves the reply as it is (allow) or writes 0
  // to Allow and AuxFlag.
  void QueryRule(const channel::_MXRED_NOTIFICATION& notification, channel::_MXRED_REPLY_MESSAGE& reply);

  // Kind 2: a created process inherits its parent's type (0x80 gives
  // 0x10800), an exited one leaves the special-process table.
  void ProcessNotify(const channel::_MXRED_NOTIFICATION& notification, channel::_MXRED_REPLY_MESSAGE& reply);
  // Kind 1: the process gets its final type: a name rule of its image, else
  // the inherited type, else PROCESSTYPE_NORMAL. A final type is kept.
  void ImageNotify(const channel::_MXRED_NOTIFICATION& notification, channel::_MXRED_REPLY_MESSAGE& reply);
  // Kind 4: denies renaming a read-only path (the source) to white-list,
  // black-list and shell processes.
  void QueryRename(const channel::_MXRED_NOTIFICATION& notification, channel::_MXRED_REPLY_MESSAGE& reply);

  // Document redirection. LaunchFileOpenHandler: true when the document
  // (\\?\X:\... form) has a mirror copy under the mirror root; the launcher
  // is then started on the copy's folder (a failed or refused start is
  // logged and still gives true).
  bool LaunchFileOpenHandler(const std::wstring& document);
  // Thread routines: the program and the document stay denied to the file
  // manager for kReadBlockMs; the window titled with the document (without
  // its \\?\ prefix) is sent WM_CLOSE on each of `count` tries.
  void TemporaryReadBlock(const std::wstring& program, const std::wstring& document);
  void CloseDocumentWindow(std::uint32_t intervalMs, int count, const std::wstring& path);

  // Path rules. AddPathRule ignores texts shorter than 2 units and keeps an
  // existing key's type. FindPathRule tries the keys in descending order (a
  // key before its own prefixes); the first one contained in the normalised
  // path decides: true with `type` set when its type shares a bit with the
  // mask, otherwise false with `type` 0 (shorter keys are not tried).
  void AddPathRule(std::wstring_view text, std::uint32_t type);
  bool FindPathRule(std::wstring_view path, std::uint32_t mask, std::uint32_t& type);

  // Read-only holds: adds `ticks` countdown ticks to the lower-cased path.
  void HoldPath(std::wstring_view path, std::uint32_t ticks);
  // Every kHoldTickMs while the threads run: counts each held path down
  // and clears its path marks when it reaches 0 (the entry stays at 0).
  void HoldCountdown();

  // Tests only: ends the engine's threads and waits for them. The countdown
  // ends after its current sleep; on a stepped clock call RequestThreadsStop,
  // release the clock, then JoinThreads.
  void RequestThreadsStop();
  void JoinThreads();
  void StopThreadsForTests();

  // Values for inspection.
  int EngineKey() const { return engineKey; }
  std::uint32_t OwnProcessId() const { return ownProcessId; }
  bool Working() const { return workFlag.load(std::memory_order_relaxed) != 0; }
  bool DeviceAccess() const { return deviceAccess.load(std::memory_order_relaxed); }
  int DeviceAccessMode() const { return deviceAccessMode.load(std::memory_order_relaxed); }
  int ExecuteControlMode() const { return executeControlMode.load(std::memory_order_relaxed); }
  int ActiveXControl() const { return activeXControl.load(std::memory_order_relaxed); }
  int InstallControl() const { return installControl.load(std::memory_order_relaxed); }
  int ShareFolderSetting() const { return shareFolderSetting.load(std::memory_order_relaxed); }
  std::vector<std::wstring> ShareFoldersCopy();
  std::map<std::wstring, std::uint32_t, std::greater<>> PathRulesCopy();
  std::map<std::wstring, std::uint32_t> HoldsCopy();
  FileOpenHandlerSetting FileOpenHandlerCopy();
  std::wstring LastAccessCopy();
  // Threads of the engine still running (ended ones are reaped first).
  std::size_t RunningThreads() { return threads.Running(); }
  std::map<std::wstring, std::uint32_t> PathMarksCopy();
  std::map<std::wstring, std::uint32_t> ProcessNameRulesCopy();

 private:
  void Deny(channel::_MXRED_REPLY_MESSAGE& reply);
  // Network path test; true when the open is denied.
  bool DeniedByShareRules(const std::wstring& path);
  void QueryDevice(std::uint32_t processType, std::uint32_t access, const std::wstring& dosPath,
                   std::uint32_t pathType, channel::_MXRED_REPLY_MESSAGE& reply);
  void QueryAccessControl(std::uint32_t processId, std::uint32_t processType, std::uint32_t access,
                          const std::wstring& dosPath, const std::wstring& name, std::uint32_t pathType,
                          channel::_MXRED_REPLY_MESSAGE& reply);
  // Execute control: the white and black list step for one mark bit.
  bool DeniedByExecuteMark(std::uint32_t processId, std::uint32_t access, const std::wstring& dosPath,
                           std::uint32_t mark, const wchar_t* firstLine);
  void TerminateRestricted(std::uint32_t processId);
  // The file manager's step: redirects a document's program start, denies
  // paths under a read block, remembers the last plain read of a document.
  void QueryFileManager(std::uint32_t processId, std::uint32_t processType, std::uint32_t access,
                        const std::wstring& dosPath, channel::_MXRED_REPLY_MESSAGE& reply);
  // Starts a routine in the thread group; a failure is logged.
  void StartThread(std::function<void()> routine);

  std::atomic<std::uint32_t> workFlag{0};
  const std::uint32_t ownProcessId;
  const int engineKey;
  std::atomic<bool> deviceAccess{false};
  std::atomic<int> deviceAccessMode{0};
  std::atomic<int> executeControlMode{0};
  std::atomic<int> activeXControl{0};
  std::atomic<int> installControl{0};
  std::atomic<bool> threadsRun{true};
  std::atomic<int> shareFolderSetting{1};
  MeteredSharedMutex shareFolderLock{EngineLock::ShareFolders};
  std::vector<std::wstring> shareFolders;  // insertion order, duplicates kept
  FragmentIndex shareFolderIndex;          // the same texts, ids in first-insertion order
  MeteredSharedMutex pathRuleLock{EngineLock::AccessPathRules};
  // Descending code-unit order: a key comes before its own prefixes.
  std::map<std::wstring, std::uint32_t, std::greater<>> pathRules;
  // The same keys for matching: index ids map to types.
  FragmentIndex pathRuleIndex;
  std::vector<std::uint32_t> pathRuleTypes;
  // The file manager's last plain read of a document (\\?\ form); never
  // cleared.
  MeteredMutex lastAccessLock{EngineLock::LastAccess};
  std::wstring lastAccess;
  MeteredMutex handlerSettingLock{EngineLock::HandlerSetting};
  FileOpenHandlerSetting handlerSetting;
  MeteredMutex holdLock{EngineLock::Holds};
  std::map<std::wstring, std::uint32_t> holds;  // lower-case path -> remaining ticks
  EngineThreads threads;
};

}  // namespace zv::engines
