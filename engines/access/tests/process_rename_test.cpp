// Process classification at start, exit and image load, and the rename
// test, in process on a throw-away machine: the processes are machine
// processes, the notifications are played through the engine's handler as
// the driver sends them.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "driver_channel/records.h"
#include "engines/access/acengine.h"
#include "engines/base/tests/log_capture.h"
#include "platform/files/testing/machine_fixture.h"
#include "platform/processes/process_table.h"

namespace zv::engines {
namespace {

using channel::_MXRED_NOTIFICATION;
using channel::_MXRED_REPLY_MESSAGE;

class ProcessNotificationTest : public platform::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    engine_ = std::make_unique<acengine>(kAccessControlEngineKey);
    engine_->CompilePathPatterns();
  }

  // Machine processes: the start is recorded on the machine; the driver's
  // notifications follow through the handler.
  win::DWORD Running(const std::wstring& image) { return platform::AddProcess(*machine_, 4, image, 1, false); }
  win::DWORD Started(win::DWORD parent, const std::wstring& image) {
    win::DWORD pid = platform::AddProcess(*machine_, parent, image, 1, false);
    Notify(channel::kKindProcess, pid, parent, 1, L"");
    return pid;
  }
  void ImageLoaded(win::DWORD pid, const std::wstring& rest) {
    Notify(channel::kKindImageLoad, pid, 0, 0, L"\\Device\\HarddiskVolume2\\" + rest);
  }
  void Notify(win::BYTE kind, win::DWORD pid, win::DWORD param1, win::DWORD param2, const std::wstring& path) {
    auto n = std::make_unique<_MXRED_NOTIFICATION>();
    n->Kind = kind;
    n->ProcessId = pid;
    n->Param1 = param1;
    n->Param2 = param2;
    n->SetPath(path);
    _MXRED_REPLY_MESSAGE reply{};
    reply.Allow = 1;
    engine_->OnNotification(n.get(), &reply);
    EXPECT_EQ(reply.Allow, 1);
  }
  // The stored type, 0 when the process is not in the table.
  std::uint32_t TypeOf(win::DWORD pid) {
    auto table = engine_->SpecialProcessesCopy();
    auto it = table.find(pid);
    return it == table.end() ? 0 : it->second;
  }
  // True when the rename of `source` is allowed.
  bool Rename(win::DWORD pid, const std::wstring& source, const std::wstring& target) {
    auto n = std::make_unique<_MXRED_NOTIFICATION>();
    n->Kind = channel::kKindRename;
    n->ProcessId = pid;
    n->DesiredAccess = 0x10000;
    n->SetRenamePaths(L"\\Device\\HarddiskVolume2\\" + source, target);
    _MXRED_REPLY_MESSAGE reply{};
    reply.Allow = 1;
    reply.AuxFlag = 1;
    engine_->OnNotification(n.get(), &reply);
    EXPECT_EQ(reply.Allow, reply.AuxFlag);
    return reply.Allow == 1;
  }

  std::unique_ptr<acengine> engine_;
};

