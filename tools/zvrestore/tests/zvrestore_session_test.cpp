// A protection session played through the real zvorx and the driver
// stand-in, with the file operations performed after each allow, then rolled
// back with zvrestore: the drive equals its state before the session, the
// quarantine holds what the session created, a second run changes nothing,
// a run stopped half-way finishes when run again, and --clear and --purge
// leave the next session a clean start.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"
#include "suite/driver/driver_events.h"
#include "suite/driver/testing/zvorx_program_test.h"
#include "tools/zvrestore/tests/tree_snapshot.h"

namespace zv::tools::restore {
namespace {

namespace fs = std::filesystem;
using suite::testing::Count;
using suite::testing::ReadFile;
using testing::Snapshot;
using testing::Differences;
using testing::Tree;

const fs::path kTestFiles = fs::path(ZV_TEST_DATA_DIR);

class RestoreSessionTest : public suite::testing::ZvorxProgramTest {
 protected:
  RestoreSessionTest() : ZvorxProgramTest("zvrs-", kTestFiles) {}

  fs::path C(const std::string& rel = "") const { return root_ / "volumes" / "C" / rel; }
  void MakeFile(const std::string& rel, const std::string& content) {
    fs::create_directories(C(rel).parent_path());
    std::ofstream(C(rel)) << content;
  }
  static void SetAttributes(const std::wstring& dos, win::DWORD attributes) {
    ASSERT_TRUE(platform::Files::Get().SetFileAttributesW(dos.c_str(), attributes));
  }
  // The drive as the tests compare it: everything but the backup area.
  Tree Drive() const { return Snapshot(C(), "C:\\", {"qd"}); }
  Tree Quarantine() const { return Snapshot(C("qd/quarantine/C"), "C:\\qd\\quarantine\\C\\"); }
  // Runs zvrestore; its error output must hold no sanitizer report.
  std::optional<int> Restore(const std::string& name, std::vector<std::string> args = {}) {
    std::optional<int> code = Run(name, "zvrestore", std::move(args));
    Err(name);
    return code;
  }
  // Puts the drive back as the session left it.
  void ResetDrive() {
    fs::remove_all(C());
    ASSERT_EQ(std::system(("cp -a '" + (root_ / "after-session").string() + "' '" + C().string() + "'").c_str()), 0);
  }
};

TEST_F(RestoreSessionTest, SessionRolledBackAndResumable) {
  MakeFile("Prot/doc.txt", "first version");
  MakeFile("Prot/ro.txt", "read only");
  MakeFile("Prot/sub/deep.txt", "deep");
  MakeFile("Prot/victim.txt", "victim");
  MakeFile("Prot/gone/g.txt", "gone");
  MakeFile("Outside/OldDir/a.txt", "old a");
  MakeFile("Outside/OldDir/inner/b.txt", "old b");
  MakeFolder("qd");
  // Every program of the machine makes the system folders when it starts.
  for (const char* folder : {"Windows/System32/drivers", "Windows/SysWOW64/drivers"}) MakeFolder(folder);
  fs::permissions(C("Prot/gone"), fs::perms(0750));
  // With the archive bit, which every copy sets (the engine's backup too).
  SetAttributes(L"C:\\Prot\\ro.txt",
                win::FILE_ATTRIBUTE_READONLY | win::FILE_ATTRIBUTE_HIDDEN | win::FILE_ATTRIBUTE_ARCHIVE);
  const Tree before = Drive();
  Tree movedIn = Snapshot(C("Outside/OldDir"), "C:\\Outside\\OldDir\\");

  StartZvorx();
  const pid_t zvorx = children_.front();
  Process("USER", L"C:\\Tools\\user.exe");
  Configure("restore.commands");
  Play("session_first.scenario");
  ASSERT_TRUE(platform::Files::Get().CreateDirectoryW(L"C:\\Prot\\NewDir", nullptr));
  ASSERT_TRUE(platform::Files::Get().RemoveDirectoryW(L"C:\\Prot\\gone")) << "error " << platform::GetLastError() << "\n" << Out("play") << Err("play");
  SetAttributes(L"C:\\Prot\\ro.txt", win::FILE_ATTRIBUTE_NORMAL);
  MakeFile("Prot/ro.txt", "overwritten");
  Play("session_second.scenario");

  // zvorx holds its mutex: no restore while it runs (a plan may be shown).
  EXPECT_EQ(Restore("running"), 3);
  EXPECT_NE(Err("running").find("zvorx is running"), std::string::npos) << Err("running");
  EXPECT_EQ(Restore("running-plan", {"--dry-run"}), 0) << Out("running-plan");
  EXPECT_TRUE(fs::exists(C("Prot/new.txt")));

  // The engine writes the deletion logs when it stops.
  ASSERT_EQ(suite::DriverControl().Unload(), win::S_OK);
  ASSERT_TRUE(Wait(zvorx).has_value());
  ASSERT_EQ(ReadFile(C("qd/r/C/Prot/doc.txt")), "first version");
  ASSERT_EQ(ReadFile(C("Prot/victim.txt")), "replacement");
  ASSERT_FALSE(fs::exists(C("Outside/OldDir")));
  ASSERT_EQ(std::system(("cp -a '" + C().string() + "' '" + (root_ / "after-session").string() + "'").c_str()), 0);

  // The state before the session, except the folder that came from outside
  // the protected path: it is in the quarantine, with all it held.
  Tree expected = before;
  std::erase_if(expected, [](const auto& e) { return e.first.rfind("Outside/OldDir", 0) == 0; });
  Tree quarantined = {{"Prot", {}}, {"Prot/new.txt", {}}, {"Prot/NewDir", {}}, {"Prot/NewDir/inside.txt", {}},
                      {"Prot/OldDir", {}}};
  auto checkEndState = [&](const std::string& label) {
    EXPECT_EQ(Differences(Drive(), expected), "") << label;
    Tree q = Quarantine();
    EXPECT_EQ(q["Prot/new.txt"].bytes, "new") << label;
    EXPECT_EQ(q["Prot/NewDir/inside.txt"].bytes, "inside") << label;
    for (const auto& [rel, state] : movedIn) EXPECT_EQ(q["Prot/OldDir/" + rel], state) << label << " " << rel;
    EXPECT_EQ(q.size(), quarantined.size() + movedIn.size()) << label;
  };

  // Stopped after a few changes, then run again: the same end state.
  for (int stop : {1, 3, 5, 7}) {
    std::string name = "stop" + std::to_string(stop);
    EXPECT_EQ(Restore(name, {"--stop-after", std::to_string(stop)}), 4) << Out(name);
    EXPECT_EQ(Restore(name + "-rerun"), 0) << Out(name + "-rerun");
    checkEndState(name);
    ResetDrive();
  }

  ASSERT_EQ(Restore("restore"), 0) << Out("restore") << Err("restore");
  std::string out = Out("restore");
  checkEndState("restore");
  EXPECT_NE(out.find("summary: 5 restored, 1 folders created, 3 moved aside, 1 unchanged, 0 skipped, 0 refused"), std::string::npos) << out;
  EXPECT_NE(out.find("note: \\\\?\\C:\\Prot\\OldDir holds 2 entries"), std::string::npos) << out;

  // Nothing left to do.
  const Tree quarantine = Quarantine();
  ASSERT_EQ(Restore("again"), 0);
  EXPECT_NE(Out("again").find("summary: 0 restored, 0 folders created, 0 moved aside, 9 unchanged, 0 skipped"),
            std::string::npos)
      << Out("again");
  EXPECT_EQ(Differences(Drive(), expected), "");
  EXPECT_EQ(Differences(Quarantine(), quarantine), "");

  // Ready for the next session: backups and logs emptied, then the quarantine.
  ASSERT_EQ(Restore("clear", {"--clear"}), 0) << Out("clear");
  EXPECT_TRUE(fs::is_empty(C("qd/r")));
  EXPECT_EQ(fs::file_size(C("qd/deletelog.dat")), 0u);
  EXPECT_EQ(fs::file_size(C("qd/deletelog.dat_dir")), 0u);
  EXPECT_EQ(Quarantine(), quarantine);
  ASSERT_EQ(Restore("purge", {"--purge"}), 0) << Out("purge");
  EXPECT_TRUE(fs::is_empty(C("qd/quarantine")));
  EXPECT_EQ(Differences(Drive(), expected), "");
}

}  // namespace
}  // namespace zv::tools::restore
