// The access-control engine in process, on a throw-away machine: real
// volume table, files and process table, the engine's handlers called
// directly. Processes are machine processes; their types come from the
// default rules or from commands, as in a running service.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver_channel/records.h"
#include "engines/access/acengine.h"
#include "engines/base/tests/log_capture.h"
#include "platform/base/clock.h"
#include "platform/files/testing/machine_fixture.h"
#include "platform/processes/process_table.h"

namespace zv::engines {
namespace {

using channel::_MXRED_NOTIFICATION;
using channel::_MXRED_REPLY_MESSAGE;

constexpr std::uint32_t kRead = 0x120089;
constexpr std::uint32_t kWrite = 0x120116;
constexpr std::uint32_t kExecute = kExecuteOpenAccess;

class AccessEngineTest : public platform::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    engine_ = std::make_unique<acengine>(kAccessControlEngineKey);
    engine_->CompilePathPatterns();
  }
  void TearDown() override {
    engine_.reset();
    MachineTest::TearDown();
  }

  win::DWORD Process(const std::wstring& image) { return platform::AddProcess(*machine_, 4, image, 1, false); }
  // A machine process with a type given by command.
  win::DWORD Typed(std::uint32_t type) {
    win::DWORD pid = Process(L"C:\\Tools\\typed" + std::to_wstring(type) + L".exe");
    engine_->AddSpecialProcess(pid, type);
    return pid;
  }
  int I(const wchar_t* command, int value, acengine* e = nullptr) {
    return (e ? e : engine_.get())->OnCommandInt(kAccessControlEngineKey, command, value);
  }
  int S(const wchar_t* command, const std::wstring& text) { return engine_->OnCommandString(2, command, text); }

  // Plays a file open through the notification handler; true when allowed.
  bool Open(win::DWORD pid, const std::wstring& devicePath, std::uint32_t access, acengine* e = nullptr) {
    auto n = std::make_unique<_MXRED_NOTIFICATION>();
    n->Kind = channel::kKindFileOpen;
    n->ProcessId = pid;
    n->DesiredAccess = access;
    n->SetPath(devicePath);
    _MXRED_REPLY_MESSAGE reply{};
    reply.Allow = 1;
    (e ? e : engine_.get())->OnNotification(n.get(), &reply);
    EXPECT_EQ(reply.AuxFlag, 0);
    return reply.Allow == 1;
  }
  // C: is \Device\HarddiskVolume2 on every fresh machine.
  static std::wstring Dev(const std::wstring& rest) { return L"\\Device\\HarddiskVolume2\\" + rest; }

  std::unique_ptr<acengine> engine_;
};

TEST(AccessHelpers, ContainsNoCaseComparesWholeStringsOfAnyLength) {
  // A final component far beyond the old 560-unit copies.
  std::wstring longName(1000, L'a');
  EXPECT_TRUE(ContainsNoCase(longName + L".EXE", L".exe"));
  EXPECT_TRUE(ContainsNoCase(longName + L"X.Cab.tmp", std::wstring(700, L'A') + L"x.CAB"));
  EXPECT_FALSE(ContainsNoCase(longName, std::wstring(1001, L'a')));
  EXPECT_TRUE(ContainsNoCase(L"setup.exe", L""));
  // Only ASCII letters change case.
  EXPECT_FALSE(ContainsNoCase(L"\u00C4.exe", L"\u00E4"));
}

TEST(AccessHelpers, ReadOnlyAccessExcludesWritesAppendsAndChangingMasks) {
  for (std::uint32_t mask : {0x120089u, 0x20080u, 0x1000A1u, 0x80u, 0x100000u, 0x10000u, 0u})
    EXPECT_TRUE(IsReadOnlyAccess(mask)) << std::hex << mask;
  for (std::uint32_t mask : {0x2u, 0x4u, 0x120116u, 0x40000000u | 0x2u, 0x10080u, 0x60080u, 0x110080u, 0x130080u,
                             0x130089u, 0x17019Fu, 0x1020080u, 0x1130089u, 0x117019Fu})
    EXPECT_FALSE(IsReadOnlyAccess(mask)) << std::hex << mask;
  // Near misses of the listed masks are reads.
  EXPECT_TRUE(IsReadOnlyAccess(0x130081));
}

