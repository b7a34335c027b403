// The file manager's document redirection in process, on a throw-away
// machine with a second volume D: for the mirror: the last access, the
// launcher's command line (program starts recorded by a fake) and the read
// block on the clock. The window closing is seen end to end in
// access_service_test.cpp.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver_channel/records.h"
#include "engines/access/acengine.h"
#include "engines/base/tests/fakes.h"
#include "engines/base/tests/log_capture.h"
#include "platform/base/clock.h"
#include "platform/base/handles.h"
#include "platform/files/testing/machine_fixture.h"
#include "platform/files/volumes.h"
#include "platform/processes/process_table.h"
#include "platform/processes/program_api.h"

namespace zv::engines {
namespace {

using channel::_MXRED_NOTIFICATION;
using channel::_MXRED_REPLY_MESSAGE;

constexpr std::uint32_t kRead = 0x120089;

// Records program starts instead of making them.
class RecordedStarts : public platform::ProgramApi {
 public:
  struct Start {
    bool applicationNameNull;
    std::wstring commandLine;
    bool inherit;
    win::DWORD creationFlags;
    bool environmentNull;
    bool currentDirectoryNull;
    win::DWORD startupFlags;
    win::WORD show;
  };
  win::BOOL CreateProcessW(const win::WCHAR* applicationName, win::WCHAR* commandLine, const void*, const void*,
                           win::BOOL inheritHandles, win::DWORD creationFlags, const void* environment,
                           const win::WCHAR* currentDirectory, const win::STARTUPINFOW* startupInfo,
                           win::PROCESS_INFORMATION* processInformation) override {
    std::lock_guard lock(mutex_);
    starts_.push_back({applicationName == nullptr, commandLine, inheritHandles != 0, creationFlags,
                       environment == nullptr, currentDirectory == nullptr, startupInfo->dwFlags,
                       startupInfo->wShowWindow});
    if (failWith_ != 0) {
      platform::SetLastError(failWith_);
      return win::FALSE;
    }
    *processInformation = {};
    return win::TRUE;
  }
  win::BOOL GetExitCodeProcess(win::HANDLE, win::DWORD*) override { return win::FALSE; }
  const win::WCHAR* GetCommandLineW() override { return L""; }
  void GetStartupInfoW(win::STARTUPINFOW*) override {}
  [[noreturn]] void ExitProcess(win::UINT) override { std::abort(); }

  std::vector<Start> Starts() {
    std::lock_guard lock(mutex_);
    return starts_;
  }
  void FailWith(win::DWORD error) { failWith_ = error; }

 private:
  std::mutex mutex_;
  std::vector<Start> starts_;
  win::DWORD failWith_ = 0;
};

class RedirectTest : public platform::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_EQ(platform::VolumeTable(machine_).Add(L"\\Device\\HarddiskVolume3", L"D:"), 0u);
    engine_ = std::make_unique<acengine>(kAccessControlEngineKey);
    engine_->CompilePathPatterns();
    explorer_ = platform::AddProcess(*machine_, 4, L"C:\\Windows\\explorer.exe", 1, false);
    engine_->OnCommandInt(2, L"AC_SET_EXCUTECONTROL", 3);
    engine_->OnCommandString(2, L"AC_SETFOH_EXE", L"C:\\Tools\\handler.exe");
    engine_->OnCommandString(2, L"AC_SETFOH_MIRROR", L"D:\\m");
    engine_->OnCommandInt(2, L"AC_SET_ENGINEWORK", 1);
    ASSERT_EQ(engine_->SpecialProcessesCopy()[explorer_], PROCESSTYPE_EXPLORER);
  }
  void TearDown() override {
    engine_->StopThreadsForTests();
    engine_.reset();
    MachineTest::TearDown();
  }

  void MakeMirrorCopy(const std::string& rel) { MakeFile(root_ / "volumes" / "HarddiskVolume3" / rel); }
  // True when allowed.
  bool Open(win::DWORD pid, const std::wstring& cPath, std::uint32_t access) {
    auto n = std::make_unique<_MXRED_NOTIFICATION>();
    n->Kind = channel::kKindFileOpen;
    n->ProcessId = pid;
    n->DesiredAccess = access;
    n->SetPath(L"\\Device\\HarddiskVolume2\\" + cPath);
    _MXRED_REPLY_MESSAGE reply{};
    reply.Allow = 1;
    engine_->OnNotification(n.get(), &reply);
    return reply.Allow == 1;
  }
  bool Launch() { return Open(explorer_, L"Windows\\System32\\notepad.exe", kExecuteOpenAccess); }

  std::unique_ptr<acengine> engine_;
  win::DWORD explorer_ = 0;
  RecordedStarts programs_;
  platform::ScopedApi<platform::ProgramApi> scopedPrograms_{programs_};
};

