// The registry calls: Win32 results, sizes, access, views, concurrent writers.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/registry/tests/registry_fixture.h"

using namespace zv::platform;
using namespace zv::platform::testing;
namespace win = zv::win;
using win::HKEY_LOCAL_MACHINE;
using win::HKEY;
using win::HKEY_USERS;

namespace {

class RegistryApiTest : public RegistryTest {};

TEST_F(RegistryApiTest, QueryGivesTypeAndExactBytesWithWin32Sizes) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ZvTest");
  // Bytes are kept exactly: an odd-sized "string" without a terminator too.
  const win::BYTE odd[] = {'a', 0, 'b'};
  ASSERT_EQ(Reg().RegSetValueExW(key, L"Odd", 0, win::REG_SZ, odd, 3), 0);
  ASSERT_EQ(SetString(key, L"Name", L"hello"), 0);  // 12 bytes with the terminator

  win::DWORD type = 0, size = 0;
  EXPECT_EQ(Reg().RegQueryValueExW(key, L"Name", nullptr, &type, nullptr, &size), 0);  // size only
  EXPECT_EQ(type, win::REG_SZ);
  EXPECT_EQ(size, 12u);
  win::BYTE buf[64];
  std::memset(buf, 0xCC, sizeof buf);
  size = 11;
  EXPECT_EQ(Reg().RegQueryValueExW(key, L"Name", nullptr, &type, buf, &size), win::ERROR_MORE_DATA);
  EXPECT_EQ(size, 12u);
  size = 12;
  EXPECT_EQ(Reg().RegQueryValueExW(key, L"name", nullptr, &type, buf, &size), 0);  // names ignore case
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 12), zv::text::ToUtf16Le(std::wstring(L"hello") + L'\0'));
  EXPECT_EQ(buf[12], 0xCC);  // nothing beyond the value
  size = sizeof buf;
  EXPECT_EQ(Reg().RegQueryValueExW(key, L"Odd", nullptr, &type, buf, &size), 0);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(std::memcmp(buf, odd, 3), 0);
  EXPECT_EQ(Reg().RegQueryValueExW(key, L"Name", nullptr, &type, buf, nullptr), win::ERROR_INVALID_PARAMETER);

  // Missing value and key: 2; a value set again keeps its type change.
  EXPECT_EQ(Reg().RegQueryValueExW(key, L"Missing", nullptr, &type, nullptr, &size), win::ERROR_FILE_NOT_FOUND);
  HKEY none;
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\NoSuchKey", win::KEY_READ, &none), win::ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(SetDword(key, L"NAME", 7), 0);
  EXPECT_EQ(GetDword(key, L"Name"), 7u);
  EXPECT_EQ(Reg().RegDeleteValueW(key, L"name"), 0);
  EXPECT_EQ(Reg().RegDeleteValueW(key, L"name"), win::ERROR_FILE_NOT_FOUND);
  // The default value has the empty name (a null name means it too).
  ASSERT_EQ(SetDword(key, L"", 9), 0);
  win::DWORD d = 0;
  size = 4;
  EXPECT_EQ(Reg().RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<win::BYTE*>(&d), &size), 0);
  EXPECT_EQ(d, 9u);
  EXPECT_EQ(Reg().RegSetValueExW(key, L"x", 0, win::REG_BINARY, nullptr, 4), win::ERROR_NOACCESS);
}

