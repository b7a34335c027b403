// The backup engine's life, dispatch, touched paths, path rules and backup
// paths (see backupengine.h).
//
// Owns: construction, Initialize, Shutdown, OnNotification, IsTouched and
// MarkTouched, the protect and free path sets, the backup folder and
// MakeRedirectPathString.
// Must not: take a second engine mutex while one is held, or log under one.
#include "engines/backup/backupengine.h"

#include <shared_mutex>

#include "driver_channel/records.h"
#include "log/log.h"
#include "platform/base/debug_output.h"
#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"
#include "platform/processes/process_api.h"

namespace zv::engines {
namespace {

constexpr wchar_t kLongPathPrefix[] = L"\\\\?\\";
// "\\?\X:" in front of the directory part of a DOS path.
constexpr std::size_t kDosPrefixUnits = 6;

// Enables one privilege of the process token; false when any step fails.
bool EnablePrivilege(const wchar_t* name) {
  auto& processes = platform::Processes::Get();
  win::HANDLE token = nullptr;
  if (!processes.OpenProcessToken(processes.GetCurrentProcess(), win::TOKEN_ADJUST_PRIVILEGES | win::TOKEN_QUERY,
                                  &token)) {
    return false;
  }
  win::TOKEN_PRIVILEGES privileges;
  bool enabled = false;
  if (processes.LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) {
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = win::SE_PRIVILEGE_ENABLED;
    enabled = processes.AdjustTokenPrivileges(token, win::FALSE, &privileges, sizeof(privileges), nullptr, nullptr);
  }
  platform::CloseHandle(token);
  return enabled;
}

// Whether the process enabled "SeSecurityPrivilege" (only this engine
// enables it in zvorx; nothing there disables it again).
std::atomic<bool> securityPrivilegeEnabled{false};

bool SecurityPrivilegeHeld(const wchar_t* privilege) {
  return securityPrivilegeEnabled.load() && std::wstring_view(privilege) == L"SeSecurityPrivilege";
}

// The part of `text` from `from` on; empty when it is shorter.
std::wstring Tail(const std::wstring& text, std::size_t from) {
  return from < text.size() ? text.substr(from) : std::wstring();
}

}  // namespace

std::wstring NormalizeBackupRulePath(std::wstring_view path) {
  std::wstring key;
  NormalizeBackupRulePathInto(path, key);
  return key;
}

void NormalizeBackupRulePathInto(std::wstring_view path, std::wstring& out) {
  // Lower case and the trailing backslash give a key of the input's length,
  // or one unit more; the prefix goes in front when that key is short or
  // has its colon second (as the input has).
  const bool backslash = path.empty() || path.back() != L'\\';
  const std::size_t units = path.size() + (backslash ? 1 : 0);
  out.clear();
  if (units < 5 || (path.size() >= 2 && path[1] == L':')) out += kLongPathPrefix;
  for (wchar_t c : path) out += text::AsciiLower(c);
  if (backslash) out += L'\\';
}

backupengine::backupengine() {
  SelfProcessId = platform::Processes::Get().GetCurrentProcessId();
  // Backup folders take the source folder's system access-control list,
  // which needs this privilege; without it they get default security. The
  // file calls learn of it here (the token lives above them).
  if (EnablePrivilege(L"SeSecurityPrivilege")) {
    securityPrivilegeEnabled = true;
    platform::SetPrivilegeHeldTest(&SecurityPrivilegeHeld);
  }
}

backupengine::~backupengine() { Shutdown(); }

void backupengine::Initialize(bool startThreads) {
  PathConverter.CompilePathPatterns();
  {
    std::lock_guard lock(BackupRootLock);
    BackupRoot = kDefaultBackupRoot;
  }
  SetDeleteLogPath(kDefaultDeleteLogPath);
  WriterRun = true;
  GarbageRun = true;
  if (!startThreads) return;
  EngineThreads.emplace_back([this] { WriteLogThread(); });
  EngineThreads.emplace_back([this] { GarbagePidThread(); });
  EngineThreads.emplace_back([this] { FirstDriverDirectFree(); });
}

void backupengine::Shutdown() {
  std::call_once(ShutdownOnce, [this] {
    EngineWork = 0;
    CloseDeleteLogs();
    WriterRun = false;
    GarbageRun = false;
    for (auto& thread : EngineThreads) {
      if (thread.joinable()) thread.join();
    }
    platform::OutputDebugStringW(L"backupengine deleted");
  });
}

void backupengine::OnNotification(channel::_MXRED_NOTIFICATION* notification, channel::_MXRED_REPLY_MESSAGE* reply) {
  if (EngineWork.load() == 0 || notification->ProcessId == SelfProcessId) return;
  switch (notification->Kind) {
    case channel::kKindImageLoad:
      ImageNotify(*notification);
      break;
    case channel::kKindProcess:
      ProcessNotify(*notification);
      break;
    case channel::kKindFileOpen: {
      std::uint32_t result = QueryRule(*notification, *reply);
      log::LogWrite(128, L"BE", L"QueryRuleResult %d", result);
      break;
    }
    case channel::kKindRename:
      QueryRename(*notification, *reply);
      break;
    default:
      // Other kinds are not the engine's.
      break;
  }
}

bool backupengine::IsTouched(std::wstring_view path, std::int32_t mask) {
  thread_local std::wstring key;
  AsciiLowerInto(path, key);
  std::shared_lock lock(TouchedLock);
  auto it = TouchedPaths.find(key);
  return it != TouchedPaths.end() && (it->second & mask) != 0;
}

void backupengine::MarkTouched(std::wstring_view path, std::int32_t kind) {
  // The entry is made (and, when the path is there already, freed) outside
  // the lock, which covers only the tree insertion that opens wait for.
  std::map<std::wstring, std::int32_t> made;
  made.emplace(text::AsciiLowerCopy(path), kind);
  decltype(TouchedPaths)::insert_return_type result;
  {
    std::lock_guard lock(TouchedLock);
    result = TouchedPaths.insert(made.extract(made.begin()));
  }
}

bool backupengine::AddProtectPath(std::wstring_view path) {
  std::wstring key = NormalizeBackupRulePath(path);
  std::lock_guard lock(PathRuleLock);
  ProtectPathIndex.Insert(key);
  ProtectPaths.insert(std::move(key));
  return true;
}

bool backupengine::AddFreePath(std::wstring_view path) {
  std::wstring key = NormalizeBackupRulePath(path);
  std::lock_guard lock(PathRuleLock);
  FreePathIndex.Insert(key);
  FreePaths.insert(std::move(key));
  return true;
}

bool backupengine::SetBackupPath(std::wstring_view path) {
  std::wstring root(path);
  if (root.empty() || root.back() != L'\\') root += L'\\';
  std::lock_guard lock(BackupRootLock);
  BackupRoot = std::move(root);
  return true;
}

std::wstring backupengine::BackupRootCopy() {
  std::shared_lock lock(BackupRootLock);
  return BackupRoot;
}

RedirectPaths backupengine::MakeRedirectPathString(const PathMatch& match) {
  RedirectPaths out;
  MakeRedirectPathString(match, out);
  return out;
}

void backupengine::MakeRedirectPathString(const PathMatch& match, RedirectPaths& out) {
  thread_local std::wstring dos;
  win::HRESULT status = PathConverter.DeviceToDosName(match.Device, dos);
  if (win::FAILED(status)) {
    log::LogWrite(1, L"MakeRedirectPathString", L"<ERROR> (ERROR:0x%08x)=myFilterGetDosName(%s)", status,
                  match.Device);
    out.DosPath.clear();
    out.BackupFile.clear();
    out.BackupFolder.clear();
    return;
  }
  out.DosPath.assign(kLongPathPrefix);
  out.DosPath += dos;
  out.DosPath += match.Directory;
  out.DosPath += L'\\';
  out.DosPath += match.Name;

  if (out.DosPath.find(L'~') == std::wstring::npos) {
    // Built in place, the root appended under its lock: no string is made.
    out.BackupFolder.assign(kLongPathPrefix);
    {
      std::shared_lock lock(BackupRootLock);
      out.BackupFolder += BackupRoot;
    }
    out.BackupFolder.append(dos, 0, 1);
    out.BackupFolder += match.Directory;
    out.BackupFile.assign(out.BackupFolder);
    out.BackupFile += L'\\';
    out.BackupFile += match.Name;
    return;
  }

  const std::wstring backupBase = kLongPathPrefix + BackupRootCopy() + dos.substr(0, 1);
  // An 8.3 name: back up under the long names. When the file does not
  // exist (yet), expand its folder and put the name back.
  std::wstring longPath;
  if (ExpandLongPath(out.DosPath, longPath)) {
    out.DosPath = longPath;
    out.BackupFile = backupBase + Tail(longPath, kDosPrefixUnits);
    std::size_t slash = longPath.rfind(L'\\');
    out.BackupFolder = backupBase;
    if (slash != std::wstring::npos && slash > kDosPrefixUnits) {
      out.BackupFolder += longPath.substr(kDosPrefixUnits, slash - kDosPrefixUnits);
    }
    return;
  }
  std::wstring parent = out.DosPath.substr(0, out.DosPath.rfind(L'\\'));
  std::wstring longParent;
  if (!ExpandLongPath(parent, longParent)) longParent = parent;
  out.DosPath = longParent + L"\\" + match.Name;
  out.BackupFolder = backupBase + Tail(longParent, kDosPrefixUnits);
  out.BackupFile = out.BackupFolder + L"\\" + match.Name;
}

std::map<std::wstring, std::int32_t> backupengine::TouchedPathsCopy() {
  std::shared_lock lock(TouchedLock);
  return TouchedPaths;
}

std::set<std::wstring> backupengine::ProtectPathsCopy() {
  std::shared_lock lock(PathRuleLock);
  return ProtectPaths;
}

std::set<std::wstring> backupengine::FreePathsCopy() {
  std::shared_lock lock(PathRuleLock);
  return FreePaths;
}

}  // namespace zv::engines
