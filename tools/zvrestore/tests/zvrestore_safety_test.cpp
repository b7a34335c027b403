// zvrestore against hostile deletion logs and backup trees: lines that are
// not absolute drive paths, relative components, another machine's drive,
// the restore's own folders, links planted inside a new folder or in the
// backup tree, and backup folders that are the start-up program's mirror
// trees. Nothing outside what the logs rightly name is touched.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/base/text.h"
#include "suite/driver/testing/zvorx_program_test.h"

namespace zv::tools::restore {
namespace {

namespace fs = std::filesystem;
using suite::testing::Count;
using suite::testing::ReadFile;

class RestoreSafetyTest : public suite::testing::ZvorxProgramTest {
 protected:
  RestoreSafetyTest() : ZvorxProgramTest("zvrh-", fs::path(ZV_TEST_DATA_DIR)) {}

  fs::path C(const std::string& rel = "") const { return root_ / "volumes" / "C" / rel; }
  void MakeFile(const fs::path& p, const std::string& content) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << content;
  }
  // Runs zvrestore; its error output must hold no sanitizer report.
  std::optional<int> Restore(const std::string& name, std::vector<std::string> args = {}) {
    std::optional<int> code = Run(name, "zvrestore", std::move(args));
    Err(name);
    return code;
  }
  // A deletion log as the engine writes it: UTF-16LE, each line ended by 0x000A.
  void WriteLog(const std::string& rel, const std::vector<std::wstring>& lines) {
    std::string bytes;
    for (const std::wstring& line : lines) bytes += text::ToUtf16Le(line + L"\n");
    MakeFile(C(rel), bytes);
  }
};

TEST_F(RestoreSafetyTest, HostileLinesAndLinksTouchNothingOutside) {
  MakeFile(C("Outside/victim.txt"), "keep");
  MakeFile(root_ / "offdrive/secret.txt", "secret");
  MakeFile(C("Prot/Case.txt"), "new file");
  MakeFile(C("Prot/NewDir/made.txt"), "made inside");
  fs::create_directory_symlink(C("Outside"), C("Prot/NewDir/link"));
  fs::create_directory_symlink(root_ / "offdrive", C("Prot/NewDir/off"));
  fs::create_directory_symlink(C("Outside"), C("Prot/NewLink"));
  // The backup tree: a link in it, a file to put back through a link, a
  // letter that is no drive here, a folder that is no letter.
  fs::create_directories(C("qd/r/C/Prot"));
  fs::create_directory_symlink(C("Outside"), C("qd/r/C/Prot/viaLink"));
  MakeFile(C("qd/r/C/Prot/NewLink/f.txt"), "through a link");
  MakeFile(C("qd/r/Z/x.txt"), "no drive Z");
  MakeFile(C("qd/r/notadrive/x.txt"), "no letter");
  WriteLog("qd/deletelog.dat", {
                                   L"Prot\\rel.txt",
                                   L"\\\\?\\C:\\Prot\\..\\Outside\\victim.txt",
                                   L"\\\\?\\C:\\Prot\\.\\x",
                                   L"\\\\?\\C:\\Prot\\a\\\\b",
                                   L"\\\\?\\Q:\\Prot\\x",
                                   L"\\??\\C:\\Outside\\victim.txt",
                                   L"C:\\Outside\\victim.txt",
                                   L"\\\\?\\C:\\qd",
                                   L"\\\\?\\C:\\Prot\\NewDir\\link\\victim.txt",
                                   L"\\\\?\\C:\\Prot\\NewDir\\off\\secret.txt",
                                   L"\\\\?\\C:\\Prot\\Case.txt",
                                   L"\\\\?\\C:\\PROT\\CASE.TXT",
                               });
  WriteLog("qd/deletelog.dat_dir", {L"\\\\?\\C:\\Prot\\NewDir"});

  ASSERT_EQ(Restore("restore"), 1) << Out("restore") << Err("restore");
  std::string out = Out("restore");
  EXPECT_EQ(Count(out, "\nrefused ") + (out.rfind("refused ", 0) == 0), 8) << out;
  EXPECT_NE(out.find("summary: 0 restored, 0 folders created, 2 moved aside, 0 unchanged, 7 skipped, 8 refused"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("skipped \\\\?\\C:\\Prot\\NewDir\\link\\victim.txt: \\\\?\\C:\\Prot\\NewDir\\link is a link"),
            std::string::npos)
      << out;

  // Nothing reached through a link, nothing outside the drives.
  EXPECT_EQ(ReadFile(C("Outside/victim.txt")), "keep");
  EXPECT_EQ(ReadFile(root_ / "offdrive/secret.txt"), "secret");
  EXPECT_FALSE(fs::exists(C("Outside/f.txt")));
  EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(C("Outside")), {}).size(), 1u);
  // The new folder went aside whole, its links as links; case variants once.
  const fs::path q = C("qd/quarantine/C/Prot");
  EXPECT_FALSE(fs::exists(C("Prot/NewDir")));
  EXPECT_EQ(ReadFile(q / "NewDir/made.txt"), "made inside");
  EXPECT_TRUE(fs::is_symlink(q / "NewDir/link"));
  EXPECT_TRUE(fs::is_symlink(q / "NewDir/off"));
  EXPECT_EQ(ReadFile(q / "Case.txt"), "new file");
  EXPECT_FALSE(fs::exists(C("Prot/Case.txt")));
  EXPECT_TRUE(fs::is_symlink(C("Prot/NewLink")));
  EXPECT_TRUE(fs::exists(C("qd/r/C/Prot/NewLink/f.txt")));

