#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include "control/control_thread.h"
#include "control/main_commands.h"
#include "control/main_log.h"
#include "control/zvorx_interface.h"
#include "driver_channel/signals.h"
#include "platform/base/clock.h"
#include "platform/base/debug_output.h"
#include "platform/filter/filter_api.h"
#include "platform/files/machine.h"
#include "platform/rpc/rpc_server.h"

using namespace zv;
using namespace zv::control;
using platform::RPC_STATUS;
namespace fs = std::filesystem;

namespace {

class FakeFilters : public platform::FilterApi {
 public:
  win::HRESULT FilterLoad(const win::WCHAR*) override { return win::S_OK; }
  win::HRESULT FilterUnload(const win::WCHAR* name) override {
    std::lock_guard lock(mutex);
    unloads.push_back(name);
    return win::S_OK;
  }
  win::HRESULT FilterConnectCommunicationPort(const win::WCHAR*, win::DWORD, const void*, win::WORD, const void*,
                                              win::HANDLE*) override {
    return win::E_FAIL;
  }
  win::HRESULT FilterGetMessage(win::HANDLE, void*, win::DWORD, win::OVERLAPPED*) override { return win::E_FAIL; }
  win::HRESULT FilterReplyMessage(win::HANDLE, const void*, win::DWORD) override { return win::E_FAIL; }
  win::HRESULT FilterSendMessage(win::HANDLE, const void*, win::DWORD, void*, win::DWORD, win::DWORD*) override {
    return win::E_FAIL;
  }
  win::HRESULT FilterGetDosName(const win::WCHAR*, win::WCHAR*, win::DWORD) override { return win::E_FAIL; }
  std::mutex mutex;
  std::vector<std::wstring> unloads;
};

void DisconnectAll() {
  channel::CommandSignalI.disconnect_all_slots();
  channel::CommandSignalIS.disconnect_all_slots();
  channel::CommandSignalS.disconnect_all_slots();
  channel::CommandSignalSSS.disconnect_all_slots();
  channel::NotificationSignal.disconnect_all_slots();
}

// Records every command a signal delivers, tagged with the slot's name.
struct Recorder {
  std::mutex mutex;
  std::vector<std::wstring> seen;
  void Add(std::wstring line) {
    std::lock_guard lock(mutex);
    seen.push_back(std::move(line));
  }
  std::vector<std::wstring> Take() {
    std::lock_guard lock(mutex);
    return std::exchange(seen, {});
  }
};

void SubscribeRecorder(Recorder& r, const std::wstring& name) {
  channel::CommandSignalI.connect([&r, name](int k, const std::wstring c, int v) {
    r.Add(name + L" i " + std::to_wstring(k) + L" " + c + L" " + std::to_wstring(v));
    return 5;
  });
  channel::CommandSignalIS.connect([&r, name](int k, const std::wstring c, int v, const std::wstring t) {
    r.Add(name + L" is " + std::to_wstring(k) + L" " + c + L" " + std::to_wstring(v) + L" " + t);
    return 5;
  });
  channel::CommandSignalS.connect([&r, name](int k, const std::wstring c, const std::wstring t) {
    r.Add(name + L" s " + std::to_wstring(k) + L" " + c + L" " + t);
    return 5;
  });
  channel::CommandSignalSSS.connect([&r, name](int k, const std::wstring c, const std::wstring a, const std::wstring b) {
    r.Add(name + L" sss " + std::to_wstring(k) + L" " + c + L" " + a + L" " + b);
    return 5;
  });
}

class ControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DisconnectAll();
    ResetMainEngineForTests();
    SetLogLevelMask(1);
    root_ = fs::temp_directory_path() / ("zvm-control-" + std::to_string(getpid()));
    fs::remove_all(root_);
    platform::Machine::SetCurrent(platform::Machine::Open(root_, true));
  }
  void TearDown() override {
    StopService();
    DisconnectAll();
    ResetMainEngineForTests();
    SetLogLevelMask(1);
    platform::Machine::SetCurrent(nullptr);
    fs::remove_all(root_);
  }
  // Runs the control-interface thread on a clock 100 times faster.
  void StartService(double scale = 100) {
    clock_ = std::make_unique<platform::RealClock>(scale);
    scopedClock_ = std::make_unique<platform::ScopedClock>(*clock_);
    thread_ = std::thread([this] { threadResult_ = ControlInterfaceThread(nullptr); });
  }
  void WaitListening() {
    for (int i = 0; i < 500; ++i) {
      ZvorxClient probe;
      if (probe.Connect() == win::RPC_S_OK) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FAIL() << "the control interface never came up";
  }
  void StopService() {
    if (!thread_.joinable()) return;
    while (runtime_.RpcMgmtStopServerListening(nullptr) != win::RPC_S_OK) std::this_thread::yield();
    thread_.join();
    EXPECT_EQ(threadResult_, 0u);
    scopedClock_.reset();
  }

  fs::path root_;
  FakeFilters filters_;
  platform::ScopedApi<platform::FilterApi> scopedFilters_{filters_};
  platform::RpcRuntime runtime_;
  platform::ScopedApi<platform::RpcApi> scopedRpc_{runtime_};
  std::unique_ptr<platform::RealClock> clock_;
  std::unique_ptr<platform::ScopedClock> scopedClock_;
  std::thread thread_;
  win::DWORD threadResult_ = 1;
};

}  // namespace

