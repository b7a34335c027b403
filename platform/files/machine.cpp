// The machine root, its database and settings: see machine.h.
#include "platform/files/machine.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>

namespace zv::platform {
namespace fs = std::filesystem;

namespace {

// The machine layer's own schema steps, applied when a machine is opened.
// The subsystems above add theirs with Machine::EnsureSchema.
const SchemaStep kBaseSchema[] = {
    {"settings",
     "CREATE TABLE settings (key TEXT PRIMARY KEY, value TEXT NOT NULL);"},
    {"volumes",
     // Volume table: device name -> drive letter ("C:", or NULL when the
     // volume has none) and the volume's host folder under volumes/.
     "CREATE TABLE volumes (device TEXT PRIMARY KEY COLLATE NOCASE,"
     " letter TEXT UNIQUE COLLATE NOCASE, folder TEXT NOT NULL UNIQUE);"},
    {"short_names",
     // 8.3 aliases handed out so far, per host folder (relative to the
     // volumes folder). Never renumbered.
     "CREATE TABLE short_names (folder TEXT NOT NULL, long_name TEXT NOT NULL,"
     " alias TEXT NOT NULL COLLATE NOCASE, PRIMARY KEY (folder, long_name),"
     " UNIQUE (folder, alias));"},
    {"processes",
     // Processes of the machine, in its own pid space. image is the DOS
     // image path; session 0 for services; protected processes refuse
     // OpenProcess; lock names the lock file whose holder keeps it alive.
     "CREATE TABLE processes (pid INTEGER PRIMARY KEY, parent INTEGER NOT NULL,"
     " image TEXT NOT NULL, session INTEGER NOT NULL, protected INTEGER NOT NULL DEFAULT 0,"
     " host_pid INTEGER, lock TEXT, started_ms INTEGER NOT NULL DEFAULT 0);"
     // Change feed of process starts and ends, read by the driver stand-in.
     "CREATE TABLE process_events (seq INTEGER PRIMARY KEY AUTOINCREMENT,"
     " pid INTEGER NOT NULL, parent INTEGER NOT NULL, image TEXT NOT NULL,"
     " created INTEGER NOT NULL);"
     "CREATE TABLE counters (name TEXT PRIMARY KEY, value INTEGER NOT NULL);"},
};

std::mutex currentMutex;
std::shared_ptr<Machine> current;

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    throw MachineError(std::string(what) + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
  }
}

// A socket path is run folder + "/" + a name of up to 20 bytes.
bool RunFolderFitsInRoot(const fs::path& root) {
  return (root / "run").string().size() + 21 < sizeof(sockaddr_un{}.sun_path);
}

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// Holds an exclusive flock on the machine root while the run folder is
// checked or made, so two programs opening the machine at once agree on it.
class RootLock {
 public:
  explicit RootLock(const fs::path& root) : fd_(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ < 0) throw MachineError(Errno("cannot open " + root.string()));
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~RootLock() { ::close(fd_); }
  RootLock(const RootLock&) = delete;
  RootLock& operator=(const RootLock&) = delete;

 private:
  int fd_;
};

// Gives a folder we just made (open as fd) its owner, group and mode, no
// matter the umask. When the admin group cannot be set (not root, not a
// member), the folder keeps no group permissions at all.
void SecureFolder(int fd, const fs::path& path, uid_t owner, gid_t group, mode_t mode) {
  if (::fchown(fd, owner, group) != 0 && ::fchown(fd, static_cast<uid_t>(-1), group) != 0 && errno != EPERM) {
    throw MachineError(Errno("cannot set the owner of " + path.string()));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw MachineError(Errno("cannot stat " + path.string()));
  if (st.st_gid != group) mode &= ~static_cast<mode_t>(S_ISGID | S_IRWXG);
  if (::fchmod(fd, mode) != 0) throw MachineError(Errno("cannot set the mode of " + path.string()));
}

// An existing run folder (or one of its sub-folders) is used only when it
// is a real folder of the machine's owner that others cannot write.
void CheckFolder(const fs::path& path, uid_t owner) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) throw MachineError(Errno("cannot stat run folder " + path.string()));
  if (S_ISLNK(st.st_mode)) throw MachineError("refusing run folder " + path.string() + ": it is a link");
  if (!S_ISDIR(st.st_mode)) throw MachineError("refusing run folder " + path.string() + ": not a folder");
  if (st.st_uid != owner) {
    throw MachineError("refusing run folder " + path.string() + ": owned by uid " + std::to_string(st.st_uid) +
                       ", not by the machine's owner (uid " + std::to_string(owner) + ")");
  }
  if (st.st_mode & S_IWOTH) throw MachineError("refusing run folder " + path.string() + ": writable by others");
}

