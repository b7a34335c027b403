#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "platform/processes/process_table.h"
#include "platform/base/text.h"
#include "suite/driver/scenario.h"
#include "suite/driver/tests/driver_fixture.h"

using namespace zv;
using namespace zv::suite;
using namespace zv::suite::testing;
using platform::wire::Outcome;

namespace {

std::pair<std::uint8_t, std::uint8_t> AllowAll(const Notification&) { return {1, 0}; }

int RunProgram(const std::string& commandLine) {
  std::string full = std::string(std::getenv("ZV_BIN_DIR")) + "/" + commandLine + " >/dev/null 2>&1";
  int status = std::system(full.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST_F(DriverTest, LoadAndUnloadResults) {
  EXPECT_EQ(Filters::Get().FilterUnload(L"ZVORX"), win::HR_FLT_FILTER_NOT_FOUND);
  EXPECT_EQ(Filters::Get().FilterLoad(L"ZVORX"), win::S_OK);
  EXPECT_EQ(Filters::Get().FilterLoad(L"zvorx"), win::HR_ALREADY_EXISTS);
  EXPECT_EQ(Filters::Get().FilterLoad(L"OTHER"), win::HRESULT_FROM_WIN32(win::ERROR_FILE_NOT_FOUND));
  EXPECT_NE(Status().find("client: none"), std::string::npos);
  EXPECT_EQ(Filters::Get().FilterUnload(L"ZVORX"), win::S_OK);
  EXPECT_EQ(Filters::Get().FilterUnload(L"ZVORX"), win::HR_FLT_FILTER_NOT_FOUND);
  // Loads again at once after an unload.
  EXPECT_EQ(Filters::Get().FilterLoad(L"ZVORX"), win::S_OK);
  EXPECT_EQ(RunProgram("net stop zvorx"), 0);
  EXPECT_EQ(RunProgram("net stop ZVORX"), 2);  // no longer loaded
  EXPECT_EQ(RunProgram("net start zvorx"), 2);
}

TEST_F(DriverTest, LoadFailureSwitchFailsTheNextCalls) {
  machine_->SetSetting("fail.FilterLoad", "0x80070005");
  machine_->SetSetting("fail.FilterLoad.count", "2");
  EXPECT_EQ(Filters::Get().FilterLoad(L"ZVORX"), static_cast<win::HRESULT>(0x80070005u));
  EXPECT_EQ(Filters::Get().FilterLoad(L"ZVORX"), static_cast<win::HRESULT>(0x80070005u));
  EXPECT_EQ(Filters::Get().FilterLoad(L"ZVORX"), win::S_OK);
  machine_->ClearSetting("fail.FilterLoad.count");
  EXPECT_EQ(Filters::Get().FilterLoad(L"ZVORX"), static_cast<win::HRESULT>(0x80070005u));  // no count: always
}

TEST_F(DriverTest, OnePortClientAtATime) {
  PortClient early;
  EXPECT_EQ(early.Connect(), win::HRESULT_FROM_WIN32(win::ERROR_FILE_NOT_FOUND));  // not loaded
  Load();
  PortClient first, second, wrongName;
  ASSERT_EQ(first.Connect(), win::S_OK);
  EXPECT_EQ(second.Connect(), win::HR_CONNECTION_COUNT_LIMIT);
  win::HANDLE h = nullptr;
  EXPECT_EQ(Filters::Get().FilterConnectCommunicationPort(L"\\OtherPort", 0, nullptr, 0, nullptr, &h),
            win::HRESULT_FROM_WIN32(win::ERROR_FILE_NOT_FOUND));
  EXPECT_NE(Status().find("client: connected"), std::string::npos);
  first.Close();
  for (int i = 0; i < 100 && Status().find("client: none") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(second.Connect(), win::S_OK);
}

TEST_F(DriverTest, EachKindIsDeliveredByteExactAndRepliedWhenItWaits) {
  Load();
  PortClient client;
  ASSERT_EQ(client.Connect(), win::S_OK);
  // Deny kind 3, allow the others with AuxFlag 1 so the bytes are visible.
  client.StartResponder([](const Notification& n) -> std::pair<std::uint8_t, std::uint8_t> {
    return n.kind == 3 ? std::pair{0, 0} : std::pair{1, 1};
  });
  DriverControl control;
  std::vector<Notification> sent;
  std::uint64_t lastId = 0;
  for (int kind = 1; kind <= 11; ++kind) {
    Notification n;
    n.kind = static_cast<std::uint8_t>(kind);
    n.processId = 1000 + kind;
    n.param1 = 11;
    n.param2 = 22;
    n.param3 = 33;
    n.desiredAccess = 0x12019F;
    n.path = L"\\Device\\HarddiskVolume2\\k" + std::to_wstring(kind);
    n.pathLength = 7;
    sent.push_back(n);
    InjectResult r = control.Inject(n);
    ASSERT_TRUE(r.delivered) << r.error;
    EXPECT_GT(r.messageId, lastId);
    lastId = r.messageId;
    if (Notification::WaitsForReply(n.kind)) {
      EXPECT_EQ(r.outcome, Outcome::Replied) << kind;
      EXPECT_EQ(r.allow, kind == 3 ? 0 : 1);
      EXPECT_EQ(r.auxFlag, kind == 3 ? 0 : 1);
    } else {
      EXPECT_EQ(r.outcome, Outcome::NoReplyExpected) << kind;
    }
  }
  // Rename with a target, through the DOS form.
  InjectResult rename = control.InjectRename(5, L"C:\\a.txt", L"\\\\?\\C:\\b.txt", true);
  EXPECT_EQ(rename.outcome, Outcome::Replied);
  for (int i = 0; i < 200 && client.Seen().size() < sent.size() + 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  client.Close();
  ASSERT_EQ(client.seenBytes.size(), sent.size() + 1);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(client.seenBytes[i].substr(16), sent[i].Bytes()) << "kind " << i + 1;
    std::uint32_t replyLength = platform::wire::GetU32(client.seenBytes[i], 0);
    EXPECT_EQ(replyLength, Notification::WaitsForReply(sent[i].kind) ? 2060u : 0u);
  }
  Notification r = client.seen.back();
  EXPECT_EQ(r.kind, 4);
  EXPECT_EQ(r.param1, 1u);
  EXPECT_EQ(r.path, std::wstring(L"\\Device\\HarddiskVolume2\\a.txt"));  // up to the inner zero
  std::string bytes = client.seenBytes.back().substr(16);
  std::wstring full = text::FromUtf16Le(bytes.data() + offsetof(channel::_MXRED_NOTIFICATION, Path), 2 * 60);
  EXPECT_EQ(full.substr(r.pathLength, 12), L"\\??\\C:\\b.txt");  // the target in the \??\ form
  for (win::HRESULT hr : client.replyResults) EXPECT_EQ(hr, win::S_OK);
}

TEST_F(DriverTest, LateReplyFailsAndTheOperationProceeds) {
  Load(20000);  // 200 ms in real time
  PortClient client;
  ASSERT_EQ(client.Connect(), win::S_OK);
  client.PostReads(2);
  DriverControl control;
  InjectResult r = control.InjectOpen(1200, L"C:\\late.txt", win::GENERIC_WRITE, false, false);
  EXPECT_EQ(r.outcome, Outcome::TimedOut);
  CompletionPacket p;
  ASSERT_EQ(client.Next(p), CompletionPortObject::Result::Packet);
  EXPECT_EQ(p.key, 7u);
  EXPECT_EQ(p.bytes, 2120u);
  MessageBuffer* b = MessageBuffer::From(p.overlapped);
  EXPECT_EQ(b->MessageId(), r.messageId);
  EXPECT_EQ(client.Reply(b->MessageId(), 0, 0), win::HR_FLT_NO_WAITER_FOR_REPLY);
  EXPECT_NE(Status().find("late replies: 1"), std::string::npos);
  // Exactly the operations that went undecided are counted; a spell of
  // time-outs is one line in the driver's log, not one per message.
  client.PostReads(1);
  EXPECT_EQ(control.InjectOpen(1200, L"C:\\late2.txt", win::GENERIC_WRITE, false, false).outcome, Outcome::TimedOut);
  ASSERT_EQ(client.Next(p), CompletionPortObject::Result::Packet);
  EXPECT_NE(Status().find("timed out: 2\n"), std::string::npos);
  std::ifstream log(root_ / "zvorx-driver.log");
  std::string all((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(all.find("replies are timing out: message 1 (kind 3, pid 1200)"), std::string::npos) << all;
  EXPECT_EQ(all.find("timing out", all.find("timing out") + 1), std::string::npos) << all;

  // The port still works: a reply in time is taken.
  std::thread injector([&] {
    DriverControl c2;
    r = c2.InjectOpen(1200, L"C:\\ok.txt", win::GENERIC_WRITE, false, false);
  });
  ASSERT_EQ(client.Next(p), CompletionPortObject::Result::Packet);
  EXPECT_EQ(client.Reply(MessageBuffer::From(p.overlapped)->MessageId(), 0, 0), win::S_OK);
  injector.join();
  EXPECT_EQ(r.outcome, Outcome::Replied);
  EXPECT_EQ(r.allow, 0);
}

TEST_F(DriverTest, WithoutClientOperationsProceedUndecided) {
  Load();
  DriverControl control;
  EXPECT_EQ(control.InjectOpen(1, L"C:\\x", win::GENERIC_READ, false, false).outcome, Outcome::NoClient);
  EXPECT_EQ(control.InjectProcess(1, 4, true).outcome, Outcome::NoClient);
  // A client that goes away while an open waits for it.
  PortClient client;
  ASSERT_EQ(client.Connect(), win::S_OK);
  client.PostReads(1);
  std::thread closer([&] {
    CompletionPacket p;
    client.Next(p);
    platform::CloseHandle(client.port);
    client.port = win::INVALID_HANDLE_VALUE;
  });
  InjectResult r = control.InjectOpen(1, L"C:\\x", win::GENERIC_READ, false, false);
  closer.join();
  EXPECT_EQ(r.outcome, Outcome::NoClient) << OutcomeName(r);
  InjectResult missing = control.InjectOpen(1, L"Q:\\x", win::GENERIC_READ, false, false);
  EXPECT_FALSE(missing.delivered);
  EXPECT_NE(missing.error.find("no volume"), std::string::npos);
}

TEST_F(DriverTest, UnloadCompletesPendingReadsWithInvalidHandle) {
  Load();
  PortClient client;
  ASSERT_EQ(client.Connect(), win::S_OK);
  client.PostReads(5);
  EXPECT_EQ(client.Command(2, 153), win::S_OK);
  EXPECT_EQ(Filters::Get().FilterUnload(L"ZVORX"), win::S_OK);
  std::set<win::OVERLAPPED*> failed;
  CompletionPacket p;
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(client.Next(p), CompletionPortObject::Result::Packet);
    EXPECT_EQ(p.error, win::ERROR_INVALID_HANDLE);
    failed.insert(p.overlapped);
  }
  for (auto& b : client.buffers) EXPECT_TRUE(failed.count(&b->overlapped));
  // Drained and dead: the dequeue fails at once instead of blocking.
  EXPECT_EQ(client.Next(p), CompletionPortObject::Result::Gone);
  MessageBuffer extra;
  EXPECT_EQ(client.Post(&extra), win::HR_INVALID_HANDLE);
  EXPECT_EQ(client.Reply(1, 1, 0), win::HR_INVALID_HANDLE);
  EXPECT_EQ(client.Command(2, 153), win::HR_INVALID_HANDLE);
}

TEST_F(DriverTest, CommandsAreRecorded) {
  Load();
  PortClient client;
  ASSERT_EQ(client.Connect(), win::S_OK);
  EXPECT_EQ(client.Command(0, 1234), win::S_OK);
  EXPECT_EQ(client.Command(0, 77), win::S_OK);
  EXPECT_EQ(client.Command(2, 0), win::S_OK);
  EXPECT_EQ(client.Command(2, 153), win::S_OK);
  EXPECT_EQ(client.Command(9, 1), win::E_INVALIDARG);
  char shortCommand[4] = {};
  EXPECT_EQ(Filters::Get().FilterSendMessage(client.port, shortCommand, 4, nullptr, 0, nullptr), win::E_INVALIDARG);
  std::string status = Status();
  EXPECT_NE(status.find("direct-free: 77 1234"), std::string::npos) << status;
  EXPECT_NE(status.find("allow-unload: 153"), std::string::npos) << status;
  EXPECT_NE(status.find("commands: 4 (refused 2)"), std::string::npos) << status;
  // Allow-unload 0 does not keep the driver from unloading.
  EXPECT_EQ(client.Command(2, 0), win::S_OK);
  EXPECT_EQ(Filters::Get().FilterUnload(L"ZVORX"), win::S_OK);
}

TEST_F(DriverTest, ProcessStartsAndEndsOfTheMachineAreReported) {
  platform::AddProcess(*machine_, 4, L"C:\\old.exe", 1, false);  // before the load: history
  Load();
  PortClient client;
  ASSERT_EQ(client.Connect(), win::S_OK);
  client.StartResponder(AllowAll);
  win::DWORD pid = platform::AddProcess(*machine_, 4, L"C:\\Windows\\notepad.exe", 1, false);
  EXPECT_EQ(platform::EndProcess(*machine_, pid), platform::EndResult::Ended);
  for (int i = 0; i < 400 && client.Seen().size() < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  client.Close();
  ASSERT_EQ(client.seen.size(), 3u);
  EXPECT_EQ(client.seen[0].kind, 2);
  EXPECT_EQ(client.seen[0].processId, pid);
  EXPECT_EQ(client.seen[0].param1, 4u);
  EXPECT_EQ(client.seen[0].param2, 1u);
  EXPECT_EQ(client.seen[1].kind, 1);
  EXPECT_EQ(client.seen[1].processId, pid);
  EXPECT_EQ(client.seen[1].path, L"\\Device\\HarddiskVolume2\\Windows\\notepad.exe");
  EXPECT_EQ(client.seen[2].kind, 2);
  EXPECT_EQ(client.seen[2].processId, pid);
  EXPECT_EQ(client.seen[2].param2, 0u);
}

TEST_F(DriverTest, FilterGetDosNameUsesTheVolumeTable) {
  win::WCHAR name[8];
  EXPECT_EQ(Filters::Get().FilterGetDosName(L"\\Device\\HarddiskVolume2", name, 8), win::S_OK);
  EXPECT_EQ(std::wstring(name), L"C:");
  EXPECT_EQ(Filters::Get().FilterGetDosName(L"\\device\\harddiskvolume2", name, 8), win::S_OK);
  EXPECT_EQ(Filters::Get().FilterGetDosName(L"\\Device\\HarddiskVolume9", name, 8),
            win::HRESULT_FROM_WIN32(win::ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Filters::Get().FilterGetDosName(L"\\Device\\HarddiskVolume2", name, 2),
            win::HRESULT_FROM_WIN32(win::ERROR_INSUFFICIENT_BUFFER));

  auto& m = *machine_;
  EXPECT_EQ(ToDevicePath(m, L"c:\\Users\\a b.txt").value_or(L"?"), L"\\Device\\HarddiskVolume2\\Users\\a b.txt");
  EXPECT_EQ(ToDevicePath(m, L"\\\\?\\C:\\x").value_or(L"?"), L"\\Device\\HarddiskVolume2\\x");
  EXPECT_EQ(ToDevicePath(m, L"\\\\srv\\share\\x").value_or(L"?"), L"\\Device\\Mup\\srv\\share\\x");
  EXPECT_EQ(ToDevicePath(m, L"\\\\?\\UNC\\srv\\s").value_or(L"?"), L"\\Device\\Mup\\srv\\s");
  EXPECT_EQ(ToDevicePath(m, L"\\Device\\VSDisk1\\y").value_or(L"?"), L"\\Device\\VSDisk1\\y");
  EXPECT_FALSE(ToDevicePath(m, L"D:\\x"));
  EXPECT_FALSE(ToDevicePath(m, L"C:x"));
  EXPECT_FALSE(ToDevicePath(m, L"relative\\x"));
}
