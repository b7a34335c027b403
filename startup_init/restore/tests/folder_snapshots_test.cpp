// R and R2 mirror trees: restore and backup, protection off, file targets,
// targets on other drives, links inside a target, a target holding the
// product folder, and the app repository clean-up.
#include <gtest/gtest.h>

#include "platform/files/volumes.h"
#include "startup_init/restore/folder_snapshots.h"
#include "startup_init/restore/tests/test_host.h"

namespace zv::startup::testing {
namespace {

class SnapshotsTest : public StepsTest {
 protected:
  path R(const std::string& rel) const { return Product("R/C/" + rel); }
  path R2(const std::string& rel) const { return Product("R2/C/" + rel); }

  FolderSnapshots snapshots_{host_};
};

TEST_F(SnapshotsTest, RestoreOverwritesTopLevelFilesAndOnlyFillsSubFolders) {
  MakeFile(R2("T/a.txt"), "saved a");
  MakeFile(R2("T/sub/b.txt"), "saved b");
  MakeFile(R2("T/sub/c.txt"), "saved c");
  MakeFile(R2("T/.top"), "dot");
  MakeFile(R2("T/sub/.inner"), "dot");
  MakeFile(C("T/a.txt"), "changed a");
  MakeFile(C("T/sub/b.txt"), "changed b");

  EXPECT_EQ(snapshots_.MirrorFolder(L"", 1, 0, L"C:\\T\\", 1, 0), 1);
  EXPECT_EQ(ReadHost(C("T/a.txt")), "saved a");
  EXPECT_EQ(ReadHost(C("T/sub/b.txt")), "changed b");
  EXPECT_EQ(ReadHost(C("T/sub/c.txt")), "saved c");
  EXPECT_TRUE(Has(C("T/.top")));
  EXPECT_FALSE(Has(C("T/sub/.inner")));

  // No R2 tree: the target folder is made, nothing copied.
  EXPECT_EQ(snapshots_.MirrorFolder(L"C:\\Users\\eve", 1, 1, L"%s\\AppData\\Local\\Comms\\UnistoreDB\\", 1, 0), 1);
  EXPECT_TRUE(std::filesystem::is_directory(C("Users/eve/AppData/Local/Comms/UnistoreDB")));
}

TEST_F(SnapshotsTest, BackupAddsOnlyWhatTheMirrorsLackAndProtectionOffDropsR2) {
  MakeFile(R("T/a.txt"), "first a");
  MakeFile(C("T/a.txt"), "changed a");
  MakeFile(C("T/new.txt"), "new");
  MakeFile(C("T/sub/b.txt"), "b");

  EXPECT_EQ(snapshots_.MirrorFolder(L"", 0, 1, L"C:\\T\\", 0, 0), 1);
  EXPECT_EQ(ReadHost(R("T/a.txt")), "first a");
  EXPECT_EQ(ReadHost(R("T/new.txt")), "new");
  EXPECT_FALSE(Has(R2("T/new.txt")));  // second copy off: top-level files reach R only
  EXPECT_TRUE(Has(R2("T/sub/b.txt")));

  EXPECT_EQ(snapshots_.MirrorFolder(L"", 0, 0, L"C:\\T\\", 1, 0), 1);
  EXPECT_FALSE(Has(R2("T")));
  EXPECT_TRUE(Has(R("T/a.txt")));
  EXPECT_TRUE(Has(C("T/a.txt")));

  EXPECT_EQ(snapshots_.MirrorFolder(L"", 0, 1, L"C:\\Missing\\", 1, 0), 0);
}

TEST_F(SnapshotsTest, TargetsOffDriveCAreSkippedAndLogged) {
  ASSERT_EQ(platform::VolumeTable(machine_).Add(L"\\Device\\HarddiskVolume3", L"D:"), 0u);
  const path d = root_ / "volumes" / "HarddiskVolume3";
  MakeFile(d / "Data" / "keep.txt", "live");
  MakeFile(d / "file.cfg", "live file");

  EXPECT_EQ(snapshots_.MirrorFolder(L"", 0, 0, L"D:\\Data\\", 1, 0), 0);
  EXPECT_EQ(snapshots_.MirrorFolder(L"", 0, 1, L"D:\\file.cfg", 1, 0), 0);
  EXPECT_EQ(snapshots_.MirrorFolder(L"", 1, 1, L"D:\\file.cfg", 1, 0), 0);
  EXPECT_EQ(ReadHost(d / "Data" / "keep.txt"), "live");
  EXPECT_EQ(ReadHost(d / "file.cfg"), "live file");
  EXPECT_TRUE(host_.Logged(L"D:\\Data\\ is not on drive C, skipped"));
  EXPECT_TRUE(host_.deleted.empty());
}

TEST_F(SnapshotsTest, FileTargetIsReplacedOnlyFromAnExistingCopy) {
  const std::wstring target = L"C:\\cfg\\app.ini";
  // Neither live file nor copy: nothing appears, least of all a folder.
  snapshots_.MirrorFolder(L"", 1, 1, target, 1, 0);
  EXPECT_FALSE(Has(C("cfg/app.ini")));

  // A live file without a copy stays.
  MakeFile(C("cfg/app.ini"), "live");
  snapshots_.MirrorFolder(L"", 1, 1, target, 1, 0);
  EXPECT_EQ(ReadHost(C("cfg/app.ini")), "live");

  // The backup makes both copies; a later restore puts them back, also
  // when the live file has gone.
  snapshots_.MirrorFolder(L"", 0, 1, target, 1, 0);
  EXPECT_EQ(ReadHost(R("cfg/app.ini")), "live");
  EXPECT_EQ(ReadHost(R2("cfg/app.ini")), "live");
  MakeFile(C("cfg/app.ini"), "changed");
  snapshots_.MirrorFolder(L"", 1, 1, target, 1, 0);
  EXPECT_EQ(ReadHost(C("cfg/app.ini")), "live");
  std::filesystem::remove_all(C("cfg"));
  snapshots_.MirrorFolder(L"", 1, 1, target, 1, 0);
  EXPECT_TRUE(std::filesystem::is_regular_file(C("cfg/app.ini")));

  // Protection off drops the R2 copy only.
  snapshots_.MirrorFolder(L"", 0, 0, target, 1, 0);
  EXPECT_FALSE(Has(R2("cfg/app.ini")));
  EXPECT_TRUE(Has(R("cfg/app.ini")));
  EXPECT_TRUE(Has(C("cfg/app.ini")));
}

TEST_F(SnapshotsTest, LinksInsideATargetAreNeverFollowed) {
  MakeFile(C("Outside/secret.txt"), "outside");
  MakeFile(C("T/a.txt"), "a");
  Link(C("T/out"), C("Outside"));
  Link(C("T/sub/loop"), C("T"));  // a loop back to the target

  snapshots_.MirrorFolder(L"", 0, 1, L"C:\\T\\", 1, 0);
  EXPECT_TRUE(Has(R("T/a.txt")));
  EXPECT_FALSE(Has(R("T/out")));
  EXPECT_FALSE(Has(R2("T/sub/loop")));

  // A link placed in R2 is not followed by a restore either.
  Link(R2("T/out2"), C("Outside"));
  snapshots_.MirrorFolder(L"", 1, 1, L"C:\\T\\", 1, 0);
  EXPECT_FALSE(Has(C("T/out2")));

  snapshots_.MirrorFolder(L"", 0, 0, L"C:\\T\\", 1, 0);
  EXPECT_EQ(ReadHost(C("Outside/secret.txt")), "outside");
  EXPECT_FALSE(Has(R2("T")));
}

TEST_F(SnapshotsTest, ATargetHoldingTheProductFolderLeavesTheMirrorsOut) {
  MakeFile(C("Program Files/Other/x.dll"), "x");
  MakeFile(Product("ZVMain.exe"), "main");
  for (int pass = 0; pass < 2; ++pass) {
    snapshots_.MirrorFolder(L"", 0, 1, L"C:\\Program Files\\", 1, 0);
    snapshots_.MirrorFolder(L"", 1, 1, L"C:\\Program Files\\", 1, 0);
  }
  EXPECT_TRUE(Has(R("Program Files/Other/x.dll")));
  EXPECT_TRUE(Has(R("Program Files/ZV/ZVMain.exe")));
  EXPECT_FALSE(Has(R("Program Files/ZV/R")));
  EXPECT_FALSE(Has(R("Program Files/ZV/R2")));
  EXPECT_FALSE(Has(R2("Program Files/ZV/R2")));
  EXPECT_FALSE(Has(Product("R2/C/Program Files/ZV/R")));

  // A target inside the mirrors themselves is refused.
  EXPECT_EQ(snapshots_.MirrorFolder(L"", 0, 0, L"C:\\Program Files\\ZV\\R2\\", 1, 0), 0);
  EXPECT_TRUE(Has(Product("R2")));
}

TEST_F(SnapshotsTest, AppRepositoryRemovesUnlistedFilesAndMirrorsTheBackupList) {
  const path repo = C("ProgramData/Microsoft/Windows/AppRepository");
  MakeFile(repo / "Listed.srd", "1");
  MakeFile(repo / "new.srd", "2");
  MakeFile(repo / "Packages" / "pkg.xml", "3");
  MakeFile(repo / "Packages" / "added.xml", "4");
  MakeFile(Product("ZVVstInAppRepository.ini"),
           "[Setting]\r\nRemoveNewFileInAppRepositoryDirectory=1\r\n"
           "[Backup]\r\n0=C:\\X\\\r\n1=\r\n2=C:\\Y\\\r\n");
  MakeFile(C("X/x.txt"), "x");
  MakeFile(C("Y/y.txt"), "y");

  // Without the listing nothing is removed.
  host_.protection = 0;
  snapshots_.CleanAppRepository();
  EXPECT_TRUE(Has(repo / "new.srd"));

  MakeFile(Product("AppRepositoryList.ini"),
           "[C:\\PROGRAMDATA\\MICROSOFT\\WINDOWS\\APPREPOSITORY]\r\n0=listed.SRD\r\n"
           "[C:\\PROGRAMDATA\\MICROSOFT\\WINDOWS\\APPREPOSITORY\\PACKAGES]\r\n0=PKG.XML\r\n");
  host_.protection = 1;
  snapshots_.CleanAppRepository();
  EXPECT_TRUE(Has(repo / "Listed.srd"));
  EXPECT_FALSE(Has(repo / "new.srd"));
  EXPECT_TRUE(Has(repo / "Packages" / "pkg.xml"));
  EXPECT_FALSE(Has(repo / "Packages" / "added.xml"));
  EXPECT_TRUE(Has(Product("AppRepositoryList.ini")));  // kept while protection is on
  EXPECT_TRUE(Has(R("X/x.txt")));
  EXPECT_TRUE(Has(R2("X/x.txt")));
  EXPECT_FALSE(Has(R("Y")));

  host_.protection = 0;
  MakeFile(repo / "later.srd", "5");
  snapshots_.CleanAppRepository();
  EXPECT_FALSE(Has(repo / "later.srd"));
  EXPECT_FALSE(Has(Product("AppRepositoryList.ini")));
  EXPECT_FALSE(Has(R2("X")));
}

}  // namespace
}  // namespace zv::startup::testing
