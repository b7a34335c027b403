// Users, profiles and hives: see hives.h.
#include "platform/registry/hives.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <random>

#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"
#include "platform/files/paths.h"
#include "platform/registry/reg_file.h"
#include "platform/registry/registry_api.h"

namespace zv::platform {
namespace {

using win::DWORD;

struct Abort {
  DWORD error;
};

// hives.gen: one 64-bit counter in the machine root, bumped after every
// load and unload commits. The file calls map it and reload the list of
// loaded hive files only when it moved.
struct HiveCounter {
  std::mutex mutex;
  std::uint64_t* shared = nullptr;
  ~HiveCounter() {
    if (shared) ::munmap(shared, sizeof(std::uint64_t));
  }
};

void BumpHiveGeneration(Machine& m) {
  auto counter = m.Cache<HiveCounter>("hives.gen");
  std::lock_guard lock(counter->mutex);
  if (!counter->shared) {
    std::string path = (m.Root() / "hives.gen").string();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    struct stat st;
    if (::fstat(fd, &st) == 0 && (st.st_size >= static_cast<off_t>(sizeof(std::uint64_t)) ||
                                  ::ftruncate(fd, sizeof(std::uint64_t)) == 0)) {
      void* p = ::mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (p != MAP_FAILED) counter->shared = static_cast<std::uint64_t*>(p);
    }
    ::close(fd);
  }
  if (counter->shared) std::atomic_ref<std::uint64_t>(*counter->shared).fetch_add(1, std::memory_order_acq_rel);
}

bool OldProfileLayout(Machine& m) { return ShapeOf(m).major < 6; }

std::wstring ProfilesRoot(Machine& m) {
  return OldProfileLayout(m) ? L"C:\\Documents and Settings" : L"C:\\Users";
}

std::wstring ClassesFolder(Machine& m, const UserInfo& user) {
  return user.profile + (OldProfileLayout(m) ? L"\\Local Settings\\Application Data\\Microsoft\\Windows"
                                             : L"\\AppData\\Local\\Microsoft\\Windows");
}

std::string Dword(DWORD v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

// The binary form of a SID (revision 1, authority 5).
std::string SidBytes(const std::wstring& sid) {
  std::vector<DWORD> parts;
  std::wstring_view rest(sid);
  rest.remove_prefix(std::min<std::size_t>(6, rest.size()));  // "S-1-5-"
  while (!rest.empty()) {
    std::size_t cut = rest.find(L'-');
    parts.push_back(static_cast<DWORD>(std::wcstoul(std::wstring(rest.substr(0, cut)).c_str(), nullptr, 10)));
    if (cut == std::wstring_view::npos) break;
    rest.remove_prefix(cut + 1);
  }
  std::string out = {1, static_cast<char>(parts.size()), 0, 0, 0, 0, 0, 5};
  for (DWORD p : parts) out += Dword(p);
  return out;
}

std::string MachineSid(sqlite3* db) {
  Statement q(db, "SELECT value FROM settings WHERE key = 'machine.sid';");
  if (q.Step()) return q.Text(0);
  std::random_device random;
  std::uniform_int_distribution<std::uint32_t> part(100000000u, 4000000000u);
  std::string sid = "S-1-5-21-" + std::to_string(part(random)) + "-" + std::to_string(part(random)) + "-" +
                    std::to_string(part(random));
  Statement(db, "INSERT INTO settings (key, value) VALUES ('machine.sid', ?);").Bind(1, sid).Run();
  return sid;
}

std::string EmptyHive(const std::wstring& mount, bool classes) {
  std::vector<RegFileKey> keys = {{L"HKEY_USERS\\" + mount, false, {}}};
  if (!classes) {
    keys.push_back({L"HKEY_USERS\\" + mount + L"\\Environment", false, {}});
    keys.push_back({L"HKEY_USERS\\" + mount + L"\\Software", false, {}});
    keys.push_back({L"HKEY_USERS\\" + mount + L"\\Software\\Microsoft", false, {}});
    keys.push_back({L"HKEY_USERS\\" + mount + L"\\Software\\Microsoft\\Windows", false, {}});
    keys.push_back({L"HKEY_USERS\\" + mount + L"\\Software\\Microsoft\\Windows\\CurrentVersion", false, {}});
  }
  std::string bytes;
  WriteRegFile(keys, bytes);
  return bytes;
}

// Writes a new file through the file calls, only when none is there.
DWORD CreateFileOnce(const std::wstring& dos, const std::string& bytes) {
  FileApi& files = Files::Get();
  win::HANDLE h = files.CreateFileW(dos.c_str(), win::GENERIC_WRITE, 0, nullptr, win::CREATE_NEW, 0, nullptr);
  if (h == win::INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    return e == win::ERROR_FILE_EXISTS ? win::ERROR_SUCCESS : e;
  }
  DWORD written = 0;
  bool ok = files.WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  DWORD e = ok ? win::ERROR_SUCCESS : GetLastError();
  CloseHandle(h);
  return e;
}

DWORD MakeFolder(const std::wstring& dos) {
  int e = Files::Get().SHCreateDirectoryExW(nullptr, dos.c_str(), nullptr);
  return e == static_cast<int>(win::ERROR_ALREADY_EXISTS) ? win::ERROR_SUCCESS : static_cast<DWORD>(e);
}

// Replaces the host file in one step, so a reader sees the old or the new hive.
bool WriteHostFile(const std::string& host, const std::string& bytes) {
  std::string temp = host + ".zvsave";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  bool ok = done == bytes.size() && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok || ::rename(temp.c_str(), host.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

// A hive file's keys relative to its first key (the hive's root, whatever
// it was mounted as when written).
DWORD ReadHive(const std::string& host, std::vector<std::pair<std::vector<std::wstring>, RegFileKey>>& out) {
  out.clear();
  std::ifstream in(host, std::ios::binary);
  if (!in) return win::ERROR_SUCCESS;  // no file yet: an empty hive
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  std::vector<RegFileKey> keys;
  if (ParseRegFile(bytes, keys, nullptr) || keys.empty()) return win::ERROR_BADDB;
  RegRoot root;
  std::vector<std::wstring> base;
  if (ParseRootedPath(keys[0].path, root, base) || base.empty()) return win::ERROR_BADDB;
  for (RegFileKey& k : keys) {
    std::vector<std::wstring> names;
    if (k.remove || ParseRootedPath(k.path, root, names) || names.size() < base.size()) return win::ERROR_BADDB;
    for (std::size_t i = 0; i < base.size(); ++i) {
      if (!text::AsciiIEquals(names[i], base[i])) return win::ERROR_BADDB;
    }
    names.erase(names.begin(), names.begin() + static_cast<long>(base.size()));
    for (const RegFileValue& v : k.values) {
      if (v.remove) return win::ERROR_BADDB;
    }
    out.emplace_back(std::move(names), std::move(k));
  }
  return win::ERROR_SUCCESS;
}

// Serialises the hive mounted at `mount` and writes its file; inside the
// caller's write transaction, so a failure rolls the caller back.
void SaveHive(sqlite3* db, KeyId mount) {
  Statement q(db, "SELECT host FROM reg_hives WHERE key = ?;");
  if (!q.Bind(1, mount).Step()) throw Abort{win::ERROR_NOT_FOUND};
  std::string host = q.Text(0);
  std::vector<RegFileKey> keys;
  ExportSubtree(db, mount, L"HKEY_USERS\\" + regdb::NameOf(db, mount), keys);
  std::string bytes;
  if (DWORD e = WriteRegFile(keys, bytes)) throw Abort{e};
  if (!WriteHostFile(host, bytes)) throw Abort{win::ERROR_CANTWRITE};
}

UserInfo UserFromRow(Statement& q) {
  return UserInfo{text::FromUtf8(q.Text(0)), text::FromUtf8(q.Text(1)), text::FromUtf8(q.Text(2)), q.Int(3) != 0};
}

constexpr const char* kUserColumns =
    "SELECT name, sid, profile, EXISTS (SELECT 1 FROM reg_hives h WHERE h.sid = u.sid) FROM reg_users u";

}  // namespace

std::wstring NtUserPath(Machine&, const UserInfo& user) { return user.profile + L"\\ntuser.dat"; }

std::wstring UsrClassPath(Machine& machine, const UserInfo& user) {
  return ClassesFolder(machine, user) + L"\\UsrClass.dat";
}

DWORD AddUser(Machine& machine, std::wstring_view name, UserInfo* out) {
  try {
    regdb::EnsureRegistry(machine);
    if (name.empty() || CheckComponent(name) || name.find_first_of(L"\\/") != std::wstring_view::npos) {
      return win::ERROR_INVALID_NAME;
    }
    UserInfo user;
    if (FindUser(machine, name, user) == win::ERROR_SUCCESS) return win::ERROR_ALREADY_EXISTS;
    user.name = name;
    user.profile = ProfilesRoot(machine) + L"\\" + user.name;
    // The files first: a user whose profile cannot be made is not added.
    if (DWORD e = MakeFolder(ClassesFolder(machine, user))) return e;
    DWORD result = win::ERROR_SUCCESS;
    machine.Write([&](sqlite3* db) {
      Statement known(db, "SELECT 1 FROM reg_users WHERE name = ?;");
      if (known.Bind(1, text::ToUtf8(user.name)).Step()) {
        result = win::ERROR_ALREADY_EXISTS;
        return;
      }
      Statement next(db, "SELECT MAX(1000, IFNULL(MAX(rid), 0)) + 1 FROM reg_users;");
      next.Step();
      std::int64_t rid = next.Int(0);
      user.sid = text::FromUtf8(MachineSid(db) + "-" + std::to_string(rid));
      Statement(db, "INSERT INTO reg_users (sid, name, profile, rid) VALUES (?, ?, ?, ?);")
          .Bind(1, text::ToUtf8(user.sid))
          .Bind(2, text::ToUtf8(user.name))
          .Bind(3, text::ToUtf8(user.profile))
          .Bind(4, rid)
          .Run();
      KeyId key = regdb::Walk(db, regdb::RootKey(db, RegRoot::Machine),
                              {L"SOFTWARE", L"Microsoft", L"Windows NT", L"CurrentVersion", L"ProfileList"});
      if (!key) throw Abort{win::ERROR_BADDB};
      key = regdb::CreateChild(db, key, user.sid, nullptr);
      regdb::SetValue(db, key, L"ProfileImagePath", win::REG_EXPAND_SZ, text::ToUtf16Le(user.profile + L'\0'));
      regdb::SetValue(db, key, L"Sid", win::REG_BINARY, SidBytes(user.sid));
      regdb::SetValue(db, key, L"Flags", win::REG_DWORD, Dword(0));
      regdb::SetValue(db, key, L"State", win::REG_DWORD, Dword(0));
    });
    if (result) return result;
    if (DWORD e = CreateFileOnce(NtUserPath(machine, user), EmptyHive(user.sid, false))) return e;
    if (DWORD e = CreateFileOnce(UsrClassPath(machine, user), EmptyHive(user.sid + L"_Classes", true))) return e;
    if (out) *out = user;
    return win::ERROR_SUCCESS;
  } catch (const Abort& a) {
    return a.error;
  } catch (const std::exception&) {
    return win::ERROR_NOT_READY;
  }
}

std::vector<UserInfo> ListUsers(Machine& machine) {
  std::vector<UserInfo> users;
  regdb::EnsureRegistry(machine);
  machine.Read([&](sqlite3* db) {
    Statement q(db, (std::string(kUserColumns) + " ORDER BY rid;").c_str());
    while (q.Step()) users.push_back(UserFromRow(q));
  });
  return users;
}

DWORD FindUser(Machine& machine, std::wstring_view name, UserInfo& out) {
  regdb::EnsureRegistry(machine);
  bool found = false;
  machine.Read([&](sqlite3* db) {
    Statement q(db, (std::string(kUserColumns) + " WHERE name = ?;").c_str());
    if ((found = q.Bind(1, text::ToUtf8(name)).Step())) out = UserFromRow(q);
  });
  return found ? win::ERROR_SUCCESS : win::ERROR_FILE_NOT_FOUND;
}

DWORD Logon(Machine& machine, std::wstring_view name) {
  try {
    UserInfo user;
    if (DWORD e = FindUser(machine, name, user)) return e;
    if (user.loggedOn) return win::ERROR_ALREADY_EXISTS;
    struct Hive {
      std::wstring mount, dos;
      std::string host;
      std::vector<std::pair<std::vector<std::wstring>, RegFileKey>> keys;
    };
    Hive hives[2] = {{user.sid, NtUserPath(machine, user), {}, {}},
                     {user.sid + L"_Classes", UsrClassPath(machine, user), {}, {}}};
    if (DWORD e = MakeFolder(ClassesFolder(machine, user))) return e;
    for (Hive& h : hives) {
      ResolvedPath r;
      if (DWORD e = ResolveDosPath(machine, h.dos, r)) return e;
      h.host = r.host;
      if (DWORD e = ReadHive(h.host, h.keys)) return e;
    }
    DWORD result = win::ERROR_SUCCESS;
    machine.Write([&](sqlite3* db) {
      Statement loaded(db, "SELECT 1 FROM reg_hives WHERE sid = ?;");
      if (loaded.Bind(1, text::ToUtf8(user.sid)).Step()) {
        result = win::ERROR_ALREADY_EXISTS;
        return;
      }
      KeyId users = regdb::RootKey(db, RegRoot::Users);
      for (Hive& h : hives) {
        // A key left under the mount name by hand is replaced by the hive.
        if (KeyId stale = regdb::Child(db, users, h.mount)) regdb::DeleteTree(db, stale);
        KeyId mount = regdb::CreateChild(db, users, h.mount, nullptr);
        for (auto& [names, k] : h.keys) {
          KeyId key = mount;
          for (const std::wstring& n : names) key = regdb::CreateChild(db, key, n, nullptr);
          for (const RegFileValue& v : k.values) regdb::SetValue(db, key, v.name, v.type, v.data);
        }
        Statement(db, "INSERT INTO reg_hives (key, mount, host, dos, sid) VALUES (?, ?, ?, ?, ?);")
            .Bind(1, mount)
            .BindBlob(2, text::ToUtf16Le(h.mount))
            .Bind(3, h.host)
            .Bind(4, text::ToUtf8(h.dos))
            .Bind(5, text::ToUtf8(user.sid))
            .Run();
      }
    });
    if (!result) BumpHiveGeneration(machine);
    return result;
  } catch (const Abort& a) {
    return a.error;
  } catch (const std::exception&) {
    return win::ERROR_NOT_READY;
  }
}

DWORD Logoff(Machine& machine, std::wstring_view name) {
  try {
    UserInfo user;
    if (DWORD e = FindUser(machine, name, user)) return e;
    DWORD result = win::ERROR_SUCCESS;
    machine.Write([&](sqlite3* db) {
      std::vector<KeyId> mounts;
      Statement q(db, "SELECT key FROM reg_hives WHERE sid = ?;");
      q.Bind(1, text::ToUtf8(user.sid));
      while (q.Step()) mounts.push_back(q.Int(0));
      if (mounts.empty()) {
        result = win::ERROR_NOT_FOUND;
        return;
      }
      for (KeyId mount : mounts) {
        SaveHive(db, mount);
        regdb::DeleteTree(db, mount);
        Statement(db, "DELETE FROM reg_hives WHERE key = ?;").Bind(1, mount).Run();
      }
    });
    if (!result) BumpHiveGeneration(machine);
    return result;
  } catch (const Abort& a) {
    return a.error;
  } catch (const std::exception&) {
    return win::ERROR_NOT_READY;
  }
}

DWORD FlushHive(Machine& machine, KeyId mount) {
  try {
    machine.Write([&](sqlite3* db) { SaveHive(db, mount); });
    return win::ERROR_SUCCESS;
  } catch (const Abort& a) {
    // Unloaded meanwhile: its logoff wrote the file.
    return a.error == win::ERROR_NOT_FOUND ? win::ERROR_SUCCESS : a.error;
  } catch (const std::exception&) {
    return win::ERROR_NOT_READY;
  }
}

}  // namespace zv::platform
