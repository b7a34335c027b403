// A played session with a live program of the machine: a scenario starts
// the window-holding recorder under a label, the labelled process's opens
// and renames reach the client, allowed ones change the drive while the
// program still runs, and the program ends when its window is closed.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "platform/base/handles.h"
#include "platform/files/file_api.h"
#include "platform/processes/process_api.h"
#include "platform/processes/process_table.h"
#include "platform/threads/sync_api.h"
#include "platform/windows/window_api.h"
#include "platform/windows/window_table.h"
#include "suite/driver/scenario.h"
#include "suite/driver/tests/driver_fixture.h"
#include "suite/programs/install.h"

namespace zv::suite {
namespace {

using namespace platform;

std::string ReadDrive(const wchar_t* path) {
  auto& files = Files::Get();
  win::HANDLE h = files.CreateFileW(path, win::GENERIC_READ, 0, nullptr, win::OPEN_EXISTING, 0, nullptr);
  if (h == win::INVALID_HANDLE_VALUE) return "<missing>";
  char buffer[64];
  win::DWORD got = 0;
  files.ReadFile(h, buffer, sizeof buffer, &got, nullptr);
  CloseHandle(h);
  return std::string(buffer, got);
}

void WriteDrive(const wchar_t* path, const std::string& bytes) {
  auto& files = Files::Get();
  win::HANDLE h = files.CreateFileW(path, win::GENERIC_WRITE, 0, nullptr, win::CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, win::INVALID_HANDLE_VALUE);
  win::DWORD written = 0;
  files.WriteFile(h, bytes.data(), static_cast<win::DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
}

class ProgramScenarioTest : public testing::DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    ASSERT_EQ(InstallSuitePrograms(), win::ERROR_SUCCESS);
    RegisterCurrentProcess(L"C:\\Program Files\\ZV\\zvorx.exe", 1);
  }
  void TearDown() override {
    UnregisterCurrentProcess();
    DriverTest::TearDown();
  }
};

TEST_F(ProgramScenarioTest, LabelledRecorderChangesFilesAfterAnAllowWhileItRuns) {
  Load();
  testing::PortClient client;
  ASSERT_EQ(client.Connect(), win::S_OK);
  client.StartResponder([](const Notification& n) -> std::pair<std::uint8_t, std::uint8_t> {
    return n.path.find(L"secret") != std::wstring::npos ? std::pair{0, 0} : std::pair{1, 0};
  });
  WriteDrive(L"C:\\secret.txt", "keep");
  WriteDrive(L"C:\\draft.txt", "first");
  std::istringstream scenario(
      "run editor \"C:\\Program Files\\ZV\\zvwindow.exe\" \"report 1\"\n"
      "open editor C:\\report.txt access=GENERIC_WRITE do=write \"data=new text\" expect allow\n"
      "open editor C:\\secret.txt access=GENERIC_WRITE do=write data=changed expect deny\n"
      "rename editor C:\\draft.txt C:\\final.txt do=rename expect allow\n");
  DriverControl control;
  std::ostringstream out;
  PlayResult result = PlayScenario(scenario, control, out);
  const std::string text = out.str();
  EXPECT_EQ(result.passed, 3) << text;
  EXPECT_EQ(result.failed, 0) << text;
  std::size_t at = text.find("1: run editor pid ");
  ASSERT_NE(at, std::string::npos) << text;
  const win::DWORD pid = std::stoul(text.substr(at + 18));
  EXPECT_EQ(ReadDrive(L"C:\\report.txt"), "new text");
  EXPECT_EQ(ReadDrive(L"C:\\secret.txt"), "keep");
  EXPECT_EQ(ReadDrive(L"C:\\draft.txt"), "<missing>");
  EXPECT_EQ(ReadDrive(L"C:\\final.txt"), "first");

  // The labelled process is the recorder, still running with its window;
  // closing the window ends it.
  ASSERT_TRUE(WaitForOwnerWindow(*machine_, pid, 30000));
  win::HWND window = TopLevelWindows::Get().FindWindowW(nullptr, L"report 1");
  ASSERT_NE(window, nullptr);
  win::HANDLE process =
      Processes::Get().OpenProcess(win::SYNCHRONIZE | win::PROCESS_QUERY_LIMITED_INFORMATION, win::FALSE, pid);
  ASSERT_NE(process, nullptr) << GetLastError();
  EXPECT_TRUE(TopLevelWindows::Get().PostMessageW(window, win::WM_CLOSE, 0, 0));
  EXPECT_EQ(Threads::Get().WaitForSingleObject(process, win::INFINITE), win::WAIT_OBJECT_0);
  CloseHandle(process);
  client.Close();
}

}  // namespace
}  // namespace zv::suite
