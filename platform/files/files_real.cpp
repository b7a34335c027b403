// The real FileApi: Win32 file calls on the machine's volumes.
//
// Owns: the Win32 meaning of the file calls (results, last-error codes,
// attributes, copies, folder trees with carried security, file handles,
// enumeration with wildcards). Windows attributes live in the extended
// attribute user.zv.attrib of each entry (root ignores mode bits, so the
// mode cannot hold them); read-only is also reflected in a file's mode.
// Attribute queries keep the stored attributes per inode (see below).
// Registry hive files loaded by the machine's registry (platform/registry)
// are held as Windows holds them: opening one for data, copying, moving,
// replacing or deleting it fails with ERROR_SHARING_VIOLATION.
// Must not: resolve paths itself (paths.h does, and nothing here touches a
// host path, or a descriptor, that did not come from it) or reach outside
// platform/.
#include <acl/libacl.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/acl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "platform/files/file_api.h"
#include "platform/base/handles.h"
#include "platform/files/machine.h"
#include "platform/files/paths.h"
#include "platform/files/short_names.h"
#include "platform/base/text.h"

namespace zv::platform {
namespace {

// The reparse tag of a symbolic link (what a host link is on the machine).
constexpr win::DWORD kReparseTagSymlink = 0xA000000C;

using win::BOOL;
using win::DWORD;

constexpr const char* kAttribXattr = "user.zv.attrib";
constexpr DWORD kSettable = win::FILE_ATTRIBUTE_READONLY | win::FILE_ATTRIBUTE_HIDDEN | win::FILE_ATTRIBUTE_SYSTEM |
                            win::FILE_ATTRIBUTE_ARCHIVE | win::FILE_ATTRIBUTE_TEMPORARY |
                            win::FILE_ATTRIBUTE_OFFLINE | win::FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return win::FALSE;
}

std::shared_ptr<Machine> CurrentMachine() {
  try {
    return Machine::Current();
  } catch (const std::exception& e) {
    static std::once_flag once;
    std::call_once(once, [&] { std::fprintf(stderr, "zv: no machine for file calls: %s\n", e.what()); });
    return nullptr;
  }
}

// Stored Windows attributes (settable bits only); false when none stored.
bool ReadStored(const std::string& host, DWORD& attributes) {
  char buf[32];
  ssize_t n = ::getxattr(host.c_str(), kAttribXattr, buf, sizeof buf - 1);
  if (n <= 0) return false;
  buf[n] = 0;
  attributes = static_cast<DWORD>(std::strtoul(buf, nullptr, 10)) & kSettable;
  return true;
}

bool WriteStored(const std::string& host, DWORD attributes) {
  std::string value = std::to_string(attributes & kSettable);
  return ::setxattr(host.c_str(), kAttribXattr, value.data(), value.size(), 0) == 0;
}

bool WriteStoredFd(int fd, DWORD attributes) {
  std::string value = std::to_string(attributes & kSettable);
  return ::fsetxattr(fd, kAttribXattr, value.data(), value.size(), 0) == 0;
}

// The Windows attributes of an entry from its stored bits (when stored)
// and its mode.
DWORD AttributesFrom(bool stored, DWORD a, const struct stat& st) {
  if (!stored) a = S_ISDIR(st.st_mode) ? 0 : win::FILE_ATTRIBUTE_ARCHIVE;
  if (S_ISDIR(st.st_mode)) {
    a |= win::FILE_ATTRIBUTE_DIRECTORY;
  } else if ((st.st_mode & 0222) == 0) {
    a |= win::FILE_ATTRIBUTE_READONLY;
  }
  return a ? a : win::FILE_ATTRIBUTE_NORMAL;
}

DWORD AttributesOf(const std::string& host, const struct stat& st) {
  DWORD a = 0;
  bool stored = ReadStored(host, a);
  return AttributesFrom(stored, a, st);
}

// ---- Stored attributes by inode ---------------------------------------------------
// Attribute queries keep what they read of user.zv.attrib per inode, with
// the inode's change time: every change of an extended attribute (and of
// the mode) moves it, so an entry is used only while the change time is
// the same. A value read within kSettleNs of its change time is not kept:
// a second change in the same timestamp tick would not move it. The value
// is read through the descriptor the look-up opened (/proc/self/fd/N), so
// what is kept is that inode's even when its path changes meanwhile.

struct InodeKey {
  dev_t dev;
  ino_t ino;
  bool operator==(const InodeKey&) const = default;
};

struct InodeKeyHash {
  std::size_t operator()(const InodeKey& k) const noexcept {
    return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(k.ino) * 0x9E3779B97F4A7C15ull ^ k.dev);
  }
};

struct StoredAttributes {
  std::int64_t ctimeNs = 0;
  bool stored = false;
  DWORD attributes = 0;
};

struct AttributeCache {
  std::shared_mutex mutex;
  std::unordered_map<InodeKey, StoredAttributes, InodeKeyHash> byInode;
};

constexpr std::size_t kMaxCachedInodes = 4096;
constexpr std::int64_t kSettleNs = 50'000'000;

std::int64_t Ns(const struct timespec& t) { return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec; }

// Attributes of an entry the look-up opened (fd, O_PATH) at `host`.
DWORD AttributesOfOpened(Machine& m, int fd, const std::string& host, const struct stat& st) {
  auto cache = m.Cache<AttributeCache>("attributes");
  const InodeKey key{st.st_dev, st.st_ino};
  const std::int64_t ctime = Ns(st.st_ctim);
  {
    std::shared_lock lock(cache->mutex);
    auto it = cache->byInode.find(key);
    if (it != cache->byInode.end() && it->second.ctimeNs == ctime) {
      return AttributesFrom(it->second.stored, it->second.attributes, st);
    }
  }
  char procPath[32];
  std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd);
  char buf[32];
  ssize_t n = ::getxattr(procPath, kAttribXattr, buf, sizeof buf - 1);
  if (n < 0 && errno != ENODATA && errno != ENOTSUP && errno != ERANGE) {
    // No /proc, or a failure that may not last: read by path, keep nothing.
    return AttributesOf(host, st);
  }
  StoredAttributes value;
  value.ctimeNs = ctime;
  if (n > 0) {
    buf[n] = 0;
    value.stored = true;
    value.attributes = static_cast<DWORD>(std::strtoul(buf, nullptr, 10)) & kSettable;
  }
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  if (Ns(now) - ctime > kSettleNs) {
    std::unique_lock lock(cache->mutex);
    if (cache->byInode.size() >= kMaxCachedInodes) cache->byInode.clear();
    cache->byInode[key] = value;
  }
  return AttributesFrom(value.stored, value.attributes, st);
}

