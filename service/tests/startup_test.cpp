// Start-up and shutdown of zvorx in console mode, against fakes of the
// process table, the filter manager and threads, on a virtual clock.
#include <gtest/gtest.h>

#include <future>
#include <map>
#include <set>

#include "control/control_thread.h"
#include "driver_channel/port_client.h"
#include "driver_channel/tests/fake_port.h"
#include "log/log.h"
#include "platform/base/clock.h"
#include "platform/base/debug_output.h"
#include "platform/base/handles.h"
#include "platform/processes/process_api.h"
#include "service/startup.h"
#include "service/startup_access.h"
#include "service/startup_backup.h"

namespace zv::service {
namespace {

using namespace zv::testing;
using platform::ScopedApi;

class TokenObject : public platform::KernelObject {};

// Tokens, privileges, the named mutex and WinExec; nothing else is used.
class FakeProcesses : public platform::ProcessApi {
 public:
  std::set<std::wstring> heldMutexes;
  DWORD openTokenError = 0;
  std::map<std::wstring, DWORD> lookupErrors;
  std::map<std::wstring, DWORD> adjustErrors;
  std::vector<std::pair<std::wstring, DWORD>> adjusted;  // privilege, attributes
  std::vector<std::pair<std::string, UINT>> executed;
  int openTokens = 0;

  HANDLE CreateToolhelp32Snapshot(DWORD, DWORD) override { return INVALID_HANDLE_VALUE; }
  BOOL Process32FirstW(HANDLE, PROCESSENTRY32W*) override { return FALSE; }
  BOOL Process32NextW(HANDLE, PROCESSENTRY32W*) override { return FALSE; }
  HANDLE OpenProcess(DWORD, BOOL, DWORD) override { return nullptr; }
  BOOL QueryFullProcessImageNameW(HANDLE, DWORD, WCHAR*, DWORD*) override { return FALSE; }
  DWORD K32GetModuleFileNameExW(HANDLE, HMODULE, WCHAR*, DWORD) override { return 0; }
  BOOL ProcessIdToSessionId(DWORD, DWORD*) override { return FALSE; }
  BOOL TerminateProcess(HANDLE, UINT) override { return FALSE; }
  DWORD GetCurrentProcessId() override { return 4100; }
  HANDLE GetCurrentProcess() override { return reinterpret_cast<HANDLE>(-1); }
  DWORD GetModuleFileNameW(HMODULE, WCHAR*, DWORD) override { return 0; }

  BOOL OpenProcessToken(HANDLE, DWORD access, HANDLE* token) override {
    if (openTokenError) {
      platform::SetLastError(openTokenError);
      return FALSE;
    }
    EXPECT_EQ(access, TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY);
    ++openTokens;
    *token = platform::RegisterHandle(std::make_shared<TokenObject>());
    return TRUE;
  }
  BOOL LookupPrivilegeValueW(const WCHAR* system, const WCHAR* name, LUID* luid) override {
    EXPECT_EQ(system, nullptr);
    if (auto it = lookupErrors.find(name); it != lookupErrors.end()) {
      platform::SetLastError(it->second);
      return FALSE;
    }
    names_.push_back(name);
    luid->LowPart = static_cast<DWORD>(names_.size());
    return TRUE;
  }
  BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* state, DWORD, TOKEN_PRIVILEGES*,
                             DWORD*) override {
    EXPECT_FALSE(disableAll);
    EXPECT_EQ(state->PrivilegeCount, 1u);
    const std::wstring& name = names_.at(state->Privileges[0].Luid.LowPart - 1);
    if (auto it = adjustErrors.find(name); it != adjustErrors.end()) {
      platform::SetLastError(it->second);
      return FALSE;
    }
    adjusted.emplace_back(name, state->Privileges[0].Attributes);
    return TRUE;
  }
  HANDLE CreateMutexW(const void* attributes, BOOL initialOwner, const WCHAR* name) override {
    EXPECT_EQ(attributes, nullptr);
    EXPECT_TRUE(initialOwner);
    bool exists = !heldMutexes.insert(name).second;
    platform::SetLastError(exists ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return platform::RegisterHandle(std::make_shared<TokenObject>());
  }
  UINT WinExec(const std::string& command, UINT show) override {
    executed.emplace_back(command, show);
    return 33;
  }

 private:
  std::vector<std::wstring> names_;
};

int CountContaining(const std::vector<std::wstring>& lines, std::wstring_view text) {
  return static_cast<int>(
      std::count_if(lines.begin(), lines.end(), [&](const std::wstring& l) { return l.find(text) != l.npos; }));
}

constexpr char kShutdownConsole[] =
    "ZVORX:  RPC's Thread is terminating ... \r\n"
    "ZVORX:  Filter Unloading ...\r\n"
    "ZVORX:  Internal data cleanup ...\r\n"
    "ZVORX:  A Termination finished successfully ...\r\n";

std::atomic<int> controlThreads{0};

class StartupTest : public ::testing::Test {
 protected:
  static DWORD ControlThread(void*) {
    ++controlThreads;
    return 0;
  }
  void SetUp() override {
    driver_.connectResult = win::HR_FLT_FILTER_NOT_FOUND;  // serving ends at once
    SetControlThreadRoutine(&ControlThread);
    // The hold countdown would spin on the virtual clock.
    SetAccessEngineThreads(false);
    controlThreads = 0;
    SetBackupEngineThreads(false);  // periodic threads would spin on the virtual clock
  }
  void TearDown() override {
    SetControlThreadRoutine(control::ControlInterfaceThread);
    SetAccessEngineThreads(true);
    SetBackupEngineThreads(true);
    threads_.JoinAll();
    log::SetLevelMask(1);
    channel::SetSharedPortHandle(win::INVALID_HANDLE_VALUE);
  }
  std::vector<std::wstring> FilterCalls() {
    std::vector<std::wstring> out;
    for (auto& c : driver_.Calls()) {
      if (c.rfind(L"FilterConnect", 0) != 0) out.push_back(c);
    }
    return out;
  }

