#include "suite/driver/scenario.h"

#include <sstream>

#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"
#include "platform/processes/process_table.h"
#include "platform/processes/program_files.h"
#include "suite/driver/tests/driver_fixture.h"

using namespace zv;
using namespace zv::suite;
using namespace zv::suite::testing;

TEST(Scenario, LinesParseIntoEvents) {
  std::string error;
  EXPECT_FALSE(ParseScenarioLine("   # just a comment", error));
  EXPECT_TRUE(error.empty());
  EXPECT_FALSE(ParseScenarioLine("", error));

  auto open = ParseScenarioLine("open 1200 \"C:\\My Files\\a.txt\" access=GENERIC_WRITE|DELETE create dir expect deny", error);
  ASSERT_TRUE(open) << error;
  EXPECT_EQ(open->event.kind, 3);
  EXPECT_EQ(open->event.processId, 1200u);
  EXPECT_EQ(open->event.path, L"C:\\My Files\\a.txt");
  EXPECT_EQ(open->event.desiredAccess, win::GENERIC_WRITE | win::DELETE);
  EXPECT_EQ(open->event.param1, 1u);
  EXPECT_EQ(open->event.param3, 1u);
  EXPECT_EQ(open->expect.value_or(""), "deny");

  auto start = ParseScenarioLine("start 1500 800", error);
  ASSERT_TRUE(start);
  EXPECT_EQ(start->event.kind, 2);
  EXPECT_EQ(start->event.param1, 800u);
  EXPECT_EQ(start->event.param2, 1u);
  auto exit = ParseScenarioLine("exit 1500 800 expect noreply", error);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->event.param2, 0u);

  auto raw = ParseScenarioLine("raw 7 9 p1=0x10 p3=3 path=\\Device\\Mup\\s\\x access=0x1", error);
  ASSERT_TRUE(raw) << error;
  EXPECT_EQ(raw->event.kind, 7);
  EXPECT_EQ(raw->event.param1, 16u);
  EXPECT_EQ(raw->event.param3, 3u);
  EXPECT_EQ(raw->event.desiredAccess, 1u);
  EXPECT_EQ(raw->event.path, L"\\Device\\Mup\\s\\x");

  // A path with '=' in it stays a path.
  auto eq = ParseScenarioLine("open 1 C:\\a=b.txt", error);
  ASSERT_TRUE(eq) << error;
  EXPECT_EQ(eq->event.path, L"C:\\a=b.txt");

  for (const char* bad : {"open 1", "open 1x C:\\a", "open x? C:\\a", "fly 1 2", "open 1 C:\\a expect maybe", "open 1 C:\\a access=BOGUS",
                          "raw 300 1", "raw 3 1 color=red", "sleep 5 expect allow", "run 1x C:\\p.exe",
                          "run p", "run p C:\\p.exe expect allow", "open 1 C:\\a do=rename",
                          "rename 1 C:\\a C:\\b do=write", "open 1 C:\\a data=x"}) {
    EXPECT_FALSE(ParseScenarioLine(bad, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(Scenario, EventsReachTheFilterAsWindowsShapesThem) {
  std::string root = (fs::temp_directory_path() / ("zvscn-" + std::to_string(::getpid()))).string();
  auto machine = platform::Machine::Open(root, true);
  platform::Machine::SetCurrent(machine);
  std::string error;
  Notification n;
  auto build = [&](const char* line) {
    auto step = ParseScenarioLine(line, error);
    EXPECT_TRUE(step) << line << ": " << error;
    n = {};
    return step && BuildNotification(*step, n, error);
  };
  auto target = [&] { return n.path.substr(n.pathLength); };
  // The target follows the source after its zero; DOS forms become \??\,
  // \??\ and device forms pass as written. The source is in device form.
  ASSERT_TRUE(build("rename 4 C:\\a C:\\bb replace")) << error;
  std::wstring source = L"\\Device\\HarddiskVolume2\\a";
  EXPECT_EQ(n.pathLength, source.size() + 1);
  EXPECT_EQ(n.path, source + L'\0' + L"\\??\\C:\\bb");
  EXPECT_EQ(n.param1, 1u);
  EXPECT_EQ(n.desiredAccess, win::DELETE);
  ASSERT_TRUE(build("rename 4 C:\\a \\\\?\\c:\\x\\y.txt")) << error;
  EXPECT_EQ(target(), L"\\??\\c:\\x\\y.txt");
  ASSERT_TRUE(build("rename 4 C:\\a \\??\\C:\\z")) << error;
  EXPECT_EQ(target(), L"\\??\\C:\\z");
  ASSERT_TRUE(build("rename 4 C:\\a \\Device\\HarddiskVolume2\\d")) << error;
  EXPECT_EQ(target(), L"\\Device\\HarddiskVolume2\\d");
  ASSERT_TRUE(build("raw 4 4 path=C:\\a target=C:\\t")) << error;
  EXPECT_EQ(target(), L"\\??\\C:\\t");
  EXPECT_FALSE(build("rename 4 C:\\a Z:\\b"));  // a target still needs a volume
  EXPECT_FALSE(build("image 4 Z:\\x.dll"));
  // Generic rights are mapped for opens and renames, other bits kept;
  // raw events are sent exactly as written.
  ASSERT_TRUE(build("open 1 C:\\f access=GENERIC_WRITE")) << error;
  EXPECT_EQ(n.desiredAccess, 0x120116u);
  ASSERT_TRUE(build("open 1 C:\\f")) << error;
  EXPECT_EQ(n.desiredAccess, 0x120089u);
  ASSERT_TRUE(build("open 1 C:\\f access=GENERIC_EXECUTE|DELETE")) << error;
  EXPECT_EQ(n.desiredAccess, 0x1200A0u | win::DELETE);
  ASSERT_TRUE(build("open 1 C:\\f access=0x10000000")) << error;
  EXPECT_EQ(n.desiredAccess, 0x1F01FFu);
  ASSERT_TRUE(build("rename 1 C:\\f C:\\g access=GENERIC_READ|GENERIC_WRITE")) << error;
  EXPECT_EQ(n.desiredAccess, 0x12019Fu);
  ASSERT_TRUE(build("raw 3 1 path=C:\\f access=GENERIC_WRITE")) << error;
  EXPECT_EQ(n.desiredAccess, win::GENERIC_WRITE);
  platform::Machine::SetCurrent(nullptr);
  machine.reset();
  fs::remove_all(root);
}

TEST_F(DriverTest, PlayerChecksAndCountsExpectations) {
  Load();
  PortClient client;
  ASSERT_EQ(client.Connect(), win::S_OK);
  client.StartResponder([](const Notification& n) -> std::pair<std::uint8_t, std::uint8_t> {
    return n.path.find(L"secret") != std::wstring::npos ? std::pair{0, 0} : std::pair{1, 0};
  });
  std::istringstream scenario(
      "# a user opens two files\n"
      "start 1200 4 expect noreply\n"
      "image 1200 C:\\Windows\\app.exe\n"
      "open 1200 C:\\secret.txt access=GENERIC_WRITE expect deny\n"
      "open 1200 C:\\public.txt expect allow\n"
      "rename 1200 C:\\secret.txt C:\\x.txt expect allow\n"  // wrong on purpose
      "sleep 100\n"
      "open 1200 Q:\\nowhere.txt\n"
      "bogus line\n");
  DriverControl control;
  std::ostringstream out;
  PlayResult result = PlayScenario(scenario, control, out);
  EXPECT_EQ(result.passed, 3);
  EXPECT_EQ(result.failed, 3) << out.str();  // mismatch, no volume, bad line
  std::string text = out.str();
  EXPECT_NE(text.find("4: kind 3 pid 1200 access 0x00120116 \\Device\\HarddiskVolume2\\secret.txt: deny (aux 0)  [ok]"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("[MISMATCH: expected allow]"), std::string::npos);
  EXPECT_NE(text.find("9: error: unknown event 'bogus'"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 19), "3 passed, 3 failed\n");
}

namespace {

std::string ReadMachineFile(const wchar_t* path) {
  auto& files = platform::Files::Get();
  win::HANDLE h = files.CreateFileW(path, win::GENERIC_READ, 0, nullptr, win::OPEN_EXISTING, 0, nullptr);
  if (h == win::INVALID_HANDLE_VALUE) return "<missing>";
  char buffer[256];
  win::DWORD got = 0;
  files.ReadFile(h, buffer, sizeof buffer, &got, nullptr);
  platform::CloseHandle(h);
  return std::string(buffer, got);
}

void WriteMachineFile(const wchar_t* path, const std::string& bytes) {
  auto& files = platform::Files::Get();
  win::HANDLE h = files.CreateFileW(path, win::GENERIC_WRITE, 0, nullptr, win::CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, win::INVALID_HANDLE_VALUE);
  win::DWORD written = 0;
  files.WriteFile(h, bytes.data(), static_cast<win::DWORD>(bytes.size()), &written, nullptr);
  platform::CloseHandle(h);
}

}  // namespace

// A session with a real process: a run line starts a program file on the
// machine, later lines name it by its label, and allowed operations change
// the machine's drive while denied ones leave it alone.
TEST_F(DriverTest, PlayerStartsProgramsAndPerformsAllowedOperations) {
  Load();
  PortClient client;
  ASSERT_EQ(client.Connect(), win::S_OK);
  client.StartResponder([](const Notification& n) -> std::pair<std::uint8_t, std::uint8_t> {
    return n.path.find(L"secret") != std::wstring::npos ? std::pair{0, 0} : std::pair{1, 0};
  });
  // The driver stand-in plays the program: it prints its usage and ends.
  platform::ProgramFile program;
  program.standIn = "zvorx-driver";
  program.bitness = 32;
  WriteMachineFile(L"C:\\editor.exe", platform::FormatProgramFile(program));
  WriteMachineFile(L"C:\\secret.txt", "keep");
  WriteMachineFile(L"C:\\gone.txt", "x");
  WriteMachineFile(L"C:\\old.txt", "moved");
  std::istringstream scenario(
      "run editor C:\\editor.exe \"two words\" create\n"
      "open editor C:\\new.txt access=GENERIC_WRITE do=create \"data=hello there\" expect allow\n"
      "open editor C:\\secret.txt access=GENERIC_WRITE do=write data=changed expect deny\n"
      "open editor C:\\gone.txt access=DELETE do=delete expect allow\n"
      "rename editor C:\\old.txt C:\\renamed.txt do=rename expect allow\n"
      "open editor C:\\new.txt do=create expect allow\n"  // exists: the create fails
      "open ghost C:\\new.txt expect allow\n"              // no such label
      "run editor C:\\editor.exe\n"                        // label taken
      "run other C:\\missing.exe\n");                      // no program file
  DriverControl control;
  std::ostringstream out;
  PlayResult result = PlayScenario(scenario, control, out);
  std::string text = out.str();
  EXPECT_EQ(result.passed, 5) << text;
  EXPECT_EQ(result.failed, 4) << text;
  // The machine gave the pid; the events carry it.
  std::size_t at = text.find("1: run editor pid ");
  ASSERT_NE(at, std::string::npos) << text;
  std::uint32_t pid = std::stoul(text.substr(at + 18));
  EXPECT_NE(text.find("pid " + std::to_string(pid) + " C:\\editor.exe \"two words\" create\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("3: kind 3 pid " + std::to_string(pid) + " access 0x00120116"), std::string::npos) << text;
  EXPECT_NE(text.find("deny (aux 0)  [ok]; write not performed"), std::string::npos) << text;
  EXPECT_NE(text.find("6: kind 3 pid " + std::to_string(pid)), std::string::npos) << text;
  EXPECT_NE(text.find("[ok]; create failed with 80"), std::string::npos) << text;
  EXPECT_NE(text.find("7: error: no run line named 'ghost'"), std::string::npos) << text;
  EXPECT_NE(text.find("8: error: label 'editor' is already taken"), std::string::npos) << text;
  EXPECT_NE(text.find("9: error: run other: CreateProcessW failed with 2"), std::string::npos) << text;
  // The drive as the session left it.
  EXPECT_EQ(ReadMachineFile(L"C:\\new.txt"), "hello there");
  EXPECT_EQ(ReadMachineFile(L"C:\\secret.txt"), "keep");
  EXPECT_EQ(ReadMachineFile(L"C:\\gone.txt"), "<missing>");
  EXPECT_EQ(ReadMachineFile(L"C:\\old.txt"), "<missing>");
  EXPECT_EQ(ReadMachineFile(L"C:\\renamed.txt"), "moved");
  // The driver reported the real start of that pid from the machine's feed.
  bool started = false;
  for (int i = 0; i < 400 && !started; ++i) {
    for (const Notification& n : client.Seen()) started |= n.kind == 2 && n.processId == pid && n.param2 == 1;
    if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(started);
  client.Close();
  platform::UnregisterCurrentProcess();
}
