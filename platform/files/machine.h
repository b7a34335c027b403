// The stand-in Windows host that all our programs share.
//
// Owns: the machine root folder (ZV_MACHINE) and its layout, the SQLite
// database machine.db (named schema steps, WAL, busy time-out, BEGIN IMMEDIATE
// for writes so several processes share it safely), the short run folder for
// sockets and locks, and the machine settings table.
// Layout under the root:
//   machine.db          registry, processes, volumes, settings, ...
//   volumes/<name>/     one host folder per volume (the volume table maps
//                       device names and drive letters to these)
//   run                 sockets and lock files: a folder, or when the root
//                       is too deep for 108-byte socket paths a link to a
//                       folder made by mkdtemp under /tmp. Always found
//                       through this entry, never recomputed. Owned by the
//                       machine's owner, group the admin group, mode 0755;
//                       procs/ and mutex/ inside it 02770 (see docs/machine.md)
// Must not: interpret Windows paths or files (paths.h, files), processes
// (processes), or anything above platform/.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace zv::platform {

// Thrown only by the machine layer itself for faults the caller cannot
// handle as a Win32 error (a database that cannot be opened or migrated).
struct MachineError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Modes of the run folder and of its procs/ and mutex/ sub-folders, and of
// the lock and socket files in them, independent of the umask.
inline constexpr mode_t kRunFolderMode = 0755;
inline constexpr mode_t kRunSubFolderMode = 02770;
inline constexpr mode_t kRunSocketMode = 0660;     // owner and admin group
inline constexpr mode_t kRunSharedFileMode = 0660; // files admin-group programs write
inline constexpr mode_t kRunPrivateFileMode = 0640; // files only their creator writes

// Whether the peer of a connected Unix socket may talk to a machine-wide
// service: uid 0, our own uid, the machine's owner, or a process whose
// primary or supplementary groups (as it really has them, SO_PEERGROUPS)
// include the admin group.
bool PeerAllowed(int fd, uid_t owner, gid_t adminGroup);

// A prepared statement bound to the machine's connection. Use inside
// Machine::Read or Machine::Write.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, std::int64_t value);
  Statement& Bind(int index, const std::string& value);
  Statement& BindBlob(int index, const std::string& bytes);
  Statement& BindNull(int index);
  // True while a row is available.
  bool Step();
  // Runs to completion; returns sqlite3_changes.
  int Run();
  std::int64_t Int(int column) const;
  std::string Text(int column) const;
  bool IsNull(int column) const;
  void Reset();

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// A named step of machine.db's schema: the SQL that creates one
// subsystem's tables. A step is applied once per database, in whatever order
// the subsystems first ask for theirs, and its name is recorded; a landed
// step is never edited (a change is a new step with a new name).
struct SchemaStep {
  const char* name;
  const char* sql;
};

class Machine {
 public:
  // Opens an existing machine, or creates it (folders, database, drive C:,
  // standard folders, System Idle and System processes) when create is set.
  static std::shared_ptr<Machine> Open(const std::filesystem::path& root, bool create);

  // The machine of this process: ZV_MACHINE, created on first use when
  // missing; a test can replace it. Throws MachineError when unset.
  static std::shared_ptr<Machine> Current();
  static void SetCurrent(std::shared_ptr<Machine> machine);

  ~Machine();

  const std::filesystem::path& Root() const { return root_; }
  std::filesystem::path VolumesFolder() const { return root_ / "volumes"; }
  std::filesystem::path DatabasePath() const { return root_ / "machine.db"; }
  // Short folder for sockets and locks; its paths fit a sockaddr_un. Made
  // or checked when the machine is opened: an existing folder that is not
  // the owner's, or that others may write, is refused (MachineError).
  const std::filesystem::path& RunFolder() const { return runFolder_; }
  // The machine's owner: the owner of its root folder.
  uid_t Owner() const;
  // The admin group: machine setting "rpc.admin_group" (a number or a group
  // name), gid 0 when unset or unknown.
  gid_t AdminGroup();
  // A socket path in the run folder; throws MachineError when it would not
  // fit the 108-byte limit.
  std::string SocketPath(const std::string& name) const;
  // The run folder a machine at `root` uses, without opening it: clients
  // that only talk to the machine's sockets need no database access. Read
  // from the root's "run" entry (its link target when it is a link).
  static std::filesystem::path RunFolderOf(const std::filesystem::path& root);

  // Runs fn under the process-wide connection lock (reads).
  void Read(const std::function<void(sqlite3*)>& fn);
  // Runs fn in one BEGIN IMMEDIATE transaction; commits when fn returns,
  // rolls back if it throws.
  void Write(const std::function<void(sqlite3*)>& fn);

  // Applies `step` unless this database has it already (one write
  // transaction, safe against other processes doing the same). Subsystems
  // call it before first touching their tables; cheap once applied.
  void EnsureSchema(const SchemaStep& step);

  // Machine settings (string key/value), for failure switches and defaults.
  std::optional<std::string> Setting(const std::string& key);
  void SetSetting(const std::string& key, const std::string& value);
  void ClearSetting(const std::string& key);

  // A per-machine cache object of type T, made on first use (the volume
  // table's letter map, the resolved volumes folder). Lives as long as the
  // Machine object, so a cache never outlives or crosses machines.
  template <class T>
  std::shared_ptr<T> Cache(const std::string& key) {
    std::lock_guard lock(cacheMutex_);
    auto& slot = caches_[key];
    if (!slot) slot = std::make_shared<T>();
    return std::static_pointer_cast<T>(slot);
  }

 private:
  Machine(std::filesystem::path root, std::filesystem::path runFolder);
  void Migrate();
  void InitializeNewMachine();
  void Exec(const char* sql);
  std::filesystem::path PrepareRunFolder();

  std::filesystem::path root_;
  std::filesystem::path runFolder_;
  sqlite3* db_ = nullptr;
  std::recursive_mutex mutex_;
  std::mutex schemaMutex_;
  std::set<std::string> appliedSteps_;
  std::mutex cacheMutex_;
  std::map<std::string, std::shared_ptr<void>> caches_;
};

}  // namespace zv::platform
