// The access-control engine: state, default rules, commands, the file-open
// rule query with the file manager's document redirection, the rename test
// and process classification (see acengine.h).
//
// Owns: everything acengine declares. The order of the query's steps and
// their log lines are part of the engine's contract with its readers: keep
// them as they are.
// Must not: hold a lock while logging, or nest locks other than hold table
// then path marks.
#include "engines/access/acengine.h"

#include <algorithm>
#include <array>
#include <shared_mutex>

#include "driver_channel/records.h"
#include "log/log.h"
#include "platform/base/clock.h"
#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"
#include "platform/processes/process_api.h"
#include "platform/processes/program_api.h"
#include "platform/windows/window_api.h"

namespace zv::engines {
namespace {

constexpr wchar_t kTag[] = L"AC1";

constexpr std::uint32_t kAllTypes = 0xFFFF;
constexpr std::uint32_t kProtectedProcessBits = 0xF;  // normal, white list, black list, ActiveX
constexpr std::uint32_t kWritersOfReadOnly = 0x46;    // white list, black list, shell
constexpr std::uint32_t kReadOnlyMark = 0x20;
constexpr std::uint32_t kParentTypes = 0xFFFFE;  // any type bit but PROCESSTYPE_NORMAL
constexpr std::uint32_t kFinalTypes = 0xFFF;
constexpr std::uint32_t kNameRuleTypes = 0xFFFFF;
constexpr std::uint32_t kPlainRead = 0x20080;
constexpr std::uint32_t kGenericRead = 0x120089;

// Masks without write or append data that still change the object: delete
// and security-changing rights.
constexpr std::array<std::uint32_t, 9> kChangingMasks = {0x10080,  0x60080,   0x110080,  0x130080, 0x130089,
                                                         0x17019F, 0x1020080, 0x1130089, 0x117019F};

bool Contains(const std::wstring& text, std::wstring_view fragment) {
  return text.find(fragment) != std::wstring::npos;
}

bool IsDirectory(const std::wstring& dosPath) {
  win::DWORD attributes = platform::Files::Get().GetFileAttributesW(dosPath.c_str());
  return attributes != win::INVALID_FILE_ATTRIBUTES && (attributes & win::FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

bool ContainsNoCase(std::wstring_view text, std::wstring_view fragment) {
  return ContainsAsciiNoCase(text, fragment);
}

bool IsReadOnlyAccess(std::uint32_t access) {
  if ((access & 0x2) != 0 || (access & 0x4) != 0) return false;
  return std::find(kChangingMasks.begin(), kChangingMasks.end(), access) == kChangingMasks.end();
}

acengine::acengine(int engineKey)
    : ownProcessId(platform::Processes::Get().GetCurrentProcessId()), engineKey(engineKey) {}

void acengine::Start() {
  CompilePathPatterns();
  StartThread([this] { HoldCountdown(); });
}

void acengine::StartThread(std::function<void()> routine) {
  if (!threads.Start(std::move(routine))) {
    log::LogWrite(1, kTag, L"<ERROR> (ERROR:%d)=CreateThread()", static_cast<int>(platform::GetLastError()));
  }
}

// ---- Notifications ----------------------------------------------------------

void acengine::OnNotification(channel::_MXRED_NOTIFICATION* notification, channel::_MXRED_REPLY_MESSAGE* reply) {
  if (workFlag.load(std::memory_order_relaxed) == 0 || notification->ProcessId == ownProcessId) return;
  switch (notification->Kind) {
    case channel::kKindFileOpen:
      QueryRule(*notification, *reply);
      break;
    case channel::kKindImageLoad:
      ImageNotify(*notification, *reply);
      break;
    case channel::kKindProcess:
      ProcessNotify(*notification, *reply);
      break;
    case channel::kKindRename:
      QueryRename(*notification, *reply);
      break;
    default:
      break;
  }
}

void acengine::ProcessNotify(const channel::_MXRED_NOTIFICATION& notification, channel::_MXRED_REPLY_MESSAGE&) {
  const std::uint32_t processId = notification.ProcessId;
  if (notification.Param2 == 0) {
    log::LogWrite(kAcLogLevel, kTag, L"del process , %d", static_cast<int>(processId));
    DelSpecialProcess(processId);
    return;
  }
  std::uint32_t parentType = 0;
  if (!QuerySpecialProcess(notification.Param1, kParentTypes, &parentType)) return;
  log::LogWrite(kAcLogLevel, kTag, L"Add process , %d", static_cast<int>(processId));
  const std::uint32_t childType = parentType == PROCESSTYPE_EXPLORER
                                      ? (PROCESSTYPE_EXPLORER_CHILD | PROCESSTYPE_INHERITED)
                                      : (parentType | PROCESSTYPE_INHERITED);
  AddSpecialProcess(processId, childType);
}

void acengine::ImageNotify(const channel::_MXRED_NOTIFICATION& notification, channel::_MXRED_REPLY_MESSAGE&) {
  const std::uint32_t processId = notification.ProcessId;
  std::uint32_t type = PROCESSTYPE_NORMAL;
  std::uint32_t stored = 0;
  if (QuerySpecialProcess(processId, kFinalTypes, &stored)) {
    if ((stored & PROCESSTYPE_INHERITED) == 0) return;  // already final
    type = stored & ~PROCESSTYPE_INHERITED;
    DelSpecialProcess(processId);
  }
  PathMatch match;
  if (SearchDevicePath(notification.SourcePath(), match, kAcLogLevel, nullptr) != PathSearch::Match) {
    AddSpecialProcess(processId, type);
    return;
  }
  std::wstring dosPath;
  DeviceToDosPath(match, dosPath);
  std::uint32_t ruleType = 0;
  if (MatchProcessNameRules(dosPath, kNameRuleTypes, &ruleType)) {
    log::LogWrite(kAcLogLevel, kTag, L"[ImageNotify] process rule %s, add processtype %d", dosPath,
                  static_cast<int>(ruleType));
    type = ruleType;
  }
  AddSpecialProcess(processId, type);
}

void acengine::QueryRename(const channel::_MXRED_NOTIFICATION& notification, channel::_MXRED_REPLY_MESSAGE& reply) {
  std::uint32_t processType = 0;
  QuerySpecialProcess(notification.ProcessId, kAllTypes, &processType);
  const std::wstring path = notification.SourcePath();
  log::LogWrite(kAcDetailLevel, kTag, L"QueryRename %s ,processtype = %d", path, static_cast<int>(processType));
  if ((processType & kWritersOfReadOnly) == 0) return;
  PathMatch match;
  if (SearchDevicePath(path, match, kAcLogLevel, kTag) != PathSearch::Match) return;
  std::wstring dosPath;
  DeviceToDosPath(match, dosPath);
  std::uint32_t pathType = 0;
  FindPathRule(dosPath, kAllTypes, pathType);
  log::LogWrite(kAcDetailLevel, kTag, L"Rename [%d][%x] ptype=%x pathtype=%x path = %s",
                static_cast<int>(notification.ProcessId), notification.DesiredAccess, processType, pathType, dosPath);
  if (pathType == PATHTYPE_READONLY) Deny(reply);
}

// ---- Default rules ----------------------------------------------------------

void acengine::ApplyDefaultRules() {
  switch (executeControlMode.load(std::memory_order_relaxed)) {
    case 1:
      for (const wchar_t* name : {L"cmd.exe", L"explorer.exe", L"taskmgr.exe", L"runtimebroker.exe"})
        AddProcessNameRule(name, PROCESSTYPE_EXEC_BLACKLIST);
      break;
    case 2:
      for (const wchar_t* name : {L"cmd.exe", L"explorer.exe", L"taskmgr.exe", L"runtimebroker.exe"})
        AddProcessNameRule(name, PROCESSTYPE_EXEC_WHITELIST);
      break;
    case 3:
      AddProcessNameRule(L"cmd.exe", PROCESSTYPE_SHELL);
      AddProcessNameRule(L"explorer.exe", PROCESSTYPE_EXPLORER);
      break;
    default:
      for (const wchar_t* name : {L"cmd.exe", L"explorer.exe", L"taskmgr.exe"})
        AddProcessNameRule(name, PROCESSTYPE_SHELL);
      break;
  }
  AddProcessNameRule(L"dllhost.exe", PROCESSTYPE_DLLHOST);
  if (activeXControl.load(std::memory_order_relaxed) == 1) {
    AddProcessNameRule(L"iexplore.exe", PROCESSTYPE_ACTIVEX);
    AddProcessNameRule(L"ieinstall.exe", PROCESSTYPE_ACTIVEX);
  }
  if (installControl.load(std::memory_order_relaxed) == 1) {
    for (const wchar_t* path : {L"msiexec.exe", L"ikernel.exe", L"\\setup.exe", L".tmp"})
      AddPathRule(path, PATHTYPE_INSTALLER);
  }
  AddPathRule(L"verclsid.exe", PATHTYPE_BROWSE);
  ApplyProcessNameRules();
  workFlag.store(1, std::memory_order_relaxed);
}

void acengine::ApplyDeviceDefaultRules() {
  AddProcessNameRule(L"cmd.exe", PROCESSTYPE_SHELL);
  AddProcessNameRule(L"explorer.exe", PROCESSTYPE_SHELL);
  AddProcessNameRule(L"dllhost.exe", PROCESSTYPE_DLLHOST);
  AddPathRule(L"verclsid.exe", PATHTYPE_BROWSE);
  ApplyProcessNameRules();
  workFlag.store(1, std::memory_order_relaxed);
}

// ---- Commands ---------------------------------------------------------------

int acengine::OnCommandInt(int key, const std::wstring command, int value) {
  if (key != engineKey) return -1;
  log::LogWrite(kAcLogLevel, kTag, L"RPCListen_i %s , %d", command, value);
  auto clearSettings = [this] {
    executeControlMode.store(0, std::memory_order_relaxed);
    activeXControl.store(0, std::memory_order_relaxed);
    installControl.store(0, std::memory_order_relaxed);
    std::lock_guard lock(pathRuleLock);
    pathRules.clear();
    pathRuleIndex.Clear();
    pathRuleTypes.clear();
  };
  if (command == L"AC_SET_ENGINEWORK") {
    if (value != 0) {
      ApplyDefaultRules();
    } else {
      workFlag.store(0, std::memory_order_relaxed);
    }
  } else if (command == L"AC_SET_EXCUTECONTROL") {
    executeControlMode.store(value, std::memory_order_relaxed);
  } else if (command == L"AC_SET_ACTIVEXCONTROL") {
    activeXControl.store(value, std::memory_order_relaxed);
  } else if (command == L"AC_SET_INSTALLCONTROL") {
    installControl.store(value, std::memory_order_relaxed);
  } else if (command == L"AC_CLEAR") {
    clearSettings();
    ClearAllTables();
  } else if (command == L"AC_CLEARSETTING") {
    clearSettings();
    ClearProcessNameRules();
  } else if (command == L"AC_SET_SHAREFOLDER") {
    shareFolderSetting.store(value, std::memory_order_relaxed);
  } else if (command == L"AC_SET_DEVICEACCESS") {
    deviceAccess.store(value != 0, std::memory_order_relaxed);
    if (value != 0) {
      ApplyDeviceDefaultRules();
    } else {
      workFlag.store(0, std::memory_order_relaxed);
    }
  } else if (command == L"AC_SET_DEVICEACCESSMODE") {
    deviceAccessMode.store(value, std::memory_order_relaxed);
  }
  if (command == L"AC_ADD_FREEPROCESS_ID") {
    std::uint32_t processId = static_cast<std::uint32_t>(value);
    DelSpecialProcess(processId);
    AddSpecialProcess(processId, PROCESSTYPE_FREE);
  }
  return 1;
}

int acengine::OnCommandString(int key, const std::wstring command, const std::wstring text) {
  log::LogWrite(kAcLogLevel, kTag, L"RPCListen_s %s , %s", command, text);
  if (command == L"AC_ADD_EXCUTECONTROL_TARGET") {
    AddPathRule(text, PATHTYPE_EXECTARGET);
  } else if (command == L"AC_ADD_PROTECTPATH") {
    AddPathRule(text, PATHTYPE_PROTECT);
  } else if (command == L"AC_ADD_READONLYPATH") {
    AddPathRule(text, PATHTYPE_READONLY);
  } else if (command == L"AC_ADD_FREEPROCESS") {
    AddProcessNameRule(text, PROCESSTYPE_FREE);
  } else if (command == L"AC_ADD_RESTRICTEDPROCESS") {
    AddPathRule(text, PATHTYPE_INSTALLER);
    AddProcessNameRule(text, PROCESSTYPE_RESTRICTED);
  } else if (command == L"AC_ADD_FREE_SHAREFOLDER") {
    std::lock_guard lock(shareFolderLock);
    shareFolders.push_back(text);
    shareFolderIndex.Insert(text);
  } else if (command == L"AC_CLEAR_FREE_SHAREFOLDER") {
    std::lock_guard lock(shareFolderLock);
    shareFolders.clear();
    shareFolderIndex.Clear();
  } else if (command == L"AC_SETFOH_EXE") {
    std::lock_guard lock(handlerSettingLock);
    handlerSetting.Handler = text;
  } else if (command == L"AC_SETFOH_MIRROR") {
    std::lock_guard lock(handlerSettingLock);
    handlerSetting.MirrorRoot = text;
  }
  return 0;
}

int acengine::OnCommandIntString(int key, const std::wstring command, int value, const std::wstring text) {
  log::LogWrite(kAcLogLevel, kTag, L"RPCListen_is %s ,%d, %s", command, value, text);
  if (key != engineKey) return -1;
  if (command == L"AC_ADD_PATHTYPE") {
    AddPathRule(text, static_cast<std::uint32_t>(value));
  } else if (command == L"AC_ADD_PROCESSTYPE") {
    AddProcessNameRule(text, static_cast<std::uint32_t>(value));
  }
  return 1;
}

// ---- Path rules and holds ---------------------------------------------------

void acengine::AddPathRule(std::wstring_view text, std::uint32_t type) {
  if (text.size() < 2) return;
  std::wstring key = NormalizeRulePath(text);
  std::lock_guard lock(pathRuleLock);
  if (pathRuleIndex.Insert(key) == pathRuleTypes.size()) pathRuleTypes.push_back(type);
  pathRules.emplace(std::move(key), type);
}

bool acengine::FindPathRule(std::wstring_view path, std::uint32_t mask, std::uint32_t& type) {
  type = 0;
  if (path.size() < 2) return false;
  thread_local std::wstring normalised;
  NormalizeRulePathInto(path, normalised);
  std::shared_lock lock(pathRuleLock);
  // The first contained key in descending order is the greatest one.
  const std::uint32_t rule = pathRuleIndex.GreatestContained(normalised);
  if (rule == FragmentIndex::kNone || (pathRuleTypes[rule] & mask) == 0) return false;
  type = pathRuleTypes[rule];
  return true;
}

void acengine::HoldPath(std::wstring_view path, std::uint32_t ticks) {
  thread_local std::wstring key;
  AsciiLowerInto(path, key);
  std::lock_guard lock(holdLock);
  // A path held before only counts on (no new entry is made for it).
  auto it = holds.find(key);
  if (it != holds.end()) {
    it->second += ticks;
  } else {
    holds.emplace(key, ticks);
  }
}

void acengine::HoldCountdown() {
  while (threadsRun.load(std::memory_order_relaxed)) {
    platform::Sleep(kHoldTickMs);
    if (!threadsRun.load(std::memory_order_relaxed)) break;
    std::lock_guard lock(holdLock);
    for (auto& [path, ticks] : holds) {
      if (ticks == 0) continue;
      if (--ticks == 0) ClearPathMark(path);
    }
  }
}

void acengine::RequestThreadsStop() { threadsRun.store(false, std::memory_order_relaxed); }

void acengine::JoinThreads() { threads.JoinAll(); }

void acengine::StopThreadsForTests() {
  RequestThreadsStop();
  JoinThreads();
}

// ---- The file-open rule query -----------------------------------------------

void acengine::Deny(channel::_MXRED_REPLY_MESSAGE& reply) {
  reply.Allow = 0;
  reply.AuxFlag = 0;
}

bool acengine::DeniedByShareRules(const std::wstring& path) {
  bool matched = false;
  {
    std::shared_lock lock(shareFolderLock);
    matched = shareFolderIndex.FirstInsertedContained(path) != FragmentIndex::kNone;
  }
  const int setting = shareFolderSetting.load(std::memory_order_relaxed);
  return matched ? setting != 0 : setting == 0;
}

void acengine::QueryRule(const channel::_MXRED_NOTIFICATION& notification, channel::_MXRED_REPLY_MESSAGE& reply) {
  const std::uint32_t processId = notification.ProcessId;
  const std::uint32_t access = notification.DesiredAccess;
  std::uint32_t processType = 0;
  QuerySpecialProcess(processId, kAllTypes, &processType);
  if (processType == PROCESSTYPE_FREE) return;

  // The texts of one query, reused by the next one on this thread.
  thread_local std::wstring path;
  thread_local PathMatch match;
  thread_local std::wstring dosPath;
  SourcePathInto(notification, path);
  if (Contains(path, L"\\LanmanRedirector\\") || Contains(path, L"\\Device\\Mup")) {
    if (DeniedByShareRules(path)) return Deny(reply);
  }

  if (SearchDevicePath(path, match, kAcLogLevel, kTag) != PathSearch::Match) return;

  dosPath.clear();
  DeviceToDosPath(match, dosPath);
  std::uint32_t pathType = 0;
  FindPathRule(dosPath, kAllTypes, pathType);

  if (deviceAccess.load(std::memory_order_relaxed)) {
    QueryDevice(processType, access, dosPath, pathType, reply);
  } else {
    QueryAccessControl(processId, processType, access, dosPath, match.Name, pathType, reply);
  }
}

void acengine::QueryDevice(std::uint32_t processType, std::uint32_t access, const std::wstring& dosPath,
                           std::uint32_t pathType, channel::_MXRED_REPLY_MESSAGE& reply) {
  const bool readOnly = IsReadOnlyAccess(access);
  auto readOnlyPath = [&] {
    if ((processType & PROCESSTYPE_DLLHOST) != 0 || !readOnly) Deny(reply);
  };
  auto directoriesOnly = [&] {
    if (!IsDirectory(dosPath)) Deny(reply);
  };
  switch (pathType) {
    case PATHTYPE_EXECTARGET:
      return;
    case PATHTYPE_PROTECT:
      return Deny(reply);
    case PATHTYPE_PERMIT:
      return readOnlyPath();
    case PATHTYPE_BROWSE:
      return directoriesOnly();
    default:
      break;
  }
  switch (deviceAccessMode.load(std::memory_order_relaxed)) {
    case 2:
      return Deny(reply);
    case 3:
      return readOnlyPath();
    case 4:
      return directoriesOnly();
    default:  // 1 and anything else: allow
      return;
  }
}

bool acengine::DeniedByExecuteMark(std::uint32_t processId, std::uint32_t access, const std::wstring& dosPath,
                                   std::uint32_t mark, const wchar_t* firstLine) {
  const int pid = static_cast<int>(processId);
  log::LogWrite(kAcLogLevel, kTag, firstLine, pid, dosPath);
  if (access == kExecuteOpenAccess) {
    SetPathMark(dosPath, mark);
    log::LogWrite(kAcLogLevel, kTag, L"Special process[%d] Access to Excute %s", pid, dosPath);
    return true;
  }
  if (TestPathMark(dosPath, mark)) {
    log::LogWrite(kAcLogLevel, kTag, L"Special process[%d] Access Denied %s", pid, dosPath);
    ClearPathMark(dosPath);
    return true;
  }
  return false;
}

void acengine::TerminateRestricted(std::uint32_t processId) {
  auto& processes = platform::Processes::Get();
  win::HANDLE process = processes.OpenProcess(win::PROCESS_ALL_ACCESS, win::FALSE, processId);
  if (process == nullptr) return;
  processes.TerminateProcess(process, 0xFFFFFFFF);
  platform::CloseHandle(process);
}

void acengine::QueryAccessControl(std::uint32_t processId, std::uint32_t processType, std::uint32_t access,
                                  const std::wstring& dosPath, const std::wstring& name, std::uint32_t pathType,
                                  channel::_MXRED_REPLY_MESSAGE& reply) {
  const int pid = static_cast<int>(processId);
  const bool executeOpen = access == kExecuteOpenAccess;

  // Execute control: white list (files without a rule) and black list
  // (target files). A denied execute leaves a mark that denies the next
  // open of the same path once.
  if (pathType == 0 && processType == PROCESSTYPE_EXEC_WHITELIST) {
    if (DeniedByExecuteMark(processId, access, dosPath, 0x2, L"process[%d] Excutecontrol with WhiteList %s"))
      return Deny(reply);
  }
  if (pathType == PATHTYPE_EXECTARGET && processType == PROCESSTYPE_EXEC_BLACKLIST) {
    if (DeniedByExecuteMark(processId, access, dosPath, 0x4, L"process[%d] Excutecontrol with BlackList %s"))
      return Deny(reply);
  }

  // Protected path.
  if (pathType == PATHTYPE_PROTECT && ((processType & kProtectedProcessBits) != 0 || processType == 0)) {
    log::LogWrite(kAcExplorerLevel, kTag, L"process[%d] Access Restricted Folder or File %s", pid, dosPath);
    return Deny(reply);
  }

  if (pathType == PATHTYPE_PERMIT) return;

  // ActiveX: a browser may not create new .cab and .exe files.
  if (processType == PROCESSTYPE_ACTIVEX) {
    if ((ContainsNoCase(name, L".cab") || ContainsNoCase(name, L".exe")) && !ContainsNoCase(name, L"verclsid") &&
        !ContainsNoCase(name, L".exe.manifest")) {
      log::LogWrite(kAcLogLevel, kTag, L"process[%d] IE ActiveX restricted %s", pid, dosPath);
      if (platform::Files::Get().GetFileAttributesW(dosPath.c_str()) == win::INVALID_FILE_ATTRIBUTES) {
        log::LogWrite(kAcLogLevel, kTag, L"process[%d] ActiveX restrict %s", pid, dosPath);
        return Deny(reply);
      }
    }
  }

  // Restricted program: ended at its first open that gets this far.
  if (processType == PROCESSTYPE_RESTRICTED) {
    log::LogWrite(kAcLogLevel, kTag, L"process[%d] Access Restricted Install %s", pid, dosPath);
    Deny(reply);
    TerminateRestricted(processId);
    return;
  }

  // Installer programs: the first execute is denied and marked, the next
  // open of the same path is denied once more.
  if (pathType == PATHTYPE_INSTALLER) {
    if (executeOpen) {
      SetPathMark(dosPath, 0x10);
      log::LogWrite(kAcLogLevel, kTag, L"process[%d] Restricted Install First %s", pid, dosPath);
      return Deny(reply);
    }
    if (TestPathMark(dosPath, 0x10)) {
      ClearPathMark(dosPath);
      return Deny(reply);
    }
  }

  // Read-only path: a write by a shell or execute-controlled process, or any
  // open by the COM surrogate, holds the path for every process a while.
  if (pathType == PATHTYPE_READONLY) {
    log::LogWrite(kAcDetailLevel, kTag, L"ReadOnlyPath proc[%d][%x] ptype=%d path = %s", pid, access,
                  static_cast<int>(processType), dosPath);
    if (TestPathMark(dosPath, kReadOnlyMark)) {
      log::LogWrite(kAcExplorerLevel, kTag, L"ReadOnlyPath CheckHash[%d][%x] ptype=%d path = %s", pid, access,
                    static_cast<int>(processType), dosPath);
      HoldPath(dosPath, 10);
      return Deny(reply);
    }
    if ((processType & PROCESSTYPE_DLLHOST) != 0 ||
        (!IsReadOnlyAccess(access) && (processType & kWritersOfReadOnly) != 0)) {
      SetPathMark(dosPath, kReadOnlyMark);
      HoldPath(dosPath, 30);
      return Deny(reply);
    }
  }

  if (processType == PROCESSTYPE_EXPLORER || processType == PROCESSTYPE_EXPLORER_CHILD) {
    QueryFileManager(processId, processType, access, dosPath, reply);
  }
}

// ---- The file manager's document redirection ---------------------------------

void acengine::QueryFileManager(std::uint32_t processId, std::uint32_t processType, std::uint32_t access,
                                const std::wstring& dosPath, channel::_MXRED_REPLY_MESSAGE& reply) {
  const int pid = static_cast<int>(processId);
  log::LogWrite(kAcExplorerLevel, kTag, L"(%d)Explorer Access DA=[%x]  path = %s", pid, access, dosPath);

  // A program start by the file manager itself opens the document it read
  // last: when the document has a mirror copy, the launcher opens the copy
  // instead and the program start is denied.
  if (access == kExecuteOpenAccess && processType == PROCESSTYPE_EXPLORER) {
    const std::wstring document = LastAccessCopy();
    log::LogWrite(kAcExplorerLevel, kTag, L"!!!! lastaccess = %s", document);
    if (LaunchFileOpenHandler(document)) {
      StartThread([this, program = dosPath, document] { TemporaryReadBlock(program, document); });
      StartThread([this, document] { CloseDocumentWindow(kCloseWindowIntervalMs, kCloseWindowTries, document); });
      return Deny(reply);
    }
  }

  if (TestPathMark(dosPath, kReadOnlyMark)) {
    log::LogWrite(kAcExplorerLevel, kTag, L"(%d)Special process Access Denied %s", pid, dosPath);
    return Deny(reply);
  }

  // Only these four spellings mark a program or library; any other (".Exe")
  // is remembered like a document.
  if ((access == kPlainRead || access == kGenericRead) && !IsDirectory(dosPath) && !Contains(dosPath, L".exe") &&
      !Contains(dosPath, L".EXE") && !Contains(dosPath, L".dll") && !Contains(dosPath, L".DLL")) {
    std::lock_guard lock(lastAccessLock);
    lastAccess = dosPath;
  }
}

bool acengine::LaunchFileOpenHandler(const std::wstring& document) {
  if (document.size() < 8) return false;
  const FileOpenHandlerSetting setting = FileOpenHandlerCopy();
  // \\?\X:\dir\name.ext has its copy at \\?\<root>\X\dir\name.ext.
  const std::wstring mirrorPath =
      L"\\\\?\\" + setting.MirrorRoot + L"\\" + document[4] + L"\\" + document.substr(7);
  if (platform::Files::Get().GetFileAttributesW(mirrorPath.c_str()) == win::INVALID_FILE_ATTRIBUTES) return false;

  const std::wstring mirrorFolder = mirrorPath.substr(0, mirrorPath.rfind(L'\\'));
  const std::wstring argument = L"/exe:" + setting.Handler + L"/mirror:" + mirrorFolder.substr(4);
  std::wstring commandLine = L"\"" + std::wstring(kFileOpenLauncher) + L"\" \"" + argument + L"\"";
  if (commandLine.size() + 1 > kCommandLineLimit) {
    log::LogWrite(1, kTag, L"<ERROR> command line of %d units is over the limit, %s not started for %s",
                  static_cast<int>(commandLine.size()), kFileOpenLauncher, document);
    return true;
  }
  win::STARTUPINFOW startup{};
  startup.dwFlags = win::STARTF_USESHOWWINDOW;
  startup.wShowWindow = win::SW_SHOW;
  win::PROCESS_INFORMATION started{};
  if (!platform::Programs::Get().CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, win::FALSE, 0,
                                                nullptr, nullptr, &startup, &started)) {
    log::LogWrite(1, kTag, L"<ERROR> (ERROR:%d)=CreateProcessW() %s", static_cast<int>(platform::GetLastError()),
                  commandLine);
    return true;
  }
  platform::CloseHandle(started.hProcess);
  platform::CloseHandle(started.hThread);
  return true;
}

void acengine::TemporaryReadBlock(const std::wstring& program, const std::wstring& document) {
  log::LogWrite(kAcExplorerLevel, kTag, L"TemporaryReadBlock  exe = %s , dat = %s", program, document);
  SetPathMark(program, kReadOnlyMark);
  SetPathMark(document, kReadOnlyMark);
  platform::Sleep(kReadBlockMs);
  ClearPathMark(program);
  ClearPathMark(document);
}

void acengine::CloseDocumentWindow(std::uint32_t intervalMs, int count, const std::wstring& path) {
  if (path.size() <= 4) return;
  const std::wstring title = path.substr(4);
  auto& windows = platform::TopLevelWindows::Get();
  for (int i = 0; i < count; ++i) {
    platform::Sleep(intervalMs);
    win::HWND window = windows.FindWindowW(nullptr, title.c_str());
    if (window != nullptr) windows.PostMessageW(window, win::WM_CLOSE, 0, 0);
  }
}

// ---- Copies for inspection --------------------------------------------------

std::vector<std::wstring> acengine::ShareFoldersCopy() {
  std::shared_lock lock(shareFolderLock);
  return shareFolders;
}

std::map<std::wstring, std::uint32_t, std::greater<>> acengine::PathRulesCopy() {
  std::shared_lock lock(pathRuleLock);
  return pathRules;
}

std::map<std::wstring, std::uint32_t> acengine::HoldsCopy() {
  std::lock_guard lock(holdLock);
  return holds;
}

FileOpenHandlerSetting acengine::FileOpenHandlerCopy() {
  std::lock_guard lock(handlerSettingLock);
  return handlerSetting;
}

std::wstring acengine::LastAccessCopy() {
  std::lock_guard lock(lastAccessLock);
  return lastAccess;
}

std::map<std::wstring, std::uint32_t> acengine::PathMarksCopy() {
  std::lock_guard lock(PathMarkLock);
  return PathMarks;
}

std::map<std::wstring, std::uint32_t> acengine::ProcessNameRulesCopy() {
  std::lock_guard lock(NameRuleLock);
  return ProcessNameRules;
}

}  // namespace zv::engines
