// The support-library stand-ins on a throw-away machine: tree deletion that
// never follows links, size-less buffers, the settings reader's untouched
// buffer, the product data store's file and the version checks.
#include <gtest/gtest.h>

#include <cwchar>
#include <filesystem>

#include "platform/files/testing/machine_fixture.h"
#include "suite/support/zvdata/product_data.h"
#include "suite/support/zvgcode/zvgcode.h"
#include "suite/support/zvini/ini_file.h"

namespace fs = std::filesystem;
using namespace zv::support;

namespace {

class SupportLibraries : public zv::platform::testing::MachineTest {};

TEST_F(SupportLibraries, DeleteDirectoryRemovesLinksNotTheirTargets) {
  MakeFile(C("keep/inner/precious.txt"), "p");
  MakeFile(C("keep/top.txt"), "t");
  MakeFile(C("tree/a/b/file.txt"));
  MakeFile(C("tree/readonly.txt"));
  ASSERT_EQ(std::system(("chmod a-w '" + C("tree/readonly.txt").string() + "'").c_str()), 0);
  fs::create_directory_symlink(C("keep"), C("tree/a/dirlink"));
  fs::create_symlink(C("keep/top.txt"), C("tree/filelink"));
  fs::create_directory_symlink(C("keep/inner"), C("linkedtree"));

  DeleteDirectory(L"C:\\tree\\");
  EXPECT_FALSE(fs::exists(fs::symlink_status(C("tree"))));
  // The link given as the folder goes itself.
  DeleteDirectory(L"C:\\linkedtree");
  EXPECT_FALSE(fs::exists(fs::symlink_status(C("linkedtree"))));
  EXPECT_EQ(ReadHost(C("keep/inner/precious.txt")), "p");
  EXPECT_EQ(ReadHost(C("keep/top.txt")), "t");
  DeleteDirectory(L"C:\\missing");  // nothing to do, nothing reported
}

TEST_F(SupportLibraries, SizelessBuffersAndStoredValues) {
  wchar_t buffer[kSizelessUnits];
  ASSERT_EQ(GetFolderName_QD(buffer), 1);
  EXPECT_STREQ(buffer, L"C:\\Program Files\\ZV\\");
  machine_->SetSetting("product.folder", "D:\\Product");
  ASSERT_EQ(GetFileName_QDData(buffer), 1);
  EXPECT_STREQ(buffer, L"D:\\Product\\ZVData.dat");
  // 259 units do not fit with the terminator: an empty answer, and nothing
  // written past the buffer.
  machine_->SetSetting("product.folder", "C:\\" + std::string(255, 'a') + "\\");
  wchar_t guarded[kSizelessUnits + 1];
  guarded[kSizelessUnits] = L'#';
  EXPECT_EQ(GetFolderName_QD(guarded), 1);
  EXPECT_EQ(std::wcslen(guarded), 259u);
  EXPECT_EQ(GetFileName_QDData(guarded), 0);
  EXPECT_STREQ(guarded, L"");
  EXPECT_EQ(guarded[kSizelessUnits], L'#');

  EXPECT_EQ(GetVistaCurrentUserRegistryKey(buffer), 0);
  ASSERT_EQ(WriteCurrentUserRegistryKey(L"S-1-5-21-1-2-3-1001"), 1);
  ASSERT_EQ(GetVistaCurrentUserRegistryKey(buffer), 1);
  EXPECT_STREQ(buffer, L"S-1-5-21-1-2-3-1001");

  // Versions: Vista and later from 6.0; 7 exactly 6.1; 8 is 6.2 and 6.3.
  struct Case {
    const char* version;
    int vista, seven, eight;
  };
  for (Case c : {Case{"5.1.2600", 0, 0, 0}, Case{"6.0.6002", 1, 0, 0}, Case{"6.1.7601", 1, 1, 0},
                 Case{"6.2.9200", 1, 0, 1}, Case{"6.3.9600", 1, 0, 1}, Case{"10.0.19045", 1, 0, 0}}) {
    machine_->SetSetting("machine.windows_version", c.version);
    EXPECT_EQ(CheckVersionIsVista(), c.vista) << c.version;
    EXPECT_EQ(CheckVersionIsWindows7(), c.seven) << c.version;
    EXPECT_EQ(CheckVersionIsWindows8(), c.eight) << c.version;
  }
}

TEST_F(SupportLibraries, SettingsReaderLeavesTheBufferForAMissingKey) {
  MakeFile(C("VMQClient.ini"), "[INSTANCE]\r\nOTHER=1\r\n[More]\r\nWINDOWTITLE=" + std::string(300, 'w') + "\r\n");
  wchar_t title[kSizelessUnits + 1] = L"VMQ_Client";
  title[kSizelessUnits] = L'#';
  CINIFile ini(L"C:\\VMQClient.ini", 0);
  EXPECT_EQ(ini.GetString(L"INSTANCE", L"WINDOWTITLE", title), 0);
  EXPECT_STREQ(title, L"VMQ_Client");
  CINIFile missing(L"C:\\none.ini", 0);
  EXPECT_EQ(missing.GetString(L"INSTANCE", L"WINDOWTITLE", title), 0);
  EXPECT_STREQ(title, L"VMQ_Client");
  EXPECT_EQ(ini.GetString(L"more", L"windowtitle", title), 1);  // cut to 259 units
  EXPECT_EQ(std::wcslen(title), 259u);
  EXPECT_EQ(title[kSizelessUnits], L'#');
}

TEST_F(SupportLibraries, ProductDataStore) {
  const std::wstring path = L"C:\\ZVData.dat";
  int value = 7;
  // A missing store is an empty one: nothing is read.
  EXPECT_EQ(OpenZVData(path.c_str(), 256), 1);
  EXPECT_EQ(GetZVData(1, 0, 1, 4, &value), 0);
  EXPECT_EQ(value, 7);
  EXPECT_EQ(CloseZVData(), 1);

  ASSERT_TRUE(WriteProductDataItem(path, 1, {1, 0, 0, 0}));
  ASSERT_TRUE(WriteProductDataItem(path, 70, {0xFF, 0xFF, 0xFF, 0xFF}));
  ASSERT_TRUE(WriteProductDataItem(path, 1, {2, 1, 0, 0}));
  EXPECT_EQ(ReadHost(C("ZVData.dat")), "ZVDATA 1\r\n1=02010000\r\n70=FFFFFFFF\r\n");
  for (const auto& e : fs::directory_iterator(C())) EXPECT_NE(e.path().extension(), ".tmp");  // none left behind

  ASSERT_EQ(OpenZVData(path.c_str(), 256), 1);
  EXPECT_EQ(GetZVData(1, 0, 1, 4, &value), 1);
  EXPECT_EQ(value, 0x102);
  EXPECT_EQ(GetZVData(70, 0, 1, 4, &value), 1);
  EXPECT_EQ(value, -1);
  EXPECT_EQ(GetZVData(300, 0, 1, 4, &value), 0);  // beyond the items opened for
  CloseZVData();
  EXPECT_EQ(GetZVData(1, 0, 1, 4, &value), 0);  // closed

  MakeFile(C("bad.dat"), "something else\r\n1=01000000\r\n");
  EXPECT_EQ(OpenZVData(L"C:\\bad.dat", 256), 0);
  EXPECT_FALSE(WriteProductDataItem(L"C:\\bad.dat", 1, {1, 0, 0, 0}));  // never overwrites a foreign file
  CloseZVData();
}

}  // namespace
