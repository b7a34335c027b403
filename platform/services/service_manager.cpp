// The machine's service database and the loading of driver stand-ins: see
// service_manager.h.
#include "platform/services/service_manager.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/base/clock.h"
#include "platform/base/text.h"
#include "platform/files/paths.h"
#include "platform/processes/program_files.h"
#include "platform/registry/registry_api.h"
#include "platform/registry/registry_store.h"
#include "platform/services/service_manager_api.h"

extern char** environ;

namespace zv::platform {

const SchemaStep kServicesSchema = {
    "services",
    // One row per service that has been started or stopped; a service
    // without a row is stopped. folded: the name upper-cased (ASCII).
    // stop_due: when a stop-pending state ends (clock UTC ms), NULL: never.
    "CREATE TABLE service_state (folded TEXT PRIMARY KEY, state INTEGER NOT NULL,"
    " stop_due INTEGER, delete_pending INTEGER NOT NULL DEFAULT 0, report TEXT NOT NULL DEFAULT '');"};

namespace {

constexpr win::DWORD kBadExeFormat = 193;
constexpr win::DWORD kExeMachineTypeMismatch = 216;
constexpr win::DWORD kProcessAborted = 1067;
constexpr std::size_t kMaxImageBytes = 64 * 1024;
constexpr std::size_t kMaxReportBytes = 64 * 1024;

std::string Folded(const std::wstring& name) { return text::ToUtf8(FoldName(name)); }

std::optional<win::DWORD> Dword(sqlite3* db, KeyId key, const wchar_t* name) {
  auto v = regdb::GetValue(db, key, name);
  if (!v || v->data.size() != 4) return std::nullopt;
  win::DWORD d = 0;
  std::memcpy(&d, v->data.data(), 4);
  return d;
}

std::wstring String(sqlite3* db, KeyId key, const wchar_t* name) {
  auto v = regdb::GetValue(db, key, name);
  if (!v) return {};
  std::wstring s = text::FromUtf16Le(v->data.data(), v->data.size());
  while (!s.empty() && s.back() == L'\0') s.pop_back();
  return s;
}

std::filesystem::path BinFolder() {
  if (const char* dir = std::getenv("ZV_BIN_DIR"); dir && *dir) return dir;
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
}

// Runs the stand-in and collects its standard output.
win::DWORD RunStandIn(Machine& machine, const std::string& program, const std::wstring& service,
                      std::string& report) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return Win32FromErrno(errno);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);

  std::vector<std::string> envText;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "ZV_MACHINE=", 11) != 0) envText.emplace_back(*e);
  }
  envText.push_back("ZV_MACHINE=" + machine.Root().string());
  std::vector<char*> envp;
  for (std::string& s : envText) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string arg0 = std::filesystem::path(program).filename().string(), arg1 = "load",
              arg2 = text::ToUtf8(service);
  char* argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};

  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (rc != 0) {
    close(pipeFds[0]);
    return kExeMachineTypeMismatch;
  }
  char buffer[4096];
  for (;;) {
    ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (report.size() < kMaxReportBytes) report.append(buffer, static_cast<std::size_t>(n));
  }
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (report.size() > kMaxReportBytes) report.resize(kMaxReportBytes);
  if (WIFEXITED(status)) return static_cast<win::DWORD>(WEXITSTATUS(status));
  return kProcessAborted;
}

}  // namespace

std::string ServiceSettingPrefix(const std::wstring& name) {
  return "service." + text::ToUtf8(text::AsciiLowerCopy(name)) + ".";
}

std::wstring DriverImageDosPath(const std::wstring& imagePath) {
  const std::wstring windows = L"C:\\Windows";
  std::wstring p = imagePath;
  auto startsWith = [&](std::wstring_view prefix) {
    return p.size() >= prefix.size() && text::AsciiIEquals(std::wstring_view(p).substr(0, prefix.size()), prefix);
  };
  if (startsWith(L"\\??\\")) p = p.substr(4);
  if (startsWith(L"%SystemRoot%")) p = windows + p.substr(12);
  if (startsWith(L"\\SystemRoot\\")) p = windows + p.substr(11);
  bool hasDrive = p.size() >= 2 && p[1] == L':';
  if (!hasDrive && !p.empty() && p[0] != L'\\') p = windows + L"\\" + p;
  return p;
}

win::DWORD LoadDriverStandIn(Machine& machine, const std::wstring& service, const std::wstring& imagePath,
                             std::string& report) {
  ResolvedPath resolved;
  // A missing folder on the way is a missing image too.
  win::DWORD e = ResolveDosPath(machine, DriverImageDosPath(imagePath), resolved);
  if (e == win::ERROR_PATH_NOT_FOUND || (!e && !resolved.exists)) return win::ERROR_FILE_NOT_FOUND;
  if (e) return e;
  if (!S_ISREG(resolved.st.st_mode)) return kBadExeFormat;
  std::ifstream in(resolved.host, std::ios::binary);
  std::string content(kMaxImageBytes, '\0');
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  content.resize(static_cast<std::size_t>(in.gcount()));
  ProgramFile image;
  if (ParseProgramFile(content, image) != win::ERROR_SUCCESS) return kBadExeFormat;
  std::filesystem::path program = BinFolder() / image.standIn;
  if (access(program.c_str(), X_OK) != 0) return kExeMachineTypeMismatch;
  return RunStandIn(machine, program.string(), service, report);
}