// Makes a sub-folder of the run folder (procs/, mutex/) or checks the one
// that is there. Programs of the admin group register in them.
void EnsureSubFolder(const fs::path& path, uid_t owner, gid_t group) {
  if (::mkdir(path.c_str(), 0700) == 0) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw MachineError(Errno("cannot open " + path.string()));
    try {
      SecureFolder(fd, path, owner, group, kRunSubFolderMode);
    } catch (...) {
      ::close(fd);
      throw;
    }
    ::close(fd);
    return;
  }
  if (errno != EEXIST) throw MachineError(Errno("cannot create " + path.string()));
  CheckFolder(path, owner);
}

}  // namespace

// ---- Statement ------------------------------------------------------------------

Statement::Statement(sqlite3* db, const char* sql) : db_(db) {
  Check(sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr), db, sql);
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

Statement& Statement::Bind(int index, std::int64_t value) {
  Check(sqlite3_bind_int64(stmt_, index, value), db_, "bind");
  return *this;
}

Statement& Statement::Bind(int index, const std::string& value) {
  Check(sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT), db_,
        "bind");
  return *this;
}

Statement& Statement::BindBlob(int index, const std::string& bytes) {
  Check(sqlite3_bind_blob(stmt_, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT), db_,
        "bind");
  return *this;
}

Statement& Statement::BindNull(int index) {
  Check(sqlite3_bind_null(stmt_, index), db_, "bind");
  return *this;
}

bool Statement::Step() {
  int rc = sqlite3_step(stmt_);
  Check(rc, db_, "step");
  return rc == SQLITE_ROW;
}

int Statement::Run() {
  while (Step()) {
  }
  return sqlite3_changes(db_);
}

std::int64_t Statement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string Statement::Text(int column) const {
  const void* p = sqlite3_column_blob(stmt_, column);
  int n = sqlite3_column_bytes(stmt_, column);
  return p ? std::string(static_cast<const char*>(p), static_cast<std::size_t>(n)) : std::string();
}

bool Statement::IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

void Statement::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

// ---- Machine --------------------------------------------------------------------

Machine::Machine(fs::path root, fs::path runFolder) : root_(std::move(root)), runFolder_(std::move(runFolder)) {}

Machine::~Machine() {
  if (db_) sqlite3_close_v2(db_);
}

std::shared_ptr<Machine> Machine::Open(const fs::path& rootIn, bool create) {
  std::error_code ec;
  fs::path root = fs::absolute(rootIn, ec);
  if (ec) throw MachineError("bad machine root: " + rootIn.string());
  bool exists = fs::exists(root / "machine.db");
  if (!exists && !create) throw MachineError("no machine at " + root.string());
  fs::create_directories(root / "volumes", ec);
  if (ec) throw MachineError("cannot create " + (root / "volumes").string() + ": " + ec.message());

  std::shared_ptr<Machine> m(new Machine(root, fs::path()));
  Check(sqlite3_open_v2(m->DatabasePath().c_str(), &m->db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr),
        m->db_, "open machine.db");
  sqlite3_busy_timeout(m->db_, 30000);
  m->Exec("PRAGMA journal_mode=WAL;");
  m->Exec("PRAGMA synchronous=NORMAL;");
  m->Exec("PRAGMA foreign_keys=ON;");
  m->Migrate();
  if (!exists) m->InitializeNewMachine();
  m->runFolder_ = m->PrepareRunFolder();
  return m;
}

void Machine::InitializeNewMachine() {
  // Drive C: is \Device\HarddiskVolume2, as on a machine with a small
  // system-reserved partition before it.
  static const char* const kFolders[] = {
      "Windows/System32", "Windows/Temp", "Users/Public", "Users/Default", "ProgramData", "Program Files",
      "Program Files (x86)",
  };
  std::error_code ec;
  for (const char* folder : kFolders) fs::create_directories(VolumesFolder() / "C" / folder, ec);
  if (ec) throw MachineError("cannot create the folders of drive C: " + ec.message());
  Write([&](sqlite3* db) {
    Statement(db, "INSERT OR IGNORE INTO volumes(device, letter, folder) VALUES('\\Device\\HarddiskVolume2', 'C:', 'C');")
        .Run();
    Statement(db,
              "INSERT OR IGNORE INTO processes(pid, parent, image, session, protected) VALUES"
              " (0, 0, 'System Idle Process', 0, 1), (4, 0, 'System', 0, 1);")
        .Run();
    Statement(db, "INSERT OR IGNORE INTO counters(name, value) VALUES('next_pid', 1000);").Run();
  });
}