  // The backup tree and the logs are kept while problems remain.
  ASSERT_EQ(Restore("clear", {"--clear"}), 1) << Out("clear");
  EXPECT_NE(Out("clear").find("backup tree and logs kept"), std::string::npos) << Out("clear");
  EXPECT_TRUE(fs::exists(C("qd/r/Z/x.txt")));
  EXPECT_GT(fs::file_size(C("qd/deletelog.dat")), 0u);
}

TEST_F(RestoreSafetyTest, RefusesMirrorTreesAndOverlappingFolders) {
  MakeFile(C("Program Files/ZV/R/C/Prot/doc.txt"), "snapshot");
  MakeFile(C("Prot/doc.txt"), "current");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--backup-folder", "C:\\Program Files\\ZV\\R\\"}, "mirror tree"},
      {{"--backup-folder", "c:\\program files\\zv\\r2"}, "mirror tree"},
      {{"--backup-folder", "C:\\Program Files\\ZV"}, "mirror tree"},
      {{"--backup-folder", "D:\\Snap\\R", "--product-folder", "D:\\Snap"}, "mirror tree"},
      {{"--backup-folder", "C:\\"}, "drive root"},
      {{"--backup-folder", "qd\\r"}, "backup folder"},
      {{"--quarantine", "C:\\qd\\r\\q"}, "inside one another"},
      {{"--delete-log", "C:\\qd\\r\\log.dat"}, "deletion log lies inside"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Restore("refused", c.args), 3) << c.args[1];
    EXPECT_NE(Err("refused").find(c.message), std::string::npos) << c.args[1] << ": " << Err("refused");
  }
  EXPECT_EQ(ReadFile(C("Prot/doc.txt")), "current");
  // Another product folder frees the name.
  EXPECT_EQ(Restore("other", {"--backup-folder", "C:\\Program Files\\ZV\\R", "--product-folder", "C:\\Other",
                              "--dry-run"}),
            0)
      << Err("other");
  EXPECT_NE(Out("other").find("would restore \\\\?\\C:\\Prot\\doc.txt"), std::string::npos) << Out("other");
  EXPECT_EQ(ReadFile(C("Prot/doc.txt")), "current");
}

}  // namespace
}  // namespace zv::tools::restore