// Writes the settable bits and mirrors read-only into a file's mode.
bool StoreAttributes(const std::string& host, const struct stat& st, DWORD attributes) {
  attributes &= kSettable;
  if (!WriteStored(host, attributes)) return false;
  if (S_ISREG(st.st_mode)) {
    mode_t mode = st.st_mode & 07777;
    mode_t wanted = (attributes & win::FILE_ATTRIBUTE_READONLY) ? (mode & ~0222) : ((mode & 0222) ? mode : mode | 0200);
    if (wanted != mode) ::chmod(host.c_str(), wanted);
  }
  return true;
}

win::FILETIME ToFileTime(const struct timespec& t) {
  constexpr std::int64_t kEpochDelta = 11644473600LL;  // 1601-01-01 to 1970-01-01, seconds
  std::uint64_t ticks = static_cast<std::uint64_t>((t.tv_sec + kEpochDelta) * 10'000'000LL + t.tv_nsec / 100);
  win::FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

bool ApplySecurity(const std::string& host, const SecurityDescriptor& s, bool folder) {
  // Parts the descriptor does not hold stay as the creator made them.
  uid_t owner = (s.parts & OWNER_SECURITY_INFORMATION) ? static_cast<uid_t>(s.owner) : static_cast<uid_t>(-1);
  gid_t group = (s.parts & GROUP_SECURITY_INFORMATION) ? static_cast<gid_t>(s.group) : static_cast<gid_t>(-1);
  if ((owner != static_cast<uid_t>(-1) || group != static_cast<gid_t>(-1)) && ::chown(host.c_str(), owner, group) != 0 &&
      errno != EPERM) {
    return false;
  }
  if (!(s.parts & DACL_SECURITY_INFORMATION)) return true;
  if (::chmod(host.c_str(), s.mode & 07777) != 0) return false;
  if (!s.accessAcl.empty()) {
    if (acl_t acl = acl_from_text(s.accessAcl.c_str())) {
      int rc = acl_set_file(host.c_str(), ACL_TYPE_ACCESS, acl);
      acl_free(acl);
      if (rc != 0 && errno != ENOTSUP) return false;
    }
  }
  if (folder && !s.defaultAcl.empty()) {
    if (acl_t acl = acl_from_text(s.defaultAcl.c_str())) {
      int rc = acl_set_file(host.c_str(), ACL_TYPE_DEFAULT, acl);
      acl_free(acl);
      if (rc != 0 && errno != ENOTSUP) return false;
    }
  }
  return true;
}

std::string AclText(const std::string& host, acl_type_t type, bool skipMinimal) {
  acl_t acl = acl_get_file(host.c_str(), type);
  if (!acl) return {};
  std::string out;
  bool minimal = false;
  if (skipMinimal) {
    minimal = acl_equiv_mode(acl, nullptr) == 0;
  } else {
    acl_entry_t e;
    minimal = acl_get_entry(acl, ACL_FIRST_ENTRY, &e) != 1;  // empty default ACL
  }
  if (!minimal) {
    if (char* t = acl_to_text(acl, nullptr)) {
      out = t;
      acl_free(t);
    }
  }
  acl_free(acl);
  return out;
}

// Windows wildcard match, ASCII case-insensitive: '*' any run, '?' one unit.
bool WildMatch(std::wstring_view mask, std::wstring_view name) {
  std::size_t m = 0, n = 0, starM = std::wstring_view::npos, starN = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == L'?' || text::AsciiUpper(mask[m]) == text::AsciiUpper(name[n]))) {
      ++m;
      ++n;
    } else if (m < mask.size() && mask[m] == L'*') {
      starM = m++;
      starN = n;
    } else if (starM != std::wstring_view::npos) {
      m = starM + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == L'*') ++m;
  return m == mask.size();
}

bool MaskMatches(std::wstring_view mask, std::wstring_view name) {
  if (mask == L"*" || mask == L"*.*") return true;
  if (WildMatch(mask, name)) return true;
  // "x.*" also matches "x" and "*." matches names without an extension, as
  // the DOS rules have it.
  if (name.find(L'.') == std::wstring_view::npos) {
    if (mask.size() >= 2 && mask.substr(mask.size() - 2) == L".*") return WildMatch(mask.substr(0, mask.size() - 2), name);
    if (!mask.empty() && mask.back() == L'.') return WildMatch(mask.substr(0, mask.size() - 1), name);
  }
  return false;
}

void CopyName(const std::wstring& name, win::WCHAR* field, std::size_t units) {
  std::size_t n = std::min(name.size(), units - 1);
  std::copy_n(name.data(), n, field);
  field[n] = 0;
}

// ---- Loaded registry hives -------------------------------------------------------

// The registry lists loaded hive files in machine.db (reg_hives, canonical
// host paths) and bumps the 64-bit counter in hives.gen after every load and
// unload. Each process keeps the list and reads it again only when the
// counter moved, or after a second in case a writer died between its commit
// and the bump; between reloads a check costs no system call.
struct LoadedHives {
  std::mutex mutex;
  bool loaded = false;
  std::uint64_t generation = 0;
  std::chrono::steady_clock::time_point loadedAt;
  std::vector<std::string> hosts;
  std::uint64_t* shared = nullptr;
  ~LoadedHives() {
    if (shared) ::munmap(shared, sizeof(std::uint64_t));
  }
};

std::uint64_t* MapHiveGeneration(Machine& m) {
  std::string path = (m.Root() / "hives.gen").string();
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0 || (st.st_size < static_cast<off_t>(sizeof(std::uint64_t)) &&
                                ::ftruncate(fd, sizeof(std::uint64_t)) != 0)) {
    ::close(fd);
    return nullptr;
  }
  void* p = ::mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  return p == MAP_FAILED ? nullptr : static_cast<std::uint64_t*>(p);
}