TEST_F(AccessEngineTest, PathRulesNormaliseKeepTheFirstTypeAndTheLongestKeyDecides) {
  S(L"AC_ADD_PROTECTPATH", L"C:\\Secret");
  S(L"AC_ADD_READONLYPATH", L"c:\\SECRET\\");  // same key: stays 2
  S(L"AC_ADD_READONLYPATH", L"x");             // too short: not stored
  S(L"AC_ADD_EXCUTECONTROL_TARGET", L"C:\\Secret\\Open");
  EXPECT_EQ(engine_->OnCommandIntString(2, L"AC_ADD_PATHTYPE", 4, L"\\setup.exe"), 1);
  auto rules = engine_->PathRulesCopy();
  using R = std::pair<const std::wstring, std::uint32_t>;
  EXPECT_EQ(std::vector<R>(rules.begin(), rules.end()),
            (std::vector<R>{{L"\\setup.exe\\", 4}, {L"\\\\?\\c:\\secret\\open\\", 1}, {L"\\\\?\\c:\\secret\\", 2}}));

  std::uint32_t type = 99;
  EXPECT_TRUE(engine_->FindPathRule(L"\\\\?\\C:\\Secret\\Open\\a.txt", 0xFFFF, type));
  EXPECT_EQ(type, 1u);
  EXPECT_TRUE(engine_->FindPathRule(L"\\\\?\\C:\\Secret\\b.txt", 0xFFFF, type));
  EXPECT_EQ(type, 2u);
  EXPECT_TRUE(engine_->FindPathRule(L"\\\\?\\C:\\Secret", 0xFFFF, type));  // the folder itself
  EXPECT_EQ(type, 2u);
  // The deciding rule misses the mask: the walk ends, its prefix is not tried.
  EXPECT_FALSE(engine_->FindPathRule(L"\\\\?\\C:\\Secret\\Open\\a.txt", 0x2, type));
  EXPECT_EQ(type, 0u);
  EXPECT_TRUE(engine_->FindPathRule(L"\\\\?\\D:\\x\\Setup.exe", 0xFFFF, type));
  EXPECT_EQ(type, 4u);
  EXPECT_FALSE(engine_->FindPathRule(L"\\\\?\\D:\\x\\setup.exe.log", 0xFFFF, type));
  EXPECT_FALSE(engine_->FindPathRule(L"c", 0xFFFF, type));
  EXPECT_FALSE(engine_->FindPathRule(L"", 0xFFFF, type));
}

TEST_F(AccessEngineTest, CommandsAnswerByKeyAndEchoAtTheirPlace) {
  testing::LogCapture log(16);
  EXPECT_EQ(engine_->OnCommandInt(3, L"AC_SET_EXCUTECONTROL", 2), -1);
  EXPECT_EQ(engine_->OnCommandInt(2, L"AC_SET_EXCUTECONTROL", 2), 1);
  EXPECT_EQ(engine_->OnCommandInt(2, L"BE_SET_ENGINEWORK", 1), 1);  // not ours: echoed, ignored
  EXPECT_EQ(engine_->OnCommandIntString(3, L"AC_ADD_PATHTYPE", 4, L"C:\\k3"), -1);
  EXPECT_EQ(engine_->OnCommandString(7, L"AC_ADD_PROTECTPATH", L"C:\\any key"), 0);
  EXPECT_EQ(engine_->OnCommandString(2, L"ac_add_protectpath", L"C:\\lower"), 0);
  EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{
                             L"AC1 ---- RPCListen_i AC_SET_EXCUTECONTROL , 2",
                             L"AC1 ---- RPCListen_i BE_SET_ENGINEWORK , 1",
                             L"AC1 ---- RPCListen_is AC_ADD_PATHTYPE ,4, C:\\k3",
                             L"AC1 ---- RPCListen_s AC_ADD_PROTECTPATH , C:\\any key",
                             L"AC1 ---- RPCListen_s ac_add_protectpath , C:\\lower",
                         }));
  EXPECT_EQ(engine_->ExecuteControlMode(), 2);
  auto rules = engine_->PathRulesCopy();
  EXPECT_EQ(rules.size(), 1u);
  EXPECT_EQ(rules.count(L"\\\\?\\c:\\any key\\"), 1u);
  EXPECT_FALSE(engine_->Working());
}