TEST_F(ControlTest, EveryProcedureReachesEverySlotInOrderAndReturns99) {
  SubscribeMainCommandHandlers();
  Recorder r;
  SubscribeRecorder(r, L"A");
  SubscribeRecorder(r, L"B");
  StartService();
  WaitListening();
  ZvorxClient c;
  ASSERT_EQ(c.Connect(), win::RPC_S_OK);
  int result = 0;
  ASSERT_EQ(c.Listen_i(2, L"AC_SET_X", -7, &result), win::RPC_S_OK);
  EXPECT_EQ(result, 99);
  ASSERT_EQ(c.Listen_is(3, L"AC_Y", 8, L"c:\\a b\\", &result), win::RPC_S_OK);
  EXPECT_EQ(result, 99);
  ASSERT_EQ(c.Listen_s(0, L"BE_Z", L"\u00e9\xD83D\xDE00", &result), win::RPC_S_OK);
  EXPECT_EQ(result, 99);
  ASSERT_EQ(c.Listen_sss(1, L"Q", L"", L"two", &result), win::RPC_S_OK);
  EXPECT_EQ(result, 99);
  std::vector<std::wstring> expected = {
      L"A i 2 AC_SET_X -7", L"B i 2 AC_SET_X -7", L"A is 3 AC_Y 8 c:\\a b\\", L"B is 3 AC_Y 8 c:\\a b\\",
      L"A s 0 BE_Z \u00e9\xD83D\xDE00", L"B s 0 BE_Z \u00e9\xD83D\xDE00", L"A sss 1 Q  two", L"B sss 1 Q  two"};
  EXPECT_EQ(r.Take(), expected);
}

TEST_F(ControlTest, MainCommandsActOnKeyZeroAndExactNamesOnly) {
  SubscribeMainCommandHandlers();
  StartService();
  WaitListening();
  ZvorxClient c;
  ASSERT_EQ(c.Connect(), win::RPC_S_OK);
  int result = 0;
  ASSERT_EQ(c.Listen_i(1, L"MAIN_ENGINE_SETLOG", 0x1F, &result), win::RPC_S_OK);
  EXPECT_EQ(result, 99);
  EXPECT_EQ(LogLevelMask(), 1u);
  ASSERT_EQ(c.Listen_i(0, L"main_engine_setlog", 0x1F, &result), win::RPC_S_OK);
  ASSERT_EQ(c.Listen_i(0, L"MAIN_ENGINE_SETLOG ", 0x1F, &result), win::RPC_S_OK);
  EXPECT_EQ(LogLevelMask(), 1u);
  ASSERT_EQ(c.Listen_i(0, L"MAIN_ENGINE_SETLOG", 0x1F, &result), win::RPC_S_OK);
  EXPECT_EQ(result, 99);
  EXPECT_EQ(LogLevelMask(), 0x1Fu);

  ASSERT_EQ(c.Listen_i(2, L"MAIN_ENGINE_UNLOAD", 0, &result), win::RPC_S_OK);
  ASSERT_EQ(c.Listen_i(0, L"MAIN_ENGINE_UNLOAD", 0, &result), win::RPC_S_OK);
  {
    std::lock_guard lock(filters_.mutex);
    EXPECT_EQ(filters_.unloads, std::vector<std::wstring>{L"ZVORX"});
  }

  ASSERT_EQ(c.Listen_s(3, L"MAIN_ENGINE_SETFILELOG", L"d:\\elsewhere.txt", &result), win::RPC_S_OK);
  EXPECT_EQ(FileLogPath(), L"c:\\windows\\zv\\zvorx\\msglog.txt");
  ASSERT_EQ(c.Listen_s(0, L"MAIN_ENGINE_SETFILELOG", L"d:\\log\\m.txt", &result), win::RPC_S_OK);
  EXPECT_EQ(FileLogPath(), L"d:\\log\\m.txt");
  EXPECT_EQ(FileLogSet(), 1);

  // "MAIN_ENGINE_CREATE" is logged whatever the key, and does nothing else.
  platform::DebugOutputCapture capture;
  ASSERT_EQ(c.Listen_is(5, L"MAIN_ENGINE_CREATE", 7, L"VEVODEZU1", &result), win::RPC_S_OK);
  EXPECT_EQ(result, 99);
  bool logged = false;
  for (const auto& line : capture.Lines()) {
    if (line.find(L"MAIN") != std::wstring::npos && line.find(L"RPCListen_is MAIN_ENGINE_CREATE ,7, VEVODEZU1") != std::wstring::npos) logged = true;
  }
  EXPECT_TRUE(logged);
}