TEST_F(ProcessNotificationTest, ChildrenInheritUntilTheirImageLoadGivesAFinalType) {
  win::DWORD explorer = Running(L"C:\\Windows\\explorer.exe");
  win::DWORD shell = Running(L"C:\\Windows\\System32\\cmd.exe");
  engine_->OnCommandInt(2, L"AC_SET_EXCUTECONTROL", 3);
  engine_->OnCommandInt(2, L"AC_SET_ENGINEWORK", 1);
  ASSERT_EQ(TypeOf(explorer), PROCESSTYPE_EXPLORER);
  ASSERT_EQ(TypeOf(shell), PROCESSTYPE_SHELL);

  // The file manager starts a shell: explorer child first, the shell's own
  // name rule at its image load.
  win::DWORD cmd = Started(explorer, L"C:\\Windows\\System32\\cmd.exe");
  EXPECT_EQ(TypeOf(cmd), 0x10800u);
  ImageLoaded(cmd, L"Windows\\System32\\cmd.exe");
  EXPECT_EQ(TypeOf(cmd), PROCESSTYPE_SHELL);
  // A later image load does not change a final type.
  ImageLoaded(cmd, L"Windows\\System32\\notepad.exe");
  EXPECT_EQ(TypeOf(cmd), PROCESSTYPE_SHELL);

  // Without a name rule the inherited type stays, without the flag.
  win::DWORD fromShell = Started(shell, L"C:\\Windows\\System32\\notepad.exe");
  EXPECT_EQ(TypeOf(fromShell), 0x10040u);
  ImageLoaded(fromShell, L"Windows\\System32\\notepad.exe");
  EXPECT_EQ(TypeOf(fromShell), PROCESSTYPE_SHELL);
  win::DWORD fromExplorer = Started(explorer, L"C:\\Windows\\System32\\notepad.exe");
  ImageLoaded(fromExplorer, L"Windows\\System32\\notepad.exe");
  EXPECT_EQ(TypeOf(fromExplorer), PROCESSTYPE_EXPLORER_CHILD);

  // An unknown parent gives nothing at the start and a normal process at
  // the image load; a normal parent passes nothing on either.
  win::DWORD orphan = Started(Running(L"C:\\Tools\\unlisted.exe"), L"C:\\Tools\\tool.exe");
  EXPECT_EQ(TypeOf(orphan), 0u);
  ImageLoaded(orphan, L"Tools\\tool.exe");
  EXPECT_EQ(TypeOf(orphan), PROCESSTYPE_NORMAL);
  win::DWORD grandchild = Started(orphan, L"C:\\Tools\\tool2.exe");
  EXPECT_EQ(TypeOf(grandchild), 0u);
  // An image path that is no device path still classifies.
  Notify(channel::kKindImageLoad, grandchild, 0, 0, L"no device path");
  EXPECT_EQ(TypeOf(grandchild), PROCESSTYPE_NORMAL);

  // Exits leave the table.
  Notify(channel::kKindProcess, cmd, explorer, 0, L"");
  EXPECT_EQ(TypeOf(cmd), 0u);
}

TEST_F(ProcessNotificationTest, RenamesOfReadOnlySourcesAreRefusedToShellsAndExecuteControl) {
  engine_->OnCommandString(2, L"AC_ADD_READONLYPATH", L"C:\\Docs");
  engine_->OnCommandInt(2, L"AC_SET_ENGINEWORK", 1);
  std::map<std::uint32_t, win::DWORD> typed;
  for (std::uint32_t type : {0x2u, 0x4u, 0x40u, 0x80u, 0x400u, 0x10040u}) {
    typed[type] = Running(L"C:\\Tools\\typed" + std::to_wstring(type) + L".exe");
    engine_->AddSpecialProcess(typed[type], type);
  }
  const win::DWORD untyped = Running(L"C:\\Tools\\plain.exe");
  const std::wstring target = L"\\??\\C:\\Other\\b.txt";

  for (std::uint32_t type : {0x2u, 0x4u, 0x40u, 0x10040u})
    EXPECT_FALSE(Rename(typed[type], L"Docs\\a.txt", target)) << std::hex << type;
  for (std::uint32_t type : {0x80u, 0x400u})
    EXPECT_TRUE(Rename(typed[type], L"Docs\\a.txt", target)) << std::hex << type;
  EXPECT_TRUE(Rename(untyped, L"Docs\\a.txt", target));

  // Only the source counts: a rename into the read-only folder, or of a
  // path elsewhere, proceeds.
  EXPECT_TRUE(Rename(typed[0x40], L"Other\\a.txt", L"\\??\\C:\\Docs\\a.txt"));
  EXPECT_TRUE(Rename(typed[0x40], L"Docsx\\a.txt", target));

  testing::LogCapture log(64);
  EXPECT_FALSE(Rename(typed[0x40], L"Docs\\a.txt", target));
  const std::wstring pid = std::to_wstring(typed[0x40]);
  EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{
                             L"AC1 ---- QueryRename \\Device\\HarddiskVolume2\\Docs\\a.txt ,processtype = 64",
                             L"AC1 ---- Rename [" + pid + L"][10000] ptype=40 pathtype=20 path = \\\\?\\C:\\Docs\\a.txt",
                         }));
}

}  // namespace
}  // namespace zv::engines