TEST_F(AccessEngineTest, ClearCommandsKeepShareDeviceAndHandlerSettings) {
  win::DWORD cmd = Process(L"C:\\Windows\\System32\\cmd.exe");
  I(L"AC_SET_EXCUTECONTROL", 1);
  I(L"AC_SET_ACTIVEXCONTROL", 1);
  I(L"AC_SET_INSTALLCONTROL", 1);
  I(L"AC_SET_SHAREFOLDER", 0);
  I(L"AC_SET_DEVICEACCESSMODE", 3);
  S(L"AC_ADD_FREE_SHAREFOLDER", L"\\Device\\Mup\\srv\\pub");
  S(L"AC_ADD_FREE_SHAREFOLDER", L"\\Device\\Mup\\srv\\pub");
  S(L"AC_SETFOH_EXE", L"C:\\Tools\\viewer.exe");
  S(L"AC_SETFOH_MIRROR", L"D:\\m");
  I(L"AC_SET_ENGINEWORK", 1);
  EXPECT_EQ(engine_->SpecialProcessesCopy()[cmd], PROCESSTYPE_EXEC_BLACKLIST);
  engine_->SetPathMark(L"\\\\?\\C:\\x", 0x2);

  // AC_CLEARSETTING: settings, path rules and name rules go; processes and
  // marks stay.
  I(L"AC_CLEARSETTING", 0);
  EXPECT_EQ(engine_->ExecuteControlMode(), 0);
  EXPECT_EQ(engine_->ActiveXControl(), 0);
  EXPECT_EQ(engine_->InstallControl(), 0);
  EXPECT_TRUE(engine_->PathRulesCopy().empty());
  EXPECT_TRUE(engine_->ProcessNameRulesCopy().empty());
  EXPECT_EQ(engine_->SpecialProcessesCopy().count(cmd), 1u);
  EXPECT_EQ(engine_->PathMarksCopy().size(), 1u);
  EXPECT_TRUE(engine_->Working());

  // AC_CLEAR: the process tables and marks go too.
  I(L"AC_SET_ENGINEWORK", 1);
  I(L"AC_CLEAR", 0);
  EXPECT_TRUE(engine_->SpecialProcessesCopy().empty());
  EXPECT_TRUE(engine_->PathMarksCopy().empty());
  EXPECT_TRUE(engine_->SnapshotCopy().empty());
  // Neither touches the share list and setting, device settings or handler.
  EXPECT_EQ(engine_->ShareFoldersCopy(), std::vector<std::wstring>(2, L"\\Device\\Mup\\srv\\pub"));
  EXPECT_EQ(engine_->ShareFolderSetting(), 0);
  EXPECT_EQ(engine_->DeviceAccessMode(), 3);
  EXPECT_EQ(engine_->FileOpenHandlerCopy().Handler, L"C:\\Tools\\viewer.exe");
  EXPECT_EQ(engine_->FileOpenHandlerCopy().MirrorRoot, L"D:\\m");
  S(L"AC_CLEAR_FREE_SHAREFOLDER", L"");
  EXPECT_TRUE(engine_->ShareFoldersCopy().empty());
}

