// The zvmachine program end to end: commands, output and exit codes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "tools/tests/zvmachine_run.h"

namespace fs = std::filesystem;
using zv::tools::testing::Zvm;

TEST(Zvmachine, CommandsAndExitCodes) {
  fs::path root = fs::temp_directory_path() / ("zvm-tool-" + std::to_string(getpid()));
  fs::remove_all(root);
  EXPECT_EQ(Zvm(root, "volume list").code, 1);  // no machine yet
  EXPECT_EQ(Zvm(root, "create").code, 0);
  EXPECT_EQ(Zvm(root, "volume add '\\Device\\CdRom0' e").code, 0);
  EXPECT_NE(Zvm(root, "volume list").out.find("E:  \\Device\\CdRom0  volumes/CdRom0"), std::string::npos);
  EXPECT_EQ(Zvm(root, "volume add '\\Device\\Nothing0'").code, 1);
  EXPECT_EQ(Zvm(root, "volume letter '\\Device\\CdRom0' none").code, 0);
  EXPECT_NE(Zvm(root, "volume list").out.find("--  \\Device\\CdRom0"), std::string::npos);

  auto dir = Zvm(root, "dir 'C:\\'");
  EXPECT_EQ(dir.code, 0);
  EXPECT_NE(dir.out.find("PROGRA~1      Program Files\n"), std::string::npos) << dir.out;
  EXPECT_EQ(Zvm(root, "dir 'C:\\nowhere'").code, 1);

  EXPECT_NE(Zvm(root, "attrib 'c:\\windows' +h +s").out.find("D-HS-"), std::string::npos);
  EXPECT_NE(Zvm(root, "attrib 'C:\\Windows' -s").out.find("D-H--"), std::string::npos);
  EXPECT_EQ(Zvm(root, "attrib 'C:\\Windows' +q").code, 2);

  EXPECT_EQ(Zvm(root, "setting set fail.OpenProcessToken 1").code, 0);
  EXPECT_EQ(Zvm(root, "setting get fail.OpenProcessToken").out, "1\n");
  EXPECT_EQ(Zvm(root, "setting clear fail.OpenProcessToken").code, 0);
  EXPECT_EQ(Zvm(root, "setting get fail.OpenProcessToken").code, 1);

  EXPECT_EQ(Zvm(root, "").code, 2);
  EXPECT_EQ(Zvm(root, "frobnicate").code, 2);
  EXPECT_EQ(Zvm(root, "--help").code, 0);
  fs::remove_all(root);
}
