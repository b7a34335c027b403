// zvmachine's install step, program starts and windows, end to end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "tools/tests/zvmachine_run.h"

namespace fs = std::filesystem;

namespace {

zv::tools::testing::ToolRun Zvm(const fs::path& root, const std::string& args) {
  return zv::tools::testing::Zvm(root, args, "ZV_TIME_SCALE=100 ");
}

}  // namespace

TEST(ZvmachinePrograms, InstallStartAndWindows) {
  fs::path root = fs::temp_directory_path() / ("zvm-programs-" + std::to_string(getpid()));
  fs::remove_all(root);
  ASSERT_EQ(Zvm(root, "create").code, 0);
  EXPECT_EQ(Zvm(root, "program start notepad.exe").code, 1);  // nothing installed yet
  ASSERT_EQ(Zvm(root, "install").code, 0);
  EXPECT_TRUE(fs::is_directory(root / "volumes/C/qd"));
  EXPECT_TRUE(fs::is_directory(root / "volumes/C/Windows/zv/zvorx"));
  EXPECT_TRUE(fs::is_regular_file(root / "volumes/C/Windows/SysWOW64/net.exe"));

  auto start = Zvm(root, "program start --session 0 --show 0 --wait sc.exe stop SysMain");
  EXPECT_EQ(start.code, 0);
  EXPECT_NE(start.out.find("ended with exit code 0 "), std::string::npos) << start.out;
  auto list = Zvm(root, "program list");
  EXPECT_NE(list.out.find("session 0 64-bit cb 104 flags 0x0 show 0 desktop '' dir 'C:\\Windows\\System32'"
                          " [recorder] exit 0: sc.exe stop SysMain"),
            std::string::npos)
      << list.out;
  EXPECT_NE(Zvm(root, "program notes").out.find("C:\\Windows\\System32\\sc.exe command_line=sc.exe stop SysMain"),
            std::string::npos);

  auto open = Zvm(root, "window open 'C:\\Users\\a\\doc.txt'");
  ASSERT_EQ(open.code, 0);
  std::string hwnd = open.out.substr(0, open.out.find(' '));
  EXPECT_NE(Zvm(root, "window list").out.find("session 1 desktop 'WinSta0\\Default' class 'ZVRecorder' title "
                                              "'C:\\Users\\a\\doc.txt'"),
            std::string::npos);
  EXPECT_EQ(Zvm(root, "window close " + hwnd + " --send").code, 0);
  EXPECT_EQ(Zvm(root, "window list").out, "");
  EXPECT_EQ(Zvm(root, "window close " + hwnd).code, 1);
  EXPECT_EQ(Zvm(root, "window close").code, 2);
  EXPECT_EQ(Zvm(root, "program start --wait").code, 2);
  fs::path run = root / "run";
  fs::remove_all(fs::is_symlink(run) ? fs::read_symlink(run) : run);
  fs::remove_all(root);
}