TEST_F(RegistryApiTest, HandlesCarryTheAccessGranted) {
  HKEY writable = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ZvAccess");
  ASSERT_EQ(SetDword(writable, L"v", 1), 0);
  HKEY readOnly;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ZvAccess", win::KEY_READ, &readOnly), 0);
  EXPECT_EQ(SetDword(readOnly, L"v", 2), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Reg().RegDeleteValueW(readOnly, L"v"), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetDword(readOnly, L"v"), 1u);
  HKEY writeOnly;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ZvAccess", win::KEY_SET_VALUE, &writeOnly), 0);
  win::DWORD size = 4, d;
  EXPECT_EQ(Reg().RegQueryValueExW(writeOnly, L"v", nullptr, nullptr, reinterpret_cast<win::BYTE*>(&d), &size),
            win::ERROR_ACCESS_DENIED);
  wchar_t name[32];
  EXPECT_EQ(Reg().RegEnumKeyW(writeOnly, 0, name, 32), win::ERROR_ACCESS_DENIED);
  // Key creation is checked against the key, not the handle, as on Windows.
  HKEY child = nullptr;
  EXPECT_EQ(Reg().RegCreateKeyExW(readOnly, L"Child", 0, nullptr, 0, win::KEY_READ, nullptr, &child, nullptr), 0);
  Reg().RegCloseKey(child);
  // GENERIC_WRITE and MAXIMUM_ALLOWED map to key rights.
  HKEY generic;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ZvAccess", win::GENERIC_WRITE, &generic), 0);
  EXPECT_EQ(SetDword(generic, L"v", 3), 0);
  HKEY most;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ZvAccess", win::MAXIMUM_ALLOWED, &most), 0);
  EXPECT_EQ(GetDword(most, L"v"), 3u);
  // Closing: once, predefined keys always, nonsense never.
  HKEY once;
  ASSERT_EQ(Reg().RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, win::KEY_READ, &once), 0);
  EXPECT_EQ(Reg().RegCloseKey(once), 0);
  EXPECT_EQ(Reg().RegCloseKey(once), win::ERROR_INVALID_HANDLE);
  EXPECT_EQ(Reg().RegCloseKey(HKEY_LOCAL_MACHINE), 0);
  EXPECT_EQ(SetDword(once, L"v", 1), win::ERROR_INVALID_HANDLE);
}

TEST_F(RegistryApiTest, KeyNamesAndPlacesWindowsRefuses) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ZvCase\\MixedCase");
  win::DWORD disposition = 0;
  HKEY again = nullptr;
  ASSERT_EQ(Reg().RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"software\\ZVCASE\\mixedcase\\", 0, nullptr, 0,
                                  win::KEY_READ, nullptr, &again, &disposition),
            0);
  EXPECT_EQ(disposition, win::REG_OPENED_EXISTING_KEY);
  Reg().RegCloseKey(again);
  HKEY parent;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"Software\\zvcase", win::KEY_READ, &parent), 0);
  wchar_t name[64];
  ASSERT_EQ(Reg().RegEnumKeyW(parent, 0, name, 64), 0);
  EXPECT_EQ(std::wstring(name), L"MixedCase");  // case as made
  EXPECT_EQ(Reg().RegEnumKeyW(parent, 0, name, 9), win::ERROR_MORE_DATA);  // 9 units + terminator needed
  EXPECT_EQ(Reg().RegEnumKeyW(parent, 1, name, 64), win::ERROR_NO_MORE_ITEMS);

  HKEY h = nullptr;
  EXPECT_EQ(Reg().RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"\\SOFTWARE", 0, win::KEY_READ, &h), win::ERROR_BAD_PATHNAME);
  EXPECT_EQ(Reg().RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"\\SOFTWARE\\X", 0, nullptr, 0, win::KEY_ALL_ACCESS, nullptr,
                                  &h, nullptr),
            win::ERROR_BAD_PATHNAME);
  EXPECT_EQ(Reg().RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"NewHive", 0, nullptr, 0, win::KEY_ALL_ACCESS, nullptr, &h,
                                  nullptr),
            win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Reg().RegCreateKeyExW(HKEY_USERS, L"S-1-5-21-1-2-3-1001\\Software", 0, nullptr, 0, win::KEY_ALL_ACCESS,
                                  nullptr, &h, nullptr),
            win::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, L"NewHive"));
  EXPECT_EQ(Reg().RegCreateKeyExW(HKEY_LOCAL_MACHINE, std::wstring(L"SOFTWARE\\" + std::wstring(256, L'k')).c_str(),
                                  0, nullptr, 0, win::KEY_ALL_ACCESS, nullptr, &h, nullptr),
            win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Reg().RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, win::KEY_READ | win::KEY_WOW64_32KEY |
                                win::KEY_WOW64_64KEY, &h),
            win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, L"v", 1), win::ERROR_ACCESS_DENIED);

  // HKU starts with .DEFAULT and the service accounts.
  std::vector<std::wstring> users;
  for (win::DWORD i = 0; Reg().RegEnumKeyW(HKEY_USERS, i, name, 64) == 0; ++i) users.emplace_back(name);
  EXPECT_EQ(users, (std::vector<std::wstring>{L".DEFAULT", L"S-1-5-18", L"S-1-5-19", L"S-1-5-20"}));
  (void)key;
}

