// The machine's processes, registration, reaping and change feed: see
// process_table.h.
#include "platform/processes/process_table.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/base/clock.h"
#include "platform/base/text.h"

namespace zv::platform {
namespace fs = std::filesystem;

const SchemaStep kProgramsSchema = {
    "programs",
    // How each live process was started; 'starting' rows belong to a
    // CreateProcessW still under way.
    "ALTER TABLE processes ADD COLUMN command_line TEXT;"
    "ALTER TABLE processes ADD COLUMN current_dir TEXT;"
    "ALTER TABLE processes ADD COLUMN desktop TEXT;"
    "ALTER TABLE processes ADD COLUMN show_window INTEGER;"
    "ALTER TABLE processes ADD COLUMN bitness INTEGER NOT NULL DEFAULT 64;"
    "ALTER TABLE processes ADD COLUMN state TEXT NOT NULL DEFAULT 'running';"
    // Exit codes of ended processes, kept for waiters (pids are not reused).
    "CREATE TABLE process_exits (pid INTEGER PRIMARY KEY, exit_code INTEGER NOT NULL,"
    " ended_ms INTEGER NOT NULL);"
    // Every CreateProcessW start, kept after the process ended.
    "CREATE TABLE program_starts (pid INTEGER PRIMARY KEY, parent INTEGER NOT NULL, image TEXT NOT NULL,"
    " command_line TEXT NOT NULL, current_dir TEXT NOT NULL, desktop TEXT, show_window INTEGER,"
    " startup_size INTEGER NOT NULL, creation_flags INTEGER NOT NULL, session INTEGER NOT NULL,"
    " bitness INTEGER NOT NULL, standin TEXT NOT NULL, started_ms INTEGER NOT NULL);"
    "CREATE TABLE program_notes (seq INTEGER PRIMARY KEY AUTOINCREMENT, pid INTEGER NOT NULL,"
    " image TEXT NOT NULL, key TEXT NOT NULL, value TEXT NOT NULL, ms INTEGER NOT NULL);"
    // Top-level windows and the messages sent or posted to them.
    "CREATE TABLE windows (hwnd INTEGER PRIMARY KEY, owner INTEGER NOT NULL, session INTEGER NOT NULL,"
    " desktop TEXT NOT NULL, title TEXT NOT NULL, class TEXT NOT NULL, created_ms INTEGER NOT NULL);"
    "CREATE TABLE window_messages (seq INTEGER PRIMARY KEY AUTOINCREMENT, hwnd INTEGER NOT NULL,"
    " owner INTEGER NOT NULL, message INTEGER NOT NULL, wparam INTEGER NOT NULL, lparam INTEGER NOT NULL,"
    " sender INTEGER NOT NULL, sent INTEGER NOT NULL, state TEXT NOT NULL DEFAULT 'queued',"
    " result INTEGER NOT NULL DEFAULT 0);"};

namespace {

void EnsureSchema(Machine& m) { m.EnsureSchema(kProgramsSchema); }

constexpr win::DWORD kIdlePid = 0;
constexpr win::DWORD kSystemPid = 4;

fs::path ProcsFolder(Machine& m) { return m.RunFolder() / "procs"; }

// Only inside an existing run folder: a machine removed from under a live
// program (a finished test) must not be brought back by its last wake-up.
void EnsureProcsFolder(Machine& m) {
  std::error_code ec;
  fs::create_directory(ProcsFolder(m), ec);
}

// Files in the run folder get their mode whatever the umask; only their
// creator can set it.
void SetModeIfOurs(int fd, mode_t mode) {
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 07777) != mode) ::fchmod(fd, mode);
}

std::string LockName(win::DWORD pid) { return std::to_string(pid) + ".lock"; }

// Images are stored as WTF-8 so that any UTF-16 text survives.
std::string Store(const std::wstring& s) { return text::ToHostName(s); }
std::wstring Load(const std::string& s) { return text::FromHostName(s); }

std::int64_t NowMs() { return CurrentClock().UtcMilliseconds(); }

void InsertEvent(sqlite3* db, win::DWORD pid, win::DWORD parent, const std::string& image, bool created) {
  Statement q(db, "INSERT INTO process_events(pid, parent, image, created) VALUES(?, ?, ?, ?);");
  q.Bind(1, pid).Bind(2, parent).Bind(3, image).Bind(4, created ? 1 : 0).Run();
}

win::DWORD AllocatePid(sqlite3* db) {
  std::int64_t next = 1000;
  {
    Statement q(db, "SELECT value FROM counters WHERE name = 'next_pid';");
    if (q.Step()) next = q.Int(0);
  }
  // Windows hands out multiples of 4; skip any pid a row already holds.
  next = (next + 3) / 4 * 4;
  for (;;) {
    if (next > 0xFFFFFFF0LL || next < 8) next = 1000;
    Statement q(db, "SELECT 1 FROM processes WHERE pid = ?;");
    q.Bind(1, next);
    if (!q.Step()) break;
    next += 4;
  }
  Statement u(db,
              "INSERT INTO counters(name, value) VALUES('next_pid', ?)"
              " ON CONFLICT(name) DO UPDATE SET value = excluded.value;");
  u.Bind(1, next + 4).Run();
  // After a wrap-around the pid's old exit code and start are history.
  Statement(db, "DELETE FROM process_exits WHERE pid = ?;").Bind(1, next).Run();
  Statement(db, "DELETE FROM program_starts WHERE pid = ?;").Bind(1, next).Run();
  return static_cast<win::DWORD>(next);
}

