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
#include <mutex>

#include "platform/base/clock.h"
#include "platform/base/text.h"

namespace zv::platform {
namespace fs = std::filesystem;

namespace {

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
  return p;
}

constexpr const char* kSelectRow = "SELECT pid, parent, image, session, protected, host_pid, started_ms FROM processes";

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
};

std::mutex registrationMutex;
Registration* registration = nullptr;  // guarded by registrationMutex
bool atExitInstalled = false;

// Our own row must never be reaped by us: our own locks never conflict with
// us, so we would see the lock as free.
win::DWORD OwnPidIn(Machine& m) {
  std::lock_guard lock(registrationMutex);
  if (registration && registration->machine.get() == &m && registration->hostPid == ::getpid()) {
    return registration->pid;
  }
  return UINT_MAX;
}

void DropRegistrationLocked(bool removeRow) {
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
      r->machine->Write([&](sqlite3* db) {
        Statement d(db, "DELETE FROM processes WHERE pid = ? AND host_pid = ?;");
        removed = d.Bind(1, r->pid).Bind(2, r->hostPid).Run() == 1;
        if (removed) InsertEvent(db, r->pid, r->parent, Store(r->image), false);
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

void UnregisterAtExit() {
  std::lock_guard lock(registrationMutex);
  DropRegistrationLocked(true);
}

Registration* RegisterLocked(const std::shared_ptr<Machine>& m, const std::wstring& image, win::DWORD session) {
  EnsureProcsFolder(*m);
  auto* r = new Registration;
  r->machine = m;
  r->hostPid = ::getpid();
  r->image = image;
  r->session = session;
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
                  "INSERT INTO processes(pid, parent, image, session, protected, host_pid, lock, started_ms)"
                  " VALUES(?, ?, ?, ?, 0, ?, ?, ?);");
      q.Bind(1, r->pid).Bind(2, parent).Bind(3, Store(image)).Bind(4, session).Bind(5, r->hostPid)
          .Bind(6, r->lockName).Bind(7, NowMs()).Run();
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
  if (!atExitInstalled) {
    atExitInstalled = true;
    std::atexit(UnregisterAtExit);
  }
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

}  // namespace process_detail

// ---- Table operations ----------------------------------------------------------------

win::DWORD AddProcess(Machine& machine, win::DWORD parent, const std::wstring& image, win::DWORD session,
                      bool isProtected) {
  EnsureProcsFolder(machine);
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

EndResult EndProcess(Machine& machine, win::DWORD pid) {
  if (pid == kIdlePid || pid == kSystemPid || pid == OwnPidIn(machine)) return EndResult::Refused;
  std::optional<MachineProcess> row;
  std::string lockName;
  machine.Read([&](sqlite3* db) {
    Statement q(db, "SELECT pid, parent, image, session, protected, host_pid, started_ms, lock FROM processes"
                    " WHERE pid = ?;");
    q.Bind(1, pid);
    if (q.Step()) {
      row = RowOf(q);
      lockName = q.IsNull(7) ? std::string() : q.Text(7);
    }
  });
  if (!row) return EndResult::NotFound;
  if (!lockName.empty()) {
    // The lock holder is the live host process (exactly, unlike a stored
    // host pid that the host may have reused); kill only that one.
    pid_t holder = LockHolder(machine, lockName);
    if (holder > 0) ::kill(holder, SIGKILL);
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
  if (!removed) return EndResult::NotFound;
  process_detail::WakeFeed(machine);
  return EndResult::Ended;
}

int ReapDeadProcesses(Machine& machine) {
  struct Candidate {
    win::DWORD pid;
    win::DWORD parent;
    std::string image;
    std::string lock;
  };
  std::vector<Candidate> candidates;
  machine.Read([&](sqlite3* db) {
    Statement q(db, "SELECT pid, parent, image, lock FROM processes WHERE lock IS NOT NULL;");
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
  ReapDeadProcesses(machine);
  std::vector<MachineProcess> rows;
  machine.Read([&](sqlite3* db) {
    Statement q(db, (std::string(kSelectRow) + " ORDER BY pid;").c_str());
    while (q.Step()) rows.push_back(RowOf(q));
  });
  return rows;
}

std::optional<MachineProcess> FindProcess(Machine& machine, win::DWORD pid) {
  std::optional<MachineProcess> row;
  std::string lockName;
  machine.Read([&](sqlite3* db) {
    Statement q(db, (std::string(kSelectRow) + " WHERE pid = ?;").c_str());
    q.Bind(1, pid);
    if (q.Step()) row = RowOf(q);
  });
  // A registered program found dead is reaped on the spot.
  if (row && row->hostPid != 0 && pid != OwnPidIn(machine)) {
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
    m->Write([&](sqlite3* db) {
      Statement q(db, "UPDATE processes SET image = ?, session = ? WHERE pid = ?;");
      q.Bind(1, Store(image)).Bind(2, session).Bind(3, r->pid).Run();
    });
    r->image = image;
    r->session = session;
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

void UnregisterCurrentProcess() {
  std::lock_guard lock(registrationMutex);
  DropRegistrationLocked(true);
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