TEST_F(RedirectTest, AProgramStartOnARememberedDocumentStartsTheLauncherOnItsMirrorFolder) {
  platform::SteppedClock clock;
  platform::ScopedClock scopedClock(clock);
  struct ReleaseAtEnd {
    acengine& engine;
    platform::SteppedClock& clock;
    ~ReleaseAtEnd() {
      engine.RequestThreadsStop();
      clock.Release();
      engine.JoinThreads();
    }
  } releaseAtEnd{*engine_, clock};
  MakeMirrorCopy("m/C/Users/a/doc.txt");
  const win::DWORD other = platform::AddProcess(*machine_, 4, L"C:\\Tools\\other.exe", 1, false);

  // Without a last access, or without a mirror copy, the start proceeds.
  EXPECT_TRUE(Launch());
  EXPECT_TRUE(Open(explorer_, L"Users\\a\\nocopy.txt", kRead));
  EXPECT_TRUE(Launch());
  EXPECT_TRUE(programs_.Starts().empty());

  {
  testing::LogCapture log(1024);
  EXPECT_TRUE(Open(explorer_, L"Users\\a\\doc.txt", kRead));
  EXPECT_EQ(engine_->LastAccessCopy(), L"\\\\?\\C:\\Users\\a\\doc.txt");
  EXPECT_FALSE(Launch());
  auto starts = programs_.Starts();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].commandLine, L"\"halvorn.exe\" \"/exe:C:\\Tools\\handler.exe/mirror:D:\\m\\C\\Users\\a\"");
  EXPECT_TRUE(starts[0].applicationNameNull);
  EXPECT_FALSE(starts[0].inherit);
  EXPECT_EQ(starts[0].creationFlags, 0u);
  EXPECT_TRUE(starts[0].environmentNull);
  EXPECT_TRUE(starts[0].currentDirectoryNull);
  EXPECT_EQ(starts[0].startupFlags, win::STARTF_USESHOWWINDOW);
  EXPECT_EQ(starts[0].show, win::SW_SHOW);

  // For one second the program and the document are denied to the file
  // manager only.
  ASSERT_TRUE(clock.WaitForSleepers(2));
  const std::wstring pid = std::to_wstring(explorer_);
  EXPECT_EQ(log.Lines(),
            (std::vector<std::wstring>{
                L"AC1 ---- (" + pid + L")Explorer Access DA=[120089]  path = \\\\?\\C:\\Users\\a\\doc.txt",
                L"AC1 ---- (" + pid + L")Explorer Access DA=[1000a1]  path = \\\\?\\C:\\Windows\\System32\\notepad.exe",
                L"AC1 ---- !!!! lastaccess = \\\\?\\C:\\Users\\a\\doc.txt",
                L"AC1 ---- TemporaryReadBlock  exe = \\\\?\\C:\\Windows\\System32\\notepad.exe , dat = "
                L"\\\\?\\C:\\Users\\a\\doc.txt",
            }));
  EXPECT_FALSE(Open(explorer_, L"Users\\a\\doc.txt", kRead));
  EXPECT_FALSE(Open(explorer_, L"Windows\\System32\\notepad.exe", kRead));
  EXPECT_TRUE(Open(other, L"Users\\a\\doc.txt", kRead));
  clock.Advance(999);
  EXPECT_FALSE(Open(explorer_, L"Users\\a\\doc.txt", kRead));
  clock.Advance(1);
  EXPECT_TRUE(Open(explorer_, L"Users\\a\\doc.txt", kRead));
  EXPECT_TRUE(Open(explorer_, L"Windows\\System32\\notepad.exe", kRead));
  }
  // Both threads have ended and leave the thread group.
  for (int i = 0; i < 500 && engine_->RunningThreads() != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(engine_->RunningThreads(), 0u);

  // A failed launcher start still denies, and says so.
  programs_.FailWith(2);
  testing::LogCapture errors(1);
  EXPECT_FALSE(Launch());
  EXPECT_EQ(errors.Lines(),
            (std::vector<std::wstring>{L"AC1 ---- <ERROR> (ERROR:2)=CreateProcessW() \"halvorn.exe\" "
                                       L"\"/exe:C:\\Tools\\handler.exe/mirror:D:\\m\\C\\Users\\a\""}));
}