  platform::VirtualClock clock_;
  platform::ScopedClock scopedClock_{clock_};
  platform::DebugOutputCapture debug_;
  platform::ConsoleCapture console_;
  FakeProcesses processes_;
  FakeDriver driver_;
  FakeThreads threads_;
  ScopedApi<platform::ProcessApi> processApi_{processes_};
  ScopedApi<platform::FilterApi> filterApi_{driver_};
  ScopedApi<platform::CompletionPortApi> completionApi_{driver_};
  ScopedApi<platform::ThreadApi> threadApi_{threads_};
};

TEST(Switches, FoundAnywhereCaseSensitively) {
  Switches s = ReadSwitches(L"C:\\my-services\\zvorx.exe -skipbe");
  EXPECT_TRUE(s.service);
  EXPECT_TRUE(s.skipBackup);
  EXPECT_FALSE(s.skipAccess);
  s = ReadSwitches(L"zvorx -Service -SKIPAC -skipacx -test");
  EXPECT_FALSE(s.service);
  EXPECT_TRUE(s.skipAccess);
  EXPECT_TRUE(s.test);
  char a0[] = "/opt/zv/zvorx", a1[] = "-skipbe", a2[] = "a b";
  char* argv[] = {a0, a1, a2};
  EXPECT_EQ(CommandLineFromArguments(3, argv), L"/opt/zv/zvorx -skipbe \"a b\"");
}

TEST_F(StartupTest, SecondInstanceReturnsZeroAndLeavesNoTrace) {
  processes_.heldMutexes.insert(kMutexName);
  log::SetLevelMask(0xffff);
  EXPECT_EQ(ZvorxMain(L"zvorx"), 0);
  EXPECT_TRUE(debug_.Lines().empty());
  EXPECT_TRUE(console_.Text().empty());
  EXPECT_TRUE(driver_.Calls().empty());
  EXPECT_TRUE(processes_.adjusted.empty());
}

TEST_F(StartupTest, FirstSuccessSleepsOneSecondThenServesAndShutsDown) {
  EXPECT_EQ(ZvorxMain(L"zvorx"), 0);
  EXPECT_EQ(clock_.SleptMilliseconds(), 1000u);
  EXPECT_EQ(FilterCalls(), (std::vector<std::wstring>{L"FilterLoad(ZVORX)", L"FilterUnload(ZVORX)"}));
  using P = std::pair<std::wstring, DWORD>;
  EXPECT_EQ(processes_.adjusted, (std::vector<P>{{L"SeSecurityPrivilege", 2},  // the backup engine's
                                                  {L"SeCreateGlobalPrivilege", 2},
                                                  {L"SeLoadDriverPrivilege", 2},
                                                  {L"SeDebugPrivilege", 2},
                                                  {L"SeLoadDriverPrivilege", 0}}));
  EXPECT_EQ(console_.Text(), std::string("ZVORX: Connecting to the filter ...\n"
                                         "ERROR: Connecting to filter port: 0x801f0013\n") +
                                 kShutdownConsole);
  EXPECT_TRUE(processes_.executed.empty());
  threads_.JoinAll();
  EXPECT_EQ(controlThreads.load(), 1);
  // Start-up set the default mask: only error lines, and the backup
  // engine's unfiltered farewell.
  auto lines = debug_.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(L"[mxred] ServiceThreadFunc ---- <ERROR> (ERROR:0x801F0013)="), std::wstring::npos);
  EXPECT_EQ(lines[1], L"backupengine deleted");
}

TEST_F(StartupTest, AlreadyLoadedDriverIsUnloadedStoppedAndRetried) {
  driver_.loadResults = {win::HR_ALREADY_EXISTS, win::HR_SERVICE_ALREADY_RUNNING, win::E_FAIL, win::S_OK};
  EXPECT_EQ(ZvorxMain(L"zvorx"), 0);
  EXPECT_EQ(FilterCalls(), (std::vector<std::wstring>{L"FilterLoad(ZVORX)", L"FilterUnload(ZVORX)",
                                                      L"FilterLoad(ZVORX)", L"FilterUnload(ZVORX)",
                                                      L"FilterLoad(ZVORX)", L"FilterLoad(ZVORX)",
                                                      L"FilterUnload(ZVORX)"}));
  using E = std::pair<std::string, UINT>;
  EXPECT_EQ(processes_.executed, (std::vector<E>{{"net stop zvorx", 0}, {"net stop zvorx", 0}}));
  // 3 s after each already-present result, then 1, 2, 3 and 4 s of back-off.
  EXPECT_EQ(clock_.SleptMilliseconds(), 3000u + 1000 + 3000 + 2000 + 3000 + 4000);
  auto lines = debug_.Lines();
  EXPECT_EQ(CountContaining(lines, L"[mxred] Init ---- <ERROR> (ERROR=0x800700b7)=FilterLoad()\r\n"), 1);
  EXPECT_EQ(CountContaining(lines, L"[mxred] Init ---- <ERROR> (ERROR=0x80070420)=FilterLoad()\r\n"), 1);
  EXPECT_EQ(CountContaining(lines, L"[mxred] Init ---- <ERROR> (ERROR=0x80004005)=FilterLoad()\r\n"), 1);
}

TEST_F(StartupTest, TenFailedLoadsEndWithThreeAfterFiftyFiveVirtualSeconds) {
  driver_.loadResults.assign(10, win::HR_FLT_FILTER_NOT_FOUND);
  EXPECT_EQ(ZvorxMain(L"zvorx"), 3);
  EXPECT_EQ(clock_.SleptMilliseconds(), 55000u);
  EXPECT_EQ(FilterCalls(), std::vector<std::wstring>(10, L"FilterLoad(ZVORX)"));
  auto lines = debug_.Lines();
  EXPECT_EQ(CountContaining(lines, L"[mxred] Init ---- <ERROR> (ERROR=0x801f0013)=FilterLoad()\r\n"), 10);
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find(L"[mxred] Init Error ---- <ERROR> Exceed Max Filter Error\r\n"), std::wstring::npos);
  EXPECT_TRUE(console_.Text().empty());  // no serving, no shutdown
  EXPECT_EQ(controlThreads.load(), 0);
}