TEST_F(AccessEngineTest, DefaultRulesClassifyRunningProcessesByMode) {
  struct Case {
    int mode;
    std::uint32_t cmd, explorer, taskmgr, broker;
  };
  const Case cases[] = {{1, 0x4, 0x4, 0x4, 0x4}, {2, 0x2, 0x2, 0x2, 0x2}, {3, 0x40, 0x80, 0, 0}, {0, 0x40, 0x40, 0x40, 0},
                        {7, 0x40, 0x40, 0x40, 0}};
  win::DWORD cmd = Process(L"C:\\Windows\\System32\\CMD.EXE");
  win::DWORD explorer = Process(L"C:\\Windows\\explorer.exe");
  win::DWORD taskmgr = Process(L"C:\\Windows\\System32\\Taskmgr.exe");
  win::DWORD broker = Process(L"C:\\Windows\\System32\\RuntimeBroker.exe");
  win::DWORD dllhost = Process(L"C:\\Windows\\System32\\dllhost.exe");
  win::DWORD ie = Process(L"C:\\Program Files\\Internet Explorer\\iexplore.exe");
  for (const Case& c : cases) {
    I(L"AC_CLEAR", 0);
    I(L"AC_SET_EXCUTECONTROL", c.mode);
    I(L"AC_SET_ENGINEWORK", 1);
    auto types = engine_->SpecialProcessesCopy();
    EXPECT_EQ(types[cmd], c.cmd) << c.mode;
    EXPECT_EQ(types[explorer], c.explorer) << c.mode;
    EXPECT_EQ(types[taskmgr], c.taskmgr) << c.mode;
    EXPECT_EQ(types[broker], c.broker) << c.mode;
    EXPECT_EQ(types[dllhost], PROCESSTYPE_DLLHOST) << c.mode;
    EXPECT_EQ(types[ie], 0u) << c.mode;  // ActiveX control is off
    EXPECT_EQ(engine_->PathRulesCopy(), (std::map<std::wstring, std::uint32_t, std::greater<>>{{L"verclsid.exe\\", 8}}));
  }

  // ActiveX and install control add their rules; a second run duplicates
  // nothing and the work flag goes 0 and back to 1.
  I(L"AC_SET_ACTIVEXCONTROL", 1);
  I(L"AC_SET_INSTALLCONTROL", 1);
  I(L"AC_SET_ENGINEWORK", 1);
  I(L"AC_SET_ENGINEWORK", 0);
  EXPECT_FALSE(engine_->Working());
  I(L"AC_SET_ENGINEWORK", 1);
  EXPECT_TRUE(engine_->Working());
  EXPECT_EQ(engine_->SpecialProcessesCopy()[ie], PROCESSTYPE_ACTIVEX);
  EXPECT_EQ(engine_->PathRulesCopy(), (std::map<std::wstring, std::uint32_t, std::greater<>>{
                                          {L"verclsid.exe\\", 8},
                                          {L"msiexec.exe\\", 16},
                                          {L"ikernel.exe\\", 16},
                                          {L"\\setup.exe\\", 16},
                                          {L".tmp\\", 16},
                                      }));

  // Device defaults: shells and the COM surrogate only.
  acengine device(kDeviceAccessEngineKey);
  EXPECT_EQ(device.OnCommandInt(3, L"AC_SET_DEVICEACCESS", 1), 1);
  EXPECT_TRUE(device.DeviceAccess());
  EXPECT_TRUE(device.Working());
  auto types = device.SpecialProcessesCopy();
  EXPECT_EQ(types[cmd], PROCESSTYPE_SHELL);
  EXPECT_EQ(types[explorer], PROCESSTYPE_SHELL);
  EXPECT_EQ(types[dllhost], PROCESSTYPE_DLLHOST);
  EXPECT_EQ(types.count(taskmgr), 0u);
  EXPECT_EQ(device.PathRulesCopy().size(), 1u);
  device.OnCommandInt(3, L"AC_SET_DEVICEACCESS", 0);
  EXPECT_FALSE(device.DeviceAccess());
  EXPECT_FALSE(device.Working());
}

TEST_F(AccessEngineTest, NotificationsWaitForTheWorkFlagAndSkipTheServiceItself) {
  win::DWORD user = Typed(PROCESSTYPE_NORMAL);
  S(L"AC_ADD_PROTECTPATH", L"C:\\Secret");
  EXPECT_TRUE(Open(user, Dev(L"Secret\\a.txt"), kRead));  // idle
  I(L"AC_SET_ENGINEWORK", 1);
  EXPECT_FALSE(Open(user, Dev(L"Secret\\a.txt"), kRead));
  EXPECT_TRUE(Open(engine_->OwnProcessId(), Dev(L"Secret\\a.txt"), kRead));
  EXPECT_EQ(engine_->OwnProcessId(), platform::CurrentProcessPid());
  // A rename and an image load of the same path change nothing yet.
  auto n = std::make_unique<_MXRED_NOTIFICATION>();
  n->ProcessId = user;
  n->SetPath(Dev(L"Secret\\a.txt"));
  for (win::BYTE kind : {1, 2, 4, 9}) {
    n->Kind = kind;
    _MXRED_REPLY_MESSAGE reply{};
    reply.Allow = 1;
    engine_->OnNotification(n.get(), &reply);
    EXPECT_EQ(reply.Allow, 1) << int(kind);
  }
  I(L"AC_SET_ENGINEWORK", 0);
  EXPECT_TRUE(Open(user, Dev(L"Secret\\a.txt"), kRead));
}