// True when `host` is a loaded hive file or, with `orHolder`, a folder
// holding one.
bool IsLoadedHive(Machine& m, const std::string& host, bool orHolder = false) {
  auto hives = m.Cache<LoadedHives>("loaded_hives");
  std::lock_guard lock(hives->mutex);
  if (!hives->shared) hives->shared = MapHiveGeneration(m);
  std::uint64_t generation =
      hives->shared ? std::atomic_ref<std::uint64_t>(*hives->shared).load(std::memory_order_acquire) : 0;
  auto now = std::chrono::steady_clock::now();
  if (!hives->loaded || generation != hives->generation || now - hives->loadedAt > std::chrono::seconds(1)) {
    hives->hosts.clear();
    m.Read([&](sqlite3* db) {
      // The table comes with the registry; a machine without one has no hives.
      sqlite3_stmt* q = nullptr;
      if (sqlite3_prepare_v2(db, "SELECT host FROM reg_hives;", -1, &q, nullptr) == SQLITE_OK) {
        while (sqlite3_step(q) == SQLITE_ROW) {
          hives->hosts.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(q, 0)));
        }
      }
      sqlite3_finalize(q);
    });
    hives->loaded = true;
    hives->generation = generation;
    hives->loadedAt = now;
  }
  for (const std::string& h : hives->hosts) {
    if (h == host || (orHolder && h.size() > host.size() && h.compare(0, host.size(), host) == 0 &&
                      h[host.size()] == '/')) {
      return true;
    }
  }
  return false;
}

// ---- Kernel objects -------------------------------------------------------------

class FileObject : public KernelObject {
 public:
  FileObject(int fd, bool read, bool write) : fd(fd), canRead(read), canWrite(write) {}
  ~FileObject() override {
    if (fd >= 0) ::close(fd);
  }
  int fd;
  bool canRead;
  bool canWrite;
};

class FindObject : public KernelObject {
 public:
  std::mutex mutex;
  std::vector<win::WIN32_FIND_DATAW> entries;
  std::size_t next = 0;
};

// ---- The implementation ------------------------------------------------------------

class RealFileApi : public FileApi {
 public:
  DWORD GetFileAttributesW(const win::WCHAR* path) override {
    auto m = CurrentMachine();
    if (!m) return Fail(win::ERROR_NOT_READY), win::INVALID_FILE_ATTRIBUTES;
    if (!path) return Fail(win::ERROR_INVALID_PARAMETER), win::INVALID_FILE_ATTRIBUTES;
    EntryStat entry;
    DWORD e = StatDosPath(*m, path, entry);
    if (!e && !entry.exists) e = win::ERROR_FILE_NOT_FOUND;
    if (e) return Fail(e), win::INVALID_FILE_ATTRIBUTES;
    DWORD attributes;
    if (entry.fd >= 0) {
      attributes = AttributesOfOpened(*m, entry.fd, *entry.host, entry.st);
      ::close(entry.fd);
    } else {
      attributes = AttributesOf(*entry.host, entry.st);
    }
    if (entry.isLink) attributes = (attributes & ~win::FILE_ATTRIBUTE_NORMAL) | win::FILE_ATTRIBUTE_REPARSE_POINT;
    return attributes;
  }

  BOOL SetFileAttributesW(const win::WCHAR* path, DWORD attributes) override {
    auto m = CurrentMachine();
    if (!m) return Fail(win::ERROR_NOT_READY);
    if (!path) return Fail(win::ERROR_INVALID_PARAMETER);
    ResolvedPath r;
    DWORD e = ResolveDosPath(*m, path, r);
    if (!e && !r.exists) e = win::ERROR_FILE_NOT_FOUND;
    if (e) return Fail(e);
    if (!StoreAttributes(r.host, r.st, attributes)) return Fail(Win32FromErrno(errno));
    return win::TRUE;
  }