TEST_F(StartupTest, PrivilegeFailureEndsWithTwoBeforeTheDriverIsTouched) {
  struct Case {
    const wchar_t* privilege;
    const wchar_t* line;
  };
  const Case cases[] = {
      {L"SeCreateGlobalPrivilege", L"[mxred] Init ---- <ERROR> (ERROR:1300)=SetPrivilege(SeCreateGlobalPrivilege)\r\n"},
      {L"SeLoadDriverPrivilege", L"[mxred] Init ---- <ERROR> (ERROR=1300)=SetPrivilege(SeLoadDriverPrivilege)\r\n"},
      {L"SeDebugPrivilege", L"[mxred] Init ---- <ERROR> (ERROR=1300)=SetPrivilege(SeDebugPrivilege)\r\n"},
  };
  for (const Case& c : cases) {
    platform::DebugOutputCapture debug;
    processes_.heldMutexes.clear();
    processes_.adjustErrors = {{c.privilege, ERROR_NOT_ALL_ASSIGNED}};
    EXPECT_EQ(ZvorxMain(L"zvorx"), 2) << c.privilege;
    auto lines = debug.Lines();
    EXPECT_EQ(CountContaining(lines, L"[mxred] SetPrivilege ---- <ERROR> (ERROR:1300)=AdjustTokenPrivileges()"), 1);
    EXPECT_EQ(CountContaining(lines, c.line), 1) << c.privilege;
  }
  EXPECT_TRUE(driver_.Calls().empty());
}