TEST_F(AccessEngineTest, FreeProcessesAndNetworkShares) {
  I(L"AC_SET_ENGINEWORK", 1);
  S(L"AC_ADD_PROTECTPATH", L"C:\\Secret");
  win::DWORD free = Typed(PROCESSTYPE_FREE);
  win::DWORD almost = Typed(PROCESSTYPE_FREE | PROCESSTYPE_NORMAL);
  win::DWORD plain = Process(L"C:\\Tools\\plain.exe");
  EXPECT_TRUE(Open(free, Dev(L"Secret\\a.txt"), kWrite));
  EXPECT_FALSE(Open(almost, Dev(L"Secret\\a.txt"), kRead));

  const std::wstring share = L"\\Device\\Mup\\srv\\pub\\a.txt";
  const std::wstring other = L"\\Device\\LanmanRedirector\\;Z:0\\srv\\other\\b.txt";
  // Setting 1 (the default), empty list: every network path allowed.
  EXPECT_TRUE(Open(plain, share, kRead));
  EXPECT_TRUE(Open(plain, other, kRead));
  // Setting 0, empty list: every network path denied, except to free ones.
  I(L"AC_SET_SHAREFOLDER", 0);
  EXPECT_FALSE(Open(plain, share, kRead));
  EXPECT_FALSE(Open(plain, other, kRead));
  EXPECT_TRUE(Open(free, share, kRead));
  // Setting 0 with entries: only listed shares.
  S(L"AC_ADD_FREE_SHAREFOLDER", L"\\Device\\Mup\\srv\\pub");
  EXPECT_TRUE(Open(plain, share, kRead));
  EXPECT_FALSE(Open(plain, other, kRead));
  // Setting 1 with entries: the listed shares are the denied ones.
  I(L"AC_SET_SHAREFOLDER", 1);
  EXPECT_FALSE(Open(plain, share, kRead));
  EXPECT_TRUE(Open(plain, other, kRead));
  // The share test is case-sensitive; the device prefix too.
  EXPECT_TRUE(Open(plain, L"\\Device\\Mup\\SRV\\pub\\a.txt", kRead));
  I(L"AC_SET_SHAREFOLDER", 0);
  EXPECT_TRUE(Open(plain, L"\\device\\mup\\srv\\x", kRead));  // not a network path, not parsable
}

TEST_F(AccessEngineTest, WhiteAndBlackListsDenyExecutesAndOneOpenAfter) {
  win::DWORD white = Typed(PROCESSTYPE_EXEC_WHITELIST);
  win::DWORD black = Typed(PROCESSTYPE_EXEC_BLACKLIST);
  win::DWORD other = Typed(PROCESSTYPE_SHELL);
  S(L"AC_ADD_EXCUTECONTROL_TARGET", L"C:\\Games");
  I(L"AC_SET_ENGINEWORK", 1);
  testing::LogCapture log(16);

  // White list: files without a rule.
  EXPECT_TRUE(Open(white, Dev(L"Tools\\app.exe"), kRead));
  EXPECT_FALSE(Open(white, Dev(L"Tools\\app.exe"), kExecute));
  EXPECT_TRUE(Open(other, Dev(L"Tools\\app.exe"), kRead));  // other types never reach the test
  EXPECT_FALSE(Open(white, Dev(L"Tools\\APP.exe"), kRead));  // marks ignore letter case
  EXPECT_TRUE(Open(white, Dev(L"Tools\\app.exe"), kRead));
  EXPECT_TRUE(Open(white, Dev(L"Games\\g.exe"), kExecute));  // a rule: not the white list's
  const std::wstring dos = L"\\\\?\\C:\\Tools\\app.exe";
  std::wstring pid = std::to_wstring(white);
  EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{
                             L"AC1 ---- process[" + pid + L"] Excutecontrol with WhiteList " + dos,
                             L"AC1 ---- process[" + pid + L"] Excutecontrol with WhiteList " + dos,
                             L"AC1 ---- Special process[" + pid + L"] Access to Excute " + dos,
                             L"AC1 ---- process[" + pid + L"] Excutecontrol with WhiteList \\\\?\\C:\\Tools\\APP.exe",
                             L"AC1 ---- Special process[" + pid + L"] Access Denied \\\\?\\C:\\Tools\\APP.exe",
                             L"AC1 ---- process[" + pid + L"] Excutecontrol with WhiteList " + dos,
                         }));

  // Black list: target files only.
  EXPECT_TRUE(Open(black, Dev(L"Tools\\app.exe"), kExecute));
  EXPECT_FALSE(Open(black, Dev(L"Games\\g.exe"), kExecute));
  EXPECT_FALSE(Open(black, Dev(L"Games\\g.exe"), kRead));
  EXPECT_TRUE(Open(black, Dev(L"Games\\g.exe"), kRead));
  // A mark is not tied to a process: the white list's mark bit differs.
  EXPECT_FALSE(Open(black, Dev(L"Games\\g.exe"), kExecute));
  EXPECT_TRUE(Open(white, Dev(L"Games\\g.exe"), kRead));
  EXPECT_EQ(engine_->PathMarksCopy(), (std::map<std::wstring, std::uint32_t>{{L"\\\\?\\c:\\games\\g.exe", 0x4}}));
}

