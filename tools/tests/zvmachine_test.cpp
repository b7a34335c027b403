// The zvmachine program end to end: commands, output and exit codes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

struct ToolRun {
  int code;
  std::string out;
};

ToolRun Zvm(const fs::path& root, const std::string& args) {
  const char* bin = std::getenv("ZV_BIN_DIR");
  std::string cmd = std::string(bin ? bin : "build/bin") + "/zvmachine --machine '" + root.string() + "' " + args +
                    " 2>/dev/null";
  ToolRun r{0, {}};
  FILE* p = ::popen(cmd.c_str(), "r");
  std::array<char, 512> buf;
  while (std::size_t n = std::fread(buf.data(), 1, buf.size(), p)) r.out.append(buf.data(), n);
  int status = ::pclose(p);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

}  // namespace

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

  ToolRun dir = Zvm(root, "dir 'C:\\'");
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
