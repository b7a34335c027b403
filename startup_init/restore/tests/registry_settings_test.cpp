// AppInit_DLLs in both views (composition, long values, failed reads), the
// service and policy table with its remembered values, and the search box.
#include <gtest/gtest.h>

#include "platform/registry/hives.h"
#include "startup_init/restore/registry_settings.h"
#include "startup_init/restore/restore_steps.h"
#include "startup_init/restore/tests/test_host.h"

namespace zv::startup::testing {
namespace {

using win::HKEY_LOCAL_MACHINE;
using win::HKEY_USERS;
using win::KEY_WOW64_32KEY;
using win::KEY_WOW64_64KEY;

const std::wstring kWindows = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
const std::wstring kInit64 = L"c:\\windows\\system32\\zvinit64.dll";
const std::wstring kHook64 = L"c:\\windows\\zv\\zvhkfw64.dll";
const std::wstring kInit32 = L"c:\\windows\\syswow64\\zvinit32.dll";
const std::wstring kHook32 = L"c:\\windows\\zv\\zvhkfw32.dll";

TEST(ComposeAppInitDlls, KeepsOtherEntriesLowerCasedAndAppendsTheLibrariesOnce) {
  EXPECT_EQ(ComposeAppInitDlls(L"a.dll,,C:\\Windows\\System32\\ZVInit64.DLL,b.dll", 1, 0, 0, 1, L"C:\\Windows"),
            L"a.dll,b.dll," + kInit64);
  EXPECT_EQ(ComposeAppInitDlls(L"", 0, 0, 0, 1, L"C:\\Windows"), L"");
  EXPECT_EQ(ComposeAppInitDlls(L"," + kHook32 + L",X.DLL,," + kInit32 + L",", 1, 1, 1, 1, L"C:\\Windows"),
            L"x.dll," + kInit32 + L"," + kHook32);
  // 32-bit Windows: the 32-bit names in the one view.
  EXPECT_EQ(ComposeAppInitDlls(L"", 1, 1, 0, 0, L"C:\\Windows"),
            L"c:\\windows\\system32\\zvinit32.dll," + kHook32);
}

class AppInitTest : public StepsTest {};

TEST_F(AppInitTest, BothViewsKeepOtherVendorsEntriesOfAnyLength) {
  // Far longer than 260 units: every entry of it must survive.
  std::wstring others;
  for (int i = 0; i < 40; ++i) others += L"c:\\vendor\\library" + std::to_wstring(i) + L".dll,";
  others.pop_back();
  ASSERT_GT(others.size(), 700u);
  SetString(HKEY_LOCAL_MACHINE, kWindows, L"AppInit_DLLs", L"A.dll,,C:\\Windows\\System32\\ZVInit64.DLL,b.dll",
            KEY_WOW64_64KEY);
  SetString(HKEY_LOCAL_MACHINE, kWindows, L"AppInit_DLLs", others, KEY_WOW64_32KEY);
  MakeFile(Product("QDFW.exe"));

  RestoreSteps steps(host_);
  EXPECT_EQ(steps.UpdateAppInitDlls(0, 0, 0), 1);

  EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, kWindows, L"AppInit_DLLs", KEY_WOW64_64KEY),
            L"a.dll,b.dll," + kInit64 + L"," + kHook64);
  EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, kWindows, L"AppInit_DLLs", KEY_WOW64_32KEY),
            others + L"," + kInit32 + L"," + kHook32);
  for (auto view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, kWindows, L"LoadAppInit_DLLs", view), 1);
    EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, kWindows, L"RequireSignedAppInit_DLLs", view), 0);
  }

  // Run again (the next boot): nothing doubles.
  steps.UpdateAppInitDlls(0, 0, 0);
  EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, kWindows, L"AppInit_DLLs", KEY_WOW64_32KEY),
            others + L"," + kInit32 + L"," + kHook32);
}

TEST_F(AppInitTest, EmptyOrMissingValueIsWrittenEmptyWithTheSwitchesSet) {
  RegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kWindows, win::KEY_ALL_ACCESS | KEY_WOW64_32KEY), win::ERROR_SUCCESS);
  key.DeleteValue(L"AppInit_DLLs");
  host_.wow64 = 1;
  RestoreSteps steps(host_);
  EXPECT_EQ(steps.UpdateAppInitDlls(1, 0, 0), 1);
  for (auto view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, kWindows, L"AppInit_DLLs", view), L"");
    EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, kWindows, L"LoadAppInit_DLLs", view), 1);
    EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, kWindows, L"RequireSignedAppInit_DLLs", view), 0);
  }
}