MachineProcess RowOf(const Statement& q) {
  MachineProcess p;
  p.pid = static_cast<win::DWORD>(q.Int(0));
  p.parent = static_cast<win::DWORD>(q.Int(1));
  p.image = Load(q.Text(2));
  p.session = static_cast<win::DWORD>(q.Int(3));
  p.isProtected = q.Int(4) != 0;
  p.hostPid = q.IsNull(5) ? 0 : static_cast<int>(q.Int(5));
  p.startedMs = q.Int(6);
  p.commandLine = Load(q.Text(7));
  p.currentDir = Load(q.Text(8));
  p.desktop = Load(q.Text(9));
  p.showWindow = q.IsNull(10) ? -1 : static_cast<int>(q.Int(10));
  p.bitness = static_cast<int>(q.Int(11));
  p.starting = q.Text(12) == "starting";
  return p;
}

#define ZV_PROCESS_COLUMNS                                                                                   \
  "pid, parent, image, session, protected, host_pid, started_ms, command_line, current_dir, desktop, show_window," \
  " bitness, state"
constexpr const char* kSelectRow = "SELECT " ZV_PROCESS_COLUMNS " FROM processes";
constexpr const char* kSelectRowAndLock = "SELECT " ZV_PROCESS_COLUMNS ", lock FROM processes";
#undef ZV_PROCESS_COLUMNS

void RecordExit(sqlite3* db, win::DWORD pid, win::DWORD code) {
  // The first code recorded wins: TerminateProcess records before it kills.
  Statement q(db, "INSERT OR IGNORE INTO process_exits(pid, exit_code, ended_ms) VALUES(?, ?, ?);");
  q.Bind(1, pid).Bind(2, code).Bind(3, NowMs()).Run();
}

std::wstring EnvText(const char* name, const std::wstring& fallback) {
  const char* env = std::getenv(name);
  return env && *env ? text::FromUtf8(env) : fallback;
}

