// Users and hives: profiles where the hive restore looks for them, logon and
// logoff, loaded hive files held against the file calls, restore before logon.
#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "platform/base/handles.h"
#include "platform/files/file_api.h"
#include "platform/registry/hives.h"
#include "platform/registry/tests/registry_fixture.h"

using namespace zv::platform;
using namespace zv::platform::testing;
namespace win = zv::win;
using win::HKEY_USERS;

namespace {

class HivesTest : public RegistryTest {
 protected:
  FileApi& Fs() { return Files::Get(); }
  win::DWORD LastError() { return GetLastError(); }
};

TEST_F(HivesTest, NewUserHasProfileHiveFilesAndProfileList) {
  UserInfo bob;
  ASSERT_EQ(AddUser(*machine_, L"bob", &bob), 0);
  EXPECT_EQ(bob.profile, L"C:\\Users\\bob");
  EXPECT_EQ(bob.sid.rfind(L"S-1-5-21-", 0), 0u);
  EXPECT_EQ(bob.sid.substr(bob.sid.size() - 5), L"-1001");
  EXPECT_TRUE(std::filesystem::is_regular_file(C("Users/bob/ntuser.dat")));
  EXPECT_TRUE(std::filesystem::is_regular_file(C("Users/bob/AppData/Local/Microsoft/Windows/UsrClass.dat")));
  UserInfo ann;
  ASSERT_EQ(AddUser(*machine_, L"Ann", &ann), 0);
  EXPECT_EQ(ann.sid.substr(0, ann.sid.size() - 5), bob.sid.substr(0, bob.sid.size() - 5));  // one machine SID
  EXPECT_EQ(ann.sid.substr(ann.sid.size() - 5), L"-1002");
  EXPECT_EQ(AddUser(*machine_, L"BOB", nullptr), win::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(AddUser(*machine_, L"a:b", nullptr), win::ERROR_INVALID_NAME);

  win::HKEY entry;
  ASSERT_EQ(Open(win::HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + bob.sid,
                 win::KEY_READ, &entry),
            0);
  win::BYTE buf[128];
  win::DWORD size = sizeof buf, type = 0;
  ASSERT_EQ(Reg().RegQueryValueExW(entry, L"ProfileImagePath", nullptr, &type, buf, &size), 0);
  EXPECT_EQ(type, win::REG_EXPAND_SZ);
  EXPECT_EQ(zv::text::FromUtf16Le(buf, size), std::wstring(L"C:\\Users\\bob") + L'\0');

  // Not logged on: the user's hive is not in HKU.
  EXPECT_FALSE(Exists(HKEY_USERS, bob.sid));
}

TEST_F(HivesTest, XpMachinesKeepProfilesInDocumentsAndSettings) {
  machine_->SetSetting("machine.windows_version", "5.1.2600");
  UserInfo old;
  ASSERT_EQ(AddUser(*machine_, L"old", &old), 0);
  EXPECT_EQ(old.profile, L"C:\\Documents and Settings\\old");
  EXPECT_TRUE(std::filesystem::is_regular_file(
      C("Documents and Settings/old/Local Settings/Application Data/Microsoft/Windows/UsrClass.dat")));
}

TEST_F(HivesTest, LoadedHiveIsHeldUntilLogoffAndRestoredCopyIsSeenAtNextLogon) {
  UserInfo bob;
  ASSERT_EQ(AddUser(*machine_, L"bob", &bob), 0);
  ASSERT_EQ(Logon(*machine_, L"bob"), 0);
  EXPECT_EQ(Logon(*machine_, L"bob"), win::ERROR_ALREADY_EXISTS);
  // Both hives appear under HKU, the user's first as the start-up program looks for it.
  wchar_t name[260];
  std::vector<std::wstring> users;
  for (win::DWORD i = 0; Reg().RegEnumKeyW(HKEY_USERS, i, name, 260) == 0; ++i) users.emplace_back(name);
  EXPECT_NE(std::find(users.begin(), users.end(), bob.sid), users.end());
  EXPECT_NE(std::find(users.begin(), users.end(), bob.sid + L"_Classes"), users.end());
  EXPECT_TRUE(Exists(HKEY_USERS, bob.sid + L"\\Software\\Microsoft\\Windows\\CurrentVersion"));

  win::HKEY search = Create(HKEY_USERS, bob.sid + L"\\Software\\Microsoft\\Windows\\CurrentVersion\\Search");
  ASSERT_EQ(SetDword(search, L"SearchboxTaskbarMode", 0), 0);
  // RegFlushKey writes the hive file while it stays loaded.
  ASSERT_EQ(Reg().RegFlushKey(search), 0);
  EXPECT_NE(ReadHost(C("Users/bob/ntuser.dat")).find(zv::text::ToUtf16Le(L"SearchboxTaskbarMode")), std::string::npos);

  // A saved copy with other content waits in the product's folder.
  std::string saved = ReadHost(C("Users/bob/ntuser.dat"));
  std::wstring savedText = zv::text::FromUtf16Le(saved.data() + 2, saved.size() - 2);
  savedText.replace(savedText.find(L"dword:00000000"), 14, L"dword:00000005");
  MakeFile(C("ZV/UserReg/bob/ntuser.dat"), "\xFF\xFE" + zv::text::ToUtf16Le(savedText));

  // While logged on, the live hive files refuse every change: 32.
  const wchar_t* live = L"C:\\Users\\bob\\NTUSER.DAT";  // any case names the same file
  const wchar_t* classes = L"C:\\Users\\bob\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat";
  EXPECT_FALSE(Fs().CopyFileW(L"C:\\ZV\\UserReg\\bob\\ntuser.dat", live, win::FALSE));
  EXPECT_EQ(LastError(), win::ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(Fs().CopyFileW(live, L"C:\\ZV\\copy.dat", win::FALSE));
  EXPECT_EQ(LastError(), win::ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(Fs().DeleteFileW(classes));
  EXPECT_EQ(LastError(), win::ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(Fs().MoveFileExW(L"C:\\ZV\\UserReg\\bob\\ntuser.dat", live, win::MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(LastError(), win::ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(Fs().MoveFileExW(L"C:\\Users\\bob", L"C:\\Users\\bob2", 0));  // the folder holding it
  EXPECT_EQ(LastError(), win::ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Fs().CreateFileW(live, win::GENERIC_READ, 0, nullptr, win::OPEN_EXISTING, 0, nullptr),
            win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(LastError(), win::ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(Fs().AppendToFile(live, "x"));
  EXPECT_NE(Fs().GetFileAttributesW(live), win::INVALID_FILE_ATTRIBUTES);  // looking is fine
  // With fail-if-exists the copy fails as an existing file first.
  EXPECT_FALSE(Fs().CopyFileW(L"C:\\ZV\\UserReg\\bob\\ntuser.dat", live, win::TRUE));
  EXPECT_EQ(LastError(), win::ERROR_FILE_EXISTS);

  // Logoff writes the hive back; the handle into it now names a deleted key.
  ASSERT_EQ(Logoff(*machine_, L"bob"), 0);
  EXPECT_EQ(Logoff(*machine_, L"bob"), win::ERROR_NOT_FOUND);
  EXPECT_FALSE(Exists(HKEY_USERS, bob.sid));
  EXPECT_FALSE(Exists(HKEY_USERS, bob.sid + L"_Classes"));
  EXPECT_EQ(SetDword(search, L"x", 1), win::ERROR_KEY_DELETED);

  // Restoring before logon works, and the next logon sees the restored value.
  ASSERT_TRUE(Fs().CopyFileW(L"C:\\ZV\\UserReg\\bob\\ntuser.dat", live, win::FALSE)) << LastError();
  ASSERT_TRUE(Fs().CopyFileW(classes, L"C:\\ZV\\UserReg\\bob\\UsrClass.dat", win::FALSE));
  ASSERT_EQ(Logon(*machine_, L"bob"), 0);
  win::HKEY restored;
  ASSERT_EQ(Open(HKEY_USERS, bob.sid + L"\\Software\\Microsoft\\Windows\\CurrentVersion\\Search", win::KEY_READ,
                 &restored),
            0);
  EXPECT_EQ(GetDword(restored, L"SearchboxTaskbarMode"), 5u);
  ASSERT_EQ(Logoff(*machine_, L"bob"), 0);
}

// File calls in one thread see logons and logoffs of another at once: a
// copy over the live hive either fails with 32 or runs while logged off. A
// logon that meets a copy still writing finds no valid hive and loads
// nothing (on Windows it would find the file in use).
TEST_F(HivesTest, FileCallsRaceWithLogonAndLogoff) {
  ASSERT_EQ(AddUser(*machine_, L"kim", nullptr), 0);
  MakeFile(C("ZV/saved.dat"), ReadHost(C("Users/kim/ntuser.dat")));
  std::atomic<bool> done{false};
  std::atomic<int> unexpected{0}, refused{0};
  std::thread copier([&] {
    while (!done) {
      if (!Fs().CopyFileW(L"C:\\ZV\\saved.dat", L"C:\\Users\\kim\\ntuser.dat", win::FALSE)) {
        if (LastError() == win::ERROR_SHARING_VIOLATION) {
          ++refused;
        } else {
          ++unexpected;
        }
      }
    }
  });
  int loaded = 0;
  for (int i = 0; i < 20 || ((loaded == 0 || refused == 0) && i < 2000); ++i) {
    win::DWORD e = Logon(*machine_, L"kim");
    if (e == 0) {
      ++loaded;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      EXPECT_EQ(Logoff(*machine_, L"kim"), 0);
    } else {
      EXPECT_EQ(e, win::ERROR_BADDB);
    }
  }
  done = true;
  copier.join();
  EXPECT_GT(loaded, 0);
  EXPECT_GT(refused.load(), 0);
  EXPECT_EQ(unexpected.load(), 0);
  ASSERT_EQ(Logon(*machine_, L"kim"), 0);
  ASSERT_EQ(Logoff(*machine_, L"kim"), 0);
}

TEST_F(HivesTest, BadHiveFileLoadsNothing) {
  ASSERT_EQ(AddUser(*machine_, L"eve", nullptr), 0);
  MakeFile(C("Users/eve/ntuser.dat"), "not a hive");
  EXPECT_EQ(Logon(*machine_, L"eve"), win::ERROR_BADDB);
  UserInfo eve;
  ASSERT_EQ(FindUser(*machine_, L"eve", eve), 0);
  EXPECT_FALSE(eve.loggedOn);
  EXPECT_FALSE(Exists(HKEY_USERS, eve.sid + L"_Classes"));
  // A missing hive file starts empty and is written at logoff.
  std::filesystem::remove(C("Users/eve/ntuser.dat"));
  ASSERT_EQ(Logon(*machine_, L"eve"), 0);
  ASSERT_EQ(Logoff(*machine_, L"eve"), 0);
  EXPECT_EQ(ReadHost(C("Users/eve/ntuser.dat")).substr(0, 2), "\xFF\xFE");
  EXPECT_EQ(Logon(*machine_, L"nobody"), win::ERROR_FILE_NOT_FOUND);
}

}  // namespace