TEST_F(AppInitTest, AViewWhoseValueCannotBeReadStaysAsItWas) {
  // Binary data are no list to compose: writing would replace them.
  SetString(HKEY_LOCAL_MACHINE, kWindows, L"AppInit_DLLs", L"other32.dll", KEY_WOW64_32KEY);
  auto& reg = platform::Registry::Get();
  win::HKEY raw = nullptr;
  ASSERT_EQ(reg.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWindows.c_str(), 0, win::KEY_ALL_ACCESS | KEY_WOW64_64KEY, &raw),
            win::ERROR_SUCCESS);
  const win::BYTE data[] = {'x', 0, 'y', 0, 0, 0};
  ASSERT_EQ(reg.RegSetValueExW(raw, L"AppInit_DLLs", 0, win::REG_BINARY, data, sizeof data), win::ERROR_SUCCESS);
  reg.RegCloseKey(raw);

  RestoreSteps steps(host_);
  EXPECT_EQ(steps.UpdateAppInitDlls(1, 1, 0), 1);
  EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, kWindows, L"LoadAppInit_DLLs", KEY_WOW64_64KEY), 0);
  EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, kWindows, L"AppInit_DLLs", KEY_WOW64_64KEY), L"<missing>");
  EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, kWindows, L"AppInit_DLLs", KEY_WOW64_32KEY), L"other32.dll," + kInit32);
  EXPECT_TRUE(host_.Logged(L"(ERROR:13)=RegQueryValueExW AppInit_DLLs, 64-bit view left unchanged"));
}

class ServicePolicyTest : public StepsTest {};

TEST_F(ServicePolicyTest, OldValueIsRememberedOnceAndPutBackWhenSwitchedOff) {
  const std::wstring gupdate = L"SYSTEM\\CurrentControlSet\\Services\\gupdate";
  const std::wstring chrome = L"SOFTWARE\\Policies\\Google\\Chrome";
  const std::wstring sysmain = L"SYSTEM\\CurrentControlSet\\Services\\SysMain";
  SetDword(HKEY_LOCAL_MACHINE, gupdate, L"Start", 2);
  RestoreSteps steps(host_);
  auto runTable = [&] {
    for (int row = 2; row <= 11; ++row) steps.ApplyServiceOrPolicyRow(row);
  };

  host_.protection = 1;
  runTable();
  EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, gupdate, L"Start"), 4);
  EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, gupdate, L"StartOld"), 2);
  // A policy that did not exist: its key is made and 0 remembered.
  EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, chrome, L"ChromeCleanupEnabled", KEY_WOW64_64KEY), 1);
  EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, chrome, L"ChromeCleanupEnabledOld", KEY_WOW64_64KEY), 0);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, sysmain));

  // The next boot with protection on: the remembered value stays.
  SetDword(HKEY_LOCAL_MACHINE, gupdate, L"Start", 3);
  runTable();
  EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, gupdate, L"StartOld"), 2);
  EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, gupdate, L"Start"), 4);

  host_.protection = 0;
  runTable();
  EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, gupdate, L"Start"), 2);
  EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, gupdate, L"StartOld"), -1);
  EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, chrome, L"ChromeCleanupEnabled", KEY_WOW64_64KEY), 0);
  // Switched off again: nothing to put back, nothing changes.
  SetDword(HKEY_LOCAL_MACHINE, gupdate, L"Start", 3);
  runTable();
  EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, gupdate, L"Start"), 3);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, sysmain));

  // SysMain present: switched like the others.
  SetDword(HKEY_LOCAL_MACHINE, sysmain, L"Start", 2);
  host_.protection = 1;
  steps.ApplyServiceOrPolicyRow(11);
  EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, sysmain, L"Start"), 4);
  EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, sysmain, L"StartOld"), 2);
}

TEST_F(ServicePolicyTest, SearchBoxRemembers9999ForNoValueAndDeletesOnRestore) {
  platform::UserInfo alice;
  ASSERT_EQ(platform::AddUser(*machine_, L"alice", &alice), 0u);
  ASSERT_EQ(platform::Logon(*machine_, L"alice"), 0u);
  host_.userKey = alice.sid;
  const std::wstring search = host_.userKey + L"\\Software\\Microsoft\\Windows\\CurrentVersion\\Search";
  RestoreSteps steps(host_);
  // Without Hide=1 nothing is written.
  steps.ApplySearchBoxMode(1);
  EXPECT_FALSE(KeyExists(HKEY_USERS, search));

  MakeFile(Product("ZVSearchUI.ini"), "[Settings]\r\nHide=1\r\n");
  steps.ApplySearchBoxMode(1);
  steps.ApplySearchBoxMode(1);
  EXPECT_EQ(RegDword(HKEY_USERS, search, L"SearchboxTaskbarMode"), 0);
  EXPECT_EQ(RegDword(HKEY_USERS, search, L"SearchboxTaskbarModeOld"), 9999);
  steps.ApplySearchBoxMode(0);
  EXPECT_EQ(RegDword(HKEY_USERS, search, L"SearchboxTaskbarMode"), -1);
  EXPECT_EQ(RegDword(HKEY_USERS, search, L"SearchboxTaskbarModeOld"), -1);

  SetDword(HKEY_USERS, search, L"SearchboxTaskbarMode", 2);
  steps.ApplySearchBoxMode(1);
  steps.ApplySearchBoxMode(0);
  EXPECT_EQ(RegDword(HKEY_USERS, search, L"SearchboxTaskbarMode"), 2);
  EXPECT_EQ(RegDword(HKEY_USERS, search, L"SearchboxTaskbarModeOld"), -1);
}

}  // namespace
}  // namespace zv::startup::testing