// Liveness of a registered program: the host pid holding the write lock on
// byte 0 of its lock file, or 0 when nobody holds it (the program is gone:
// the kernel drops the lock however the process ended). The file is opened
// read-only so that checking never wakes feed waiters.
pid_t LockHolder(Machine& m, const std::string& lockName) {
  int fd = ::open((ProcsFolder(m) / lockName).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return 0;
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 1;
  pid_t holder = 0;
  if (::fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK) holder = fl.l_pid;
  ::close(fd);
  return holder;
}

// ---- Registration of this host process ---------------------------------------

struct Registration {
  std::shared_ptr<Machine> machine;
  win::DWORD pid = 0;
  win::DWORD parent = 0;
  pid_t hostPid = 0;
  int lockFd = -1;
  std::string lockName;
  std::wstring image;
  win::DWORD session = 1;
  std::wstring commandLine;
  std::wstring currentDir;
  std::wstring desktop;
  int showWindow = -1;
  int bitness = 64;
  bool adopted = false;  // started by CreateProcessW: its start stays as made
};

std::mutex registrationMutex;
Registration* registration = nullptr;  // guarded by registrationMutex
bool atExitInstalled = false;
// A started program adopts the row its parent made, once per address space
// (a forked copy must not adopt it again).
bool adoptionTried = false;

// Our own row must never be reaped by us: our own locks never conflict with
// us, so we would see the lock as free.
win::DWORD OwnPidIn(Machine& m) {
  std::lock_guard lock(registrationMutex);
  if (registration && registration->machine.get() == &m && registration->hostPid == ::getpid()) {
    return registration->pid;
  }
  return UINT_MAX;
}

void DropRegistrationLocked(bool removeRow, win::DWORD exitCode = 0) {
  Registration* r = registration;
  registration = nullptr;
  if (!r) return;
  if (r->hostPid != ::getpid()) {
    // Inherited through fork: the row and lock belong to the parent.
    if (r->lockFd >= 0) ::close(r->lockFd);
    delete r;
    return;
  }
  if (removeRow) {
    try {
      bool removed = false;
      EnsureSchema(*r->machine);
      r->machine->Write([&](sqlite3* db) {
        Statement d(db, "DELETE FROM processes WHERE pid = ? AND host_pid = ?;");
        removed = d.Bind(1, r->pid).Bind(2, r->hostPid).Run() == 1;
        if (removed) {
          RecordExit(db, r->pid, exitCode);
          InsertEvent(db, r->pid, r->parent, Store(r->image), false);
        }
      });
      std::error_code ec;
      fs::remove(ProcsFolder(*r->machine) / r->lockName, ec);
      if (removed) process_detail::WakeFeed(*r->machine);
    } catch (const std::exception&) {
      // The lock is released below; any other process may reap the row.
    }
  }
  if (r->lockFd >= 0) ::close(r->lockFd);
  delete r;
}

// Records our exit code. Row and lock stay: the kernel drops the lock only
// when this host process is really gone, and whoever looks next (a feed
// waiter wakes on the lock file's close) reaps the row and emits the exit
// event, so a waiter never sees us ended while we still run.
void RecordOwnExitLocked(win::DWORD exitCode) {
  Registration* r = registration;
  if (!r || r->hostPid != ::getpid()) return;
  try {
    EnsureSchema(*r->machine);
    r->machine->Write([&](sqlite3* db) {
      Statement q(db, "SELECT 1 FROM processes WHERE pid = ?;");
      if (q.Bind(1, r->pid).Step()) RecordExit(db, r->pid, exitCode);
    });
  } catch (const std::exception&) {
    // Then the reaper records the code of a process found dead.
  }
}

// Runs at exit() and at the return from main, with their code.
void RecordExitOnExit(int status, void*) {
  std::lock_guard lock(registrationMutex);
  RecordOwnExitLocked(static_cast<win::DWORD>(status));
}

void InstallExitHandler() {
  if (!atExitInstalled) {
    atExitInstalled = true;
    ::on_exit(RecordExitOnExit, nullptr);
  }
}

// The host command line as Windows would show it: the DOS image path, then
// the arguments (never the host path of the program).
std::wstring HostCommandLine(const std::wstring& image) {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::wstring line = process_detail::QuoteArgument(image);
  std::size_t start = all.find('\0');
  while (start != std::string::npos && start + 1 < all.size()) {
    std::size_t end = all.find('\0', start + 1);
    line += L" " + process_detail::QuoteArgument(text::FromUtf8(all.substr(start + 1, end - start - 1)));
    start = end;
  }
  return line;
}

int DefaultBitness() {
  const char* env = std::getenv("ZV_BITNESS");
  return env && std::string(env) == "32" ? 32 : 64;
}

// The row CreateProcessW made for us, when we are that child: our lock was
// taken before exec and is open on the descriptor named in the environment.
Registration* AdoptLocked(const std::shared_ptr<Machine>& m) {
  if (adoptionTried) return nullptr;
  adoptionTried = true;
  const char* pidText = std::getenv(process_detail::kPidVariable);
  const char* fdText = std::getenv(process_detail::kLockFdVariable);
  if (!pidText || !fdText) return nullptr;
  win::DWORD pid = static_cast<win::DWORD>(std::strtoul(pidText, nullptr, 10));
  int fd = std::atoi(fdText);
  struct stat held {}, named {};
  if (fd < 3 || ::fstat(fd, &held) != 0 || ::stat(ProcessLockPath(*m, pid).c_str(), &named) != 0 ||
      held.st_ino != named.st_ino || held.st_dev != named.st_dev) {
    return nullptr;
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);  // our own children take their own locks
  EnsureSchema(*m);
  std::optional<MachineProcess> row;
  m->Write([&](sqlite3* db) {
    Statement u(db, "UPDATE processes SET host_pid = ?, state = 'running' WHERE pid = ?;");
    if (u.Bind(1, static_cast<std::int64_t>(::getpid())).Bind(2, pid).Run() != 1) return;
    Statement q(db, (std::string(kSelectRow) + " WHERE pid = ?;").c_str());
    q.Bind(1, pid);
    if (q.Step()) row = RowOf(q);
  });
  if (!row) {
    ::close(fd);
    return nullptr;
  }
  auto* r = new Registration;
  r->machine = m;
  r->pid = pid;
  r->parent = row->parent;
  r->hostPid = ::getpid();
  r->lockFd = fd;
  r->lockName = LockName(pid);
  r->image = row->image;
  r->session = row->session;
  r->commandLine = row->commandLine;
  r->currentDir = row->currentDir;
  r->desktop = row->desktop;
  r->showWindow = row->showWindow;
  r->bitness = row->bitness;
  r->adopted = true;
  InstallExitHandler();
  return r;
}

Registration* RegisterLocked(const std::shared_ptr<Machine>& m, const std::wstring& image, win::DWORD session) {
  EnsureProcsFolder(*m);
  if (Registration* adopted = AdoptLocked(m)) return adopted;
  EnsureSchema(*m);
  auto* r = new Registration;
  r->machine = m;
  r->hostPid = ::getpid();
  r->image = image;
  r->session = session;
  r->commandLine = HostCommandLine(image);
  r->currentDir = EnvText("ZV_CURRENT_DIR", L"C:\\Windows\\System32");
  r->bitness = DefaultBitness();
  win::DWORD parent = DefaultParent(*m);
  r->parent = parent;
  try {
    m->Write([&](sqlite3* db) {
      r->pid = AllocatePid(db);
      r->lockName = LockName(r->pid);
      // The lock is held before the row becomes visible, so a row whose lock
      // is free always means a dead program.
      fs::path lockPath = ProcsFolder(*m) / r->lockName;
      int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, kRunPrivateFileMode);
      if (fd < 0) throw MachineError("cannot create " + lockPath.string() + ": " + std::strerror(errno));
      SetModeIfOurs(fd, kRunPrivateFileMode);
      struct flock fl {};
      fl.l_type = F_WRLCK;
      fl.l_whence = SEEK_SET;
      fl.l_start = 0;
      fl.l_len = 1;
      if (::fcntl(fd, F_SETLK, &fl) != 0) {
        ::close(fd);
        throw MachineError("cannot lock " + lockPath.string() + ": " + std::strerror(errno));
      }
      r->lockFd = fd;
      Statement q(db,
                  "INSERT INTO processes(pid, parent, image, session, protected, host_pid, lock, started_ms,"
                  " command_line, current_dir, bitness) VALUES(?, ?, ?, ?, 0, ?, ?, ?, ?, ?, ?);");
      q.Bind(1, r->pid).Bind(2, parent).Bind(3, Store(image)).Bind(4, session).Bind(5, r->hostPid)
          .Bind(6, r->lockName).Bind(7, NowMs()).Bind(8, Store(r->commandLine)).Bind(9, Store(r->currentDir))
          .Bind(10, r->bitness).Run();
      InsertEvent(db, r->pid, parent, Store(image), true);
    });
  } catch (...) {
    if (r->lockFd >= 0) {
      ::close(r->lockFd);
      std::error_code ec;
      fs::remove(ProcsFolder(*m) / r->lockName, ec);
    }
    delete r;
    throw;
  }
  InstallExitHandler();
  process_detail::WakeFeed(*m);
  return r;
}