namespace servicedb {

std::int64_t ServicesKey(sqlite3* db) {
  KeyId key = regdb::RootKey(db, RegRoot::Machine);
  for (const wchar_t* name : {L"SYSTEM", L"CurrentControlSet", L"Services"}) {
    key = regdb::CreateChild(db, key, name, nullptr);
  }
  return key;
}

std::optional<ServiceEntry> Lookup(sqlite3* db, const std::wstring& name) {
  KeyId services = regdb::Walk(db, regdb::RootKey(db, RegRoot::Machine),
                               {L"SYSTEM", L"CurrentControlSet", L"Services"});
  if (!services) return std::nullopt;
  KeyId key = regdb::Child(db, services, name);
  if (!key) return std::nullopt;
  auto type = Dword(db, key, L"Type");
  if (!type) return std::nullopt;
  ServiceEntry e;
  e.name = regdb::NameOf(db, key);
  e.type = *type;
  e.start = Dword(db, key, L"Start").value_or(win::SERVICE_DEMAND_START);
  e.errorControl = Dword(db, key, L"ErrorControl").value_or(win::SERVICE_ERROR_NORMAL);
  e.imagePath = String(db, key, L"ImagePath");
  e.displayName = String(db, key, L"DisplayName");
  e.state = win::SERVICE_STOPPED;
  Statement q(db, "SELECT state, stop_due, delete_pending, report FROM service_state WHERE folded = ?;");
  if (q.Bind(1, Folded(name)).Step()) {
    e.state = static_cast<win::DWORD>(q.Int(0));
    if (!q.IsNull(1)) e.stopDueMs = q.Int(1);
    e.deletePending = q.Int(2) != 0;
    e.report = q.Text(3);
  }
  return e;
}

void SetState(sqlite3* db, const std::wstring& name, win::DWORD state, std::optional<std::int64_t> stopDueMs,
              bool deletePending) {
  Statement q(db,
              "INSERT INTO service_state (folded, state, stop_due, delete_pending) VALUES (?, ?, ?, ?)"
              " ON CONFLICT (folded) DO UPDATE SET state = excluded.state, stop_due = excluded.stop_due,"
              " delete_pending = excluded.delete_pending;");
  q.Bind(1, Folded(name)).Bind(2, state);
  if (stopDueMs) {
    q.Bind(3, *stopDueMs);
  } else {
    q.BindNull(3);
  }
  q.Bind(4, deletePending ? 1 : 0).Run();
}

void SetReport(sqlite3* db, const std::wstring& name, const std::string& report) {
  Statement q(db, "UPDATE service_state SET report = ? WHERE folded = ?;");
  q.Bind(1, report).Bind(2, Folded(name)).Run();
}

void Remove(sqlite3* db, const std::wstring& name) {
  KeyId services = ServicesKey(db);
  if (KeyId key = regdb::Child(db, services, name)) regdb::DeleteTree(db, key);
  Statement q(db, "DELETE FROM service_state WHERE folded = ?;");
  q.Bind(1, Folded(name)).Run();
}

void Settle(sqlite3* db, std::optional<ServiceEntry>& entry, std::int64_t nowMs) {
  if (!entry || entry->state != win::SERVICE_STOP_PENDING || !entry->stopDueMs || *entry->stopDueMs > nowMs) return;
  if (entry->deletePending) {
    Remove(db, entry->name);
    entry.reset();
    return;
  }
  entry->state = win::SERVICE_STOPPED;
  entry->stopDueMs.reset();
  SetState(db, entry->name, win::SERVICE_STOPPED, std::nullopt, false);
}

}  // namespace servicedb

std::vector<ServiceEntry> ListServices(Machine& machine) {
  regdb::EnsureRegistry(machine);
  machine.EnsureSchema(kServicesSchema);
  std::int64_t now = CurrentClock().UtcMilliseconds();
  std::vector<ServiceEntry> out;
  machine.Write([&](sqlite3* db) {
    for (const std::wstring& name : regdb::Subkeys(db, servicedb::ServicesKey(db))) {
      auto e = servicedb::Lookup(db, name);
      servicedb::Settle(db, e, now);
      if (e) out.push_back(std::move(*e));
    }
  });
  return out;
}

std::optional<ServiceEntry> FindService(Machine& machine, const std::wstring& name) {
  regdb::EnsureRegistry(machine);
  machine.EnsureSchema(kServicesSchema);
  std::int64_t now = CurrentClock().UtcMilliseconds();
  std::optional<ServiceEntry> e;
  machine.Write([&](sqlite3* db) {
    e = servicedb::Lookup(db, name);
    servicedb::Settle(db, e, now);
  });
  return e;
}

}  // namespace zv::platform
