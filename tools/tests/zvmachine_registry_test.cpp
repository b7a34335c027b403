// zvmachine's registry and user commands end to end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tools/tests/zvmachine_run.h"

namespace fs = std::filesystem;
using zv::tools::testing::Zvm;

namespace {

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(ZvmachineRegistry, SetQueryExportImportAndViews) {
  fs::path root = fs::temp_directory_path() / ("zvm-regtool-" + std::to_string(getpid()));
  fs::remove_all(root);
  ASSERT_EQ(Zvm(root, "create").code, 0);
  EXPECT_EQ(Zvm(root, "reg set 'HKLM\\SOFTWARE\\Grüße\\Ключ' /v 'Näme' /d 'Wert ☺'").code, 0);
  EXPECT_EQ(Zvm(root, "reg set 'HKLM\\SOFTWARE\\Grüße\\Ключ' /v Bin /t REG_BINARY /d 00ff10").code, 0);
  EXPECT_EQ(Zvm(root, "reg set 'HKLM\\SOFTWARE\\Grüße' /v Count /t REG_DWORD /d 0x10").code, 0);
  auto q = Zvm(root, "reg query 'HKLM\\SOFTWARE\\Grüße\\Ключ'");
  EXPECT_EQ(q.code, 0);
  EXPECT_NE(q.out.find("    Näme    REG_SZ    Wert ☺\n"), std::string::npos) << q.out;
  EXPECT_NE(q.out.find("    Bin    REG_BINARY    00FF10\n"), std::string::npos) << q.out;
  EXPECT_NE(Zvm(root, "reg query 'HKLM\\SOFTWARE\\Grüße' /v count").out.find("REG_DWORD    0x10"), std::string::npos);
  EXPECT_EQ(Zvm(root, "reg query 'HKLM\\SOFTWARE\\Grüße' /v missing").code, 1);
  EXPECT_EQ(Zvm(root, "reg set 'HKLM\\SOFTWARE\\X' /v d /t REG_DWORD /d 12x").code, 2);
  EXPECT_EQ(Zvm(root, "reg set 'HKLM\\NewHive'").code, 1);

  // Export, remove, import: the same bytes again.
  fs::path file = root / "out.reg";
  ASSERT_EQ(Zvm(root, "reg export 'HKLM\\SOFTWARE\\Grüße' '" + file.string() + "'").code, 0);
  std::string first = Slurp(file);
  ASSERT_EQ(first.substr(0, 2), "\xFF\xFE");
  EXPECT_EQ(Zvm(root, "reg delete 'HKLM\\SOFTWARE\\Grüße'").code, 0);
  EXPECT_EQ(Zvm(root, "reg query 'HKLM\\SOFTWARE\\Grüße'").code, 1);
  ASSERT_EQ(Zvm(root, "reg import '" + file.string() + "'").code, 0);
  ASSERT_EQ(Zvm(root, "reg export 'HKLM\\SOFTWARE\\Grüße' '" + file.string() + ".2'").code, 0);
  EXPECT_EQ(Slurp(file.string() + ".2"), first);
  EXPECT_EQ(Zvm(root, "reg delete 'HKLM\\SOFTWARE\\Grüße' /v Count").code, 0);
  EXPECT_EQ(Zvm(root, "reg delete 'HKLM\\SOFTWARE\\Grüße' /v Count").code, 1);

  // The 32-bit view of an x64 machine.
  EXPECT_EQ(Zvm(root, "reg set 'HKLM\\SOFTWARE\\Vendor' /v v /t REG_DWORD /d 32 /reg:32").code, 0);
  EXPECT_EQ(Zvm(root, "reg query 'HKLM\\SOFTWARE\\WOW6432Node\\Vendor' /v v").code, 0);
  EXPECT_EQ(Zvm(root, "reg query 'HKLM\\SOFTWARE\\Vendor'").code, 1);
  fs::remove_all(root);
}

TEST(ZvmachineRegistry, UsersLogonAndLogoff) {
  fs::path root = fs::temp_directory_path() / ("zvm-usertool-" + std::to_string(getpid()));
  fs::remove_all(root);
  ASSERT_EQ(Zvm(root, "create").code, 0);
  auto add = Zvm(root, "user add bob");
  ASSERT_EQ(add.code, 0);
  std::string sid = add.out.substr(5, add.out.find("  ", 5) - 5);
  EXPECT_EQ(sid.rfind("S-1-5-21-", 0), 0u) << add.out;
  EXPECT_TRUE(fs::exists(root / "volumes/C/Users/bob/ntuser.dat"));
  EXPECT_EQ(Zvm(root, "user add bob").code, 1);
  EXPECT_EQ(Zvm(root, "logon bob").code, 0);
  EXPECT_NE(Zvm(root, "user list").out.find("logged on"), std::string::npos);
  EXPECT_EQ(Zvm(root, "reg set 'HKU\\" + sid + "\\Software\\Zv' /v v /t REG_DWORD /d 7").code, 0);
  EXPECT_NE(Zvm(root, "reg query HKU").out.find("HKEY_USERS\\" + sid + "_Classes\n"), std::string::npos);
  EXPECT_EQ(Zvm(root, "logoff bob").code, 0);
  EXPECT_EQ(Zvm(root, "logoff bob").code, 1);
  EXPECT_EQ(Zvm(root, "reg query 'HKU\\" + sid + "'").code, 1);
  EXPECT_EQ(Zvm(root, "logon bob").code, 0);
  EXPECT_NE(Zvm(root, "reg query 'HKU\\" + sid + "\\Software\\Zv'").out.find("REG_DWORD    0x7"), std::string::npos);
  EXPECT_EQ(Zvm(root, "logon nobody").code, 1);
  fs::remove_all(root);
}

}  // namespace