// The registration for Machine::Current(), made on first need. Null when
// there is no machine.
Registration* EnsureRegisteredLocked() {
  std::shared_ptr<Machine> m;
  try {
    m = Machine::Current();
  } catch (const MachineError&) {
    return nullptr;
  }
  if (registration && (registration->machine != m || registration->hostPid != ::getpid())) {
    DropRegistrationLocked(registration->hostPid == ::getpid());
  }
  if (!registration) {
    try {
      registration = RegisterLocked(m, DefaultImagePath(), DefaultSession());
    } catch (const std::exception&) {
      return nullptr;  // answered as without a machine; the next call tries again
    }
  }
  return registration;
}

}  // namespace

// ---- process_detail -----------------------------------------------------------------

namespace process_detail {

void WakeFeed(Machine& machine) {
  // Closing a file opened for writing is the wake-up (IN_CLOSE_WRITE).
  const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::open((ProcsFolder(machine) / "feed").c_str(), flags, kRunSharedFileMode);
  if (fd < 0) {
    EnsureProcsFolder(machine);
    fd = ::open((ProcsFolder(machine) / "feed").c_str(), flags, kRunSharedFileMode);
  }
  if (fd >= 0) {
    SetModeIfOurs(fd, kRunSharedFileMode);
    ::close(fd);
  }
}

std::wstring FileNameOf(const std::wstring& dosPath) {
  std::size_t slash = dosPath.find_last_of(L"\\/");
  return slash == std::wstring::npos ? dosPath : dosPath.substr(slash + 1);
}

std::vector<std::wstring> SplitArguments(std::wstring_view line) {
  std::vector<std::wstring> args;
  std::size_t i = 0;
  const std::size_t n = line.size();
  while (i < n) {
    while (i < n && (line[i] == L' ' || line[i] == L'\t')) ++i;
    if (i >= n) break;
    std::wstring arg;
    bool quoted = false;
    while (i < n && (quoted || (line[i] != L' ' && line[i] != L'\t'))) {
      if (line[i] == L'\\') {
        std::size_t slashes = 0;
        while (i < n && line[i] == L'\\') {
          ++slashes;
          ++i;
        }
        if (i < n && line[i] == L'"') {
          arg.append(slashes / 2, L'\\');
          if (slashes % 2) {
            arg.push_back(L'"');
            ++i;
          }
        } else {
          arg.append(slashes, L'\\');
        }
      } else if (line[i] == L'"') {
        quoted = !quoted;
        ++i;
      } else {
        arg.push_back(line[i++]);
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring out = L"\"";
  std::size_t slashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote escaped.
    out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    slashes = 0;
    out.push_back(c);
  }
  out.append(slashes * 2, L'\\');
  out.push_back(L'"');
  return out;
}

}  // namespace process_detail

// ---- Table operations ----------------------------------------------------------------

win::DWORD AddProcess(Machine& machine, win::DWORD parent, const std::wstring& image, win::DWORD session,
                      bool isProtected) {
  EnsureProcsFolder(machine);
  EnsureSchema(machine);
  win::DWORD pid = 0;
  machine.Write([&](sqlite3* db) {
    pid = AllocatePid(db);
    Statement q(db,
                "INSERT INTO processes(pid, parent, image, session, protected, started_ms)"
                " VALUES(?, ?, ?, ?, ?, ?);");
    q.Bind(1, pid).Bind(2, parent).Bind(3, Store(image)).Bind(4, session).Bind(5, isProtected ? 1 : 0)
        .Bind(6, NowMs()).Run();
    InsertEvent(db, pid, parent, Store(image), true);
  });
  process_detail::WakeFeed(machine);
  return pid;
}

EndResult EndProcess(Machine& machine, win::DWORD pid, win::DWORD exitCode) {
  if (pid == kIdlePid || pid == kSystemPid || pid == OwnPidIn(machine)) return EndResult::Refused;
  EnsureSchema(machine);
  std::optional<MachineProcess> row;
  std::string lockName;
  machine.Write([&](sqlite3* db) {
    Statement q(db, "SELECT pid, parent, image, lock FROM processes WHERE pid = ?;");
    q.Bind(1, pid);
    if (!q.Step()) return;
    row = MachineProcess{};
    row->pid = pid;
    row->parent = static_cast<win::DWORD>(q.Int(1));
    row->image = Load(q.Text(2));
    lockName = q.IsNull(3) ? std::string() : q.Text(3);
    // Recorded before the kill, so a reaper that sees the death first keeps
    // our code.
    RecordExit(db, pid, exitCode);
  });
  if (!row) return EndResult::NotFound;
  bool killed = false;
  if (!lockName.empty()) {
    // The lock holder is the live host process (exactly, unlike a stored
    // host pid that the host may have reused); kill only that one.
    pid_t holder = LockHolder(machine, lockName);
    if (holder > 0) killed = ::kill(holder, SIGKILL) == 0;
  }
  bool removed = false;
  machine.Write([&](sqlite3* db) {
    Statement d(db, "DELETE FROM processes WHERE pid = ?;");
    removed = d.Bind(1, pid).Run() == 1;
    if (removed) InsertEvent(db, pid, row->parent, Store(row->image), false);
  });
  if (!lockName.empty()) {
    std::error_code ec;
    fs::remove(ProcsFolder(machine) / lockName, ec);
  }
  if (removed) process_detail::WakeFeed(machine);
  return removed || killed ? EndResult::Ended : EndResult::NotFound;
}

std::optional<win::DWORD> ExitCodeOf(Machine& machine, win::DWORD pid) {
  EnsureSchema(machine);
  std::optional<win::DWORD> code;
  machine.Read([&](sqlite3* db) {
    Statement alive(db, "SELECT 1 FROM processes WHERE pid = ?;");
    if (alive.Bind(1, pid).Step()) return;
    Statement q(db, "SELECT exit_code FROM process_exits WHERE pid = ?;");
    if (q.Bind(1, pid).Step()) code = static_cast<win::DWORD>(q.Int(0));
  });
  return code;
}

int ReapDeadProcesses(Machine& machine) {
  struct Candidate {
    win::DWORD pid;
    win::DWORD parent;
    std::string image;
    std::string lock;
  };
  std::vector<Candidate> candidates;
  EnsureSchema(machine);
  machine.Read([&](sqlite3* db) {
    // A row still starting has no lock holder yet; it is dead only when the
    // parent that was starting it is gone.
    Statement q(db,
                "SELECT pid, parent, image, lock FROM processes WHERE lock IS NOT NULL AND (state <> 'starting'"
                " OR parent NOT IN (SELECT pid FROM processes));");
    while (q.Step()) {
      candidates.push_back({static_cast<win::DWORD>(q.Int(0)), static_cast<win::DWORD>(q.Int(1)), q.Text(2),
                            q.Text(3)});
    }
  });
  win::DWORD own = OwnPidIn(machine);
  std::vector<Candidate> dead;
  for (Candidate& c : candidates) {
    if (c.pid == own) continue;
    if (LockHolder(machine, c.lock) == 0) dead.push_back(std::move(c));
  }
  if (dead.empty()) return 0;
  int reaped = 0;
  machine.Write([&](sqlite3* db) {
    for (const Candidate& c : dead) {
      // Another reaper may have been first; only the one that removes the
      // row emits the exit event.
      Statement d(db, "DELETE FROM processes WHERE pid = ? AND lock = ?;");
      if (d.Bind(1, c.pid).Bind(2, c.lock).Run() == 1) {
        RecordExit(db, c.pid, kUnrecordedExitCode);
        InsertEvent(db, c.pid, c.parent, c.image, false);
        ++reaped;
      }
    }
  });
  for (const Candidate& c : dead) {
    std::error_code ec;
    fs::remove(ProcsFolder(machine) / c.lock, ec);
  }
  if (reaped) process_detail::WakeFeed(machine);
  return reaped;
}

std::vector<MachineProcess> ListProcesses(Machine& machine) {
  ReapDeadProcesses(machine);  // ensures the schema
  std::vector<MachineProcess> rows;
  machine.Read([&](sqlite3* db) {
    Statement q(db, (std::string(kSelectRow) + " ORDER BY pid;").c_str());
    while (q.Step()) rows.push_back(RowOf(q));
  });
  return rows;
}

std::optional<MachineProcess> FindProcess(Machine& machine, win::DWORD pid) {
  EnsureSchema(machine);
  std::optional<MachineProcess> row;
  bool locked = false;
  machine.Read([&](sqlite3* db) {
    Statement q(db, (std::string(kSelectRowAndLock) + " WHERE pid = ?;").c_str());
    q.Bind(1, pid);
    if (q.Step()) {
      row = RowOf(q);
      locked = !q.IsNull(13);
    }
  });
  // A registered program found dead is reaped on the spot.
  if (row && locked && pid != OwnPidIn(machine)) {
    if (ReapDeadProcesses(machine) > 0) return FindProcess(machine, pid);
  }
  return row;
}

std::int64_t LastProcessEventSeq(Machine& machine) {
  std::int64_t seq = 0;
  machine.Read([&](sqlite3* db) {
    Statement q(db, "SELECT COALESCE(MAX(seq), 0) FROM process_events;");
    if (q.Step()) seq = q.Int(0);
  });
  return seq;
}

// ---- This program ---------------------------------------------------------------------

std::wstring DefaultImagePath() {
  if (const char* env = std::getenv("ZV_IMAGE_PATH"); env && *env) return text::FromUtf8(env);
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  std::string name = ec ? std::string("program") : exe.filename().string();
  return L"C:\\Program Files\\ZV\\" + text::FromHostName(name) + L".exe";
}

win::DWORD DefaultSession() {
  if (const char* env = std::getenv("ZV_SESSION"); env && *env) {
    char* end = nullptr;
    unsigned long v = std::strtoul(env, &end, 10);
    if (end && *end == '\0' && v <= 0xFFFFFFFFul) return static_cast<win::DWORD>(v);
  }
  return 1;
}

win::DWORD DefaultParent(Machine& machine) {
  if (const char* env = std::getenv("ZV_PARENT_PID"); env && *env) {
    char* end = nullptr;
    unsigned long v = std::strtoul(env, &end, 10);
    if (end && *end == '\0' && v <= 0xFFFFFFFFul) return static_cast<win::DWORD>(v);
  }
  win::DWORD parent = 0;
  machine.Read([&](sqlite3* db) {
    Statement q(db, "SELECT pid FROM processes WHERE host_pid = ? ORDER BY pid DESC LIMIT 1;");
    q.Bind(1, static_cast<std::int64_t>(::getppid()));
    if (q.Step()) parent = static_cast<win::DWORD>(q.Int(0));
  });
  return parent;
}

win::DWORD RegisterCurrentProcess(const std::wstring& imagePath, win::DWORD session) {
  std::wstring image = imagePath.empty() ? DefaultImagePath() : imagePath;
  std::shared_ptr<Machine> m = Machine::Current();
  std::lock_guard lock(registrationMutex);
  if (registration && registration->machine == m && registration->hostPid == ::getpid()) {
    Registration* r = registration;
    std::wstring commandLine = r->adopted ? r->commandLine : HostCommandLine(image);
    m->Write([&](sqlite3* db) {
      Statement q(db, "UPDATE processes SET image = ?, session = ?, command_line = ? WHERE pid = ?;");
      q.Bind(1, Store(image)).Bind(2, session).Bind(3, Store(commandLine)).Bind(4, r->pid).Run();
    });
    r->image = image;
    r->session = session;
    r->commandLine = commandLine;
    return r->pid;
  }
  if (registration) DropRegistrationLocked(registration->hostPid == ::getpid());
  registration = RegisterLocked(m, image, session);
  return registration->pid;
}

void SetCurrentProcessSession(win::DWORD session) {
  std::lock_guard lock(registrationMutex);
  Registration* r = EnsureRegisteredLocked();
  if (!r || r->session == session) return;
  r->machine->Write([&](sqlite3* db) {
    Statement q(db, "UPDATE processes SET session = ? WHERE pid = ?;");
    q.Bind(1, session).Bind(2, r->pid).Run();
  });
  r->session = session;
}

win::DWORD CurrentProcessPid() {
  std::lock_guard lock(registrationMutex);
  Registration* r = EnsureRegisteredLocked();
  return r ? r->pid : static_cast<win::DWORD>(::getpid()) * 4;
}

std::wstring CurrentProcessImage() {
  std::lock_guard lock(registrationMutex);
  Registration* r = EnsureRegisteredLocked();
  return r ? r->image : DefaultImagePath();
}

win::DWORD CurrentProcessSession() {
  std::lock_guard lock(registrationMutex);
  Registration* r = EnsureRegisteredLocked();
  return r ? r->session : DefaultSession();
}

std::wstring CurrentProcessCommandLine() {
  std::lock_guard lock(registrationMutex);
  Registration* r = EnsureRegisteredLocked();
  return r ? r->commandLine : HostCommandLine(DefaultImagePath());
}

std::wstring CurrentProcessDirectory() {
  std::lock_guard lock(registrationMutex);
  Registration* r = EnsureRegisteredLocked();
  return r ? r->currentDir : EnvText("ZV_CURRENT_DIR", L"C:\\Windows\\System32");
}

std::wstring CurrentProcessDesktop() {
  std::lock_guard lock(registrationMutex);
  Registration* r = EnsureRegisteredLocked();
  return r ? r->desktop : std::wstring();
}

int CurrentProcessShowWindow() {
  std::lock_guard lock(registrationMutex);
  Registration* r = EnsureRegisteredLocked();
  return r ? r->showWindow : -1;
}

int CurrentProcessBitness() {
  std::lock_guard lock(registrationMutex);
  Registration* r = EnsureRegisteredLocked();
  return r ? r->bitness : DefaultBitness();
}

void DeclareProgramBitness(int bits) {
  // The environment is where a host start names the bitness; setting it only
  // when unset keeps a caller's explicit choice.
  ::setenv("ZV_BITNESS", bits == 32 ? "32" : "64", 0);
}

void UnregisterCurrentProcess(win::DWORD exitCode) {
  std::lock_guard lock(registrationMutex);
  DropRegistrationLocked(true, exitCode);
}

void RecordCurrentProcessExit(win::DWORD exitCode) {
  std::lock_guard lock(registrationMutex);
  RecordOwnExitLocked(exitCode);
}

// ---- Program starts ------------------------------------------------------------------------

std::filesystem::path ProcessLockPath(Machine& machine, win::DWORD pid) {
  return ProcsFolder(machine) / LockName(pid);
}

win::DWORD InsertStartingProcess(Machine& machine, ProgramStart& start) {
  EnsureProcsFolder(machine);
  EnsureSchema(machine);
  machine.Write([&](sqlite3* db) {
    start.pid = AllocatePid(db);
    start.startedMs = NowMs();
    Statement q(db,
                "INSERT INTO processes(pid, parent, image, session, protected, lock, started_ms, command_line,"
                " current_dir, desktop, show_window, bitness, state)"
                " VALUES(?, ?, ?, ?, 0, ?, ?, ?, ?, ?, ?, ?, 'starting');");
    q.Bind(1, start.pid).Bind(2, start.parent).Bind(3, Store(start.image)).Bind(4, start.session)
        .Bind(5, LockName(start.pid)).Bind(6, start.startedMs).Bind(7, Store(start.commandLine))
        .Bind(8, Store(start.currentDir)).Bind(9, Store(start.desktop));
    if (start.showWindow >= 0) {
      q.Bind(10, start.showWindow);
    } else {
      q.BindNull(10);
    }
    q.Bind(11, start.bitness).Run();
    Statement h(db,
                "INSERT OR REPLACE INTO program_starts(pid, parent, image, command_line, current_dir, desktop,"
                " show_window, startup_size, creation_flags, session, bitness, standin, started_ms)"
                " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);");
    h.Bind(1, start.pid).Bind(2, start.parent).Bind(3, Store(start.image)).Bind(4, Store(start.commandLine))
        .Bind(5, Store(start.currentDir)).Bind(6, Store(start.desktop));
    if (start.showWindow >= 0) {
      h.Bind(7, start.showWindow);
    } else {
      h.BindNull(7);
    }
    h.Bind(8, start.startupSize).Bind(9, start.creationFlags).Bind(10, start.session).Bind(11, start.bitness)
        .Bind(12, start.standIn).Bind(13, start.startedMs).Run();
    InsertEvent(db, start.pid, start.parent, Store(start.image), true);
  });
  process_detail::WakeFeed(machine);
  return start.pid;
}

void ConfirmStart(Machine& machine, win::DWORD pid) {
  machine.Write([&](sqlite3* db) {
    Statement(db, "UPDATE processes SET state = 'running' WHERE pid = ? AND state = 'starting';").Bind(1, pid).Run();
  });
}

void AbandonStart(Machine& machine, win::DWORD pid, win::DWORD exitCode) {
  bool removed = false;
  machine.Write([&](sqlite3* db) {
    std::string image;
    win::DWORD parent = 0;
    Statement q(db, "SELECT parent, image FROM processes WHERE pid = ?;");
    if (!q.Bind(1, pid).Step()) return;
    parent = static_cast<win::DWORD>(q.Int(0));
    image = q.Text(1);
    Statement(db, "DELETE FROM processes WHERE pid = ?;").Bind(1, pid).Run();
    RecordExit(db, pid, exitCode);
    InsertEvent(db, pid, parent, image, false);
    removed = true;
  });
  std::error_code ec;
  fs::remove(ProcessLockPath(machine, pid), ec);
  if (removed) process_detail::WakeFeed(machine);
}

std::vector<ProgramStart> ListProgramStarts(Machine& machine) {
  EnsureSchema(machine);
  std::vector<ProgramStart> starts;
  machine.Read([&](sqlite3* db) {
    Statement q(db,
                "SELECT s.pid, s.parent, s.image, s.command_line, s.current_dir, s.desktop, s.show_window,"
                " s.startup_size, s.creation_flags, s.session, s.bitness, s.standin, s.started_ms, e.exit_code,"
                " p.pid FROM program_starts s LEFT JOIN process_exits e ON e.pid = s.pid"
                " LEFT JOIN processes p ON p.pid = s.pid ORDER BY s.started_ms, s.pid;");
    while (q.Step()) {
      ProgramStart s;
      s.pid = static_cast<win::DWORD>(q.Int(0));
      s.parent = static_cast<win::DWORD>(q.Int(1));
      s.image = Load(q.Text(2));
      s.commandLine = Load(q.Text(3));
      s.currentDir = Load(q.Text(4));
      s.desktop = Load(q.Text(5));
      s.showWindow = q.IsNull(6) ? -1 : static_cast<int>(q.Int(6));
      s.startupSize = static_cast<win::DWORD>(q.Int(7));
      s.creationFlags = static_cast<win::DWORD>(q.Int(8));
      s.session = static_cast<win::DWORD>(q.Int(9));
      s.bitness = static_cast<int>(q.Int(10));
      s.standIn = q.Text(11);
      s.startedMs = q.Int(12);
      if (!q.IsNull(13) && q.IsNull(14)) s.exitCode = static_cast<win::DWORD>(q.Int(13));
      starts.push_back(std::move(s));
    }
  });
  return starts;
}

void AddProgramNote(Machine& machine, win::DWORD pid, const std::wstring& image, const std::string& key,
                    const std::wstring& value) {
  EnsureSchema(machine);
  machine.Write([&](sqlite3* db) {
    Statement q(db, "INSERT INTO program_notes(pid, image, key, value, ms) VALUES(?, ?, ?, ?, ?);");
    q.Bind(1, pid).Bind(2, Store(image)).Bind(3, key).Bind(4, Store(value)).Bind(5, NowMs()).Run();
  });
}

std::vector<ProgramNote> ListProgramNotes(Machine& machine) {
  EnsureSchema(machine);
  std::vector<ProgramNote> notes;
  machine.Read([&](sqlite3* db) {
    Statement q(db, "SELECT seq, pid, image, key, value FROM program_notes ORDER BY seq;");
    while (q.Step()) {
      notes.push_back({q.Int(0), static_cast<win::DWORD>(q.Int(1)), Load(q.Text(2)), q.Text(3), Load(q.Text(4))});
    }
  });
  return notes;
}

// ---- Change feed ------------------------------------------------------------------------

ProcessEventFeed::ProcessEventFeed(std::shared_ptr<Machine> machine, std::int64_t fromSeq)
    : machine_(std::move(machine)), position_(fromSeq) {
  EnsureProcsFolder(*machine_);
  inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotifyFd_ < 0) throw MachineError(std::string("inotify_init1: ") + std::strerror(errno));
  if (::inotify_add_watch(inotifyFd_, ProcsFolder(*machine_).c_str(), IN_CLOSE_WRITE) < 0) {
    ::close(inotifyFd_);
    throw MachineError("cannot watch " + ProcsFolder(*machine_).string() + ": " + std::strerror(errno));
  }
  interruptFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (interruptFd_ < 0) {
    ::close(inotifyFd_);
    throw MachineError(std::string("eventfd: ") + std::strerror(errno));
  }
}

ProcessEventFeed::~ProcessEventFeed() {
  if (inotifyFd_ >= 0) ::close(inotifyFd_);
  if (interruptFd_ >= 0) ::close(interruptFd_);
}

void ProcessEventFeed::Interrupt() {
  std::uint64_t one = 1;
  ssize_t n = ::write(interruptFd_, &one, sizeof one);
  (void)n;
}

bool ProcessEventFeed::DrainWakeups() {
  bool death = false;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    ssize_t n = ::read(inotifyFd_, buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t off = 0; off < n;) {
      auto* ev = reinterpret_cast<inotify_event*>(buffer + off);
      if (ev->len > 0) {
        std::string_view name(ev->name);
        if (name.size() > 5 && name.substr(name.size() - 5) == ".lock") death = true;
      }
      if (ev->mask & IN_Q_OVERFLOW) death = true;
      off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
  }
  return death;
}

void ProcessEventFeed::Fetch() {
  machine_->Read([&](sqlite3* db) {
    Statement q(db, "SELECT seq, pid, parent, image, created FROM process_events WHERE seq > ? ORDER BY seq LIMIT 256;");
    q.Bind(1, position_);
    while (q.Step()) {
      ProcessEvent e;
      e.seq = q.Int(0);
      e.pid = static_cast<win::DWORD>(q.Int(1));
      e.parent = static_cast<win::DWORD>(q.Int(2));
      e.image = Load(q.Text(3));
      e.created = q.Int(4) != 0;
      pending_.push_back(std::move(e));
    }
  });
  if (!pending_.empty()) position_ = pending_.back().seq;
}

std::optional<ProcessEvent> ProcessEventFeed::WaitNext(win::DWORD timeoutMs) {
  using SteadyClock = std::chrono::steady_clock;
  const bool forever = timeoutMs == win::INFINITE;
  const SteadyClock::time_point deadline =
      forever ? SteadyClock::time_point::max() : SteadyClock::now() + CurrentClock().RealWaitFor(timeoutMs);
  for (;;) {
    if (!pending_.empty()) {
      ProcessEvent e = std::move(pending_.front());
      pending_.pop_front();
      return e;
    }
    // Drain before reading: a change committed after the read below still
    // leaves its wake-up queued for poll.
    bool death = DrainWakeups();
    if (death || !reapedOnce_) {
      reapedOnce_ = true;
      ReapDeadProcesses(*machine_);
    }
    Fetch();
    if (!pending_.empty()) continue;

    int waitMs = -1;
    if (!forever) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
      if (left <= 0) return std::nullopt;
      waitMs = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }
    pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {interruptFd_, POLLIN, 0}};
    int rc = ::poll(fds, 2, waitMs);
    if (rc < 0 && errno != EINTR) return std::nullopt;
    if (fds[1].revents & POLLIN) {
      std::uint64_t value = 0;
      ssize_t n = ::read(interruptFd_, &value, sizeof value);
      (void)n;
      return std::nullopt;
    }
    if (rc == 0) return std::nullopt;
  }
}

}  // namespace zv::platform
