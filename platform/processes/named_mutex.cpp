// The real ProcessApi, CreateMutexW: see process_api_real.h.
//
// A named mutex exists machine-wide while any process has a handle to it.
// Each process that has one holds a read lock on byte 1 of the name's lock
// file <run>/mutex/<escaped name>; the kernel drops it when the last handle
// closes or the process ends, however it ends. Creating takes the write
// lock on byte 0 as a guard, asks the kernel whether another process holds
// byte 1 (ERROR_ALREADY_EXISTS), takes its own read lock and lets the guard
// go. Record locks belong to the process, so one file descriptor per name is
// kept per process and closed only when the process's last handle goes.
// Ownership and waits are not modelled: the callers only ask whether the
// name already exists.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>

#include "platform/processes/process_api_real.h"
#include "platform/base/text.h"

namespace zv::platform {
namespace {

struct OpenName {
  int fd = -1;
  int objects = 0;
  pid_t owner = 0;  // a forked child inherits entries it holds no lock for
};

struct NameRegistry {
  std::mutex mutex;
  std::map<std::string, OpenName> names;  // lock file path -> descriptor
};

NameRegistry& Registry() {
  static NameRegistry* registry = new NameRegistry;  // lives until the process ends
  return *registry;
}

class MutexObject : public KernelObject {
 public:
  explicit MutexObject(std::string lockPath) : lockPath_(std::move(lockPath)), owner_(::getpid()) {}
  ~MutexObject() override {
    if (lockPath_.empty()) return;
    NameRegistry& r = Registry();
    std::lock_guard lock(r.mutex);
    auto it = r.names.find(lockPath_);
    if (it != r.names.end() && it->second.owner == owner_ && --it->second.objects == 0) {
      ::close(it->second.fd);  // drops this process's lock on the name
      r.names.erase(it);
    }
  }

 private:
  std::string lockPath_;
  pid_t owner_;
};

bool SetLock(int fd, short type, off_t start, bool wait) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = 1;
  for (;;) {
    if (::fcntl(fd, wait ? F_SETLKW : F_SETLK, &fl) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool OtherProcessHolds(int fd) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 1;
  fl.l_len = 1;
  return ::fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

std::uint64_t Fnv1a(const std::string& s, std::uint64_t seed) {
  std::uint64_t h = seed;
  for (unsigned char c : s) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

// A file name for an object name: letters, digits, '_', '-' and '.' kept
// (names are case-sensitive, as the host file system is), everything else
// as %XX of its WTF-8 bytes; very long names become a 128-bit hash.
std::string EscapeName(const std::wstring& name) {
  std::string bytes = text::ToHostName(name);
  std::string out;
  for (unsigned char c : bytes) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
        (c == '.' && !out.empty())) {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  if (out.size() > 200) {
    char hashed[40];
    std::snprintf(hashed, sizeof hashed, "~%016llx%016llx",
                  static_cast<unsigned long long>(Fnv1a(bytes, 14695981039346656037ull)),
                  static_cast<unsigned long long>(Fnv1a(bytes, 0x9E3779B97F4A7C15ull)));
    out = hashed;
  }
  return out;
}

}  // namespace

win::HANDLE RealProcessApi::CreateMutexW(const void* securityAttributes, win::BOOL initialOwner,
                                         const win::WCHAR* name) {
  if (!name || !*name) {
    SetLastError(win::ERROR_SUCCESS);
    return RegisterHandle(std::make_shared<MutexObject>(std::string()));
  }
  std::wstring object(name);
  if (object.size() > win::MAX_PATH) {
    SetLastError(win::ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  // One namespace for the whole machine: the session prefixes name it too.
  for (const wchar_t* prefix : {L"Global\\", L"Local\\"}) {
    std::wstring p(prefix);
    if (object.compare(0, p.size(), p) == 0) {
      object.erase(0, p.size());
      break;
    }
  }
  if (object.empty() || object.find(L'\\') != std::wstring::npos) {
    SetLastError(win::ERROR_PATH_NOT_FOUND);
    return nullptr;
  }
  std::shared_ptr<Machine> machine;
  try {
    machine = Machine::Current();
  } catch (const MachineError&) {
    SetLastError(win::ERROR_NOT_READY);
    return nullptr;
  }
  std::filesystem::path folder = machine->RunFolder() / "mutex";
  std::string lockPath = (folder / EscapeName(object)).string();

  NameRegistry& r = Registry();
  std::lock_guard lock(r.mutex);
  auto it = r.names.find(lockPath);
  if (it != r.names.end() && it->second.owner != ::getpid()) {
    ::close(it->second.fd);  // our copy from before a fork; its locks stayed with the parent
    r.names.erase(it);
    it = r.names.end();
  }
  if (it != r.names.end()) {
    ++it->second.objects;
    win::HANDLE h = RegisterHandle(std::make_shared<MutexObject>(lockPath));
    SetLastError(win::ERROR_ALREADY_EXISTS);
    return h;
  }
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  // Machine-wide: programs of the admin group open it too; never through a link.
  int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kRunSharedFileMode);
  if (fd >= 0) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 07777) != kRunSharedFileMode) {
      ::fchmod(fd, kRunSharedFileMode);
    }
  }
  if (fd < 0) {
    SetLastError(errno == EACCES ? win::ERROR_ACCESS_DENIED : win::ERROR_PATH_NOT_FOUND);
    return nullptr;
  }
  if (!SetLock(fd, F_WRLCK, 0, true)) {
    ::close(fd);
    SetLastError(win::ERROR_ACCESS_DENIED);
    return nullptr;
  }
  bool exists = OtherProcessHolds(fd);
  bool held = SetLock(fd, F_RDLCK, 1, false);
  SetLock(fd, F_UNLCK, 0, false);
  if (!held) {
    ::close(fd);
    SetLastError(win::ERROR_ACCESS_DENIED);
    return nullptr;
  }
  r.names[lockPath] = OpenName{fd, 1, ::getpid()};
  win::HANDLE h = RegisterHandle(std::make_shared<MutexObject>(lockPath));
  SetLastError(exists ? win::ERROR_ALREADY_EXISTS : win::ERROR_SUCCESS);
  return h;
}

}  // namespace zv::platform
