// DOS path parsing and resolution to host paths: see paths.h.
#include "platform/files/paths.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <unordered_map>

#include "platform/files/short_names.h"
#include "platform/base/text.h"

namespace zv::platform {
namespace {

constexpr std::size_t kMaxUnits = 32767;
constexpr std::size_t kMaxComponent = 255;

bool IsSeparator(wchar_t c, bool verbatim) { return c == L'\\' || (!verbatim && c == L'/'); }

bool IsLetter(wchar_t c) {
  wchar_t u = text::AsciiUpper(c);
  return u >= L'A' && u <= L'Z';
}

bool StartsWith(std::wstring_view s, std::wstring_view p) { return s.size() >= p.size() && s.substr(0, p.size()) == p; }

bool IsReservedDeviceName(std::wstring_view name) {
  using namespace std::literals;
  std::wstring_view base = name.substr(0, name.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.remove_suffix(1);
  if (base.size() < 3 || base.size() > 7) return false;
  for (std::wstring_view device : {L"CON"sv, L"PRN"sv, L"AUX"sv, L"NUL"sv, L"CONIN$"sv, L"CONOUT$"sv}) {
    if (text::AsciiIEquals(base, device)) return true;
  }
  std::wstring_view head = base.substr(0, 3);
  return base.size() == 4 && (text::AsciiIEquals(head, L"COM"sv) || text::AsciiIEquals(head, L"LPT"sv)) &&
         base[3] >= L'1' && base[3] <= L'9';
}

// ---- Folder listing cache ---------------------------------------------------
// Case-insensitive look-ups of names that miss the exact-case stat scan the
// folder. The listing is kept per folder and trusted while the folder's
// inode and modification time stay the same; a listing taken within a few
// clock ticks of the folder's last change is not kept, so an entry added in
// the same tick can never be missed.

struct Listing {
  dev_t dev = 0;
  ino_t ino = 0;
  struct timespec mtime {};
  std::vector<std::string> names;
  // upper-cased UTF-16 name -> host name (the smallest host name wins when
  // several differ only in case)
  std::unordered_map<std::wstring, std::string> byUpper;
};

struct ListingCache {
  std::mutex mutex;
  std::unordered_map<std::string, std::shared_ptr<const Listing>> folders;
};

constexpr std::size_t kMaxCachedFolders = 4096;
constexpr std::int64_t kSettleNs = 50'000'000;

std::int64_t Ns(const struct timespec& t) { return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec; }

// The cached listing of dir when it is still valid for the folder's stat.
std::shared_ptr<const Listing> PeekListing(Machine& machine, const std::string& dir, const struct stat& st) {
  auto cache = machine.Cache<ListingCache>("listings");
  std::lock_guard lock(cache->mutex);
  auto it = cache->folders.find(dir);
  if (it != cache->folders.end() && it->second->dev == st.st_dev && it->second->ino == st.st_ino &&
      Ns(it->second->mtime) == Ns(st.st_mtim)) {
    return it->second;
  }
  return nullptr;
}

std::shared_ptr<const Listing> ReadListing(Machine& machine, const std::string& dir, const struct stat* known) {
  struct stat st;
  if (known) {
    st = *known;
  } else if (::stat(dir.c_str(), &st) != 0) {
    return nullptr;
  }
  auto cache = machine.Cache<ListingCache>("listings");
  {
    std::lock_guard lock(cache->mutex);
    auto it = cache->folders.find(dir);
    if (it != cache->folders.end() && it->second->dev == st.st_dev && it->second->ino == st.st_ino &&
        Ns(it->second->mtime) == Ns(st.st_mtim)) {
      return it->second;
    }
  }
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  DIR* d = ::opendir(dir.c_str());
  if (!d) return nullptr;
  auto listing = std::make_shared<Listing>();
  listing->dev = st.st_dev;
  listing->ino = st.st_ino;
  listing->mtime = st.st_mtim;
  while (struct dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    listing->names.push_back(std::move(name));
  }
  ::closedir(d);
  std::sort(listing->names.begin(), listing->names.end());
  for (const std::string& name : listing->names) {
    listing->byUpper.emplace(text::AsciiUpperCopy(text::FromHostName(name)), name);  // first (smallest) wins
  }
  if (Ns(now) - Ns(st.st_mtim) > kSettleNs) {
    std::lock_guard lock(cache->mutex);
    if (cache->folders.size() >= kMaxCachedFolders) cache->folders.clear();
    cache->folders[dir] = listing;
  }
  return listing;
}

// Folders found by a case-insensitive walk, keyed by drive letter and the
// upper-cased DOS folder path. A hit is trusted only after one no-links open
// of its host path, so a folder renamed, removed or replaced by a link falls
// back to the walk. (A second host entry differing only in case, made behind
// the machine's back, is not noticed while the hit stays valid.)
struct FolderHit {
  std::string host;
  std::vector<std::string> folders;
  std::vector<std::string> entries;
  std::vector<std::wstring> longNames;
};

struct FolderCache {
  std::mutex mutex;
  std::unordered_map<std::wstring, std::shared_ptr<const FolderHit>> hits;
};

// openat2 with RESOLVE_NO_SYMLINKS: one kernel walk that fails when any
// component is a link. -1 with errno when unavailable or failing.
int OpenNoLinks(const std::string& path) {
  static std::atomic<bool> unavailable{false};
  if (unavailable.load(std::memory_order_relaxed)) {
    errno = ENOSYS;
    return -1;
  }
  struct open_how how {};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
  if (fd < 0 && (errno == ENOSYS || errno == EPERM)) unavailable = true;
  return static_cast<int>(fd);
}

// One entry of an open folder, opened as OpenNoLinks does.
int OpenBeneath(int dir, const std::string& name) {
  struct open_how how {};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(::syscall(SYS_openat2, dir, name.c_str(), &how, sizeof how));
}

bool IsBelow(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

}  // namespace

win::DWORD Win32FromErrno(int error) {
  switch (error) {
    case 0:
      return win::ERROR_SUCCESS;
    case ENOENT:
      return win::ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return win::ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return win::ERROR_ACCESS_DENIED;
    case EEXIST:
      return win::ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
      return win::ERROR_DIR_NOT_EMPTY;
    case ENAMETOOLONG:
      return win::ERROR_FILENAME_EXCED_RANGE;
    case ELOOP:
      return win::ERROR_CANT_RESOLVE_FILENAME;
    case ENOSPC:
    case EDQUOT:
      return win::ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE:
      return win::ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
      return win::ERROR_NOT_ENOUGH_MEMORY;
    case EXDEV:
      return win::ERROR_NOT_SAME_DEVICE;
    case EINVAL:
      return win::ERROR_INVALID_PARAMETER;
    case EBADF:
      return win::ERROR_INVALID_HANDLE;
    case EBUSY:
    case ETXTBSY:
      return win::ERROR_SHARING_VIOLATION;
    default:
      return win::ERROR_ACCESS_DENIED;
  }
}

std::wstring DosPath::Text() const {
  std::wstring out = prefix;
  out += letter;
  out += L':';
  out += L'\\';
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (i) out += L'\\';
    out += components[i];
  }
  if (trailingSeparator && !components.empty()) out += L'\\';
  return out;
}

win::DWORD CheckComponent(std::wstring_view name) {
  if (name.empty() || name.size() > kMaxComponent) return win::ERROR_INVALID_NAME;
  for (wchar_t c : name) {
    if (c < 32 || c == L'<' || c == L'>' || c == L':' || c == L'"' || c == L'|' || c == L'?' || c == L'*' ||
        c == L'/' || c == L'\\') {
      return win::ERROR_INVALID_NAME;
    }
  }
  if (IsReservedDeviceName(name)) return win::ERROR_INVALID_NAME;
  return win::ERROR_SUCCESS;
}

win::DWORD ParseDosPath(std::wstring_view path, DosPathView& out) {
  out.prefix = {};
  out.letter = 0;
  out.components.clear();
  out.trailingSeparator = false;
  out.verbatim = false;
  if (path.empty()) return win::ERROR_PATH_NOT_FOUND;
  if (path.find(L'\0') != std::wstring_view::npos) return win::ERROR_INVALID_NAME;
  if (path.size() > kMaxUnits) return win::ERROR_FILENAME_EXCED_RANGE;

  std::wstring_view rest = path;
  if (StartsWith(rest, L"\\\\?\\") || StartsWith(rest, L"\\??\\")) {
    out.verbatim = true;
    out.prefix = rest.substr(0, 4);
    rest.remove_prefix(4);
  } else if (StartsWith(rest, L"\\\\.\\") || StartsWith(rest, L"//./")) {
    rest.remove_prefix(4);  // the device namespace: normalised like a plain path
  } else if (rest.size() >= 2 && IsSeparator(rest[0], false) && IsSeparator(rest[1], false)) {
    return win::ERROR_BAD_NETPATH;
  }
  if (rest.size() < 2 || rest[1] != L':' || !IsLetter(rest[0])) {
    // Relative, rooted without a drive, \\?\UNC\..., \\?\Volume{...}: the
    // machine has no current directory and no network.
    return (out.verbatim && rest.size() >= 4 && text::AsciiIEquals(rest.substr(0, 4), L"UNC\\"))
               ? win::ERROR_BAD_NETPATH
               : win::ERROR_PATH_NOT_FOUND;
  }
  out.letter = rest[0];
  rest.remove_prefix(2);

  if (out.verbatim) {
    if (!rest.empty() && rest[0] != L'\\') return win::ERROR_INVALID_NAME;
    if (!rest.empty()) rest.remove_prefix(1);
    while (!rest.empty()) {
      std::size_t cut = rest.find(L'\\');
      std::wstring_view part = rest.substr(0, cut);
      if (cut == std::wstring_view::npos) {
        rest = {};
      } else {
        rest.remove_prefix(cut + 1);
        if (rest.empty()) out.trailingSeparator = true;
      }
      if (part.empty() || part == L"." || part == L"..") return win::ERROR_INVALID_NAME;
      if (win::DWORD e = CheckComponent(part)) return e;
      out.components.push_back(part);
    }
    return win::ERROR_SUCCESS;
  }

  // Plain path: '/' separates too; '.' and '..' resolve (clamped at the
  // root); trailing dots and spaces of each component are dropped.
  std::size_t i = 0;
  while (i < rest.size()) {
    std::size_t j = i;
    while (j < rest.size() && !IsSeparator(rest[j], false)) ++j;
    std::wstring_view part = rest.substr(i, j - i);
    if (j < rest.size() && j + 1 >= rest.size()) out.trailingSeparator = true;
    i = j + 1;
    if (part.empty() || part == L".") continue;
    if (part == L"..") {
      if (!out.components.empty()) out.components.pop_back();
      continue;
    }
    while (!part.empty() && (part.back() == L'.' || part.back() == L' ')) part.remove_suffix(1);
    if (part.empty()) continue;
    if (win::DWORD e = CheckComponent(part)) return e;
    out.components.push_back(part);
  }
  // The length of the text DosPath::Text() gives back (no prefix here).
  std::size_t units = 3;
  for (std::wstring_view c : out.components) units += c.size() + 1;
  if (!out.components.empty() && !out.trailingSeparator) --units;
  if (units >= win::MAX_PATH) return win::ERROR_FILENAME_EXCED_RANGE;
  return win::ERROR_SUCCESS;
}

win::DWORD ParseDosPath(std::wstring_view path, DosPath& out) {
  thread_local DosPathView view;
  win::DWORD e = ParseDosPath(path, view);
  out.prefix.assign(view.prefix);
  out.letter = view.letter;
  out.components.assign(view.components.begin(), view.components.end());
  out.trailingSeparator = view.trailingSeparator;
  out.verbatim = view.verbatim;
  return e;
}

bool ListHostFolder(Machine& machine, const std::string& hostDir, std::vector<std::string>& names) {
  auto listing = ReadListing(machine, hostDir, nullptr);
  if (!listing) return false;
  names = listing->names;
  return true;
}

namespace {
// tryExact: first the exact-case path with one no-links open (callers that
// tried it already pass false).
win::DWORD Resolve(Machine& machine, std::wstring_view path, ResolvedPath& out, bool tryExact);
}  // namespace

win::DWORD ResolveDosPath(Machine& machine, std::wstring_view path, ResolvedPath& out) {
  try {
    return Resolve(machine, path, out, true);
  } catch (const std::exception&) {
    return win::ERROR_NOT_READY;  // machine.db cannot be read
  }
}

namespace {

// Appends a component's host name: ASCII as it is, anything else through
// the host name encoding.
void AppendHostName(std::string& out, std::wstring_view name) {
  if (std::all_of(name.begin(), name.end(), [](wchar_t c) { return c >= 0 && c < 0x80; })) {
    std::size_t at = out.size();
    out.resize(at + name.size());
    std::copy(name.begin(), name.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
  } else {
    out += text::ToHostName(name);
  }
}

// The quick look-up of StatDosPath. True when it settled the answer (out
// and *error filled); false when the component walk must decide.
bool StatQuickly(Machine& machine, std::wstring_view path, EntryStat& out, win::DWORD* error) {
  thread_local DosPathView dos;
  thread_local std::string host;
  thread_local std::string parent;
  thread_local std::string found;
  thread_local std::wstring upper;
  if (win::DWORD e = ParseDosPath(path, dos)) {
    *error = e;
    return true;
  }
  VolumeTable volumes(std::shared_ptr<Machine>(std::shared_ptr<Machine>{}, &machine));
  if (!volumes.HostFolderOfLetter(dos.letter, host)) {
    *error = win::ERROR_PATH_NOT_FOUND;
    return true;
  }
  const std::size_t rootSize = host.size();
  std::size_t parentSize = rootSize;
  for (std::wstring_view c : dos.components) {
    parentSize = host.size();
    host += '/';
    AppendHostName(host, c);
  }
  *error = win::ERROR_SUCCESS;
  int fd = OpenNoLinks(host);
  if (fd >= 0) {
    if (::fstat(fd, &out.st) == 0 && (!dos.trailingSeparator || S_ISDIR(out.st.st_mode) || dos.components.empty())) {
      out.exists = true;
      out.fd = fd;
      out.host = &host;
      return true;
    }
    ::close(fd);
    return false;
  }
  // Not there as given: find its folder, as given or where an earlier walk
  // found it in another case, and the entry in it by its listing.
  if (errno != ENOENT || dos.components.empty()) return false;
  const std::wstring_view leaf = dos.components.back();
  bool exactFolder = true;
  parent.assign(host, 0, parentSize);
  int dir = OpenNoLinks(parent);
  if (dir < 0) {
    if (errno != ENOENT || dos.components.size() < 2) return false;
    upper.assign(1, text::AsciiUpper(dos.letter));
    for (std::size_t i = 0; i + 1 < dos.components.size(); ++i) {
      upper += L'\\';
      for (wchar_t c : dos.components[i]) upper += text::AsciiUpper(c);
    }
    auto folders = machine.Cache<FolderCache>("folders");
    std::shared_ptr<const FolderHit> hit;
    {
      std::lock_guard lock(folders->mutex);
      auto it = folders->hits.find(upper);
      if (it != folders->hits.end()) hit = it->second;
    }
    if (!hit || hit->host.compare(0, rootSize, host, 0, rootSize) != 0) return false;
    parent.assign(hit->host);
    dir = OpenNoLinks(parent);
    if (dir < 0) return false;
    exactFolder = false;
  }
  struct stat st;
  if (::fstat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) {
    ::close(dir);
    return false;
  }
  // The entry as given (known missing when its folder was found as given),
  // then the one its listing holds in another case.
  found.assign(host, parentSize + 1);
  fd = exactFolder ? -1 : OpenBeneath(dir, found);
  if (fd < 0 && (exactFolder || errno == ENOENT)) {
    std::shared_ptr<const Listing> listing;
    try {
      listing = ReadListing(machine, parent, &st);
    } catch (...) {
      ::close(dir);
      throw;
    }
    if (!listing) {
      ::close(dir);
      return false;
    }
    upper.assign(leaf);
    for (wchar_t& c : upper) c = text::AsciiUpper(c);
    auto it = listing->byUpper.find(upper);
    if (it == listing->byUpper.end()) {
      ::close(dir);
      // Not there in any case; an alias is for the walk to look up.
      if (ShortNames::LooksLikeAlias(leaf)) return false;
      out.host = &host;
      return true;
    }
    found.assign(it->second);
    fd = OpenBeneath(dir, found);
  }
  ::close(dir);
  if (fd < 0) return false;
  if (::fstat(fd, &out.st) != 0 || (dos.trailingSeparator && !S_ISDIR(out.st.st_mode))) {
    ::close(fd);
    return false;
  }
  parent += '/';
  parent += found;
  out.exists = true;
  out.fd = fd;
  out.host = &parent;
  return true;
}

}  // namespace

win::DWORD StatDosPath(Machine& machine, std::wstring_view path, EntryStat& out) {
  out = EntryStat{};
  thread_local ResolvedPath walked;
  try {
    win::DWORD error = win::ERROR_SUCCESS;
    if (StatQuickly(machine, path, out, &error)) return error;
    if (win::DWORD e = Resolve(machine, path, walked, false)) return e;
  } catch (const std::exception&) {
    if (out.fd >= 0) ::close(out.fd);
    out = EntryStat{};
    return win::ERROR_NOT_READY;  // machine.db cannot be read
  }
  out.exists = walked.exists;
  out.st = walked.st;
  out.host = &walked.host;
  struct stat leaf;
  out.isLink = walked.exists && !walked.isRoot &&
               ::lstat((walked.parentHost + "/" + walked.leafHostName).c_str(), &leaf) == 0 && S_ISLNK(leaf.st_mode);
  return win::ERROR_SUCCESS;
}

namespace {
win::DWORD Resolve(Machine& machine, std::wstring_view path, ResolvedPath& out, bool tryExact) {
  out = ResolvedPath{};
  if (win::DWORD e = ParseDosPath(path, out.dos)) return e;
  VolumeTable volumes(std::shared_ptr<Machine>(std::shared_ptr<Machine>{}, &machine));
  auto root = volumes.RootOfLetter(out.dos.letter);
  if (!root) return win::ERROR_PATH_NOT_FOUND;
  out.volume = *root;
  const std::string& volumesFolder = volumes.VolumesFolder();
  const auto& comps = out.dos.components;
  out.longNames = comps;

  std::vector<std::string> hostNames;
  hostNames.reserve(comps.size());
  for (const std::wstring& c : comps) hostNames.push_back(text::ToHostName(c));

  // Fast path: the exact-case path exists and no component is a link.
  if (tryExact) {
    std::string full = root->hostFolder;
    for (const std::string& n : hostNames) {
      full += '/';
      full += n;
    }
    int fd = OpenNoLinks(full);
    if (fd >= 0) {
      struct stat st;
      int rc = ::fstat(fd, &st);
      ::close(fd);
      if (rc == 0 && (!out.dos.trailingSeparator || S_ISDIR(st.st_mode) || comps.empty())) {
        out.exists = true;
        out.st = st;
        out.isRoot = comps.empty();
        out.host = full;
        std::string folder = root->hostFolder;
        for (const std::string& n : hostNames) {
          out.folders.push_back(folder);
          out.entries.push_back(n);
          folder += '/';
          folder += n;
        }
        if (!comps.empty()) {
          out.parentHost = full.substr(0, full.size() - hostNames.back().size() - 1);
          out.leafHostName = hostNames.back();
        }
        return win::ERROR_SUCCESS;
      }
    }
  }

  // Component by component.
  std::string cur = root->hostFolder;
  struct stat st;
  // The volume's own folder must be a real folder, not a link to elsewhere.
  if (::lstat(cur.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return win::ERROR_PATH_NOT_FOUND;
  ShortNames aliases(std::shared_ptr<Machine>(std::shared_ptr<Machine>{}, &machine));
  auto folderCache = machine.Cache<FolderCache>("folders");
  std::wstring folderKey;
  std::size_t start = 0;
  bool sawLink = false;
  if (comps.size() >= 2) {
    folderKey += text::AsciiUpper(out.dos.letter);
    for (std::size_t i = 0; i + 1 < comps.size(); ++i) folderKey += L"\\" + text::AsciiUpperCopy(comps[i]);
    std::shared_ptr<const FolderHit> hit;
    {
      std::lock_guard lock(folderCache->mutex);
      auto it = folderCache->hits.find(folderKey);
      if (it != folderCache->hits.end()) hit = it->second;
    }
    if (hit && hit->host.compare(0, root->hostFolder.size(), root->hostFolder) == 0) {
      int fd = OpenNoLinks(hit->host);
      struct stat hst;
      if (fd >= 0) {
        bool ok = ::fstat(fd, &hst) == 0 && S_ISDIR(hst.st_mode);
        ::close(fd);
        if (ok) {
          cur = hit->host;
          st = hst;
          out.folders = hit->folders;
          out.entries = hit->entries;
          std::copy(hit->longNames.begin(), hit->longNames.end(), out.longNames.begin());
          out.parentHost = hit->folders.back();
          out.leafHostName = hit->entries.back();
          start = comps.size() - 1;
        }
      }
    }
  }
  for (std::size_t i = start; i < comps.size(); ++i) {
    bool last = i + 1 == comps.size();
    if (last && start == 0 && !sawLink && !folderKey.empty()) {
      auto hit = std::make_shared<FolderHit>();
      hit->host = cur;
      hit->folders = out.folders;
      hit->entries = out.entries;
      hit->longNames.assign(out.longNames.begin(), out.longNames.end() - 1);
      std::lock_guard lock(folderCache->mutex);
      if (folderCache->hits.size() >= kMaxCachedFolders) folderCache->hits.clear();
      folderCache->hits[folderKey] = std::move(hit);
    }
    std::string name = hostNames[i];
    // A folder whose listing is known: pick the name from it, so a name in
    // the wrong case costs one stat instead of a failed one and a second.
    if (auto known = PeekListing(machine, cur, st)) {
      if (!std::binary_search(known->names.begin(), known->names.end(), name)) {
        auto it = known->byUpper.find(text::AsciiUpperCopy(comps[i]));
        if (it != known->byUpper.end()) name = it->second;
      }
    }
    std::string candidate = cur + "/" + name;
    struct stat est;
    bool found = ::lstat(candidate.c_str(), &est) == 0;
    if (!found) {
      int err = errno;
      if (err == ENAMETOOLONG) return win::ERROR_FILENAME_EXCED_RANGE;
      if (err != ENOENT) return Win32FromErrno(err);
      auto listing = ReadListing(machine, cur, &st);
      if (!listing) return win::ERROR_PATH_NOT_FOUND;
      auto it = listing->byUpper.find(text::AsciiUpperCopy(comps[i]));
      if (it != listing->byUpper.end()) {
        name = it->second;
      } else if (ShortNames::LooksLikeAlias(comps[i])) {
        std::optional<std::string> longName;
        try {
          longName = aliases.LongNameOf(cur, comps[i]);
          if (!longName) {
            // Someone may name an entry by the alias it would have: hand out
            // the folder's aliases now, as a listing would, and look again.
            aliases.AliasesFor(cur, listing->names);
            longName = aliases.LongNameOf(cur, comps[i]);
          }
        } catch (const MachineError&) {
          longName.reset();  // the database is unusable: the alias is unknown
        }
        if (longName) {
          name = *longName;
          out.longNames[i] = text::FromHostName(name);
        }
      }
      if (name != candidate.substr(cur.size() + 1)) {
        candidate = cur + "/" + name;
        found = ::lstat(candidate.c_str(), &est) == 0;
      }
    }
    out.folders.push_back(cur);
    out.entries.push_back(found ? name : hostNames[i]);
    if (!found) {
      if (!last) return win::ERROR_PATH_NOT_FOUND;
      out.parentHost = cur;
      out.leafHostName = hostNames[i];
      out.host = cur + "/" + hostNames[i];
      return win::ERROR_SUCCESS;
    }
    if (S_ISLNK(est.st_mode)) {
      sawLink = true;
      char* real = ::realpath(candidate.c_str(), nullptr);
      if (!real) {
        int err = errno;
        if (err == ELOOP) return win::ERROR_CANT_RESOLVE_FILENAME;
        return win::ERROR_ACCESS_DENIED;  // dangling: its target cannot be checked
      }
      std::string target = real;
      free(real);
      if (!IsBelow(target, volumesFolder)) return win::ERROR_ACCESS_DENIED;
      if (::stat(target.c_str(), &est) != 0) return win::ERROR_ACCESS_DENIED;
      // The entry keeps its own name in its folder; the walk goes on in the
      // link's target.
      out.parentHost = cur;
      out.leafHostName = name;
      cur = target;
    } else {
      out.parentHost = cur;
      out.leafHostName = name;
      cur = candidate;
    }
    st = est;
    if (!last && !S_ISDIR(st.st_mode)) return win::ERROR_PATH_NOT_FOUND;
  }
  if (comps.empty()) out.isRoot = true;
  if (out.dos.trailingSeparator && !comps.empty() && !S_ISDIR(st.st_mode)) return win::ERROR_INVALID_NAME;
  out.exists = true;
  out.st = st;
  out.host = cur;
  return win::ERROR_SUCCESS;
}
}  // namespace

}  // namespace zv::platform
