// The volume table: see volumes.h.
#include "platform/files/volumes.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>

#include "platform/base/text.h"

namespace zv::platform {
namespace fs = std::filesystem;
namespace {

// Every process maps the machine's volumes.gen: one 64-bit counter that each
// change of the volume table bumps after its commit. A reader compares it
// with the value its letter map was loaded at (no system call), and reloads
// at least once a second anyway, so a change made behind our back (a
// crashed writer, the database edited by hand) is seen within that time.
struct VolumeCache {
  std::mutex mutex;
  bool loaded = false;
  std::uint64_t generation = 0;
  std::chrono::steady_clock::time_point loadedAt;
  std::array<std::optional<VolumeRoot>, 26> byLetter;
  std::string volumesFolder;
  std::uint64_t* shared = nullptr;  // mapped counter, or null when it cannot be mapped

  ~VolumeCache() {
    if (shared) ::munmap(shared, sizeof(std::uint64_t));
  }
};

constexpr auto kReloadEvery = std::chrono::seconds(1);

std::uint64_t* MapGeneration(Machine& m) {
  std::string path = (m.Root() / "volumes.gen").string();
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

std::shared_ptr<VolumeCache> CacheOf(Machine& m) {
  auto cache = m.Cache<VolumeCache>("volumes");
  std::lock_guard lock(cache->mutex);
  if (!cache->shared) cache->shared = MapGeneration(m);
  return cache;
}

std::uint64_t LoadGeneration(VolumeCache& c) {
  return c.shared ? std::atomic_ref<std::uint64_t>(*c.shared).load(std::memory_order_acquire) : 0;
}

void BumpGeneration(Machine& m) {
  auto cache = CacheOf(m);
  if (cache->shared) std::atomic_ref<std::uint64_t>(*cache->shared).fetch_add(1, std::memory_order_acq_rel);
  std::lock_guard lock(cache->mutex);
  cache->loaded = false;
}

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
bool IsAlnum(wchar_t c) {
  wchar_t u = text::AsciiUpper(c);
  return IsDigit(c) || (u >= L'A' && u <= L'Z');
}

// Consumes a case-insensitive literal at the front of s.
bool Eat(std::wstring_view& s, std::wstring_view literal) {
  if (s.size() < literal.size() || !text::AsciiIEquals(s.substr(0, literal.size()), literal)) return false;
  s.remove_prefix(literal.size());
  return true;
}

bool EatDigit(std::wstring_view& s) {
  if (s.empty() || !IsDigit(s[0])) return false;
  s.remove_prefix(1);
  return true;
}

std::string FolderNameFor(std::wstring_view device) {
  std::wstring rest(device.substr(8));  // after "\Device\"
  for (wchar_t& c : rest) {
    if (c == L'\\') c = L'-';
  }
  return text::ToHostName(rest);
}

std::wstring Normalised(std::wstring_view letter) {
  wchar_t l = VolumeTable::ParseLetter(letter);
  return l ? std::wstring{l, L':'} : std::wstring();
}

}  // namespace

VolumeTable::VolumeTable(std::shared_ptr<Machine> machine) : machine_(std::move(machine)) {}

bool VolumeTable::IsValidDeviceName(std::wstring_view s) {
  if (!Eat(s, L"\\Device\\")) return false;
  if (Eat(s, L"HarddiskVolume")) {
    if (!EatDigit(s)) return false;
    if (!s.empty()) EatDigit(s);
    return s.empty();
  }
  if (Eat(s, L"CdRom") || Eat(s, L"Floppy")) return EatDigit(s) && s.empty();
  if (Eat(s, L"VSDisk\\VSDisk")) return EatDigit(s) && s.empty();
  if (Eat(s, L"Harddisk")) {
    return EatDigit(s) && Eat(s, L"\\DP(") && EatDigit(s) && Eat(s, L")") && EatDigit(s) && Eat(s, L"-") &&
           EatDigit(s) && Eat(s, L"+") && s.size() == 1 && IsAlnum(s[0]);
  }
  return false;
}

wchar_t VolumeTable::ParseLetter(std::wstring_view letter) {
  if (letter.size() == 2 && letter[1] != L':') return 0;
  if (letter.size() != 1 && letter.size() != 2) return 0;
  wchar_t u = text::AsciiUpper(letter[0]);
  return (u >= L'A' && u <= L'Z') ? u : 0;
}

std::vector<VolumeInfo> VolumeTable::List() {
  std::vector<VolumeInfo> out;
  machine_->Read([&](sqlite3* db) {
    Statement q(db, "SELECT device, letter, folder FROM volumes ORDER BY letter IS NULL, letter, device;");
    while (q.Step()) {
      out.push_back({text::FromUtf8(q.Text(0)), text::FromUtf8(q.Text(1)), q.Text(2)});
    }
  });
  return out;
}

win::DWORD VolumeTable::Add(std::wstring_view device, std::wstring_view letter) {
  if (!IsValidDeviceName(device)) return win::ERROR_INVALID_PARAMETER;
  std::wstring l = Normalised(letter);
  if (!letter.empty() && l.empty()) return win::ERROR_INVALID_PARAMETER;
  std::string dev = text::ToUtf8(device);
  std::string folder = FolderNameFor(device);
  win::DWORD result = win::ERROR_SUCCESS;
  machine_->Write([&](sqlite3* db) {
    Statement exists(db, "SELECT 1 FROM volumes WHERE device = ? OR folder = ? OR (letter IS NOT NULL AND letter = ?);");
    exists.Bind(1, dev).Bind(2, folder).Bind(3, text::ToUtf8(l));
    if (exists.Step()) {
      result = win::ERROR_ALREADY_EXISTS;
      return;
    }
    Statement ins(db, "INSERT INTO volumes(device, letter, folder) VALUES(?, ?, ?);");
    ins.Bind(1, dev);
    if (l.empty()) {
      ins.BindNull(2);
    } else {
      ins.Bind(2, text::ToUtf8(l));
    }
    ins.Bind(3, folder).Run();
  });
  if (result != win::ERROR_SUCCESS) return result;
  std::error_code ec;
  fs::create_directories(machine_->VolumesFolder() / folder, ec);
  BumpGeneration(*machine_);
  return ec ? win::ERROR_ACCESS_DENIED : win::ERROR_SUCCESS;
}

win::DWORD VolumeTable::Remove(std::wstring_view device) {
  int changed = 0;
  machine_->Write([&](sqlite3* db) {
    Statement q(db, "DELETE FROM volumes WHERE device = ?;");
    changed = q.Bind(1, text::ToUtf8(device)).Run();
  });
  BumpGeneration(*machine_);
  return changed ? win::ERROR_SUCCESS : win::ERROR_FILE_NOT_FOUND;
}

win::DWORD VolumeTable::SetLetter(std::wstring_view device, std::wstring_view letter) {
  std::wstring l = Normalised(letter);
  if (!letter.empty() && l.empty()) return win::ERROR_INVALID_PARAMETER;
  win::DWORD result = win::ERROR_SUCCESS;
  machine_->Write([&](sqlite3* db) {
    std::string dev = text::ToUtf8(device);
    Statement known(db, "SELECT 1 FROM volumes WHERE device = ?;");
    if (!known.Bind(1, dev).Step()) {
      result = win::ERROR_FILE_NOT_FOUND;
      return;
    }
    if (!l.empty()) {
      Statement taken(db, "SELECT 1 FROM volumes WHERE letter = ? AND device <> ?;");
      if (taken.Bind(1, text::ToUtf8(l)).Bind(2, dev).Step()) {
        result = win::ERROR_ALREADY_EXISTS;
        return;
      }
    }
    Statement up(db, "UPDATE volumes SET letter = ? WHERE device = ?;");
    if (l.empty()) {
      up.BindNull(1);
    } else {
      up.Bind(1, text::ToUtf8(l));
    }
    up.Bind(2, dev).Run();
  });
  BumpGeneration(*machine_);
  return result;
}

win::HRESULT VolumeTable::DosNameOf(std::wstring_view device, std::wstring& dos) {
  dos.clear();
  if (device.empty() || device.find(L'\0') != std::wstring_view::npos) return win::E_INVALIDARG;
  if (!IsValidDeviceName(device)) {
    // A name that is not a device path at all is a bad argument; one of a
    // device form we do not map (\Device\Mup, ...) is simply not found.
    return (device.size() > 8 && text::AsciiIEquals(device.substr(0, 8), L"\\Device\\"))
               ? win::HRESULT_FROM_WIN32(win::ERROR_FILE_NOT_FOUND)
               : win::E_INVALIDARG;
  }
  machine_->Read([&](sqlite3* db) {
    Statement q(db, "SELECT letter FROM volumes WHERE device = ? AND letter IS NOT NULL;");
    if (q.Bind(1, text::ToUtf8(device)).Step()) dos = text::FromUtf8(q.Text(0));
  });
  return dos.empty() ? win::HRESULT_FROM_WIN32(win::ERROR_FILE_NOT_FOUND) : win::S_OK;
}

const std::string& VolumeTable::VolumesFolder() {
  auto cache = CacheOf(*machine_);
  std::lock_guard lock(cache->mutex);
  if (cache->volumesFolder.empty()) {
    std::string folder = machine_->VolumesFolder().string();
    char* real = ::realpath(folder.c_str(), nullptr);
    cache->volumesFolder = real ? real : folder;
    free(real);
  }
  return cache->volumesFolder;
}

template <typename F>
bool VolumeTable::WithRootOfLetter(wchar_t letter, F&& use) {
  letter = text::AsciiUpper(letter);
  if (letter < L'A' || letter > L'Z') return false;
  const std::string& volumes = VolumesFolder();
  auto cache = CacheOf(*machine_);
  std::lock_guard lock(cache->mutex);
  std::uint64_t generation = LoadGeneration(*cache);
  auto now = std::chrono::steady_clock::now();
  if (!cache->loaded || generation != cache->generation || now - cache->loadedAt > kReloadEvery) {
    cache->byLetter = {};
    machine_->Read([&](sqlite3* db) {
      Statement q(db, "SELECT letter, folder FROM volumes WHERE letter IS NOT NULL;");
      while (q.Step()) {
        wchar_t l = ParseLetter(text::FromUtf8(q.Text(0)));
        std::string folder = q.Text(1);
        if (!l || folder.empty() || folder.find('/') != std::string::npos || folder == "." || folder == "..") continue;
        cache->byLetter[l - L'A'] = VolumeRoot{l, volumes + "/" + folder, folder};
      }
    });
    cache->loaded = true;
    cache->generation = generation;
    cache->loadedAt = now;
  }
  const auto& root = cache->byLetter[letter - L'A'];
  if (!root) return false;
  use(*root);
  return true;
}

std::optional<VolumeRoot> VolumeTable::RootOfLetter(wchar_t letter) {
  std::optional<VolumeRoot> root;
  WithRootOfLetter(letter, [&](const VolumeRoot& r) { root = r; });
  return root;
}

bool VolumeTable::HostFolderOfLetter(wchar_t letter, std::string& hostFolder) {
  return WithRootOfLetter(letter, [&](const VolumeRoot& r) { hostFolder.assign(r.hostFolder); });
}

}  // namespace zv::platform