  BOOL CopyFileW(const win::WCHAR* existing, const win::WCHAR* newFile, BOOL failIfExists) override {
    auto m = CurrentMachine();
    if (!m) return Fail(win::ERROR_NOT_READY);
    if (!existing || !newFile) return Fail(win::ERROR_INVALID_PARAMETER);
    try {
      ResolvedPath src, dst;
      DWORD e = ResolveDosPath(*m, existing, src);
      if (!e && !src.exists) e = win::ERROR_FILE_NOT_FOUND;
      if (e) return Fail(e);
      if (S_ISDIR(src.st.st_mode)) return Fail(win::ERROR_ACCESS_DENIED);
      if (IsLoadedHive(*m, src.host)) return Fail(win::ERROR_SHARING_VIOLATION);
      if ((e = ResolveDosPath(*m, newFile, dst))) return Fail(e);
      if (dst.isRoot) return Fail(win::ERROR_ACCESS_DENIED);
      if (dst.exists) {
        if (failIfExists) return Fail(win::ERROR_FILE_EXISTS);
        if (IsLoadedHive(*m, dst.host)) return Fail(win::ERROR_SHARING_VIOLATION);
        if (dst.st.st_dev == src.st.st_dev && dst.st.st_ino == src.st.st_ino) return Fail(win::ERROR_SHARING_VIOLATION);
        DWORD da = AttributesOf(dst.host, dst.st);
        if (S_ISDIR(dst.st.st_mode) || (da & (win::FILE_ATTRIBUTE_READONLY | win::FILE_ATTRIBUTE_HIDDEN))) {
          return Fail(win::ERROR_ACCESS_DENIED);
        }
      }
      int in = ::open(src.host.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
      if (in < 0) return Fail(Win32FromErrno(errno));
      // Fail-if-exists creates the target exclusively, so a copy racing with
      // another never overwrites what the other wrote first.
      int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (failIfExists ? O_EXCL : O_TRUNC);
      int out = ::open(dst.host.c_str(), flags, 0600);
      if (out < 0) {
        int err = errno;
        ::close(in);
        return Fail(err == EEXIST ? win::ERROR_FILE_EXISTS : Win32FromErrno(err));
      }
      bool ok = CopyContent(in, out);
      int err = errno;
      if (ok) {
        DWORD attributes = AttributesOf(src.host, src.st) & kSettable;
        attributes |= win::FILE_ATTRIBUTE_ARCHIVE;
        mode_t mode = src.st.st_mode & 07777;
        if (attributes & win::FILE_ATTRIBUTE_READONLY) mode &= ~0222;
        ::fchmod(out, mode);
        WriteStoredFd(out, attributes);
        struct timespec times[2] = {src.st.st_atim, src.st.st_mtim};
        ::futimens(out, times);
      }
      ::close(in);
      ::close(out);
      if (!ok) {
        ::unlink(dst.host.c_str());
        return Fail(Win32FromErrno(err));
      }
      return win::TRUE;
    } catch (const std::exception&) {
      return Fail(win::ERROR_NOT_READY);
    }
  }

  BOOL DeleteFileW(const win::WCHAR* path) override {
    auto m = CurrentMachine();
    if (!m) return Fail(win::ERROR_NOT_READY);
    if (!path) return Fail(win::ERROR_INVALID_PARAMETER);
    try {
      ResolvedPath r;
      DWORD e = ResolveDosPath(*m, path, r);
      if (!e && !r.exists) e = win::ERROR_FILE_NOT_FOUND;
      if (e) return Fail(e);
      if (r.isRoot || S_ISDIR(r.st.st_mode)) return Fail(win::ERROR_ACCESS_DENIED);
      if (IsLoadedHive(*m, r.host)) return Fail(win::ERROR_SHARING_VIOLATION);
      if (AttributesOf(r.host, r.st) & win::FILE_ATTRIBUTE_READONLY) return Fail(win::ERROR_ACCESS_DENIED);
      // The entry itself goes (a link, not its target).
      if (::unlink((r.parentHost + "/" + r.leafHostName).c_str()) != 0) return Fail(Win32FromErrno(errno));
      ForgetAlias(m, r.parentHost, r.leafHostName);
      return win::TRUE;
    } catch (const std::exception&) {
      return Fail(win::ERROR_NOT_READY);
    }
  }

  BOOL CreateDirectoryW(const win::WCHAR* path, const SecurityDescriptor* security) override {
    auto m = CurrentMachine();
    if (!m) return Fail(win::ERROR_NOT_READY);
    if (!path) return Fail(win::ERROR_INVALID_PARAMETER);
    ResolvedPath r;
    DWORD e = ResolveDosPath(*m, path, r);
    if (e) return Fail(e);
    if (r.exists) return Fail(win::ERROR_ALREADY_EXISTS);
    if (DWORD made = MakeFolder(r.host, security)) return Fail(made);
    return win::TRUE;
  }

  BOOL RemoveDirectoryW(const win::WCHAR* path) override {
    auto m = CurrentMachine();
    if (!m) return Fail(win::ERROR_NOT_READY);
    if (!path) return Fail(win::ERROR_INVALID_PARAMETER);
    try {
      ResolvedPath r;
      DWORD e = ResolveDosPath(*m, path, r);
      if (!e && !r.exists) e = win::ERROR_FILE_NOT_FOUND;
      if (e) return Fail(e);
      if (r.isRoot) return Fail(win::ERROR_ACCESS_DENIED);
      struct stat entry;
      std::string entryHost = r.parentHost + "/" + r.leafHostName;
      if (::lstat(entryHost.c_str(), &entry) != 0) return Fail(Win32FromErrno(errno));
      if (S_ISLNK(entry.st_mode)) {
        // A link to a folder is removed as the link.
        if (::unlink(entryHost.c_str()) != 0) return Fail(Win32FromErrno(errno));
      } else {
        if (!S_ISDIR(entry.st_mode)) return Fail(win::ERROR_DIRECTORY);
        if (AttributesOf(r.host, r.st) & win::FILE_ATTRIBUTE_READONLY) return Fail(win::ERROR_ACCESS_DENIED);
        if (::rmdir(entryHost.c_str()) != 0) return Fail(Win32FromErrno(errno));
      }
      ForgetAlias(m, r.parentHost, r.leafHostName);
      return win::TRUE;
    } catch (const std::exception&) {
      return Fail(win::ERROR_NOT_READY);
    }
  }

  BOOL MoveFileExW(const win::WCHAR* existing, const win::WCHAR* newName, DWORD flags) override {
    auto m = CurrentMachine();
    if (!m) return Fail(win::ERROR_NOT_READY);
    if (!existing || !newName) return Fail(win::ERROR_INVALID_PARAMETER);
    try {
      ResolvedPath src, dst;
      DWORD e = ResolveDosPath(*m, existing, src);
      if (!e && !src.exists) e = win::ERROR_FILE_NOT_FOUND;
      if (e) return Fail(e);
      if ((e = ResolveDosPath(*m, newName, dst))) return Fail(e);
      if (src.isRoot || dst.isRoot) return Fail(win::ERROR_ACCESS_DENIED);
      bool folder = S_ISDIR(src.st.st_mode);
      if (IsLoadedHive(*m, src.host, folder) || (dst.exists && IsLoadedHive(*m, dst.host))) {
        return Fail(win::ERROR_SHARING_VIOLATION);
      }
      if (src.volume.letter != dst.volume.letter && (folder || !(flags & win::MOVEFILE_COPY_ALLOWED))) {
        return Fail(win::ERROR_NOT_SAME_DEVICE);
      }
      std::string from = src.parentHost + "/" + src.leafHostName;
      std::string to = dst.parentHost + "/" + text::ToHostName(dst.dos.components.back());
      bool sameEntry = dst.exists && dst.st.st_dev == src.st.st_dev && dst.st.st_ino == src.st.st_ino &&
                       dst.parentHost == src.parentHost;
      int rc;
      if (sameEntry) {
        // A change of letter case only.
        rc = ::rename(from.c_str(), to.c_str());
      } else if (dst.exists) {
        if (!(flags & win::MOVEFILE_REPLACE_EXISTING)) return Fail(win::ERROR_ALREADY_EXISTS);
        if (folder || S_ISDIR(dst.st.st_mode)) return Fail(win::ERROR_ACCESS_DENIED);
        if (AttributesOf(dst.host, dst.st) & win::FILE_ATTRIBUTE_READONLY) return Fail(win::ERROR_ACCESS_DENIED);
        std::string replaced = dst.parentHost + "/" + dst.leafHostName;
        rc = ::rename(from.c_str(), replaced.c_str());
        to = replaced;
      } else {
        rc = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
      }
      if (rc != 0) {
        int err = errno;
        if (err == EEXIST) return Fail(win::ERROR_ALREADY_EXISTS);
        if (err == EINVAL) return Fail(win::ERROR_SHARING_VIOLATION);  // a folder into itself
        return Fail(Win32FromErrno(err));
      }
      ForgetAlias(m, src.parentHost, src.leafHostName);
      if ((flags & win::MOVEFILE_WRITE_THROUGH)) ::sync();
      return win::TRUE;
    } catch (const std::exception&) {
      return Fail(win::ERROR_NOT_READY);
    }
  }

  int SHCreateDirectoryExW(win::HWND, const win::WCHAR* path, const SecurityDescriptor* security) override {
    auto fail = [](DWORD e) {
      SetLastError(e);
      return static_cast<int>(e);
    };
    auto m = CurrentMachine();
    if (!m) return fail(win::ERROR_NOT_READY);
    if (!path) return fail(win::ERROR_BAD_PATHNAME);
    DosPath dos;
    DWORD e = ParseDosPath(path, dos);
    if (e == win::ERROR_PATH_NOT_FOUND) return fail(win::ERROR_BAD_PATHNAME);  // not a full path
    if (e) return fail(e);
    if (dos.components.empty()) return fail(win::ERROR_ALREADY_EXISTS);
    bool created = false;
    DosPath partial = dos;
    partial.prefix = L"\\\\?\\";  // the components are checked already
    partial.trailingSeparator = false;
    for (std::size_t k = 1; k <= dos.components.size(); ++k) {
      partial.components.assign(dos.components.begin(), dos.components.begin() + static_cast<long>(k));
      ResolvedPath r;
      if ((e = ResolveDosPath(*m, partial.Text(), r))) return fail(e);
      bool last = k == dos.components.size();
      if (r.exists) {
        if (!S_ISDIR(r.st.st_mode)) return fail(last ? win::ERROR_FILE_EXISTS : win::ERROR_PATH_NOT_FOUND);
        continue;
      }
      if ((e = MakeFolder(r.host, security))) {
        if (e == win::ERROR_ALREADY_EXISTS) continue;  // made by someone else meanwhile
        return fail(e);
      }
      created = true;
    }
    if (!created) return fail(win::ERROR_ALREADY_EXISTS);
    SetLastError(win::ERROR_SUCCESS);
    return static_cast<int>(win::ERROR_SUCCESS);
  }

  BOOL GetFileSecurityW(const win::WCHAR* path, SECURITY_INFORMATION requested, void* descriptor, DWORD length,
                        DWORD* needed) override {
    if (!needed) return Fail(win::ERROR_NOACCESS);
    if ((requested & SACL_SECURITY_INFORMATION) && !PrivilegeHeld(L"SeSecurityPrivilege")) {
      return Fail(win::ERROR_PRIVILEGE_NOT_HELD);
    }
    SecurityDescriptor s;
    if (!GetFileSecurityW(path, &s)) return win::FALSE;
    s.parts = requested & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                           SACL_SECURITY_INFORMATION);
    if (!(s.parts & OWNER_SECURITY_INFORMATION)) s.owner = 0;
    if (!(s.parts & GROUP_SECURITY_INFORMATION)) s.group = 0;
    if (!(s.parts & DACL_SECURITY_INFORMATION)) {
      s.mode = 0;
      s.accessAcl.clear();
      s.defaultAcl.clear();
    }
    std::string bytes = SerializeSecurityDescriptor(s);
    *needed = static_cast<DWORD>(bytes.size());
    if (!descriptor || length < bytes.size()) return Fail(win::ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(descriptor, bytes.data(), bytes.size());
    return win::TRUE;
  }

  BOOL GetFileSecurityW(const win::WCHAR* path, SecurityDescriptor* out) override {
    auto m = CurrentMachine();
    if (!m) return Fail(win::ERROR_NOT_READY);
    if (!path || !out) return Fail(win::ERROR_INVALID_PARAMETER);
    ResolvedPath r;
    DWORD e = ResolveDosPath(*m, path, r);
    if (!e && !r.exists) e = win::ERROR_FILE_NOT_FOUND;
    if (e) return Fail(e);
    SecurityDescriptor s;
    s.owner = r.st.st_uid;
    s.group = r.st.st_gid;
    s.mode = r.st.st_mode & 07777;
    s.accessAcl = AclText(r.host, ACL_TYPE_ACCESS, true);
    if (S_ISDIR(r.st.st_mode)) s.defaultAcl = AclText(r.host, ACL_TYPE_DEFAULT, false);
    *out = std::move(s);
    return win::TRUE;
  }

  DWORD GetLongPathNameW(const win::WCHAR* shortPath, win::WCHAR* longPath, DWORD units) override {
    auto m = CurrentMachine();
    if (!m) return Fail(win::ERROR_NOT_READY), 0;
    if (!shortPath) return Fail(win::ERROR_INVALID_PARAMETER), 0;
    try {
      ResolvedPath r;
      DWORD e = ResolveDosPath(*m, shortPath, r);
      if (!e && !r.exists) e = win::ERROR_FILE_NOT_FOUND;
      if (e) return Fail(e), 0;
      DosPath longForm = r.dos;
      longForm.components = r.longNames;
      return Deliver(longForm.Text(), longPath, units);
    } catch (const std::exception&) {
      return Fail(win::ERROR_NOT_READY), 0;
    }
  }

  DWORD GetShortPathNameW(const win::WCHAR* longPath, win::WCHAR* shortPath, DWORD units) override {
    auto m = CurrentMachine();
    if (!m) return Fail(win::ERROR_NOT_READY), 0;
    if (!longPath) return Fail(win::ERROR_INVALID_PARAMETER), 0;
    try {
      ResolvedPath r;
      DWORD e = ResolveDosPath(*m, longPath, r);
      if (!e && !r.exists) e = win::ERROR_FILE_NOT_FOUND;
      if (e) return Fail(e), 0;
      DosPath shortForm = r.dos;
      ShortNames aliases(m);
      for (std::size_t i = 0; i < shortForm.components.size(); ++i) {
        if (ShortNames::IsValid83(shortForm.components[i])) continue;
        std::wstring alias = aliases.AliasFor(r.folders[i], r.entries[i]);
        if (!alias.empty()) shortForm.components[i] = alias;
      }
      return Deliver(shortForm.Text(), shortPath, units);
    } catch (const std::exception&) {
      return Fail(win::ERROR_NOT_READY), 0;
    }
  }

  win::HANDLE CreateFileW(const win::WCHAR* path, DWORD desiredAccess, DWORD shareMode, const void*,
                          DWORD creationDisposition, DWORD flagsAndAttributes, win::HANDLE) override {
    auto failHandle = [](DWORD e) {
      SetLastError(e);
      return win::INVALID_HANDLE_VALUE;
    };
    auto m = CurrentMachine();
    if (!m) return failHandle(win::ERROR_NOT_READY);
    if (!path || creationDisposition < win::CREATE_NEW || creationDisposition > win::TRUNCATE_EXISTING) {
      return failHandle(win::ERROR_INVALID_PARAMETER);
    }
    ResolvedPath r;
    if (DWORD e = ResolveDosPath(*m, path, r)) return failHandle(e);
    bool wantRead = desiredAccess & (win::GENERIC_READ | win::GENERIC_ALL | win::FILE_READ_DATA);
    bool wantWrite = desiredAccess & (win::GENERIC_WRITE | win::GENERIC_ALL | win::FILE_WRITE_DATA);
    bool wantAppend = desiredAccess & win::FILE_APPEND_DATA;
    if (creationDisposition == win::TRUNCATE_EXISTING && !wantWrite) return failHandle(win::ERROR_INVALID_PARAMETER);
    if (r.exists) {
      if (creationDisposition == win::CREATE_NEW) return failHandle(win::ERROR_FILE_EXISTS);
      if (r.isRoot || S_ISDIR(r.st.st_mode)) return failHandle(win::ERROR_ACCESS_DENIED);
      bool truncates = creationDisposition == win::CREATE_ALWAYS || creationDisposition == win::TRUNCATE_EXISTING;
      if ((wantRead || wantWrite || wantAppend || truncates || (desiredAccess & win::DELETE)) &&
          IsLoadedHive(*m, r.host)) {
        return failHandle(win::ERROR_SHARING_VIOLATION);
      }
      bool readOnly = AttributesOf(r.host, r.st) & win::FILE_ATTRIBUTE_READONLY;
      if (readOnly && (wantWrite || wantAppend || truncates)) return failHandle(win::ERROR_ACCESS_DENIED);
    } else if (creationDisposition == win::OPEN_EXISTING || creationDisposition == win::TRUNCATE_EXISTING) {
      return failHandle(win::ERROR_FILE_NOT_FOUND);
    } else if (r.dos.trailingSeparator) {
      return failHandle(win::ERROR_INVALID_NAME);
    }
    int flags = O_CLOEXEC | O_NOFOLLOW;
    if ((wantWrite || wantAppend) && wantRead) {
      flags |= O_RDWR;
    } else if (wantWrite || wantAppend) {
      flags |= O_WRONLY;
    } else {
      flags |= O_RDONLY;
    }
    if (wantAppend && !wantWrite) flags |= O_APPEND;
    bool created = false;
    int fd;
    if (!r.exists) {
      // O_RDONLY|O_CREAT is fine on Linux; the new file starts empty.
      fd = ::open(r.host.c_str(), flags | O_CREAT | O_EXCL, 0666);
      created = fd >= 0;
      if (fd < 0 && errno == EEXIST) {
        // Made by someone else since the look-up.
        if (creationDisposition == win::CREATE_NEW) return failHandle(win::ERROR_FILE_EXISTS);
        fd = ::open(r.host.c_str(), flags | (creationDisposition == win::CREATE_ALWAYS ? O_TRUNC : 0));
      }
    } else {
      fd = ::open(r.host.c_str(), flags);
    }
    if (fd < 0) return failHandle(Win32FromErrno(errno));
    if (r.exists && (creationDisposition == win::CREATE_ALWAYS || creationDisposition == win::TRUNCATE_EXISTING)) {
      if (::ftruncate(fd, 0) != 0) {
        int err = errno;
        ::close(fd);
        return failHandle(Win32FromErrno(err));
      }
    }
    if (created) {
      DWORD attributes = (flagsAndAttributes & kSettable) | win::FILE_ATTRIBUTE_ARCHIVE;
      WriteStoredFd(fd, attributes);
      if (attributes & win::FILE_ATTRIBUTE_READONLY) ::fchmod(fd, 0444);
    }
    (void)shareMode;  // sharing is not enforced between handles
    win::HANDLE h = RegisterHandle(std::make_shared<FileObject>(fd, wantRead || !(wantWrite || wantAppend), wantWrite || wantAppend));
    bool existed = r.exists && (creationDisposition == win::CREATE_ALWAYS || creationDisposition == win::OPEN_ALWAYS);
    SetLastError(existed ? win::ERROR_ALREADY_EXISTS : win::ERROR_SUCCESS);
    return h;
  }

  BOOL ReadFile(win::HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead,
                win::OVERLAPPED* overlapped) override {
    auto f = LookupHandleAs<FileObject>(file);
    if (bytesRead) *bytesRead = 0;
    if (!f) return Fail(win::ERROR_INVALID_HANDLE);
    if (!f->canRead) return Fail(win::ERROR_ACCESS_DENIED);
    if (!buffer && bytesToRead) return Fail(win::ERROR_INVALID_PARAMETER);
    auto* p = static_cast<char*>(buffer);
    std::size_t done = 0;
    off_t offset = overlapped ? static_cast<off_t>((std::uint64_t(overlapped->OffsetHigh) << 32) | overlapped->Offset) : 0;
    while (done < bytesToRead) {
      ssize_t n = overlapped ? ::pread(f->fd, p + done, bytesToRead - done, offset + static_cast<off_t>(done))
                             : ::read(f->fd, p + done, bytesToRead - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Fail(Win32FromErrno(errno));
      }
      if (n == 0) break;
      done += static_cast<std::size_t>(n);
    }
    if (bytesRead) *bytesRead = static_cast<DWORD>(done);
    if (overlapped) overlapped->InternalHigh = done;
    return win::TRUE;
  }

  BOOL WriteFile(win::HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                 win::OVERLAPPED* overlapped) override {
    auto f = LookupHandleAs<FileObject>(file);
    if (bytesWritten) *bytesWritten = 0;
    if (!f) return Fail(win::ERROR_INVALID_HANDLE);
    if (!f->canWrite) return Fail(win::ERROR_ACCESS_DENIED);
    if (!buffer && bytesToWrite) return Fail(win::ERROR_INVALID_PARAMETER);
    // One host write per call, so concurrent appenders never interleave
    // inside a record.
    ssize_t n;
    do {
      n = overlapped ? ::pwrite(f->fd, buffer, bytesToWrite,
                                static_cast<off_t>((std::uint64_t(overlapped->OffsetHigh) << 32) | overlapped->Offset))
                     : ::write(f->fd, buffer, bytesToWrite);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Fail(Win32FromErrno(errno));
    if (bytesWritten) *bytesWritten = static_cast<DWORD>(n);
    if (overlapped) overlapped->InternalHigh = static_cast<win::ULONG_PTR>(n);
    if (static_cast<DWORD>(n) < bytesToWrite) return Fail(win::ERROR_DISK_FULL);
    return win::TRUE;
  }

  BOOL SetFilePointerEx(win::HANDLE file, win::LONGLONG distance, win::LONGLONG* newPosition,
                        DWORD moveMethod) override {
    auto f = LookupHandleAs<FileObject>(file);
    if (!f) return Fail(win::ERROR_INVALID_HANDLE);
    int whence = moveMethod == win::FILE_BEGIN ? SEEK_SET
                 : moveMethod == win::FILE_CURRENT ? SEEK_CUR
                 : moveMethod == win::FILE_END     ? SEEK_END
                                                   : -1;
    if (whence < 0) return Fail(win::ERROR_INVALID_PARAMETER);
    off_t pos = ::lseek(f->fd, static_cast<off_t>(distance), whence);
    if (pos < 0) return Fail(errno == EINVAL ? win::ERROR_NEGATIVE_SEEK : Win32FromErrno(errno));
    if (newPosition) *newPosition = pos;
    return win::TRUE;
  }

  BOOL FlushFileBuffers(win::HANDLE file) override {
    auto f = LookupHandleAs<FileObject>(file);
    if (!f) return Fail(win::ERROR_INVALID_HANDLE);
    if (!f->canWrite) return Fail(win::ERROR_ACCESS_DENIED);
    if (::fsync(f->fd) != 0) return Fail(Win32FromErrno(errno));
    return win::TRUE;
  }

  BOOL GetFileSizeEx(win::HANDLE file, win::LONGLONG* size) override {
    auto f = LookupHandleAs<FileObject>(file);
    if (!f) return Fail(win::ERROR_INVALID_HANDLE);
    if (!size) return Fail(win::ERROR_INVALID_PARAMETER);
    struct stat st;
    if (::fstat(f->fd, &st) != 0) return Fail(Win32FromErrno(errno));
    *size = st.st_size;
    return win::TRUE;
  }

  win::HANDLE FindFirstFileW(const win::WCHAR* pattern, win::WIN32_FIND_DATAW* data) override {
    auto failHandle = [](DWORD e) {
      SetLastError(e);
      return win::INVALID_HANDLE_VALUE;
    };
    auto m = CurrentMachine();
    if (!m) return failHandle(win::ERROR_NOT_READY);
    if (!pattern || !data) return failHandle(win::ERROR_INVALID_PARAMETER);
    try {
      std::wstring_view text(pattern);
      bool verbatim = text.size() >= 4 && (text.substr(0, 4) == L"\\\\?\\" || text.substr(0, 4) == L"\\??\\");
      std::size_t cut = verbatim ? text.rfind(L'\\') : text.find_last_of(L"\\/");
      if (cut == std::wstring_view::npos) return failHandle(win::ERROR_PATH_NOT_FOUND);
      std::wstring folderText(text.substr(0, cut));  // "C:" and "\\?\C:" name the root
      std::wstring mask(text.substr(cut + 1));
      if (mask.empty()) return failHandle(win::ERROR_FILE_NOT_FOUND);
      for (wchar_t c : mask) {
        if (c != L'*' && c != L'?' && CheckComponent(std::wstring(1, c)) != win::ERROR_SUCCESS && c != L'.') {
          return failHandle(win::ERROR_INVALID_NAME);
        }
      }
      ResolvedPath dir;
      DWORD e = ResolveDosPath(*m, folderText, dir);
      if (!e && (!dir.exists || !S_ISDIR(dir.st.st_mode))) e = win::ERROR_PATH_NOT_FOUND;
      if (e) return failHandle(e);

      auto find = std::make_shared<FindObject>();
      std::vector<std::string> names;
      if (!ListHostFolder(*m, dir.host, names)) return failHandle(win::ERROR_PATH_NOT_FOUND);
      ShortNames aliases(m);
      auto aliasOf = aliases.AliasesFor(dir.host, names);
      if (!dir.isRoot) {
        for (const char* dot : {".", ".."}) {
          std::string host = std::string(dot) == "." ? dir.host : dir.host.substr(0, dir.host.rfind('/'));
          struct stat st;
          if (MaskMatches(mask, text::FromHostName(dot)) && ::stat(host.c_str(), &st) == 0) {
            find->entries.push_back(FindData(text::FromHostName(dot), L"", host, st));
          }
        }
      }
      std::vector<std::pair<std::wstring, win::WIN32_FIND_DATAW>> found;
      for (const std::string& name : names) {
        std::wstring wide = text::FromHostName(name);
        if (wide.size() >= win::MAX_PATH) continue;
        auto a = aliasOf.find(name);
        std::wstring alias = a == aliasOf.end() ? std::wstring() : a->second;
        if (!MaskMatches(mask, wide) && (alias.empty() || !MaskMatches(mask, alias))) continue;
        std::string host = dir.host + "/" + name;
        struct stat st;
        if (::stat(host.c_str(), &st) != 0) continue;  // vanished, or a link we do not follow
        if (::lstat(host.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
          ResolvedPath linked;
          DosPath child = dir.dos;
          child.components.push_back(wide);
          child.prefix = L"\\\\?\\";
          child.trailingSeparator = false;
          if (ResolveDosPath(*m, child.Text(), linked) || !linked.exists) continue;
          // Reported as the reparse point it is, so that a walk does not
          // descend through it (a tree deletion would empty the target).
          win::WIN32_FIND_DATAW link = FindData(wide, alias, linked.host, linked.st);
          link.dwFileAttributes = (link.dwFileAttributes & ~win::FILE_ATTRIBUTE_NORMAL) |
                                  win::FILE_ATTRIBUTE_REPARSE_POINT;
          link.dwReserved0 = kReparseTagSymlink;
          found.emplace_back(text::AsciiUpperCopy(wide), link);
          continue;
        }
        found.emplace_back(text::AsciiUpperCopy(wide), FindData(wide, alias, host, st));
      }
      std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
      for (auto& f : found) find->entries.push_back(f.second);
      if (find->entries.empty()) return failHandle(win::ERROR_FILE_NOT_FOUND);
      *data = find->entries[0];
      find->next = 1;
      SetLastError(win::ERROR_SUCCESS);
      return RegisterHandle(find);
    } catch (const std::exception&) {
      return failHandle(win::ERROR_NOT_READY);
    }
  }

  BOOL FindNextFileW(win::HANDLE handle, win::WIN32_FIND_DATAW* data) override {
    auto find = LookupHandleAs<FindObject>(handle);
    if (!find) return Fail(win::ERROR_INVALID_HANDLE);
    if (!data) return Fail(win::ERROR_INVALID_PARAMETER);
    std::lock_guard lock(find->mutex);
    if (find->next >= find->entries.size()) return Fail(win::ERROR_NO_MORE_FILES);
    *data = find->entries[find->next++];
    return win::TRUE;
  }

  BOOL FindClose(win::HANDLE handle) override {
    if (!LookupHandleAs<FindObject>(handle)) return Fail(win::ERROR_INVALID_HANDLE);
    return CloseHandle(handle);
  }

  bool AppendToFile(const std::wstring& path, const std::string& bytes) override {
    auto m = CurrentMachine();
    if (!m) return Fail(win::ERROR_NOT_READY), false;
    ResolvedPath r;
    if (DWORD e = ResolveDosPath(*m, path, r)) return Fail(e), false;
    if (r.exists && (r.isRoot || S_ISDIR(r.st.st_mode) || (AttributesOf(r.host, r.st) & win::FILE_ATTRIBUTE_READONLY))) {
      return Fail(win::ERROR_ACCESS_DENIED), false;
    }
    if (r.exists && IsLoadedHive(*m, r.host)) return Fail(win::ERROR_SHARING_VIOLATION), false;
    int fd = ::open(r.host.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return Fail(Win32FromErrno(errno)), false;
    ssize_t n;
    do {
      n = ::write(fd, bytes.data(), bytes.size());
    } while (n < 0 && errno == EINTR);
    int err = errno;
    ::close(fd);
    if (n < 0) return Fail(Win32FromErrno(err)), false;
    if (static_cast<std::size_t>(n) != bytes.size()) return Fail(win::ERROR_DISK_FULL), false;
    return true;
  }

 private:
  static bool CopyContent(int in, int out) {
    char buf[1 << 16];
    for (;;) {
      ssize_t n = ::read(in, buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) return true;
      for (ssize_t off = 0; off < n;) {
        ssize_t w = ::write(out, buf + off, static_cast<std::size_t>(n - off));
        if (w < 0) {
          if (errno == EINTR) continue;
          return false;
        }
        off += w;
      }
    }
  }

  static DWORD MakeFolder(const std::string& host, const SecurityDescriptor* security) {
    if (::mkdir(host.c_str(), 0777) != 0) {
      int err = errno;
      return err == EEXIST ? win::ERROR_ALREADY_EXISTS : Win32FromErrno(err);
    }
    if (security && !ApplySecurity(host, *security, true)) {
      DWORD e = Win32FromErrno(errno);
      ::rmdir(host.c_str());
      return e;
    }
    return win::ERROR_SUCCESS;
  }

  static void ForgetAlias(const std::shared_ptr<Machine>& m, const std::string& folder, const std::string& name) {
    if (ShortNames::IsValid83(text::FromHostName(name))) return;
    ShortNames(m).Forget(folder, name);
  }

  static DWORD Deliver(const std::wstring& result, win::WCHAR* buffer, DWORD units) {
    if (!buffer || units <= result.size()) {
      SetLastError(win::ERROR_SUCCESS);
      return static_cast<DWORD>(result.size() + 1);
    }
    std::copy(result.begin(), result.end(), buffer);  // the input may be this buffer: result is a copy
    buffer[result.size()] = 0;
    SetLastError(win::ERROR_SUCCESS);
    return static_cast<DWORD>(result.size());
  }

  static win::WIN32_FIND_DATAW FindData(const std::wstring& name, const std::wstring& alias, const std::string& host,
                                        const struct stat& st) {
    win::WIN32_FIND_DATAW d;
    d.dwFileAttributes = AttributesOf(host, st);
    d.ftCreationTime = ToFileTime(st.st_ctim.tv_sec < st.st_mtim.tv_sec ? st.st_ctim : st.st_mtim);
    d.ftLastAccessTime = ToFileTime(st.st_atim);
    d.ftLastWriteTime = ToFileTime(st.st_mtim);
    std::uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::uint64_t>(st.st_size);
    d.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    d.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
    CopyName(name, d.cFileName, win::MAX_PATH);
    CopyName(alias, d.cAlternateFileName, 14);
    return d;
  }
};

}  // namespace

namespace {

// Self-relative descriptor bytes: "ZVSD", then parts, owner, group, mode and
// the two ACL text lengths as 32-bit little-endian numbers, then the texts.
constexpr char kDescriptorMagic[4] = {'Z', 'V', 'S', 'D'};
constexpr std::size_t kDescriptorHeader = 4 + 6 * 4;

void PutU32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::uint32_t GetU32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

std::atomic<PrivilegeHeldTest> privilegeTest{nullptr};

}  // namespace

std::string SerializeSecurityDescriptor(const SecurityDescriptor& d) {
  std::string out(kDescriptorMagic, sizeof kDescriptorMagic);
  PutU32(out, d.parts);
  PutU32(out, d.owner);
  PutU32(out, d.group);
  PutU32(out, d.mode);
  PutU32(out, static_cast<std::uint32_t>(d.accessAcl.size()));
  PutU32(out, static_cast<std::uint32_t>(d.defaultAcl.size()));
  out += d.accessAcl;
  out += d.defaultAcl;
  return out;
}

bool ParseSecurityDescriptor(const void* bytes, DWORD size, SecurityDescriptor& out) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  if (!p || size < kDescriptorHeader || std::memcmp(p, kDescriptorMagic, sizeof kDescriptorMagic) != 0) return false;
  std::uint64_t accessLength = GetU32(p + 20), defaultLength = GetU32(p + 24);
  if (kDescriptorHeader + accessLength + defaultLength > size) return false;
  SecurityDescriptor d;
  d.parts = GetU32(p + 4);
  d.owner = GetU32(p + 8);
  d.group = GetU32(p + 12);
  d.mode = GetU32(p + 16);
  const char* texts = reinterpret_cast<const char*>(p + kDescriptorHeader);
  d.accessAcl.assign(texts, accessLength);
  d.defaultAcl.assign(texts + accessLength, defaultLength);
  out = std::move(d);
  return true;
}

void SetPrivilegeHeldTest(PrivilegeHeldTest test) { privilegeTest.store(test); }

bool PrivilegeHeld(const wchar_t* privilege) {
  PrivilegeHeldTest test = privilegeTest.load();
  return test && test(privilege);
}

template <>
FileApi& Api<FileApi>::Default() {
  static RealFileApi* api = new RealFileApi;  // lives until the process ends
  return *api;
}

}  // namespace zv::platform