TEST_F(RegistryApiTest, EnumerationAndDeletion) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ZvEnum");
  for (const wchar_t* n : {L"b", L"C", L"a"}) Create(key, n);
  ASSERT_EQ(SetDword(key, L"zeta", 1), 0);
  ASSERT_EQ(SetString(key, L"Alpha", L"x"), 0);
  ASSERT_EQ(SetDword(key, L"ZETA", 2), 0);  // set again: keeps its place
  wchar_t name[16];
  std::wstring keys;
  for (win::DWORD i = 0; Reg().RegEnumKeyW(key, i, name, 16) == 0; ++i) keys += name;
  EXPECT_EQ(keys, L"abC");
  win::DWORD units = 16, type = 0, size = 0;
  ASSERT_EQ(Reg().RegEnumValueW(key, 0, name, &units, nullptr, &type, nullptr, &size), 0);
  EXPECT_EQ(std::wstring(name), L"zeta");
  EXPECT_EQ(units, 4u);
  EXPECT_EQ(size, 4u);
  win::BYTE data[4];
  units = 16;
  size = 1;
  EXPECT_EQ(Reg().RegEnumValueW(key, 1, name, &units, nullptr, &type, data, &size), win::ERROR_MORE_DATA);
  EXPECT_EQ(size, 4u);  // "x" and its terminator
  units = 5;
  EXPECT_EQ(Reg().RegEnumValueW(key, 1, name, &units, nullptr, &type, nullptr, nullptr), win::ERROR_MORE_DATA);
  units = 16;
  EXPECT_EQ(Reg().RegEnumValueW(key, 2, name, &units, nullptr, &type, nullptr, nullptr), win::ERROR_NO_MORE_ITEMS);

  // A key with subkeys is not deleted; a deleted key's handles say so.
  HKEY b;
  ASSERT_EQ(Open(key, L"B", win::KEY_ALL_ACCESS, &b), 0);
  Create(b, L"Inner");
  EXPECT_EQ(Reg().RegDeleteKeyW(key, L"b"), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Reg().RegDeleteKeyW(b, L"Inner"), 0);
  EXPECT_EQ(Reg().RegDeleteKeyW(key, L"b"), 0);
  EXPECT_EQ(Reg().RegDeleteKeyW(key, L"b"), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(SetDword(b, L"v", 1), win::ERROR_KEY_DELETED);
  HKEY sub;
  EXPECT_EQ(Reg().RegOpenKeyExW(b, L"Inner", 0, win::KEY_READ, &sub), win::ERROR_KEY_DELETED);
  Create(key, L"b");  // a new key of the same name is not the old one
  EXPECT_EQ(SetDword(b, L"v", 1), win::ERROR_KEY_DELETED);
  EXPECT_EQ(Reg().RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE"), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Reg().RegFlushKey(key), 0);
}

TEST_F(RegistryApiTest, AnsiFormsConvertNamesAndStrings) {
  HKEY key = nullptr;
  ASSERT_EQ(Reg().RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Caf\xE9", 0, nullptr, 0, win::KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
            0);
  open_.push_back(key);
  EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Caf\x00E9"));
  const char text[] = "na\xEFve";  // 6 bytes with the terminator
  ASSERT_EQ(Reg().RegSetValueExA(key, "S", 0, win::REG_SZ, reinterpret_cast<const win::BYTE*>(text), 6), 0);
  win::DWORD size = 0, type = 0;
  ASSERT_EQ(Reg().RegQueryValueExW(key, L"S", nullptr, &type, nullptr, &size), 0);
  EXPECT_EQ(size, 12u);  // stored as UTF-16
  win::BYTE buf[16];
  size = 5;
  EXPECT_EQ(Reg().RegQueryValueExA(key, "S", nullptr, &type, buf, &size), win::ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
  ASSERT_EQ(Reg().RegQueryValueExA(key, "S", nullptr, &type, buf, &size), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 6), std::string(text, 6));
  const win::BYTE bin[] = {1, 2, 3};
  ASSERT_EQ(Reg().RegSetValueExA(key, "B", 0, win::REG_BINARY, bin, 3), 0);  // not converted
  size = 16;
  ASSERT_EQ(Reg().RegQueryValueExW(key, L"B", nullptr, &type, buf, &size), 0);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(Reg().RegDeleteValueA(key, "s"), 0);
}

// The same calls land in WOW6432Node or not, by machine, program and flags.
TEST_F(RegistryApiTest, ViewsOnAnX64Machine) {
  SetBitness(32);
  HKEY key = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vendor");
  ASSERT_EQ(SetDword(key, L"v", 32), 0);
  EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\WOW6432Node\\Vendor"));
  EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vendor"));
  HKEY native = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vendor", win::KEY_ALL_ACCESS | win::KEY_WOW64_64KEY);
  ASSERT_EQ(SetDword(native, L"v", 64), 0);
  EXPECT_EQ(GetDword(key, L"v"), 32u);
  // The 32-bit view through a handle of SOFTWARE itself.
  HKEY software;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE", win::KEY_READ, &software), 0);
  HKEY viaParent;
  ASSERT_EQ(Open(software, L"Vendor", win::KEY_READ, &viaParent), 0);
  EXPECT_EQ(GetDword(viaParent, L"v"), 32u);
  // Shared keys, SYSTEM and HKU are the same in both views.
  HKEY policy = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Google\\Chrome");
  ASSERT_EQ(SetDword(policy, L"p", 1), 0);
  EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Google\\Chrome"));
  HKEY sharedViaParent;
  ASSERT_EQ(Open(software, L"Microsoft\\Windows\\CurrentVersion\\Policies\\System", win::KEY_READ, &sharedViaParent),
            0);
  EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Policies"));
  Create(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\mxblkurl");
  EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\mxblkurl"));
  Create(HKEY_USERS, L".DEFAULT\\Software\\Vendor");
  EXPECT_TRUE(Exists(HKEY_USERS, L".DEFAULT\\Software\\Vendor"));
  // AppInit_DLLs exists in both views, apart.
  HKEY win32, win64;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows", win::KEY_ALL_ACCESS,
                 &win32),
            0);
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows",
                 win::KEY_ALL_ACCESS | win::KEY_WOW64_64KEY, &win64),
            0);
  ASSERT_EQ(SetDword(win32, L"LoadAppInit_DLLs", 1), 0);
  EXPECT_EQ(GetDword(win64, L"LoadAppInit_DLLs"), 0u);

  // A 64-bit program sees the native view unless it asks for the other.
  SetBitness(64);
  HKEY mine;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vendor", win::KEY_READ, &mine), 0);
  EXPECT_EQ(GetDword(mine, L"v"), 64u);
  HKEY other;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vendor", win::KEY_READ | win::KEY_WOW64_32KEY, &other), 0);
  EXPECT_EQ(GetDword(other, L"v"), 32u);
  HKEY classes = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\CLSID\\{1}", win::KEY_ALL_ACCESS | win::KEY_WOW64_32KEY);
  EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\WOW6432Node\\CLSID\\{1}"));
  Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\.zv", win::KEY_ALL_ACCESS | win::KEY_WOW64_32KEY);
  EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\.zv"));
  (void)classes;
}