// Text from a caller cannot forge a log line or reach the console as a
// control character: it is logged escaped, and commands still match as sent.
TEST_F(ControlTest, CallerTextIsLoggedEscaped) {
  SubscribeMainCommandHandlers();
  Recorder r;
  SubscribeRecorder(r, L"A");
  StartService();
  WaitListening();
  ZvorxClient c;
  ASSERT_EQ(c.Connect(), win::RPC_S_OK);
  platform::DebugOutputCapture capture;
  int result = 0;
  const std::wstring forged = L"x\r\n#12:00:00 [mxred] MAIN ---- forged\x1B]0;t\a^";
  ASSERT_EQ(c.Listen_is(0, L"MAIN_ENGINE_CREATE", 7, forged, &result), win::RPC_S_OK);
  EXPECT_EQ(r.Take(), std::vector<std::wstring>{L"A is 0 MAIN_ENGINE_CREATE 7 " + forged});
  int lines = 0;
  for (const auto& line : capture.Lines()) {
    if (line.find(L"RPCListen_is") == std::wstring::npos) continue;
    ++lines;
    EXPECT_NE(line.find(L"RPCListen_is MAIN_ENGINE_CREATE ,7, x^0D^0A#12:00:00 [mxred] MAIN ---- forged^1B]0;t^07^5E\r\n"),
              std::wstring::npos)
        << std::string(line.begin(), line.end());
  }
  EXPECT_EQ(lines, 1);
  // Text the server would refuse is not sent.
  EXPECT_EQ(c.Listen_s(0, L"X", std::wstring(32767, L'a'), &result), win::RPC_S_OK);
  EXPECT_EQ(c.Listen_s(0, L"X", std::wstring(32768, L'a'), &result), win::RPC_S_STRING_TOO_LONG);
}

namespace {
struct TestEngine : EngineSlots {
  explicit TestEngine(std::atomic<int>& hits) : hits(hits) {}
  int OnCommandInt(int key, const std::wstring command, int) override {
    if (key == 3) ++hits;
    return 0;
  }
  int OnCommandString(int, const std::wstring, const std::wstring) override { return 0; }
  int OnCommandIntString(int, const std::wstring, int, const std::wstring) override { return 0; }
  void OnNotification(channel::_MXRED_NOTIFICATION*, channel::_MXRED_REPLY_MESSAGE*) override { ++notifications; }
  std::atomic<int>& hits;
  std::atomic<int> notifications{0};
};
}  // namespace