void Machine::Exec(const char* sql) {
  char* err = nullptr;
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    std::string msg = err ? err : sqlite3_errstr(rc);
    sqlite3_free(err);
    throw MachineError(std::string(sql).substr(0, 60) + ": " + msg);
  }
}

void Machine::Migrate() {
  Write([&](sqlite3* db) {
    Exec("CREATE TABLE IF NOT EXISTS schema_steps (name TEXT PRIMARY KEY);");
    // Databases made before steps had names recorded the number of steps
    // applied, in the order of kBaseSchema.
    int numbered = 0;
    {
      Statement q(db, "PRAGMA user_version;");
      if (q.Step()) numbered = static_cast<int>(q.Int(0));
    }
    for (int i = 0; i < numbered && i < static_cast<int>(std::size(kBaseSchema)); ++i) {
      Statement(db, "INSERT OR IGNORE INTO schema_steps (name) VALUES (?);").Bind(1, kBaseSchema[i].name).Run();
    }
    if (numbered != 0) Exec("PRAGMA user_version=0;");
    Statement q(db, "SELECT name FROM schema_steps;");
    std::lock_guard lock(schemaMutex_);
    while (q.Step()) appliedSteps_.insert(q.Text(0));
  });
  for (const SchemaStep& step : kBaseSchema) EnsureSchema(step);
}

void Machine::EnsureSchema(const SchemaStep& step) {
  {
    std::lock_guard lock(schemaMutex_);
    if (appliedSteps_.count(step.name)) return;
  }
  Write([&](sqlite3* db) {
    Statement known(db, "SELECT 1 FROM schema_steps WHERE name = ?;");
    known.Bind(1, step.name);
    if (!known.Step()) {
      Exec(step.sql);
      Statement(db, "INSERT INTO schema_steps (name) VALUES (?);").Bind(1, step.name).Run();
    }
  });
  std::lock_guard lock(schemaMutex_);
  appliedSteps_.insert(step.name);
}

std::shared_ptr<Machine> Machine::Current() {
  std::lock_guard lock(currentMutex);
  if (!current) {
    const char* root = std::getenv("ZV_MACHINE");
    if (!root || !*root) throw MachineError("ZV_MACHINE is not set");
    current = Open(root, true);
  }
  return current;
}

void Machine::SetCurrent(std::shared_ptr<Machine> machine) {
  std::lock_guard lock(currentMutex);
  current = std::move(machine);
}

fs::path Machine::RunFolderOf(const fs::path& root) {
  std::error_code ec;
  fs::path absolute = fs::absolute(root, ec);
  fs::path link = (ec ? root : absolute) / "run";
  // Found through the link, never recomputed: its target is unpredictable.
  fs::path target = fs::read_symlink(link, ec);
  return ec ? link : target;
}

uid_t Machine::Owner() const {
  struct stat st {};
  if (::stat(root_.c_str(), &st) != 0) throw MachineError(Errno("cannot stat " + root_.string()));
  return st.st_uid;
}

gid_t Machine::AdminGroup() {
  std::optional<std::string> setting;
  try {
    setting = Setting("rpc.admin_group");
  } catch (const std::exception&) {
  }
  if (!setting || setting->empty()) return 0;
  if (std::all_of(setting->begin(), setting->end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return static_cast<gid_t>(std::strtoul(setting->c_str(), nullptr, 10));
  }
  std::vector<char> buffer(16384);
  group g{};
  group* found = nullptr;
  if (::getgrnam_r(setting->c_str(), &g, buffer.data(), buffer.size(), &found) == 0 && found) return found->gr_gid;
  return 0;
}

bool PeerAllowed(int fd, uid_t owner, gid_t adminGroup) {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return false;
  if (peer.uid == 0 || peer.uid == ::geteuid() || peer.uid == owner || peer.gid == adminGroup) return true;
  // The groups the connecting process really had, not what the user
  // database says it could have.
  std::vector<gid_t> groups(64);
  for (;;) {
    length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0) break;
    if (errno != ERANGE || length / sizeof(gid_t) <= groups.size() || length / sizeof(gid_t) > 65536) return false;
    groups.resize(length / sizeof(gid_t));
  }
  groups.resize(length / sizeof(gid_t));
  return std::find(groups.begin(), groups.end(), adminGroup) != groups.end();
}

