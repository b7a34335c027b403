// Process classification of the backup engine on the machine's processes:
// inheritance, name rules, touched images, direct-free registration, the
// session filter and garbage collection.
#include "engines/backup/tests/engine_fixture.h"

namespace zv::engines::testing {
namespace {

using zv::testing::LogCapture;

constexpr wchar_t kVolume[] = L"\\Device\\HarddiskVolume2";

TEST_F(BackupEngineTest, AFreeParentsChildIsFreeUntilItsImageAndStaysFreeWithoutARule) {
  Str(L"BE_ADD_FREEPROCESSNAME", L"\\Tools\\Packer.exe");
  win::DWORD parent = Spawn(L"C:\\Tools\\packer.exe");
  win::DWORD other = Spawn(L"C:\\Apps\\editor.exe");
  Int(L"BE_SET_ENGINEWORK", 1);
  EXPECT_EQ(Type(parent), kBackupProcessFree);
  EXPECT_EQ(Type(other), kBackupProcessNormal);

  LogCapture log(0x1008);
  win::DWORD child = Spawn(L"C:\\Apps\\child.exe", 1, parent);
  Started(child, parent);
  EXPECT_EQ(Type(child), 0x10002u);
  EXPECT_TRUE(engine_->HasProcessType(child, kBackupProcessFree));
  // DLL loads never change the table, whatever the letter case.
  Image(child, std::wstring(kVolume) + L"\\Windows\\System32\\KERNEL32.DLL");
  EXPECT_EQ(Type(child), 0x10002u);
  Image(child, std::wstring(kVolume) + L"\\Apps\\child.exe");
  EXPECT_EQ(Type(child), kBackupProcessFree);
  // Its type is settled: later images do not change it.
  Image(child, std::wstring(kVolume) + L"\\Apps\\other.exe");
  EXPECT_EQ(Type(child), kBackupProcessFree);

  // A normal parent's child gets no entry until its image.
  win::DWORD grandchild = Spawn(L"C:\\Apps\\g.exe", 1, other);
  Started(grandchild, other);
  EXPECT_EQ(Type(grandchild), 0u);
  Image(grandchild, std::wstring(kVolume) + L"\\Apps\\g.exe");
  EXPECT_EQ(Type(grandchild), kBackupProcessNormal);

  Ended(child);
  EXPECT_EQ(Type(child), 0u);
  auto lines = log.Lines();
  EXPECT_EQ(Count(lines, L"BE ---- [Free Process]parent = " + std::to_wstring(parent) + L" Create " +
                             std::to_wstring(child)),
            1);
  EXPECT_EQ(Count(lines, L"BE ---- [Normal Process]parent = " + std::to_wstring(other) + L" Create "), 1);
  EXPECT_EQ(Count(lines, L"BE ---- [ImageNotify]DelSpecial process  " + std::to_wstring(child) +
                             L",\\Device\\HarddiskVolume2\\Apps\\child.exe,2"),
            1);
  EXPECT_EQ(Count(lines, L"BE ---- Add  Process by Inherit[" + std::to_wstring(child) +
                             L"] \\\\?\\C:\\Apps\\child.exe 2"),
            1);
  EXPECT_EQ(Count(lines, L"BE ---- [ImageNotify]Check Inherit Reutnr " + std::to_wstring(child)), 1);
  EXPECT_EQ(Count(lines, L"BE ---- [del process] , " + std::to_wstring(child)), 1);
  EXPECT_EQ(Count(lines, L"BE ---- DelProcess " + std::to_wstring(child) + L" Remain Process ["), 2);
}

TEST_F(BackupEngineTest, NameRulesExceptionsEmptyFragmentsAndTouchedImages) {
  Int(L"BE_SET_ENGINEWORK", 1);
  Str(L"BE_ADD_FREEPROCESSNAME", L"setup");
  Str(L"BE_ADD_FREEPROCESSEXCEPTION", L"\\Setup\\Evil");
  EXPECT_EQ(engine_->GetFreeProcessByRule(L"C:\\SETUP\\EVIL.EXE"), 1);
  EXPECT_EQ(engine_->GetFreeProcessByRule(L"c:\\x\\setup.exe"), 2);
  EXPECT_EQ(engine_->GetFreeProcessByRule(L"c:\\x\\app.exe"), 0);
  EXPECT_FALSE(engine_->IsFreeProcessName(L"c:\\setup\\evil.exe"));

  LogCapture log(0x8);
  Image(8000, std::wstring(kVolume) + L"\\Setup\\Evil.exe");
  EXPECT_EQ(Type(8000), kBackupProcessNormal);
  Image(8004, std::wstring(kVolume) + L"\\Temp\\setup.exe");
  EXPECT_EQ(Type(8004), kBackupProcessFree);
  // An image that this session created (or backed up) is never made free.
  engine_->MarkTouched(L"\\\\?\\c:\\TEMP\\Setup2.exe", kTouchNewFile);
  Image(8008, std::wstring(kVolume) + L"\\Temp\\setup2.exe");
  EXPECT_EQ(Type(8008), kBackupProcessNormal);
  engine_->MarkTouched(L"\\\\?\\c:\\temp\\setup3.exe", kTouchBackedUp);
  Image(8012, std::wstring(kVolume) + L"\\Temp\\setup3.exe");
  EXPECT_EQ(Type(8012), kBackupProcessNormal);
  // A path that does not parse leaves no entry.
  Image(8016, L"\\Device\\Mup\\server\\share\\setup.exe");
  EXPECT_EQ(Type(8016), 0u);
  auto lines = log.Lines();
  EXPECT_EQ(Count(lines, L"BE ---- GetFreeProcessByRule [8000] \\\\?\\C:\\Setup\\Evil.exe ptype = 1"), 1);
  EXPECT_EQ(Count(lines, L"BE ---- Add Normal Process[8000] \\\\?\\C:\\Setup\\Evil.exe"), 1);
  EXPECT_EQ(Count(lines, L"BE ---- Add FreeProcess Rule[8004] \\\\?\\C:\\Temp\\setup.exe"), 1);
  EXPECT_EQ(Count(lines, L"BE ---- Add  Process by Inherit[8008] \\\\?\\C:\\Temp\\setup2.exe 1"), 1);
  EXPECT_EQ(Count(lines, L"BE ---- [Parsing Error] \\Device\\Mup\\server\\share\\setup.exe"), 1);

  // An empty fragment is contained in every path.
  Str(L"BE_CLEARSETTING", L"");
  Str(L"BE_ADD_FREEPROCESSNAME", L"");
  Image(8020, std::wstring(kVolume) + L"\\Apps\\anything.exe");
  EXPECT_EQ(Type(8020), kBackupProcessFree);
  // ... but the exceptions outlive BE_CLEARSETTING.
  Image(8024, std::wstring(kVolume) + L"\\Setup\\Evil\\x.exe");
  EXPECT_EQ(Type(8024), kBackupProcessNormal);
}

TEST_F(BackupEngineTest, DirectFreeGoesToTheDriverForSystemAndTheSuitesServices) {
  Str(L"BE_ADD_FREEPROCESSNAME", L"backup-agent");
  win::DWORD scanner = Spawn(L"C:\\Program Files\\Suite\\NTRtScan.exe", 0);
  win::DWORD agent = Spawn(L"C:\\Program Files\\Suite\\backup-agent.exe", 0);
  win::DWORD plain = Spawn(L"C:\\Apps\\plain.exe");
  LogCapture log(1);
  engine_->RegisterDirectFreeProcesses();
  auto sent = filters_.DirectFree();
  EXPECT_EQ(sent, (std::vector<win::DWORD>{4, scanner}));
  // A rule makes a process free without registering it with the driver.
  EXPECT_EQ(Type(agent), kBackupProcessFree);
  EXPECT_EQ(Type(plain), 0u);
  EXPECT_EQ(Count(log.Lines(), L"CheckAndAddDriverDirectFree ---- <SUCCESS> (ERROR:0x00000000)=FilterSendMessage()"), 2);

  // Whatever its name, pid 4 is sent; an error is logged and not retried.
  filters_.sendResult = win::HR_INVALID_HANDLE;
  EXPECT_TRUE(engine_->CheckAndAddDriverDirectFree(L"c:\\whatever.exe", 4));
  EXPECT_TRUE(engine_->CheckAndAddDriverDirectFree(L"C:\\X\\CoreFrameworkHost64.exe", 1234));
  EXPECT_TRUE(engine_->CheckAndAddDriverDirectFree(L"c:\\x\\mxred.exe.bak\\y.exe", 1238));
  EXPECT_TRUE(engine_->CheckAndAddDriverDirectFree(L"c:\\x\\tmbm.exe", 1242));
  EXPECT_EQ(filters_.DirectFree().size(), 5u);
  EXPECT_EQ(Count(log.Lines(), L"CheckAndAddDriverDirectFree ---- <ERROR> (ERROR:0x80070006)=FilterSendMessage()"), 3);

  // A free image of a known service is registered when its image loads.
  Int(L"BE_SET_ENGINEWORK", 1);
  Str(L"BE_ADD_FREEPROCESSNAME", L"tmbmsrv.exe");
  filters_.sendResult = win::S_OK;
  Image(2000, std::wstring(kVolume) + L"\\Suite\\TmBmSrv.exe");
  EXPECT_EQ(filters_.DirectFree().back(), 2000u);
}

class SessionFilterTest : public BackupEngineTest {
 protected:
  void SetUp() override {
    BackupEngineTest::SetUp();
    std::filesystem::create_directories(C("Windows/zv/zvorx"));
  }
  std::string Log() { return ReadHost(C("Windows/zv/zvorx/sflog.log")); }
};

TEST_F(SessionFilterTest, SessionZeroProcessesWithoutARuleAreFreeWhileTheFilterIsOn) {
  Str(L"BE_ADD_FREEPROCESSNAME", L"agent");
  Str(L"BE_ADD_FREEPROCESSEXCEPTION", L"spooler");
  win::DWORD service = Spawn(L"C:\\Windows\\svchost.exe", 0);
  win::DWORD spooler = Spawn(L"C:\\Windows\\spooler.exe", 0);
  win::DWORD user = Spawn(L"C:\\Apps\\word.exe", 1);
  win::DWORD agent = Spawn(L"C:\\Apps\\agent.exe", 1);

  // Off: only the rules decide.
  Int(L"BE_SET_ENGINEWORK", 1);
  EXPECT_EQ(Type(service), kBackupProcessNormal);
  EXPECT_EQ(Type(agent), kBackupProcessFree);
  EXPECT_EQ(Log(), "");

  LogCapture log(0x8);
  Int(L"BE_SET_SESSIONFILTER", 1);
  EXPECT_TRUE(engine_->SessionFilterOn());
  EXPECT_EQ(Type(service), kBackupProcessNormal);  // not reclassified until work starts again
  Int(L"BE_SET_ENGINEWORK", 1);
  EXPECT_EQ(Type(service), kBackupProcessFree);
  EXPECT_EQ(Type(spooler), kBackupProcessNormal);
  EXPECT_EQ(Type(user), kBackupProcessNormal);
  EXPECT_EQ(Type(agent), kBackupProcessFree);
  EXPECT_EQ(Type(4), kBackupProcessFree);  // System runs in session 0

  // Started later: a session-0 image without a rule is free, a session-1
  // one normal, and a free parent's session-1 child normal too.
  win::DWORD daemon = Spawn(L"C:\\Windows\\daemon.exe", 0);
  Image(daemon, std::wstring(kVolume) + L"\\Windows\\daemon.exe");
  EXPECT_EQ(Type(daemon), kBackupProcessFree);
  win::DWORD child = Spawn(L"C:\\Apps\\child.exe", 1, agent);
  Started(child, agent);
  Image(child, std::wstring(kVolume) + L"\\Apps\\child.exe");
  EXPECT_EQ(Type(child), kBackupProcessNormal);
  Image(5000, std::wstring(kVolume) + L"\\Apps\\gone.exe");  // no such process: session unreadable
  EXPECT_EQ(Type(5000), kBackupProcessNormal);

  Int(L"BE_SET_SESSIONFILTER", 0);
  EXPECT_FALSE(engine_->SessionFilterOn());

  std::string text = Log();
  EXPECT_EQ(Count(text, ":,<SessionFilter Set> , Set= 1 \r\n"), 1);
  EXPECT_EQ(Count(text, ":,<SessionFilter Set> , Set= 0 \r\n"), 1);
  EXPECT_EQ(Count(text, ":,<SessionFilter Free> ,Process = c:\\windows\\svchost.exe ,pid = " +
                            std::to_string(service) + " \r\n "),
            1);
  EXPECT_EQ(Count(text, "<SessionFilter Free>"), 3);  // svchost, System and the idle process
  EXPECT_EQ(Count(text, ":,<ImageNotify:SessionFilter Free> ,Process = \\\\?\\C:\\Windows\\daemon.exe ,pid = " +
                            std::to_string(daemon) + " \r\n"),
            1);
  EXPECT_EQ(Count(text, "<ImageNotify:SessionFilter Free>"), 1);
  auto lines = log.Lines();
  EXPECT_EQ(Count(lines, L"BE ---- [SessionFitler] Add FreeProcess Rule[" + std::to_wstring(agent) +
                             L"] c:\\apps\\agent.exe"),
            1);
  EXPECT_EQ(Count(lines, L"BE ---- [SessionFitler]  FreeProcessException Process[" + std::to_wstring(spooler) +
                             L"] c:\\windows\\spooler.exe"),
            1);
  EXPECT_EQ(Count(lines, L"BE ---- [session 1] Process[" + std::to_wstring(user) + L"] c:\\apps\\word.exe"), 1);
  EXPECT_EQ(Count(lines, L"BE ---- [session 0] Process[" + std::to_wstring(service) + L"] c:\\windows\\svchost.exe"),
            1);
}

TEST_F(BackupEngineTest, WorkTwiceReclassifiesTwiceAndEndedProcessesAreCollected) {
  Str(L"BE_ADD_FREEPROCESSNAME", L"packer");
  win::DWORD parent = Spawn(L"C:\\Tools\\packer.exe");
  Int(L"BE_SET_ENGINEWORK", 1);
  win::DWORD child = Spawn(L"C:\\Apps\\child.exe", 1, parent);
  Started(child, parent);
  EXPECT_EQ(Type(child), 0x10002u);
  // The second run overwrites every running process: the inherited type goes.
  Int(L"BE_SET_ENGINEWORK", 1);
  EXPECT_EQ(Type(child), kBackupProcessNormal);
  EXPECT_EQ(Type(parent), kBackupProcessFree);

  // Paused: notifications are ignored, the table stays.
  Int(L"BE_SET_ENGINEWORK", 0);
  EXPECT_FALSE(engine_->Working());
  Started(9000, parent);
  EXPECT_EQ(Type(9000), 0u);
  Int(L"BE_SET_ENGINEWORK", 1);
  // Our own process is ignored while working.
  Started(engine_->OwnProcessId(), parent);
  EXPECT_EQ(Type(engine_->OwnProcessId()), kBackupProcessNormal);

  Int(L"BE_ADD_FREEPROCESSID", 77777);
  EXPECT_EQ(platform::EndProcess(*machine_, child), platform::EndResult::Ended);
  LogCapture log(0x2000);
  engine_->CollectEndedProcesses();
  EXPECT_EQ(Type(child), 0u);
  EXPECT_EQ(Type(77777), 0u);
  EXPECT_EQ(Type(parent), kBackupProcessFree);
  auto lines = log.Lines();
  EXPECT_EQ(Count(lines, L"BE ---- Garbage PID deleted " + std::to_wstring(child)), 1);
  EXPECT_EQ(Count(lines, L"BE ---- Garbage PID deleted 77777"), 1);

  // A round without a snapshot (no machine) takes nothing for ended.
  platform::Machine::SetCurrent(nullptr);
  bool taken = true;
  engine_->TakeProcessSnapshot(SnapshotFill::Names, &taken);
  EXPECT_FALSE(taken);
  engine_->CollectEndedProcesses();
  platform::Machine::SetCurrent(machine_);
  EXPECT_EQ(Type(parent), kBackupProcessFree);
}

}  // namespace
}  // namespace zv::engines::testing
