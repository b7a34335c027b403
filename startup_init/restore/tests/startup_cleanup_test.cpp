// Start-up folders against the allow list, the clear list recorded once and
// enforced, links inside cleared folders, paths longer than the Win32 limit,
// and the history folders behind the clean-up Run entries.
#include <gtest/gtest.h>

#include "platform/registry/hives.h"
#include "startup_init/restore/restore_steps.h"
#include "startup_init/restore/tests/test_host.h"

namespace zv::startup::testing {
namespace {

class CleanupTest : public StepsTest {
 protected:
  void ClearList(const std::string& lines) { MakeFile(Product("ZVClearList.ini"), "[Settings]\r\n" + lines); }

  RestoreSteps steps_{host_};
};

TEST_F(CleanupTest, StartupFoldersKeepOnlyEntriesApprovedWithUpperCaseOK) {
  const path user = C("Users/alice/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Startup");
  const path common = C("ProgramData/Microsoft/Windows/Start Menu/Programs/Startup");
  for (const char* name : {"Good.lnk", "lower.lnk", "unknown.lnk", "desktop.ini"}) MakeFile(user / name);
  for (const char* name : {"Tool.lnk", "DESKTOP.INI"}) MakeFile(common / name);
  std::filesystem::create_directories(user / "Folder");

  // Without the allow list nothing is touched.
  steps_.CleanStartupFolders();
  EXPECT_TRUE(Has(user / "unknown.lnk"));

  MakeFile(Product("Startup.prs"),
           "[c:\\users\\alice\\appdata\\roaming\\microsoft\\windows\\start menu\\programs\\startup\\]\r\n"
           "good.lnk=OK\r\nlower.lnk=ok\r\n"
           "[c:\\programdata\\microsoft\\windows\\start menu\\programs\\startup\\]\r\ntool.lnk=OK\r\n");
  steps_.CleanStartupFolders();
  EXPECT_TRUE(Has(user / "Good.lnk"));
  EXPECT_FALSE(Has(user / "lower.lnk"));
  EXPECT_FALSE(Has(user / "unknown.lnk"));
  EXPECT_TRUE(Has(user / "desktop.ini"));
  EXPECT_TRUE(Has(user / "Folder"));
  EXPECT_TRUE(Has(common / "Tool.lnk"));
  EXPECT_TRUE(Has(common / "DESKTOP.INI"));
}

TEST_F(CleanupTest, ClearListIsRecordedOnceThenEnforcedAndDroppedWithProtectionOff) {
  ClearList("Count=3\r\n0=C:\\Clear\\A\r\n1=\r\n2=C:\\CLEAR\\Later\r\n");
  MakeFile(C("Clear/A/keep.txt"));
  MakeFile(C("Clear/A/Data/inner.txt"));

  EXPECT_EQ(steps_.ClearListStep(), 1);
  EXPECT_EQ(host_.reads, 1);
  EXPECT_EQ(ReadHost(Product("ZVClearList.prs")).substr(0, 2), "\xFF\xFE");

  MakeFile(C("Clear/A/new.txt"));
  MakeFile(C("Clear/A/Data/new2.txt"));
  MakeFile(C("Clear/A/NewDir/x.txt"));
  MakeFile(C("Clear/Later/made after.txt"));  // its folder was missing at the listing
  EXPECT_EQ(steps_.ClearListStep(), 1);
  EXPECT_TRUE(Has(C("Clear/A/keep.txt")));
  EXPECT_TRUE(Has(C("Clear/A/Data/inner.txt")));
  EXPECT_FALSE(Has(C("Clear/A/new.txt")));
  EXPECT_FALSE(Has(C("Clear/A/Data/new2.txt")));
  EXPECT_FALSE(Has(C("Clear/A/NewDir")));
  EXPECT_FALSE(Has(C("Clear/Later/made after.txt")));

  host_.storedProtection = 0;
  MakeFile(C("Clear/A/new.txt"));
  EXPECT_EQ(steps_.ClearListStep(), 1);
  EXPECT_FALSE(Has(Product("ZVClearList.prs")));
  EXPECT_TRUE(Has(C("Clear/A/new.txt")));

  // An empty list: the listing file is neither made nor removed.
  ClearList("Count=1\r\n0=\r\n");
  host_.storedProtection = 1;
  EXPECT_EQ(steps_.ClearListStep(), 0);
  EXPECT_FALSE(Has(Product("ZVClearList.prs")));
}

TEST_F(CleanupTest, ALinkInAClearedFolderGoesItselfAndItsTargetStays) {
  ClearList("Count=1\r\n0=C:\\Clear\r\n");
  MakeFile(C("Outside/precious.txt"));
  MakeFile(C("Recorded/target.txt"));
  Link(C("Clear/kept link"), C("Recorded"));
  ASSERT_EQ(steps_.ClearListStep(), 1);

  Link(C("Clear/new link"), C("Outside"));
  MakeFile(C("Recorded/added later.txt"));
  MakeFile(C("Clear/Sub/x.txt"));
  Link(C("Clear/Sub/inner link"), C("Outside"));
  steps_.ClearListStep();
  EXPECT_FALSE(Has(C("Clear/new link")));
  EXPECT_TRUE(Has(C("Outside/precious.txt")));
  EXPECT_TRUE(Has(C("Clear/kept link")));
  EXPECT_TRUE(Has(C("Recorded/added later.txt")));
  EXPECT_FALSE(Has(C("Clear/Sub")));
  EXPECT_TRUE(Has(C("Outside/precious.txt")));
}

TEST_F(CleanupTest, APathTooLongForWin32IsNeverCutToAnotherEntrysName) {
  ClearList("Count=1\r\n0=C:\\L\r\n");
  // "C:\L\" + 254 units is 259 units: a valid path. One unit more is too
  // long; cut to 259 units it would name the recorded file.
  const std::string recorded(254, 'a');
  MakeFile(C("L/" + recorded), "recorded");
  ASSERT_EQ(steps_.ClearListStep(), 1);
  MakeFile(C("L/" + recorded + "b"), "new");
  steps_.ClearListStep();
  EXPECT_EQ(ReadHost(C("L/" + recorded)), "recorded");
  EXPECT_TRUE(Has(C("L/" + recorded + "b")));  // the file call refuses the long path
}

TEST_F(CleanupTest, TemporaryCleaningEmptiesEveryUsersHistoryFolders) {
  const path history = C("Users/alice/AppData/Local/Microsoft/Windows/History");
  MakeFile(history / "day" / "visit.dat");
  MakeFile(C("Users/bob/AppData/Local/Packages/Microsoft.MicrosoftEdge_8wekyb3d8bbwe/AC/MicrosoftEdge/cache.dat"));
  const std::wstring run = L"SoftWare\\Microsoft\\Windows\\CurrentVersion\\Run";

  host_.recycle = 1;
  host_.temporary = 1;
  steps_.RegisterCleanTasks();
  EXPECT_EQ(RegString(win::HKEY_LOCAL_MACHINE, run, L"ZVCleanRecycle"), host_.product + L"ZVClean.exe /recycle");
  EXPECT_EQ(RegString(win::HKEY_LOCAL_MACHINE, run, L"ZCleanTemporary"), host_.product + L"ZVClean.exe /tempo");
  EXPECT_TRUE(std::filesystem::is_directory(history));
  EXPECT_TRUE(std::filesystem::is_empty(history));
  EXPECT_FALSE(Has(C("Users/bob/AppData/Local/Packages/Microsoft.MicrosoftEdge_8wekyb3d8bbwe/AC/MicrosoftEdge/"
                     "cache.dat")));
  EXPECT_TRUE(host_.Logged(L"DeleteEdgeIEHistoryDirectory"));
  EXPECT_TRUE(host_.Logged(L"C:\\Users\\alice\\AppData\\Local\\Microsoft\\Windows\\History"));

  host_.temporary = 0;
  host_.recycle = 0;
  MakeFile(history / "kept.dat");
  steps_.RegisterCleanTasks();
  EXPECT_EQ(RegString(win::HKEY_LOCAL_MACHINE, run, L"ZVCleanRecycle"), L"<missing>");
  EXPECT_EQ(RegString(win::HKEY_LOCAL_MACHINE, run, L"ZCleanTemporary"), host_.product + L"ZVClean.exe /iecleanoff");
  EXPECT_TRUE(Has(history / "kept.dat"));
}

}  // namespace
}  // namespace zv::startup::testing