TEST_F(RedirectTest, OnlyPlainReadsOfDocumentsByTheFileManagerBecomeTheLastAccess) {
  MakeFile(C("Tools/app.EXE"));
  std::filesystem::create_directories(C("Users/a/folder"));
  const auto remembered = [this] { return engine_->LastAccessCopy(); };
  EXPECT_TRUE(Open(explorer_, L"Users\\a\\first.txt", 0x20080));
  EXPECT_EQ(remembered(), L"\\\\?\\C:\\Users\\a\\first.txt");

  // Programs and libraries in these four spellings, folders, other masks
  // and other processes change nothing.
  for (const wchar_t* name : {L"Tools\\app.EXE", L"Tools\\app.exe", L"Tools\\lib.dll", L"Tools\\lib.DLL",
                              L"Users\\a\\folder", L"Users\\a\\app.exe.txt"})
    EXPECT_TRUE(Open(explorer_, name, kRead)) << name;
  EXPECT_TRUE(Open(explorer_, L"Users\\a\\other.txt", 0x120116));
  const win::DWORD plain = platform::AddProcess(*machine_, 4, L"C:\\Tools\\plain.exe", 1, false);
  EXPECT_TRUE(Open(plain, L"Users\\a\\other.txt", kRead));
  EXPECT_EQ(remembered(), L"\\\\?\\C:\\Users\\a\\first.txt");

  // Any other spelling is a document; a file manager's child counts too.
  EXPECT_TRUE(Open(explorer_, L"Tools\\app.Exe", kRead));
  EXPECT_EQ(remembered(), L"\\\\?\\C:\\Tools\\app.Exe");
  engine_->AddSpecialProcess(plain + 4, PROCESSTYPE_EXPLORER_CHILD);
  EXPECT_TRUE(Open(plain + 4, L"Users\\a\\child.txt", kRead));
  EXPECT_EQ(remembered(), L"\\\\?\\C:\\Users\\a\\child.txt");

  // A child's program start is never redirected, even with a mirror copy.
  MakeMirrorCopy("m/C/Users/a/child.txt");
  EXPECT_TRUE(Open(plain + 4, L"Windows\\System32\\notepad.exe", kExecuteOpenAccess));
  EXPECT_TRUE(programs_.Starts().empty());

  // A volume without a drive letter gives an empty DOS path: remembered,
  // and too short to redirect, as is anything under 8 units.
  MakeMirrorCopy("m/C/a");
  auto n = std::make_unique<_MXRED_NOTIFICATION>();
  n->Kind = channel::kKindFileOpen;
  n->ProcessId = explorer_;
  n->DesiredAccess = kRead;
  n->SetPath(L"\\Device\\HarddiskVolume7\\a");
  _MXRED_REPLY_MESSAGE reply{};
  engine_->OnNotification(n.get(), &reply);
  EXPECT_EQ(remembered(), L"");
  EXPECT_TRUE(Launch());
  EXPECT_FALSE(engine_->LaunchFileOpenHandler(L"\\\\?\\C:a"));
  EXPECT_TRUE(engine_->LaunchFileOpenHandler(L"\\\\?\\C:\\a"));
  ASSERT_EQ(programs_.Starts().size(), 1u);
  EXPECT_EQ(programs_.Starts()[0].commandLine, L"\"halvorn.exe\" \"/exe:C:\\Tools\\handler.exe/mirror:D:\\m\\C\"");
}

TEST_F(RedirectTest, CommandLinesAreBuiltWholeUpToTheLimitAndRefusedAboveIt) {
  // The host's own path limit stops real paths long before the limit: the
  // mirror copy is found by a fake file API.
  ::testing::NiceMock<zv::testing::MockFileApi> files;
  ON_CALL(files, GetFileAttributesW(::testing::_)).WillByDefault(::testing::Return(win::FILE_ATTRIBUTE_NORMAL));
  platform::ScopedApi<platform::FileApi> scopedFiles(files);
  const std::wstring document = L"\\\\?\\C:\\Users\\a\\doc.txt";
  engine_->OnCommandString(2, L"AC_SETFOH_EXE", L"h");
  // The line is the launcher, the handler, the mirror root and 39 units
  // more; with its terminator it may take 32767 units.
  const std::wstring fits(kCommandLineLimit - 1 - 40, L'r');
  engine_->OnCommandString(2, L"AC_SETFOH_MIRROR", fits);
  EXPECT_TRUE(engine_->LaunchFileOpenHandler(document));
  ASSERT_EQ(programs_.Starts().size(), 1u);
  EXPECT_EQ(programs_.Starts()[0].commandLine.size(), kCommandLineLimit - 1);
  EXPECT_TRUE(programs_.Starts()[0].commandLine.ends_with(L"rrr\\C\\Users\\a\""));

  testing::LogCapture log(1);
  engine_->OnCommandString(2, L"AC_SETFOH_MIRROR", fits + L"r");
  EXPECT_TRUE(engine_->LaunchFileOpenHandler(document));
  EXPECT_EQ(programs_.Starts().size(), 1u);
  EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{L"AC1 ---- <ERROR> command line of 32767 units is over the "
                                                    L"limit, halvorn.exe not started for " +
                                                    document}));
}

}  // namespace
}  // namespace zv::engines
