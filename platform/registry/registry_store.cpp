// The registry in machine.db: see registry_store.h.
#include "platform/registry/registry_store.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/base/text.h"
#include "platform/registry/registry_api.h"

namespace zv::platform {
namespace {

// Names are kept as UTF-16LE bytes (so any unit survives, unpaired
// surrogates included) beside their folded form in UTF-16BE, whose byte
// order is the order of the units: the index on (parent, fold) then finds a
// name and lists subkeys in Windows' order at once.
const SchemaStep kRegistrySchema = {
    "registry",
    "CREATE TABLE reg_keys (id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
    " name BLOB NOT NULL, fold BLOB NOT NULL, UNIQUE (parent, fold));"
    "CREATE TABLE reg_values (id INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL,"
    " name BLOB NOT NULL, fold BLOB NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,"
    " UNIQUE (key, fold));"
    // Loaded hives: the mount key under HKU, the hive file (canonical host
    // path, compared by the file calls) and its DOS path.
    "CREATE TABLE reg_hives (key INTEGER PRIMARY KEY, mount BLOB NOT NULL, host TEXT NOT NULL,"
    " dos TEXT NOT NULL, sid TEXT NOT NULL);"
    "CREATE TABLE reg_users (sid TEXT PRIMARY KEY, name TEXT NOT NULL UNIQUE COLLATE NOCASE,"
    " profile TEXT NOT NULL, rid INTEGER NOT NULL);"};

struct RegistryCache {
  std::atomic<bool> ready{false};
};

std::string Le(std::wstring_view s) { return text::ToUtf16Le(s); }

std::string FoldBytes(std::wstring_view name) {
  std::string out;
  out.reserve(name.size() * 2);
  for (wchar_t c : name) {
    auto u = static_cast<std::uint16_t>(text::AsciiUpper(c));
    out.push_back(static_cast<char>(u >> 8));
    out.push_back(static_cast<char>(u & 0xFF));
  }
  return out;
}

std::wstring FromLe(const std::string& bytes) { return text::FromUtf16Le(bytes.data(), bytes.size()); }

const wchar_t* const kRootNames[] = {L"MACHINE", L"USER"};

// Keys shared between the two views of HKLM\SOFTWARE (below SOFTWARE), as
// Windows 7 and later keep them. SOFTWARE\Classes is shared too, except the
// subkeys of kRedirectedClasses.
const wchar_t* const kSharedKeys[] = {
    L"Clients",
    L"Microsoft\\COM3",
    L"Microsoft\\Cryptography\\Calais\\Current",
    L"Microsoft\\Cryptography\\Calais\\Readers",
    L"Microsoft\\Cryptography\\Services",
    L"Microsoft\\CTF\\SystemShared",
    L"Microsoft\\CTF\\TIP",
    L"Microsoft\\DFS",
    L"Microsoft\\Driver Signing",
    L"Microsoft\\EnterpriseCertificates",
    L"Microsoft\\EventSystem",
    L"Microsoft\\MSMQ",
    L"Microsoft\\Non-Driver Signing",
    L"Microsoft\\Notepad\\DefaultFonts",
    L"Microsoft\\OLE",
    L"Microsoft\\RAS",
    L"Microsoft\\RPC",
    L"Microsoft\\Shared Tools\\MSInfo",
    L"Microsoft\\SystemCertificates",
    L"Microsoft\\TermServLicensing",
    L"Microsoft\\Transaction Server",
    L"Microsoft\\Windows\\CurrentVersion\\App Paths",
    L"Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cursors\\Schemes",
    L"Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers",
    L"Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons",
    L"Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap",
    L"Microsoft\\Windows\\CurrentVersion\\Group Policy",
    L"Microsoft\\Windows\\CurrentVersion\\Policies",
    L"Microsoft\\Windows\\CurrentVersion\\PreviewHandlers",
    L"Microsoft\\Windows\\CurrentVersion\\Setup",
    L"Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations",
    L"Microsoft\\Windows NT\\CurrentVersion\\Console",
    L"Microsoft\\Windows NT\\CurrentVersion\\FontDpi",
    L"Microsoft\\Windows NT\\CurrentVersion\\FontLink",
    L"Microsoft\\Windows NT\\CurrentVersion\\FontMapper",
    L"Microsoft\\Windows NT\\CurrentVersion\\Fonts",
    L"Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes",
    L"Microsoft\\Windows NT\\CurrentVersion\\Gre_Initialize",
    L"Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options",
    L"Microsoft\\Windows NT\\CurrentVersion\\LanguagePack",
    L"Microsoft\\Windows NT\\CurrentVersion\\NetworkCards",
    L"Microsoft\\Windows NT\\CurrentVersion\\Perflib",
    L"Microsoft\\Windows NT\\CurrentVersion\\Ports",
    L"Microsoft\\Windows NT\\CurrentVersion\\Print",
    L"Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
    L"Microsoft\\Windows NT\\CurrentVersion\\Time Zones",
    L"Policies",
    L"RegisteredApplications",
};

// Subkeys of SOFTWARE\Classes that have a 32-bit copy of their own.
const wchar_t* const kRedirectedClasses[] = {L"CLSID", L"DirectShow", L"Interface", L"Media Type",
                                              L"MediaFoundation"};

bool IsPrefix(const std::vector<std::wstring>& path, std::size_t from, const std::vector<std::wstring>& prefix) {
  if (path.size() - from < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (!text::AsciiIEquals(path[from + i], prefix[i])) return false;
  }
  return true;
}

std::string Dword(win::DWORD v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

std::string Sz(std::wstring_view s) { return Le(std::wstring(s) + L'\0'); }

struct Seed {
  RegRoot root;
  const wchar_t* path;
  const wchar_t* name;  // null: the key only
  win::DWORD type;
  std::string data;
};

std::wstring ProductName(const MachineShape& s) {
  if (s.major >= 10) return L"Windows 10 Pro";
  if (s.major == 6 && s.minor == 3) return L"Windows 8.1 Pro";
  if (s.major == 6 && s.minor == 2) return L"Windows 8 Pro";
  if (s.major == 6 && s.minor == 1) return L"Windows 7 Professional";
  if (s.major == 6) return L"Windows Vista Business";
  return L"Windows XP Professional";
}

std::vector<Seed> SeedsFor(const MachineShape& s) {
  using win::REG_DWORD;
  using win::REG_EXPAND_SZ;
  using win::REG_SZ;
  const RegRoot M = RegRoot::Machine, U = RegRoot::Users;
  std::wstring version = s.major >= 10 ? L"6.3" : std::to_wstring(s.major) + L"." + std::to_wstring(s.minor);
  std::vector<Seed> seeds = {
      {M, L"SOFTWARE\\Classes", nullptr, 0, {}},
      {M, L"SOFTWARE\\Clients", nullptr, 0, {}},
      {M, L"SOFTWARE\\Policies\\Microsoft", nullptr, 0, {}},
      {M, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", L"ProgramFilesDir", REG_SZ, Sz(L"C:\\Program Files")},
      {M, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", nullptr, 0, {}},
      {M, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce", nullptr, 0, {}},
      {M, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", nullptr, 0, {}},
      {M, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"ProductName", REG_SZ, Sz(ProductName(s))},
      {M, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"CurrentVersion", REG_SZ, Sz(version)},
      {M, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"CurrentBuild", REG_SZ, Sz(std::to_wstring(s.build))},
      {M, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"SystemRoot", REG_SZ, Sz(L"C:\\Windows")},
      {M, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows", L"AppInit_DLLs", REG_SZ, Sz(L"")},
      {M, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows", L"LoadAppInit_DLLs", REG_DWORD, Dword(0)},
      {M, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows", L"RequireSignedAppInit_DLLs", REG_DWORD,
       Dword(1)},
      {M, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", L"Shell", REG_SZ, Sz(L"explorer.exe")},
      {M, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", L"ProfilesDirectory", REG_EXPAND_SZ,
       Sz(s.major >= 6 ? L"%SystemDrive%\\Users" : L"%SystemDrive%\\Documents and Settings")},
      {M, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\S-1-5-18", L"ProfileImagePath",
       REG_EXPAND_SZ, Sz(L"%systemroot%\\system32\\config\\systemprofile")},
      {M, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\S-1-5-19", L"ProfileImagePath",
       REG_EXPAND_SZ, Sz(L"%systemroot%\\ServiceProfiles\\LocalService")},
      {M, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\S-1-5-20", L"ProfileImagePath",
       REG_EXPAND_SZ, Sz(L"%systemroot%\\ServiceProfiles\\NetworkService")},
      {M, L"SYSTEM\\CurrentControlSet\\Control", nullptr, 0, {}},
      {M, L"SYSTEM\\CurrentControlSet\\Services", nullptr, 0, {}},
      {U, L".DEFAULT\\Software\\Microsoft\\Windows\\CurrentVersion", nullptr, 0, {}},
      {U, L"S-1-5-18\\Software\\Microsoft\\Windows\\CurrentVersion", nullptr, 0, {}},
      {U, L"S-1-5-19\\Software\\Microsoft\\Windows\\CurrentVersion", nullptr, 0, {}},
      {U, L"S-1-5-20\\Software\\Microsoft\\Windows\\CurrentVersion", nullptr, 0, {}},
  };
  if (s.major >= 10) {
    seeds.push_back({M, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"CurrentMajorVersionNumber", REG_DWORD,
                     Dword(static_cast<win::DWORD>(s.major))});
    seeds.push_back({M, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"CurrentMinorVersionNumber", REG_DWORD,
                     Dword(static_cast<win::DWORD>(s.minor))});
  }
  if (s.x64) {
    seeds.push_back({M, L"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion", L"ProgramFilesDir", REG_SZ,
                     Sz(L"C:\\Program Files (x86)")});
    seeds.push_back({M, L"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Run", nullptr, 0, {}});
    seeds.push_back({M, L"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\RunOnce", nullptr, 0, {}});
    seeds.push_back({M, L"SOFTWARE\\WOW6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Windows", L"AppInit_DLLs",
                     REG_SZ, Sz(L"")});
    seeds.push_back({M, L"SOFTWARE\\WOW6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Windows",
                     L"LoadAppInit_DLLs", REG_DWORD, Dword(0)});
    seeds.push_back({M, L"SOFTWARE\\WOW6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", L"Shell", REG_SZ,
                     Sz(L"explorer.exe")});
    seeds.push_back({M, L"SOFTWARE\\Classes\\WOW6432Node\\CLSID", nullptr, 0, {}});
  }
  return seeds;
}

void SeedRegistry(sqlite3* db, const MachineShape& shape) {
  for (const wchar_t* root : kRootNames) {
    Statement(db, "INSERT INTO reg_keys (parent, name, fold) VALUES (0, ?, ?);")
        .BindBlob(1, Le(root))
        .BindBlob(2, FoldBytes(root))
        .Run();
  }
  for (const Seed& seed : SeedsFor(shape)) {
    std::vector<std::wstring> names;
    SplitKeyPath(seed.path, names);
    KeyId key = regdb::RootKey(db, seed.root);
    for (const std::wstring& n : names) key = regdb::CreateChild(db, key, n, nullptr);
    if (seed.name) regdb::SetValue(db, key, seed.name, seed.type, seed.data);
  }
}

}  // namespace

std::wstring FoldName(std::wstring_view name) { return text::AsciiUpperCopy(name); }

MachineShape ShapeOf(Machine& machine) {
  MachineShape s;
  if (auto arch = machine.Setting("machine.architecture")) {
    std::wstring a = text::AsciiLowerCopy(text::FromUtf8(*arch));
    s.x64 = !(a == L"x86" || a == L"i386" || a == L"32");
  }
  if (auto v = machine.Setting("machine.windows_version")) {
    int major = 0, minor = 0, build = 0;
    int n = std::sscanf(v->c_str(), "%d.%d.%d", &major, &minor, &build);
    if (n >= 1 && major > 0) {
      s.major = major;
      s.minor = n >= 2 ? minor : 0;
      s.build = n >= 3 ? build : 0;
    }
  }
  return s;
}

win::DWORD SplitKeyPath(std::wstring_view path, std::vector<std::wstring>& out) {
  out.clear();
  if (path.empty()) return win::ERROR_SUCCESS;
  if (path.front() == L'\\') return win::ERROR_BAD_PATHNAME;
  if (path.back() == L'\\') path.remove_suffix(1);
  std::size_t start = 0;
  for (;;) {
    std::size_t cut = path.find(L'\\', start);
    std::wstring_view part = path.substr(start, cut == std::wstring_view::npos ? std::wstring_view::npos : cut - start);
    if (part.empty()) return win::ERROR_BAD_PATHNAME;
    if (part.size() > kMaxKeyName) return win::ERROR_INVALID_PARAMETER;
    out.emplace_back(part);
    if (cut == std::wstring_view::npos) break;
    start = cut + 1;
  }
  return win::ERROR_SUCCESS;
}

std::vector<std::wstring> RedirectTo32(const std::vector<std::wstring>& logical) {
  if (logical.empty() || !text::AsciiIEquals(logical[0], L"SOFTWARE")) return logical;
  if (logical.size() >= 2 && text::AsciiIEquals(logical[1], L"WOW6432Node")) return logical;
  std::vector<std::wstring> out = logical;
  if (logical.size() >= 2 && text::AsciiIEquals(logical[1], L"Classes")) {
    if (logical.size() >= 3) {
      for (const wchar_t* c : kRedirectedClasses) {
        if (text::AsciiIEquals(logical[2], c)) {
          out.insert(out.begin() + 2, L"WOW6432Node");
          return out;
        }
      }
    }
    return out;
  }
  for (const wchar_t* shared : kSharedKeys) {
    std::vector<std::wstring> prefix;
    SplitKeyPath(shared, prefix);
    if (IsPrefix(logical, 1, prefix)) return out;
  }
  out.insert(out.begin() + 1, L"WOW6432Node");
  return out;
}

namespace regdb {

void EnsureRegistry(Machine& machine) {
  auto cache = machine.Cache<RegistryCache>("registry");
  if (cache->ready.load(std::memory_order_acquire)) return;
  machine.EnsureSchema(kRegistrySchema);
  MachineShape shape = ShapeOf(machine);
  machine.Write([&](sqlite3* db) {
    Statement q(db, "SELECT 1 FROM reg_keys WHERE parent = 0 LIMIT 1;");
    if (!q.Step()) SeedRegistry(db, shape);
  });
  cache->ready.store(true, std::memory_order_release);
}

KeyId RootKey(sqlite3* db, RegRoot root) {
  return Child(db, 0, kRootNames[root == RegRoot::Machine ? 0 : 1]);
}

bool KeyExists(sqlite3* db, KeyId key) {
  Statement q(db, "SELECT 1 FROM reg_keys WHERE id = ?;");
  return q.Bind(1, key).Step();
}

KeyId Child(sqlite3* db, KeyId parent, std::wstring_view name) {
  Statement q(db, "SELECT id FROM reg_keys WHERE parent = ? AND fold = ?;");
  return q.Bind(1, parent).BindBlob(2, FoldBytes(name)).Step() ? q.Int(0) : 0;
}

KeyId CreateChild(sqlite3* db, KeyId parent, std::wstring_view name, bool* created) {
  if (KeyId id = Child(db, parent, name)) {
    if (created) *created = false;
    return id;
  }
  Statement(db, "INSERT INTO reg_keys (parent, name, fold) VALUES (?, ?, ?);")
      .Bind(1, parent)
      .BindBlob(2, Le(name))
      .BindBlob(3, FoldBytes(name))
      .Run();
  if (created) *created = true;
  return sqlite3_last_insert_rowid(db);
}

KeyId Walk(sqlite3* db, KeyId from, const std::vector<std::wstring>& names) {
  KeyId key = from;
  for (const std::wstring& n : names) {
    if (!(key = Child(db, key, n))) return 0;
  }
  return key;
}

KeyId ParentOf(sqlite3* db, KeyId key) {
  Statement q(db, "SELECT parent FROM reg_keys WHERE id = ?;");
  return q.Bind(1, key).Step() ? q.Int(0) : 0;
}

std::wstring NameOf(sqlite3* db, KeyId key) {
  Statement q(db, "SELECT name FROM reg_keys WHERE id = ?;");
  return q.Bind(1, key).Step() ? FromLe(q.Text(0)) : std::wstring();
}

std::optional<RegValue> GetValue(sqlite3* db, KeyId key, std::wstring_view name) {
  Statement q(db, "SELECT name, type, data FROM reg_values WHERE key = ? AND fold = ?;");
  if (!q.Bind(1, key).BindBlob(2, FoldBytes(name)).Step()) return std::nullopt;
  return RegValue{FromLe(q.Text(0)), static_cast<win::DWORD>(q.Int(1)), q.Text(2)};
}

void SetValue(sqlite3* db, KeyId key, std::wstring_view name, win::DWORD type, const std::string& data) {
  // Setting a value again keeps its row (its place in the enumeration) and
  // the case of its first name, as Windows does.
  Statement(db,
            "INSERT INTO reg_values (key, name, fold, type, data) VALUES (?, ?, ?, ?, ?)"
            " ON CONFLICT (key, fold) DO UPDATE SET type = excluded.type, data = excluded.data;")
      .Bind(1, key)
      .BindBlob(2, Le(name))
      .BindBlob(3, FoldBytes(name))
      .Bind(4, type)
      .BindBlob(5, data)
      .Run();
}

bool DeleteValue(sqlite3* db, KeyId key, std::wstring_view name) {
  return Statement(db, "DELETE FROM reg_values WHERE key = ? AND fold = ?;")
             .Bind(1, key)
             .BindBlob(2, FoldBytes(name))
             .Run() > 0;
}

std::optional<std::wstring> SubkeyAt(sqlite3* db, KeyId key, std::int64_t index) {
  Statement q(db, "SELECT name FROM reg_keys WHERE parent = ? ORDER BY fold LIMIT 1 OFFSET ?;");
  if (!q.Bind(1, key).Bind(2, index).Step()) return std::nullopt;
  return FromLe(q.Text(0));
}

std::optional<RegValue> ValueAt(sqlite3* db, KeyId key, std::int64_t index) {
  Statement q(db, "SELECT name, type, data FROM reg_values WHERE key = ? ORDER BY id LIMIT 1 OFFSET ?;");
  if (!q.Bind(1, key).Bind(2, index).Step()) return std::nullopt;
  return RegValue{FromLe(q.Text(0)), static_cast<win::DWORD>(q.Int(1)), q.Text(2)};
}

std::vector<std::wstring> Subkeys(sqlite3* db, KeyId key) {
  std::vector<std::wstring> out;
  Statement q(db, "SELECT name FROM reg_keys WHERE parent = ? ORDER BY fold;");
  q.Bind(1, key);
  while (q.Step()) out.push_back(FromLe(q.Text(0)));
  return out;
}

std::vector<RegValue> Values(sqlite3* db, KeyId key) {
  std::vector<RegValue> out;
  Statement q(db, "SELECT name, type, data FROM reg_values WHERE key = ? ORDER BY id;");
  q.Bind(1, key);
  while (q.Step()) out.push_back({FromLe(q.Text(0)), static_cast<win::DWORD>(q.Int(1)), q.Text(2)});
  return out;
}

bool HasSubkeys(sqlite3* db, KeyId key) {
  Statement q(db, "SELECT 1 FROM reg_keys WHERE parent = ? LIMIT 1;");
  return q.Bind(1, key).Step();
}

void DeleteTree(sqlite3* db, KeyId key) {
  Statement(db,
            "WITH RECURSIVE t(id) AS (SELECT ? UNION ALL SELECT k.id FROM reg_keys k JOIN t ON k.parent = t.id)"
            " DELETE FROM reg_values WHERE key IN (SELECT id FROM t);")
      .Bind(1, key)
      .Run();
  Statement(db,
            "WITH RECURSIVE t(id) AS (SELECT ? UNION ALL SELECT k.id FROM reg_keys k JOIN t ON k.parent = t.id)"
            " DELETE FROM reg_keys WHERE id IN (SELECT id FROM t);")
      .Bind(1, key)
      .Run();
}

KeyId HiveMountOf(sqlite3* db, KeyId key) {
  KeyId users = RootKey(db, RegRoot::Users);
  KeyId k = key;
  while (k) {
    KeyId parent = ParentOf(db, k);
    if (parent == users) {
      Statement q(db, "SELECT 1 FROM reg_hives WHERE key = ?;");
      return q.Bind(1, k).Step() ? k : 0;
    }
    k = parent;
  }
  return 0;
}

bool IsHiveRoot(sqlite3* db, KeyId key) {
  KeyId parent = ParentOf(db, key);
  return parent == 0 || ParentOf(db, parent) == 0;
}

}  // namespace regdb
}  // namespace zv::platform
