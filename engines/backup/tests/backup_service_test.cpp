// The backup engine inside a running zvorx: the driver stand-in, real files
// on the machine's drive, configuration through a zvorxctl command file,
// then opens and renames played from scenario files. Clocks 100 times
// faster.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/text.h"
#include "platform/files/file_api.h"
#include "platform/files/machine.h"
#include "platform/processes/process_table.h"
#include "suite/driver/driver_events.h"
#include "suite/driver/testing/zvorx_program_test.h"

namespace zv::engines {
namespace {

namespace fs = std::filesystem;
using suite::testing::Count;
using suite::testing::ReadFile;

const fs::path kTestFiles = fs::path(ZV_TEST_DATA_DIR);

class BackupServiceTest : public suite::testing::ZvorxProgramTest {
 protected:
  BackupServiceTest() : ZvorxProgramTest("zvbe-", kTestFiles) {}
  void MakeFile(const std::string& rel, const std::string& content) {
    fs::create_directories((root_ / "volumes" / "C" / rel).parent_path());
    std::ofstream(root_ / "volumes" / "C" / rel) << content;
  }
  fs::path C(const std::string& rel) const { return root_ / "volumes" / "C" / rel; }
};

// A rename as the driver reports it: the source in device form, the target
// in \??\X: form. The reply's Allow byte; -1 when it was not delivered.
int Rename(std::uint32_t pid, const std::wstring& source, const std::wstring& target, bool replace) {
  suite::Notification n;
  n.kind = 4;
  n.processId = pid;
  n.desiredAccess = win::DELETE;
  n.param1 = replace ? 1 : 0;
  std::wstring device = L"\\Device\\HarddiskVolume2" + source;
  n.path = device + L'\0' + target;
  n.pathLength = static_cast<std::uint32_t>(device.size() + 1);
  suite::InjectResult r = suite::DriverControl().Inject(n);
  return r.delivered && r.outcome == platform::wire::Outcome::Replied ? int(r.allow) : -1;
}

// The deletion log's lines (UTF-16LE, each ended by one 0x000A unit).
std::vector<std::string> LogLines(const fs::path& p) {
  std::string bytes = ReadFile(p);
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char16_t unit = char16_t(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
    if (unit == u'\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += static_cast<char>(unit);
    }
  }
  return lines;
}

TEST_F(BackupServiceTest, OpensAndRenamesInProtectedFolders) {
  MakeFile("Prot/doc.txt", "first");
  MakeFile("Prot/free.txt", "free");
  MakeFile("Prot/target.txt", "replaced");
  MakeFile("Prot/kept.txt", "kept");
  MakeFile("Program Files/App/app.ini", "ini");
  MakeFile("Outside/old.txt", "old");
  MakeFile("Open/a.txt", "a");
  MakeFolder("Prot/OldDir");
  MakeFolder("qd");
  std::wstring shortName(300, L'\0');
  ASSERT_GT(platform::Files::Get().GetShortPathNameW(L"C:\\Program Files", shortName.data(), 300), 0u);
  shortName.resize(shortName.find(L'\0'));
  values_["SHORT"] = text::ToUtf8(shortName);
  ASSERT_NE(values_["SHORT"].find('~'), std::string::npos);

  StartZvorx();
  const pid_t zvorx = children_.front();
  const win::DWORD user = Process("USER", L"C:\\Tools\\user.exe");
  const win::DWORD freeProcess = Process("FREE", L"C:\\Tools\\free.exe");
  Configure("backup.commands");
  Play("backup_first.scenario");
  EXPECT_EQ(Rename(user, L"\\Outside\\old.txt", L"\\??\\C:\\Prot\\..\\Outside\\y.txt", true), 1);
  EXPECT_EQ(Rename(user, L"\\Outside\\old.txt", L"\\??\\C:\\Prot\\Sub\\..\\z.txt", false), 1);
  MakeFolder("Prot/NewDir");
  MakeFile("Prot/doc.txt", "second");
  Play("backup_second.scenario");

  // An existing protected folder cannot move, except by a free process; one
  // made in this session can. Replacing a protected file backs it up;
  // without replace an existing file is left alone.
  EXPECT_EQ(Rename(user, L"\\Prot\\OldDir", L"\\??\\C:\\Prot\\Moved", false), 0);
  EXPECT_EQ(Rename(freeProcess, L"\\Prot\\OldDir", L"\\??\\C:\\Elsewhere", false), 1);
  EXPECT_EQ(Rename(user, L"\\Prot\\NewDir", L"\\??\\C:\\Prot\\Renamed", false), 1);
  EXPECT_EQ(Rename(user, L"\\Open\\a.txt", L"\\??\\C:\\Prot\\target.txt", true), 1);
  EXPECT_EQ(Rename(user, L"\\Open\\a.txt", L"\\??\\C:\\Prot\\kept.txt", false), 1);

  // Backups: the first version, the long name, the replaced file; nothing of
  // the free process, of the backups themselves or of a kept file.
  const fs::path bk = C("Prot/Bk/C");
  EXPECT_EQ(ReadFile(bk / "Prot/doc.txt"), "first");
  EXPECT_EQ(ReadFile(bk / "Program Files/App/app.ini"), "ini");
  EXPECT_EQ(ReadFile(bk / "Prot/target.txt"), "replaced");
  EXPECT_FALSE(fs::exists(bk / "Prot/free.txt"));
  EXPECT_FALSE(fs::exists(bk / "Prot/Bk"));
  EXPECT_FALSE(fs::exists(bk / "Prot/kept.txt"));
  EXPECT_TRUE(fs::exists(C("Prot/OldDir")));
  // Relative components reached nothing.
  EXPECT_FALSE(fs::exists(C("Escape")));
  EXPECT_FALSE(fs::exists(bk / "Outside"));
  EXPECT_FALSE(fs::exists(bk / "Escape"));
  EXPECT_FALSE(fs::exists(C("Prot/Bk/Outside")));

  std::string err = Err("zvorx");
  EXPECT_EQ(Count(err, "BackupS = \\\\?\\C:\\Prot\\doc.txt result= 0"), 1) << err;
  EXPECT_EQ(Count(err, "BackupS = \\\\?\\C:\\Prot\\doc.txt result="), 1);
  // The second and third writes and the second open of the new file.
  EXPECT_EQ(Count(err, "QueryRuleResult 3\r\n"), 3);
  // An unreadable name is a failed copy, not a new file.
  EXPECT_EQ(Count(err, "BackupS = \\\\?\\C:\\Prot\\bad*name.txt result= 123"), 1);
  EXPECT_EQ(Count(err, "[QueryRename] exist Folder \\\\?\\C:\\Prot\\OldDir"), 1);
  EXPECT_EQ(Count(err, "[QueryRename] success !! BackupFile= \\\\?\\C:\\Prot\\target.txt"), 1);
  EXPECT_EQ(Count(err, "relative or empty component ignored"), 7) << err;

  // Stopping zvorx writes the deletion logs: the new file once, the new
  // folder and its new name; nothing made inside the new folder, nothing
  // unreadable, kept or relative.
  ASSERT_EQ(suite::DriverControl().Unload(), win::S_OK);
  ASSERT_TRUE(Wait(zvorx).has_value());
  std::vector<std::string> files = LogLines(C("qd/deletelog.dat"));
  std::vector<std::string> folders = LogLines(C("qd/deletelog.dat_dir"));
  EXPECT_EQ(files, std::vector<std::string>{"\\\\?\\C:\\Prot\\new.txt"});
  EXPECT_EQ(folders, (std::vector<std::string>{"\\\\?\\C:\\Prot\\NewDir", "\\\\?\\C:\\Prot\\Renamed"}));
}

}  // namespace
}  // namespace zv::engines