TEST_F(AccessEngineTest, RestrictedProgramsAreEndedAtTheirFirstOpen) {
  S(L"AC_ADD_RESTRICTEDPROCESS", L"badtool.exe");
  engine_->OnCommandIntString(2, L"AC_ADD_PATHTYPE", 4, L"C:\\Allowed");
  win::DWORD bad = Process(L"C:\\Tools\\BadTool.exe");
  win::DWORD second = Process(L"C:\\Other\\badtool.exe");
  I(L"AC_SET_ENGINEWORK", 1);
  ASSERT_EQ(engine_->SpecialProcessesCopy()[bad], PROCESSTYPE_RESTRICTED);
  testing::LogCapture log(16);
  // Network paths that pass the share test, unparsable and permitted paths
  // are allowed before the test.
  EXPECT_TRUE(Open(bad, L"\\Device\\Mup\\srv\\a.txt", kRead));
  EXPECT_TRUE(Open(bad, L"\\Device\\HarddiskVolumeShadowCopy1\\a.txt", kRead));
  EXPECT_TRUE(Open(bad, Dev(L"Allowed\\a.txt"), kRead));
  EXPECT_TRUE(platform::FindProcess(*machine_, bad));
  EXPECT_FALSE(Open(bad, Dev(L"Windows\\a.txt"), kRead));
  EXPECT_FALSE(platform::FindProcess(*machine_, bad));
  EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{L"AC1 ---- process[" + std::to_wstring(bad) +
                                                    L"] Access Restricted Install \\\\?\\C:\\Windows\\a.txt"}));
  // A program that is already gone is still denied.
  ASSERT_EQ(platform::EndProcess(*machine_, second), platform::EndResult::Ended);
  EXPECT_FALSE(Open(second, Dev(L"Windows\\a.txt"), kRead));
  // Turned free by id before its next open.
  win::DWORD third = Process(L"C:\\Third\\badtool.exe");
  I(L"AC_SET_ENGINEWORK", 1);
  I(L"AC_ADD_FREEPROCESS_ID", static_cast<int>(third));
  EXPECT_TRUE(Open(third, Dev(L"Windows\\a.txt"), kRead));
  EXPECT_TRUE(platform::FindProcess(*machine_, third));
  // The program's own path is an installer path for everyone.
  win::DWORD plain = Process(L"C:\\Tools\\plain.exe");
  EXPECT_FALSE(Open(plain, Dev(L"Tools\\badtool.exe"), kExecute));
  EXPECT_FALSE(Open(plain, Dev(L"Tools\\badtool.exe"), kRead));
  EXPECT_TRUE(Open(plain, Dev(L"Tools\\badtool.exe"), kRead));
}

TEST_F(AccessEngineTest, ReadOnlyPathsHoldAfterAWrite) {
  S(L"AC_ADD_READONLYPATH", L"C:\\Docs");
  win::DWORD shell = Process(L"C:\\Windows\\System32\\cmd.exe");
  win::DWORD dllhost = Process(L"C:\\Windows\\System32\\dllhost.exe");
  win::DWORD reader = Process(L"C:\\Tools\\reader.exe");
  I(L"AC_SET_ENGINEWORK", 1);
  // Readers, and writers of other types, pass while nothing holds the path.
  EXPECT_TRUE(Open(shell, Dev(L"Docs\\a.txt"), kRead));
  EXPECT_TRUE(Open(reader, Dev(L"Docs\\a.txt"), kWrite));
  // A shell write denies and holds the path for 30 ticks.
  EXPECT_FALSE(Open(shell, Dev(L"Docs\\a.txt"), kWrite));
  EXPECT_EQ(engine_->HoldsCopy(), (std::map<std::wstring, std::uint32_t>{{L"\\\\?\\c:\\docs\\a.txt", 30}}));
  // Every process that reaches the test is denied now; each adds 10 ticks.
  EXPECT_FALSE(Open(reader, Dev(L"Docs\\A.TXT"), kRead));
  EXPECT_FALSE(Open(shell, Dev(L"Docs\\a.txt"), kRead));
  EXPECT_EQ(engine_->HoldsCopy().begin()->second, 50u);
  EXPECT_TRUE(Open(reader, Dev(L"Docs\\b.txt"), kRead));
  // The COM surrogate is denied on its first open, even a read.
  EXPECT_FALSE(Open(dllhost, Dev(L"Docs\\b.txt"), kRead));
  EXPECT_FALSE(Open(reader, Dev(L"Docs\\b.txt"), kRead));
  // Delete and security-changing masks count as writes.
  EXPECT_FALSE(Open(shell, Dev(L"Docs\\c.txt"), 0x110080));
}

