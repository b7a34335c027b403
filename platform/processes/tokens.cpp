// The real ProcessApi, tokens and privileges: see process_api_real.h.
// Our own token lives in this process's memory: enabling a privilege lasts
// as long as the program, as on Windows. Tokens of other machine processes
// are fresh copies of the default set.
#include <cstddef>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>

#include "platform/processes/process_api_real.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"

namespace zv::platform {
namespace {

const win::HANDLE kCurrentProcessPseudo = reinterpret_cast<win::HANDLE>(~std::uintptr_t{0});

struct TokenState {
  std::mutex mutex;
  std::map<win::DWORD, win::DWORD> held;  // LUID low part -> attributes
};

class TokenObject : public KernelObject {
 public:
  TokenObject(std::shared_ptr<TokenState> state, win::DWORD access) : state(std::move(state)), access(access) {}
  const std::shared_ptr<TokenState> state;
  const win::DWORD access;
};

std::shared_ptr<TokenState> NewDefaultToken() {
  auto t = std::make_shared<TokenState>();
  for (const HeldPrivilege& p : DefaultTokenPrivileges()) t->held[p.luid] = p.attributes;
  return t;
}

std::shared_ptr<TokenState> OwnToken() {
  static std::shared_ptr<TokenState>* own = new std::shared_ptr<TokenState>(NewDefaultToken());
  return *own;
}

std::optional<std::string> MachineSetting(const std::string& key) {
  try {
    return Machine::Current()->Setting(key);
  } catch (const MachineError&) {
    return std::nullopt;
  }
}

// A failure switch: the setting's value is the Win32 error to fail with
// (decimal or 0x hex); absent, 0 or not a number means no failure.
win::DWORD FailureFor(const std::string& call, const std::wstring& privilege) {
  std::optional<std::string> v;
  if (!privilege.empty()) v = MachineSetting("fail." + call + "." + text::ToUtf8(privilege));
  if (!v) v = MachineSetting("fail." + call);
  if (!v || v->empty()) return 0;
  char* end = nullptr;
  unsigned long code = std::strtoul(v->c_str(), &end, 0);
  if (!end || *end != '\0' || code > 0xFFFFFFFFul) return 0;
  return static_cast<win::DWORD>(code);
}

// token.lacks: privileges our tokens do not hold, by name, comma-separated.
bool Lacks(win::DWORD luid) {
  std::optional<std::string> v = MachineSetting("token.lacks");
  if (!v) return false;
  std::wstring name = PrivilegeNameOf(win::LUID{luid, 0});
  if (name.empty()) return false;
  std::wstring list = text::FromUtf8(*v);
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t comma = list.find(L',', start);
    std::wstring item = list.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start);
    while (!item.empty() && item.front() == L' ') item.erase(item.begin());
    while (!item.empty() && item.back() == L' ') item.pop_back();
    if (text::AsciiIEquals(item, name)) return true;
    if (comma == std::wstring::npos) break;
    start = comma + 1;
  }
  return false;
}

constexpr std::size_t kPrivilegesOffset = offsetof(win::TOKEN_PRIVILEGES, Privileges);

}  // namespace

const std::vector<PrivilegeName>& KnownPrivileges() {
  static const std::vector<PrivilegeName> names = {
      {L"SeCreateTokenPrivilege", 2},
      {L"SeAssignPrimaryTokenPrivilege", 3},
      {L"SeLockMemoryPrivilege", 4},
      {L"SeIncreaseQuotaPrivilege", 5},
      {L"SeMachineAccountPrivilege", 6},
      {L"SeTcbPrivilege", 7},
      {L"SeSecurityPrivilege", 8},
      {L"SeTakeOwnershipPrivilege", 9},
      {L"SeLoadDriverPrivilege", 10},
      {L"SeSystemProfilePrivilege", 11},
      {L"SeSystemtimePrivilege", 12},
      {L"SeProfileSingleProcessPrivilege", 13},
      {L"SeIncreaseBasePriorityPrivilege", 14},
      {L"SeCreatePagefilePrivilege", 15},
      {L"SeCreatePermanentPrivilege", 16},
      {L"SeBackupPrivilege", 17},
      {L"SeRestorePrivilege", 18},
      {L"SeShutdownPrivilege", 19},
      {L"SeDebugPrivilege", 20},
      {L"SeAuditPrivilege", 21},
      {L"SeSystemEnvironmentPrivilege", 22},
      {L"SeChangeNotifyPrivilege", 23},
      {L"SeRemoteShutdownPrivilege", 24},
      {L"SeUndockPrivilege", 25},
      {L"SeSyncAgentPrivilege", 26},
      {L"SeEnableDelegationPrivilege", 27},
      {L"SeManageVolumePrivilege", 28},
      {L"SeImpersonatePrivilege", 29},
      {L"SeCreateGlobalPrivilege", 30},
      {L"SeTrustedCredManAccessPrivilege", 31},
      {L"SeRelabelPrivilege", 32},
      {L"SeIncreaseWorkingSetPrivilege", 33},
      {L"SeTimeZonePrivilege", 34},
      {L"SeCreateSymbolicLinkPrivilege", 35},
      {L"SeDelegateSessionUserImpersonatePrivilege", 36},
  };
  return names;
}