TEST_F(StartupTest, SetPrivilegeReportsEachFailingCall) {
  EXPECT_EQ(SetPrivilege(nullptr, true), ERROR_INVALID_PARAMETER);
  processes_.lookupErrors[L"SeBogus"] = ERROR_NO_SUCH_PRIVILEGE;
  EXPECT_EQ(SetPrivilege(L"SeBogus", true), ERROR_NO_SUCH_PRIVILEGE);
  processes_.openTokenError = ERROR_ACCESS_DENIED;
  EXPECT_EQ(SetPrivilege(L"SeDebugPrivilege", true), ERROR_ACCESS_DENIED);
  auto lines = debug_.Lines();
  EXPECT_EQ(CountContaining(lines, L"[mxred] SetPrivilege ---- <ERROR> (ERROR:1313)=LookupPrivilegeValue()"), 1);
  EXPECT_EQ(CountContaining(lines, L"[mxred] SetPrivilege ---- <ERROR> (ERROR:5)=OpenProcessToken()"), 1);
  EXPECT_EQ(processes_.openTokens, 1);
}

TEST_F(StartupTest, ShutdownTellsAConnectedDriverAndReturnsTheUnloadResult) {
  channel::SetSharedPortHandle(reinterpret_cast<HANDLE>(0x1234));
  driver_.sendResult = win::E_FAIL;
  driver_.unloadResult = win::HR_FLT_FILTER_NOT_FOUND;
  HANDLE mutex = processes_.CreateMutexW(nullptr, TRUE, kMutexName);
  EXPECT_EQ(Shutdown(mutex), static_cast<int>(win::HR_FLT_FILTER_NOT_FOUND));
  EXPECT_EQ(FilterCalls(), (std::vector<std::wstring>{L"FilterSendMessage(2,153)", L"FilterUnload(ZVORX)"}));
  EXPECT_EQ(platform::LookupHandle(mutex), nullptr);
  auto lines = debug_.Lines();
  EXPECT_EQ(CountContaining(lines, L"[mxred] MXRED_FilterAllowUnload ---- <ERROR> (ERROR:0x80004005)=FilterSendMessage()"),
            1);
  EXPECT_EQ(CountContaining(lines, L"[mxred] Init ---- <ERROR> (ERROR=0x801f0013)=FilterUnload()\r\n\r\n"), 1);
  EXPECT_EQ(console_.Text(),
            "ZVORX:  RPC's Thread is terminating ... \r\n"
            "ZVORX:  Filter Unloading ...\r\n"
            "ZVORX:  (ERROR=0x801F0013)=FilterUnload() !!\r\n"
            "ZVORX:  Internal data cleanup ...\r\n"
            "ZVORX:  A Termination finished successfully ...\r\n");
}

TEST_F(StartupTest, ConsoleModeServesUntilThePoolEndsForGood) {
  driver_.connectResult = win::S_OK;
  auto run = std::async(std::launch::async, [] { return ZvorxMain(L"zvorx -skipbe -skipac"); });
  ASSERT_TRUE(driver_.WaitPending(40));
  auto reply = driver_.WaitReply(driver_.Inject(MakeNotification(5, 9, L"\\Device\\HarddiskVolume2\\x")));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->allow, 1);
  driver_.Unload();  // the driver goes away under the running service
  EXPECT_EQ(run.get(), 0);
  // Serving ended with the port closed, so no allow-unload command went out.
  EXPECT_EQ(FilterCalls(), (std::vector<std::wstring>{L"FilterLoad(ZVORX)", L"FilterUnload(ZVORX)"}));
  std::string console = console_.Text();
  EXPECT_NE(console.find("ZVORX:  All done. Result = 0x80070006\n"), std::string::npos);
  EXPECT_NE(console.find(kShutdownConsole), std::string::npos);
}

}  // namespace
}  // namespace zv::service