TEST_F(AccessEngineTest, DeviceBranchByPathTypeAndMode) {
  acengine device(kDeviceAccessEngineKey);
  device.CompilePathPatterns();
  MakeFile(C("Browse/file.txt"));
  MakeFile(C("Plain/file.txt"));
  win::DWORD user = Process(L"C:\\Tools\\user.exe");
  win::DWORD dllhost = Process(L"C:\\Windows\\System32\\dllhost.exe");
  auto add = [&](int type, const wchar_t* path) { device.OnCommandIntString(3, L"AC_ADD_PATHTYPE", type, path); };
  add(1, L"C:\\Allow");
  add(2, L"C:\\Deny");
  add(4, L"C:\\ReadOnly");
  add(8, L"C:\\Browse");
  add(16, L"C:\\Installer");
  add(32, L"C:\\Docs");
  device.OnCommandInt(3, L"AC_SET_DEVICEACCESS", 1);
  auto open = [&](win::DWORD pid, const wchar_t* path, std::uint32_t access) {
    return Open(pid, Dev(path), access, &device);
  };
  for (int mode : {0, 1, 2, 3, 4, 9}) {
    device.OnCommandInt(3, L"AC_SET_DEVICEACCESSMODE", mode);
    EXPECT_TRUE(open(user, L"Allow\\a.txt", kWrite)) << mode;
    EXPECT_TRUE(open(dllhost, L"Allow\\a.txt", kRead)) << mode;
    EXPECT_FALSE(open(user, L"Deny\\a.txt", kRead)) << mode;
    EXPECT_TRUE(open(user, L"ReadOnly\\a.txt", kRead)) << mode;
    EXPECT_FALSE(open(user, L"ReadOnly\\a.txt", kWrite)) << mode;
    EXPECT_FALSE(open(dllhost, L"ReadOnly\\a.txt", kRead)) << mode;
    EXPECT_TRUE(open(user, L"Browse", kRead)) << mode;
    EXPECT_FALSE(open(user, L"Browse\\file.txt", kRead)) << mode;
    EXPECT_FALSE(open(user, L"Browse\\missing", kRead)) << mode;
    // Paths without a rule, and installer and read-only rules, follow the mode.
    for (const wchar_t* path : {L"Other\\a.txt", L"Installer\\a.txt", L"Docs\\a.txt"}) {
      bool read = open(user, path, kRead), write = open(user, path, kWrite), com = open(dllhost, path, kRead);
      bool folder = open(user, L"Plain", kRead);  // a folder without a rule
      switch (mode) {
        case 2:
          EXPECT_FALSE(read || write || com || folder) << mode << path;
          break;
        case 3:
          EXPECT_TRUE(read && !write && !com) << mode << path;
          break;
        case 4:
          EXPECT_FALSE(read || write || com) << mode << path;  // files are not folders
          EXPECT_TRUE(folder);
          break;
        default:
          EXPECT_TRUE(read && write && com) << mode << path;
      }
    }
  }
  // Device access ignores the access-control rules of the process types.
  device.OnCommandInt(3, L"AC_SET_DEVICEACCESSMODE", 1);
  win::DWORD white = Process(L"C:\\Tools\\white.exe");
  device.AddSpecialProcess(white, PROCESSTYPE_EXEC_WHITELIST);
  EXPECT_TRUE(open(white, L"Other\\x.exe", kExecute));
  // The same key-3 engine is blind to key-2 commands.
  EXPECT_EQ(device.OnCommandInt(2, L"AC_SET_DEVICEACCESSMODE", 2), -1);
  EXPECT_EQ(device.DeviceAccessMode(), 1);
}

