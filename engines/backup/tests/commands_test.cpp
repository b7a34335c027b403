// The BE_ command set and the backup paths built from device paths.
#include <filesystem>

#include "engines/backup/tests/engine_fixture.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"

namespace zv::engines::testing {
namespace {

using zv::testing::LogCapture;

TEST_F(BackupEngineTest, CommandsEchoActOnTheirNamesOnlyAndReturnTheirResults) {
  LogCapture log(0x8 | 1);
  EXPECT_EQ(Int(L"BE_SETTING_CLEAR", 5), 1);
  EXPECT_EQ(Int(L"be_set_enginework", 1), 1);  // names are case-sensitive
  EXPECT_FALSE(engine_->Working());
  EXPECT_EQ(Int(L"AC_SET_EXCUTECONTROL", 1), 1);
  EXPECT_EQ(Str(L"BE_ADD_PROTECTPATH", L"C:\\Data"), 1);
  EXPECT_EQ(Str(L"BE_ADD_PROTECTFILE", L"c:\\Data\\report.doc"), 1);
  EXPECT_EQ(Str(L"BE_ADD_FREEPATH", L"C:\\Data\\Tmp\\"), 1);
  EXPECT_EQ(Str(L"BE_ADD_FREEFILE", L"abc"), 1);
  EXPECT_EQ(Str(L"BE_ADD_FREEPROCESSNAME", L"X"), 0);
  EXPECT_EQ(Str(L"BE_ADD_FREEPROCESSEXCEPTION", L"Y"), 0);
  EXPECT_EQ(Str(L"BE_UNKNOWN", L"z"), 0);
  EXPECT_EQ(engine_->ProtectPathsCopy(),
            (std::set<std::wstring>{L"\\\\?\\c:\\data\\", L"\\\\?\\c:\\data\\report.doc\\"}));
  // Short results get the prefix whatever their second unit.
  EXPECT_EQ(engine_->FreePathsCopy(), (std::set<std::wstring>{L"\\\\?\\c:\\data\\tmp\\", L"\\\\?\\abc\\"}));
  EXPECT_EQ(NormalizeBackupRulePath(L"c:"), L"\\\\?\\c:\\");
  EXPECT_EQ(NormalizeBackupRulePath(L"\\\\?\\C:\\X"), L"\\\\?\\c:\\x\\");
  EXPECT_EQ(NormalizeBackupRulePath(L"setup.exe"), L"setup.exe\\");

  // The backup folder: a trailing backslash, no case change, and free.
  EXPECT_EQ(engine_->BackupRootCopy(), L"c:\\qd\\r\\");
  EXPECT_EQ(Str(L"BE_SET_BACKUPPATH", L"D:\\Bk"), 1);
  EXPECT_EQ(engine_->BackupRootCopy(), L"D:\\Bk\\");
  EXPECT_EQ(engine_->FreePathsCopy().count(L"\\\\?\\d:\\bk\\"), 1u);
  // Empty values would back up into the drive roots or store keys that
  // match nothing: refused.
  EXPECT_EQ(Str(L"BE_SET_BACKUPPATH", L""), 1);
  EXPECT_EQ(Str(L"BE_ADD_PROTECTPATH", L""), 1);
  EXPECT_EQ(Str(L"BE_ADD_FREEPATH", L""), 1);
  EXPECT_EQ(engine_->BackupRootCopy(), L"D:\\Bk\\");
  EXPECT_EQ(engine_->ProtectPathsCopy().size(), 2u);
  EXPECT_EQ(engine_->FreePathsCopy().size(), 3u);

  auto lines = log.Lines();
  EXPECT_EQ(Count(lines, L"BE ---- RPCListen_i AC_SET_EXCUTECONTROL , 1"), 1);
  EXPECT_EQ(Count(lines, L"BE ---- RPCListen_s BE_ADD_PROTECTPATH , C:\\Data"), 1);
  EXPECT_EQ(Count(lines, L"BE ---- <ERROR> BE_SET_BACKUPPATH with an empty path is ignored"), 1);

  // BE_CLEARSETTING empties paths and free names; exceptions, the backup
  // folder and the deletion logs stay.
  Str(L"BE_SET_DELETELOG", L"c:\\logs\\d.dat");
  EXPECT_EQ(Int(L"BE_CLEARSETTING", 0), 1);
  EXPECT_TRUE(engine_->ProtectPathsCopy().empty());
  EXPECT_TRUE(engine_->FreePathsCopy().empty());
  EXPECT_EQ(engine_->GetFreeProcessByRule(L"xy"), 1);
  EXPECT_EQ(engine_->GetFreeProcessByRule(L"x"), 0);
  EXPECT_EQ(engine_->BackupRootCopy(), L"D:\\Bk\\");
  EXPECT_EQ(engine_->DeleteLogPaths().first, L"c:\\logs\\d.dat");
}

TEST_F(BackupEngineTest, ProcessIdCommandsAndTheFreeProcessList) {
  win::DWORD app = Spawn(L"C:\\Apps\\App.exe");
  EXPECT_EQ(Int(L"BE_ADD_FREEPROCESSID", static_cast<int>(app)), 1);
  EXPECT_EQ(Int(L"BE_ADD_FREEPROCESSID", 123456), 1);
  EXPECT_EQ(Int(L"BE_ADD_NORMALPROCESSID", 4), 1);
  EXPECT_EQ(Type(4), kBackupProcessNormal);

  // Running free processes by their module path, then the whole table.
  LogCapture log(0x2000);
  Int(L"BE_FREEPROCESS_LIST", 0);
  auto lines = log.Lines();
  EXPECT_EQ(Count(lines, L"BE ---- Free_Process_List " + std::to_wstring(app) + L" , c:\\apps\\app.exe"), 1);
  EXPECT_EQ(Count(lines, L"BE ---- Total FreeProcess 1"), 1);
  EXPECT_EQ(Count(lines, L"BE ---- Free_Process From Map [ 123456]"), 1);
  EXPECT_EQ(Count(lines, L"BE ---- Total FreeProcess From Map 2"), 1);
}

TEST_F(BackupEngineTest, RedirectPathsKeepTheDriveLetterAndExpandShortNames) {
  PathMatch match;
  auto search = [&](const std::wstring& path) {
    DevicePathConverter converter;
    converter.CompilePathPatterns();
    EXPECT_EQ(converter.SearchDevicePath(path, match), PathSearch::Match) << text::ToUtf8(path);
    return engine_->MakeRedirectPathString(match);
  };
  RedirectPaths p = search(L"\\Device\\HarddiskVolume2\\Users\\a\\doc.txt");
  EXPECT_EQ(p.DosPath, L"\\\\?\\C:\\Users\\a\\doc.txt");
  EXPECT_EQ(p.BackupFolder, L"\\\\?\\c:\\qd\\r\\C\\Users\\a");
  EXPECT_EQ(p.BackupFile, L"\\\\?\\c:\\qd\\r\\C\\Users\\a\\doc.txt");
  p = search(L"\\Device\\HarddiskVolume2\\readme.txt");
  EXPECT_EQ(p.DosPath, L"\\\\?\\C:\\readme.txt");
  EXPECT_EQ(p.BackupFolder, L"\\\\?\\c:\\qd\\r\\C");
  EXPECT_EQ(p.BackupFile, L"\\\\?\\c:\\qd\\r\\C\\readme.txt");

  // 8.3 names: an existing file and one that does not exist yet.
  MakeFile(C("Program Files/Big App/Existing File.txt"));
  win::WCHAR shortPath[512] = {};
  ASSERT_GT(platform::Files::Get().GetShortPathNameW(L"C:\\Program Files\\Big App\\Existing File.txt", shortPath,
                                                    512),
            0u);
  std::wstring shortText = shortPath;
  ASSERT_NE(shortText.find(L'~'), std::wstring::npos) << text::ToUtf8(shortText);
  Str(L"BE_SET_BACKUPPATH", L"c:\\bk");
  p = search(L"\\Device\\HarddiskVolume2" + shortText.substr(2));
  EXPECT_EQ(p.DosPath, L"\\\\?\\C:\\Program Files\\Big App\\Existing File.txt");
  EXPECT_EQ(p.BackupFolder, L"\\\\?\\c:\\bk\\C\\Program Files\\Big App");
  EXPECT_EQ(p.BackupFile, L"\\\\?\\c:\\bk\\C\\Program Files\\Big App\\Existing File.txt");
  std::wstring shortFolder = shortText.substr(2, shortText.rfind(L'\\') - 2);
  p = search(L"\\Device\\HarddiskVolume2" + shortFolder + L"\\new.txt");
  EXPECT_EQ(p.DosPath, L"\\\\?\\C:\\Program Files\\Big App\\new.txt");
  EXPECT_EQ(p.BackupFolder, L"\\\\?\\c:\\bk\\C\\Program Files\\Big App");
  EXPECT_EQ(p.BackupFile, L"\\\\?\\c:\\bk\\C\\Program Files\\Big App\\new.txt");

  // A device without a DOS name: an error line and nothing else.
  LogCapture log(1);
  p = search(L"\\Device\\HarddiskVolume9\\a.txt");
  EXPECT_TRUE(p.DosPath.empty() && p.BackupFile.empty() && p.BackupFolder.empty());
  EXPECT_EQ(Count(log.Lines(), L"MakeRedirectPathString ---- <ERROR> (ERROR:0x80070002)=myFilterGetDosName("
                               L"\\Device\\HarddiskVolume9)"),
            1);
}

}  // namespace
}  // namespace zv::engines::testing