TEST_F(ControlTest, ConcurrentClientsCreateOneDeviceAccessEngine) {
  std::atomic<int> created{0}, hits{0};
  SetDeviceAccessEngineFactory([&]() -> std::unique_ptr<EngineSlots> {
    ++created;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a slow start step widens any race
    return std::make_unique<TestEngine>(hits);
  });
  SubscribeMainCommandHandlers();
  StartService();
  WaitListening();
  platform::DebugOutputCapture capture;
  std::vector<std::thread> clients;
  std::atomic<int> answered{0};
  for (int i = 0; i < 8; ++i) {
    clients.emplace_back([&] {
      ZvorxClient c;
      if (c.Connect() != win::RPC_S_OK) return;
      int result = 0;
      for (int k = 0; k < 5; ++k) {
        if (c.Listen_s(0, L"MAIN_ENGINE_CREATEDEVICEACCESS", L"", &result) == win::RPC_S_OK && result == 99)
          ++answered;
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(answered, 40);
  EXPECT_EQ(created, 1);
  int announced = 0;
  for (const auto& line : capture.Lines()) announced += line == L"MAIN_ENGINE_CREATEDEVICEACCESS";
  EXPECT_EQ(announced, 1);
  // Its slots sit behind the MAIN ones, once each.
  EXPECT_EQ(channel::CommandSignalI.num_slots(), 2u);
  EXPECT_EQ(channel::CommandSignalS.num_slots(), 2u);
  EXPECT_EQ(channel::CommandSignalIS.num_slots(), 2u);
  EXPECT_EQ(channel::NotificationSignal.num_slots(), 1u);
  ZvorxClient c;
  ASSERT_EQ(c.Connect(), win::RPC_S_OK);
  int result = 0;
  ASSERT_EQ(c.Listen_i(3, L"AC_ANY", 1, &result), win::RPC_S_OK);
  ASSERT_EQ(c.Listen_i(2, L"AC_ANY", 1, &result), win::RPC_S_OK);
  EXPECT_EQ(hits, 1);
  channel::NotificationSignal(nullptr, nullptr);
  EXPECT_EQ(static_cast<TestEngine*>(DeviceAccessEngine())->notifications, 1);
}

TEST_F(ControlTest, CallsFailUntilTheDelayedListenerIsUp) {
  StartService(10);  // 3500 ms of clock in 350 ms
  ZvorxClient early;
  EXPECT_EQ(early.Connect(), win::RPC_S_SERVER_UNAVAILABLE);
  WaitListening();
  ZvorxClient c;
  ASSERT_EQ(c.Connect(), win::RPC_S_OK);
  int result = 0;
  EXPECT_EQ(c.Listen_sss(0, L"X", L"a", L"b", &result), win::RPC_S_OK);
  EXPECT_EQ(result, 99);
}

namespace {
// Records the start sequence against a virtual clock.
struct ScriptedRpc : platform::RpcApi {
  platform::VirtualClock* clock = nullptr;
  RPC_STATUS useResult = win::RPC_S_OK, registerResult = win::RPC_S_OK;
  std::vector<std::string> calls;
  std::uint64_t sleptAtEndpoint = 0;
  RPC_STATUS RpcServerUseProtseqEpW(const win::WCHAR* protseq, unsigned maxCalls, const win::WCHAR* endpoint,
                                    void* sd) override {
    sleptAtEndpoint = clock->SleptMilliseconds();
    EXPECT_EQ(std::wstring(protseq), L"ncacn_np");
    EXPECT_EQ(maxCalls, 20u);
    EXPECT_EQ(std::wstring(endpoint), L"\\pipe\\zvorxinterface");
    EXPECT_EQ(sd, nullptr);
    calls.push_back("use");
    return useResult;
  }
  RPC_STATUS RpcServerRegisterIf(platform::RPC_IF_HANDLE iface, const win::GUID* type, void* epv) override {
    EXPECT_EQ(iface, ZvorxServerInterface());
    EXPECT_EQ(type, nullptr);
    calls.push_back("register");
    return registerResult;
  }
  RPC_STATUS RpcServerListen(unsigned minThreads, unsigned maxCalls, unsigned dontWait) override {
    EXPECT_EQ(minThreads, 1u);
    EXPECT_EQ(maxCalls, 1234u);
    EXPECT_EQ(dontWait, 0u);
    calls.push_back("listen");
    return win::RPC_S_OK;
  }
  RPC_STATUS RpcMgmtStopServerListening(platform::RPC_BINDING_HANDLE) override { return win::RPC_S_OK; }
};
}  // namespace

TEST(ControlThread, StartSequenceAndSilentFailures) {
  platform::VirtualClock clock;
  platform::ScopedClock scopedClock(clock);
  platform::DebugOutputCapture capture;
  {
    ScriptedRpc rpc;
    rpc.clock = &clock;
    platform::ScopedApi<platform::RpcApi> scoped(rpc);
    EXPECT_EQ(ControlInterfaceThread(nullptr), 0u);
    EXPECT_EQ(rpc.sleptAtEndpoint, 3500u);
    EXPECT_EQ(rpc.calls, (std::vector<std::string>{"use", "register", "listen"}));
  }
  {
    ScriptedRpc rpc;
    rpc.clock = &clock;
    rpc.useResult = win::RPC_S_DUPLICATE_ENDPOINT;
    platform::ScopedApi<platform::RpcApi> scoped(rpc);
    EXPECT_EQ(ControlInterfaceThread(nullptr), static_cast<win::DWORD>(-1));
    EXPECT_EQ(rpc.calls, std::vector<std::string>{"use"});
  }
  {
    ScriptedRpc rpc;
    rpc.clock = &clock;
    rpc.registerResult = win::RPC_S_ALREADY_REGISTERED;
    platform::ScopedApi<platform::RpcApi> scoped(rpc);
    EXPECT_EQ(ControlInterfaceThread(nullptr), static_cast<win::DWORD>(-1));
    EXPECT_EQ(rpc.calls, (std::vector<std::string>{"use", "register"}));
  }
  EXPECT_TRUE(capture.Lines().empty());
}