std::wstring PrivilegeNameOf(win::LUID luid) {
  if (luid.HighPart != 0) return std::wstring();
  for (const PrivilegeName& p : KnownPrivileges()) {
    if (p.luid == luid.LowPart) return p.name;
  }
  return std::wstring();
}

std::vector<HeldPrivilege> DefaultTokenPrivileges() {
  // An elevated administrator's token: everything present, only change
  // notify, impersonate and create global enabled from the start.
  constexpr win::DWORD kOn = win::SE_PRIVILEGE_ENABLED | win::SE_PRIVILEGE_ENABLED_BY_DEFAULT;
  return {{5, 0},  {8, 0},  {9, 0},  {10, 0}, {11, 0},   {12, 0},   {13, 0}, {14, 0},
          {15, 0}, {17, 0}, {18, 0}, {19, 0}, {20, 0},   {22, 0},   {23, kOn}, {24, 0},
          {25, 0}, {28, 0}, {29, kOn}, {30, kOn}, {33, 0}, {34, 0}, {35, 0}, {36, 0}};
}

// The file layer asks whether the program holds a privilege enabled (a
// system ACL is read only with SeSecurityPrivilege); the answer is our own
// token's. Installed there by the first change of our own token, since
// nothing is enabled before one.
bool OwnTokenHolds(const wchar_t* privilege) {
  if (!privilege) return false;
  for (const PrivilegeName& p : KnownPrivileges()) {
    if (!text::AsciiIEquals(std::wstring_view(privilege), p.name)) continue;
    std::shared_ptr<TokenState> own = OwnToken();
    std::lock_guard lock(own->mutex);
    auto it = own->held.find(p.luid);
    return it != own->held.end() && (it->second & win::SE_PRIVILEGE_ENABLED) != 0;
  }
  return false;
}

win::BOOL RealProcessApi::OpenProcessToken(win::HANDLE process, win::DWORD desiredAccess, win::HANDLE* token) {
  if (!token) {
    SetLastError(win::ERROR_NOACCESS);
    return win::FALSE;
  }
  if (win::DWORD code = FailureFor("OpenProcessToken", L"")) {
    SetLastError(code);
    return win::FALSE;
  }
  std::shared_ptr<TokenState> state;
  if (process == kCurrentProcessPseudo) {
    state = OwnToken();
  } else {
    auto p = LookupHandleAs<ProcessObject>(process);
    if (!p) {
      SetLastError(win::ERROR_INVALID_HANDLE);
      return win::FALSE;
    }
    if ((p->access & (win::PROCESS_QUERY_INFORMATION | win::PROCESS_QUERY_LIMITED_INFORMATION)) == 0) {
      SetLastError(win::ERROR_ACCESS_DENIED);
      return win::FALSE;
    }
    state = p->pid == GetCurrentProcessId() ? OwnToken() : NewDefaultToken();
  }
  win::DWORD access = desiredAccess;
  if (access & (0x02000000 | win::GENERIC_ALL)) access = win::TOKEN_ALL_ACCESS;
  *token = RegisterHandle(std::make_shared<TokenObject>(std::move(state), access));
  return win::TRUE;
}

win::BOOL RealProcessApi::LookupPrivilegeValueW(const win::WCHAR* systemName, const win::WCHAR* name,
                                                win::LUID* luid) {
  if (!name) {
    SetLastError(win::ERROR_INVALID_PARAMETER);
    return win::FALSE;
  }
  if (!luid) {
    SetLastError(win::ERROR_NOACCESS);
    return win::FALSE;
  }
  std::wstring wanted(name);
  const PrivilegeName* found = nullptr;
  for (const PrivilegeName& p : KnownPrivileges()) {
    if (text::AsciiIEquals(wanted, p.name)) {
      found = &p;
      break;
    }
  }
  if (win::DWORD code = FailureFor("LookupPrivilegeValue", found ? std::wstring(found->name) : wanted)) {
    SetLastError(code);
    return win::FALSE;
  }
  if (systemName && *systemName) {
    // Only the local system answers here.
    SetLastError(static_cast<win::DWORD>(win::RPC_S_SERVER_UNAVAILABLE));
    return win::FALSE;
  }
  if (!found) {
    SetLastError(win::ERROR_NO_SUCH_PRIVILEGE);
    return win::FALSE;
  }
  luid->LowPart = found->luid;
  luid->HighPart = 0;
  return win::TRUE;
}