TEST_F(RegistryApiTest, ViewsOnAnX86Machine) {
  machine_->SetSetting("machine.architecture", "x86");
  SetBitness(32);
  HKEY key = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vendor");
  ASSERT_EQ(SetDword(key, L"v", 32), 0);
  EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vendor", 0));
  EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\WOW6432Node", 0));
  HKEY flagged;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vendor", win::KEY_READ | win::KEY_WOW64_32KEY, &flagged), 0);
  EXPECT_EQ(GetDword(flagged, L"v"), 32u);
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vendor", win::KEY_READ | win::KEY_WOW64_64KEY, &flagged), 0);
  EXPECT_EQ(GetDword(flagged, L"v"), 32u);
}

TEST_F(RegistryApiTest, WindowsVersionShapesTheFirstKeys) {
  machine_->SetSetting("machine.windows_version", "6.1.7601");
  HKEY nt;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", win::KEY_READ, &nt), 0);
  win::BYTE buf[64];
  win::DWORD size = sizeof buf, type;
  ASSERT_EQ(Reg().RegQueryValueExW(nt, L"CurrentVersion", nullptr, &type, buf, &size), 0);
  EXPECT_EQ(zv::text::FromUtf16Le(buf, size), std::wstring(L"6.1") + L'\0');
  EXPECT_EQ(GetDword(nt, L"CurrentMajorVersionNumber"), ~0u);
}

