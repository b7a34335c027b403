// Hive copies under UserReg: made while protection is on, put back when
// the hive file has gone (always, with AlwaysRestoreNTUser 1), deleted with
// protection off, and never copied over a hive that is loaded.
#include <gtest/gtest.h>

#include "platform/registry/hives.h"
#include "startup_init/restore/restore_steps.h"
#include "startup_init/restore/tests/test_host.h"

namespace zv::startup::testing {
namespace {

class UserHivesTest : public StepsTest {
 protected:
  void SetUp() override {
    StepsTest::SetUp();
    ASSERT_EQ(platform::AddUser(*machine_, L"alice", nullptr), 0u);
    ASSERT_EQ(platform::AddUser(*machine_, L"bob", nullptr), 0u);
    SetProtection("1");
  }
  void SetProtection(const std::string& value) { MakeFile(Product("ZVSettings.prs"), "[MAIN]\r\nPROTECT=" + value + "\r\n"); }
  void SetAlwaysRestore(int value) {
    MakeFile(Product("ZVVstInSettings.ini"), "[Settings]\r\nAlwaysRestoreNTUser=" + std::to_string(value) + "\r\n");
  }
  path Live(const std::string& user) const { return C("Users/" + user + "/ntuser.dat"); }
  path LiveClasses(const std::string& user) const {
    return C("Users/" + user + "/AppData/Local/Microsoft/Windows/UsrClass.dat");
  }
  path Saved(const std::string& user, const std::string& file = "ntuser.dat") const {
    return Product("UserReg/" + user + "/" + file);
  }

  RestoreSteps steps_{host_};
};

TEST_F(UserHivesTest, FirstCopyStaysAndComesBackWhenTheHiveHasGone) {
  const std::string original = ReadHost(Live("alice"));
  steps_.RestoreUserHives(0);
  EXPECT_EQ(ReadHost(Saved("alice")), original);
  EXPECT_TRUE(Has(Saved("alice", "UsrClass.dat")));
  EXPECT_TRUE(Has(Saved("bob")));

  // A changed hive is left alone and the saved copy keeps the first state.
  MakeFile(Live("alice"), "changed");
  steps_.RestoreUserHives(0);
  EXPECT_EQ(ReadHost(Live("alice")), "changed");
  EXPECT_EQ(ReadHost(Saved("alice")), original);

  // A missing hive gets its saved copy back even with AlwaysRestoreNTUser 0.
  SetAlwaysRestore(0);
  std::filesystem::remove(LiveClasses("bob"));
  steps_.RestoreUserHives(0);
  EXPECT_TRUE(Has(LiveClasses("bob")));

  // AlwaysRestoreNTUser 1 replaces the changed one too.
  SetAlwaysRestore(1);
  steps_.RestoreUserHives(0);
  EXPECT_EQ(ReadHost(Live("alice")), original);
}

TEST_F(UserHivesTest, ProtectionOffDeletesTheSavedCopiesUnlessForced) {
  steps_.RestoreUserHives(0);
  ASSERT_TRUE(Has(Saved("alice")));
  // The module switched off counts as protection off.
  MakeFile(Product("ZVDlg.ini"), "[ZVMFol.dll]\r\nDISABLE=1\r\n");
  steps_.RestoreUserHives(1);
  EXPECT_TRUE(Has(Saved("alice")));
  steps_.RestoreUserHives(0);
  EXPECT_FALSE(Has(Saved("alice")));
  EXPECT_FALSE(Has(Saved("bob", "UsrClass.dat")));
  EXPECT_TRUE(Has(Live("alice")));
}

TEST_F(UserHivesTest, ALoadedHiveIsNeverCopiedOver) {
  steps_.RestoreUserHives(0);
  MakeFile(Saved("alice"), "saved state");
  SetAlwaysRestore(1);
  ASSERT_EQ(platform::Logon(*machine_, L"alice"), 0u);
  const std::string loaded = ReadHost(Live("alice"));
  steps_.RestoreUserHives(0);
  EXPECT_EQ(ReadHost(Live("alice")), loaded);
  EXPECT_TRUE(host_.Logged(L"hive in use"));
  // bob is not logged on: his hive is restored in the same pass.
  MakeFile(Live("bob"), "changed");
  steps_.RestoreUserHives(0);
  EXPECT_NE(ReadHost(Live("bob")), "changed");

  ASSERT_EQ(platform::Logoff(*machine_, L"alice"), 0u);
  steps_.RestoreUserHives(0);
  EXPECT_EQ(ReadHost(Live("alice")), "saved state");
}

}  // namespace
}  // namespace zv::startup::testing