TEST_F(AccessEngineTest, QueriesRunBesideCommandsThatReplaceSettings) {
  win::DWORD shell = Process(L"C:\\Windows\\System32\\cmd.exe");
  win::DWORD plain = Process(L"C:\\Tools\\plain.exe");
  S(L"AC_ADD_READONLYPATH", L"C:\\Docs");
  S(L"AC_ADD_PROTECTPATH", L"C:\\Secret");
  I(L"AC_SET_ENGINEWORK", 1);
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; !stop.load(); ++i) {
        std::wstring file = L"Docs\\f" + std::to_wstring((i + t) % 7) + L".txt";
        Open(i % 2 ? shell : plain, Dev(file), i % 3 ? kRead : kWrite);
        Open(plain, L"\\Device\\Mup\\srv\\s" + std::to_wstring(i % 3) + L"\\a", kRead);
        EXPECT_FALSE(Open(plain, Dev(L"Secret\\a.txt"), kRead));
        engine_->HoldPath(L"\\\\?\\C:\\Docs\\f0.txt", 1);
        ++rounds;
      }
    });
  }
  for (int i = 0; i < 300; ++i) {
    I(L"AC_SET_SHAREFOLDER", i % 2);
    S(L"AC_ADD_FREE_SHAREFOLDER", L"\\Device\\Mup\\srv\\s" + std::to_wstring(i % 3));
    if (i % 50 == 0) S(L"AC_CLEAR_FREE_SHAREFOLDER", L"");
    S(L"AC_SETFOH_EXE", L"C:\\Tools\\h" + std::to_wstring(i) + L".exe");
    S(L"AC_SETFOH_MIRROR", L"D:\\m" + std::to_wstring(i));
    I(L"AC_SET_EXCUTECONTROL", i % 4);
    engine_->OnCommandIntString(2, L"AC_ADD_PATHTYPE", 32, L"C:\\Docs\\sub" + std::to_wstring(i));
    FileOpenHandlerSetting setting = engine_->FileOpenHandlerCopy();
    EXPECT_EQ(setting.Handler, L"C:\\Tools\\h" + std::to_wstring(i) + L".exe");
  }
  // At least 200 rounds of queries, however the threads were scheduled.
  while (rounds.load() < 200) std::this_thread::yield();
  stop = true;
  for (auto& w : workers) w.join();
}

TEST_F(AccessEngineTest, HoldCountdownEndsAReadOnlyHoldOnTheClock) {
  platform::SteppedClock clock;
  platform::ScopedClock scopedClock(clock);
  struct StopAtEnd {
    acengine& engine;
    platform::SteppedClock& clock;
    ~StopAtEnd() {
      engine.RequestThreadsStop();
      clock.Release();
      engine.JoinThreads();
    }
  } stopAtEnd{*engine_, clock};
  S(L"AC_ADD_READONLYPATH", L"C:\\Docs");
  win::DWORD shell = Process(L"C:\\Windows\\System32\\cmd.exe");
  win::DWORD reader = Process(L"C:\\Tools\\reader.exe");
  I(L"AC_SET_ENGINEWORK", 1);
  engine_->Start();
  ASSERT_TRUE(clock.WaitForSleepers(1));
  const std::wstring key = L"\\\\?\\c:\\docs\\a.txt";
  auto remaining = [&] { return engine_->HoldsCopy()[key]; };

  // A shell write: 30 ticks of 500 ms. A reader during the hold adds 10.
  EXPECT_FALSE(Open(shell, Dev(L"Docs\\a.txt"), kWrite));
  clock.Advance(29 * kHoldTickMs);
  EXPECT_EQ(remaining(), 1u);
  EXPECT_FALSE(Open(reader, Dev(L"Docs\\a.txt"), kRead));
  EXPECT_EQ(remaining(), 11u);
  clock.Advance(10 * kHoldTickMs);
  EXPECT_EQ(remaining(), 1u);
  EXPECT_EQ(engine_->PathMarksCopy().count(key), 1u);
  // The last tick clears the mark; the entry stays at 0 and stops counting.
  clock.Advance(kHoldTickMs);
  EXPECT_EQ(engine_->PathMarksCopy().count(key), 0u);
  EXPECT_TRUE(Open(reader, Dev(L"Docs\\a.txt"), kRead));
  clock.Advance(3 * kHoldTickMs);
  EXPECT_EQ(engine_->HoldsCopy(), (std::map<std::wstring, std::uint32_t>{{key, 0}}));
  // The next write starts a fresh hold.
  EXPECT_FALSE(Open(shell, Dev(L"Docs\\a.txt"), kWrite));
  EXPECT_EQ(remaining(), 30u);
}

}  // namespace
}  // namespace zv::engines