fs::path Machine::PrepareRunFolder() {
  const fs::path link = root_ / "run";
  const uid_t owner = Owner();
  const gid_t group = AdminGroup();
  RootLock lock(root_);
  struct stat st {};
  fs::path folder;
  if (::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    std::error_code ec;
    folder = fs::read_symlink(link, ec);
    if (ec) throw MachineError("cannot read " + link.string() + ": " + ec.message());
    struct stat target {};
    // A folder removed behind our back (a clean-up of /tmp) is made anew;
    // anything else at the link's target must pass the checks.
    if (::lstat(folder.c_str(), &target) != 0 && errno == ENOENT) folder.clear();
  } else if (::lstat(link.c_str(), &st) == 0) {
    folder = link;
  } else if (RunFolderFitsInRoot(root_)) {
    if (::mkdir(link.c_str(), 0700) != 0) throw MachineError(Errno("cannot create run folder " + link.string()));
    int fd = ::open(link.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw MachineError(Errno("cannot open " + link.string()));
    SecureFolder(fd, link, owner, group, kRunFolderMode);
    ::close(fd);
    folder = link;
  }
  if (folder.empty()) {
    // Too deep for socket paths: a folder with an unpredictable name under
    // /tmp, recorded by the link (swapped in whole, never half-written).
    char name[] = "/tmp/zvm-XXXXXX";
    if (!::mkdtemp(name)) throw MachineError(Errno("cannot create a run folder under /tmp"));
    folder = name;
    int fd = ::open(name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw MachineError(Errno(std::string("cannot open ") + name));
    SecureFolder(fd, folder, owner, group, kRunFolderMode);
    ::close(fd);
    fs::path fresh = root_ / ("run.new-" + std::to_string(::getpid()));
    ::unlink(fresh.c_str());
    if (::symlink(name, fresh.c_str()) != 0 || ::rename(fresh.c_str(), link.c_str()) != 0) {
      ::unlink(fresh.c_str());
      throw MachineError(Errno("cannot link " + link.string() + " to " + name));
    }
  }
  CheckFolder(folder, owner);
  EnsureSubFolder(folder / "procs", owner, group);
  EnsureSubFolder(folder / "mutex", owner, group);
  return folder;
}

std::string Machine::SocketPath(const std::string& name) const {
  std::string path = (runFolder_ / name).string();
  if (path.size() >= sizeof(sockaddr_un{}.sun_path)) {
    throw MachineError("socket path too long (" + std::to_string(path.size()) + " bytes): " + path);
  }
  return path;
}

void Machine::Read(const std::function<void(sqlite3*)>& fn) {
  std::lock_guard lock(mutex_);
  fn(db_);
}

void Machine::Write(const std::function<void(sqlite3*)>& fn) {
  std::lock_guard lock(mutex_);
  // BEGIN IMMEDIATE takes the write lock up front, so two processes never
  // both read and then fail to upgrade; the busy time-out covers the wait.
  Exec("BEGIN IMMEDIATE;");
  try {
    fn(db_);
    Exec("COMMIT;");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
    throw;
  }
}

std::optional<std::string> Machine::Setting(const std::string& key) {
  std::optional<std::string> value;
  Read([&](sqlite3* db) {
    Statement q(db, "SELECT value FROM settings WHERE key = ?;");
    q.Bind(1, key);
    if (q.Step()) value = q.Text(0);
  });
  return value;
}

void Machine::SetSetting(const std::string& key, const std::string& value) {
  Write([&](sqlite3* db) {
    Statement q(db, "INSERT INTO settings(key, value) VALUES(?, ?) ON CONFLICT(key) DO UPDATE SET value = excluded.value;");
    q.Bind(1, key).Bind(2, value).Run();
  });
}

void Machine::ClearSetting(const std::string& key) {
  Write([&](sqlite3* db) {
    Statement q(db, "DELETE FROM settings WHERE key = ?;");
    q.Bind(1, key).Run();
  });
}

}  // namespace zv::platform