win::BOOL RealProcessApi::AdjustTokenPrivileges(win::HANDLE token, win::BOOL disableAll,
                                                win::TOKEN_PRIVILEGES* newState, win::DWORD bufferLength,
                                                win::TOKEN_PRIVILEGES* previousState, win::DWORD* returnLength) {
  auto t = LookupHandleAs<TokenObject>(token);
  if (!t) {
    SetLastError(win::ERROR_INVALID_HANDLE);
    return win::FALSE;
  }
  win::DWORD needed = win::TOKEN_ADJUST_PRIVILEGES | (previousState ? win::TOKEN_QUERY : 0);
  if ((t->access & needed) != needed) {
    SetLastError(win::ERROR_ACCESS_DENIED);
    return win::FALSE;
  }
  if (!disableAll && !newState) {
    SetLastError(win::ERROR_INVALID_PARAMETER);
    return win::FALSE;
  }
  if (previousState && !returnLength) {
    SetLastError(win::ERROR_NOACCESS);
    return win::FALSE;
  }
  // The records run past the declared one-element array, as in Win32.
  const win::LUID_AND_ATTRIBUTES* wanted = newState ? newState->Privileges : nullptr;
  if (!disableAll) {
    for (win::DWORD i = 0; i < newState->PrivilegeCount; ++i) {
      if (win::DWORD code = FailureFor("AdjustTokenPrivileges", PrivilegeNameOf(wanted[i].Luid))) {
        SetLastError(code);
        return win::FALSE;
      }
    }
  } else if (win::DWORD code = FailureFor("AdjustTokenPrivileges", L"")) {
    SetLastError(code);
    return win::FALSE;
  }

  std::lock_guard lock(t->state->mutex);
  auto& held = t->state->held;
  // Work out the new attributes first: a short previous-state buffer
  // changes nothing.
  std::map<win::DWORD, std::optional<win::DWORD>> changes;  // nullopt: removed
  bool notAll = false;
  if (disableAll) {
    for (const auto& [luid, attributes] : held) {
      if (attributes & win::SE_PRIVILEGE_ENABLED) changes[luid] = attributes & ~win::SE_PRIVILEGE_ENABLED;
    }
  } else {
    for (win::DWORD i = 0; i < newState->PrivilegeCount; ++i) {
      const win::LUID_AND_ATTRIBUTES& want = wanted[i];
      auto it = want.Luid.HighPart == 0 ? held.find(want.Luid.LowPart) : held.end();
      if (it == held.end() || Lacks(want.Luid.LowPart)) {
        notAll = true;
        continue;
      }
      if (want.Attributes & win::SE_PRIVILEGE_REMOVED) {
        changes[it->first] = std::nullopt;
      } else {
        win::DWORD base = it->second & ~win::SE_PRIVILEGE_ENABLED;
        changes[it->first] = base | (want.Attributes & win::SE_PRIVILEGE_ENABLED);
      }
    }
  }
  std::vector<win::LUID_AND_ATTRIBUTES> previous;
  for (const auto& [luid, next] : changes) {
    win::DWORD before = held[luid];
    if (next && *next == before) continue;
    win::LUID_AND_ATTRIBUTES entry;
    entry.Luid.LowPart = luid;
    entry.Attributes = before;
    previous.push_back(entry);
  }
  if (previousState) {
    win::DWORD required =
        static_cast<win::DWORD>(kPrivilegesOffset + previous.size() * sizeof(win::LUID_AND_ATTRIBUTES));
    *returnLength = required;
    if (bufferLength < required) {
      SetLastError(win::ERROR_INSUFFICIENT_BUFFER);
      return win::FALSE;
    }
    previousState->PrivilegeCount = static_cast<win::DWORD>(previous.size());
    win::LUID_AND_ATTRIBUTES* out = previousState->Privileges;
    for (std::size_t i = 0; i < previous.size(); ++i) out[i] = previous[i];
  }
  for (const auto& [luid, next] : changes) {
    if (next) {
      held[luid] = *next;
    } else {
      held.erase(luid);
    }
  }
  if (t->state == OwnToken()) SetPrivilegeHeldTest(&OwnTokenHolds);
  SetLastError(notAll ? win::ERROR_NOT_ALL_ASSIGNED : win::ERROR_SUCCESS);
  return win::TRUE;
}

}  // namespace zv::platform