// Threads of one program share handles and the machine connection.
TEST_F(RegistryApiTest, ThreadsShareHandles) {
  HKEY shared = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Threads");
  constexpr int kThreads = 4, kEach = 25;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::wstring name = std::to_wstring(t) + L"_" + std::to_wstring(i);
        HKEY h = nullptr;
        if (Reg().RegCreateKeyExW(shared, name.c_str(), 0, nullptr, 0, win::KEY_ALL_ACCESS, nullptr, &h, nullptr) ||
            SetDword(shared, name, static_cast<win::DWORD>(i)) || SetDword(h, L"v", 1) || Reg().RegCloseKey(h)) {
          ++failures;
        }
        wchar_t sub[32];
        Reg().RegEnumKeyW(shared, static_cast<win::DWORD>(i), sub, 32);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  int keys = 0;
  wchar_t sub[32];
  while (Reg().RegEnumKeyW(shared, static_cast<win::DWORD>(keys), sub, 32) == 0) ++keys;
  EXPECT_EQ(keys, kThreads * kEach);
  EXPECT_EQ(GetDword(shared, L"3_24"), 24u);
}

// Two processes writing at once lose nothing: every key and value of both
// is there afterwards.
TEST_F(RegistryApiTest, TwoWriterProcessesLoseNothing) {
  Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Shared");
  constexpr int kWrites = 60;
  auto writer = [&](const std::wstring& tag) {
    for (int i = 0; i < kWrites; ++i) {
      HKEY h = nullptr;
      std::wstring path = L"SOFTWARE\\Shared\\" + tag + std::to_wstring(i);
      if (Reg().RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                win::KEY_ALL_ACCESS | win::KEY_WOW64_64KEY, nullptr, &h, nullptr)) {
        return 1;
      }
      win::DWORD v = static_cast<win::DWORD>(i);
      win::LSTATUS e1 = Reg().RegSetValueExW(h, L"i", 0, win::REG_DWORD, reinterpret_cast<win::BYTE*>(&v), 4);
      Reg().RegCloseKey(h);
      if (Reg().RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Shared", 0, nullptr, 0,
                                win::KEY_ALL_ACCESS | win::KEY_WOW64_64KEY, nullptr, &h, nullptr)) {
        return 1;
      }
      win::LSTATUS e2 = Reg().RegSetValueExW(h, (tag + std::to_wstring(i)).c_str(), 0, win::REG_DWORD,
                                     reinterpret_cast<win::BYTE*>(&v), 4);
      Reg().RegCloseKey(h);
      if (e1 || e2) return 2;
    }
    return 0;
  };
  pid_t children[2];
  const wchar_t* tags[2] = {L"a", L"b"};
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    if (children[c] == 0) {
      new std::shared_ptr<Machine>(Machine::Current());  // the parent's connection stays open
      Machine::SetCurrent(Machine::Open(root_, false));
      _exit(writer(tags[c]));
    }
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  HKEY shared;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Shared", win::KEY_READ, &shared), 0);
  for (const wchar_t* tag : tags) {
    for (int i = 0; i < kWrites; ++i) {
      std::wstring name = tag + std::to_wstring(i);
      EXPECT_EQ(GetDword(shared, name), static_cast<win::DWORD>(i)) << zv::text::ToUtf8(name);
      HKEY k;
      ASSERT_EQ(Open(shared, name, win::KEY_READ, &k), 0);
      EXPECT_EQ(GetDword(k, L"i"), static_cast<win::DWORD>(i));
    }
  }
}

}  // namespace
