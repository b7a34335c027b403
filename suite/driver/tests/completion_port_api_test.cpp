// The real CompletionPortApi over real filter ports.
#include "platform/threads/sync_api.h"
#include "suite/driver/tests/driver_fixture.h"

using namespace zv;
using namespace zv::suite;
using namespace zv::suite::testing;
using platform::CompletionPorts;
using platform::Threads;
using platform::wire::Outcome;

namespace {

struct ApiClient {
  win::HANDLE port = win::INVALID_HANDLE_VALUE;
  win::HANDLE completion = nullptr;
  std::vector<std::unique_ptr<MessageBuffer>> buffers;

  void Connect(win::ULONG_PTR key) {
    ASSERT_EQ(Filters::Get().FilterConnectCommunicationPort(kPort, 0, nullptr, 0, nullptr, &port), win::S_OK);
    completion = CompletionPorts::Get().CreateIoCompletionPort(port, nullptr, key, 8);
    ASSERT_NE(completion, nullptr);
  }
  void PostReads(int n) {
    for (int i = 0; i < n; ++i) {
      buffers.push_back(std::make_unique<MessageBuffer>());
      ASSERT_EQ(Filters::Get().FilterGetMessage(port, buffers.back()->bytes, 2120, &buffers.back()->overlapped),
                win::HR_IO_PENDING);
    }
  }
  ~ApiClient() {
    if (port != win::INVALID_HANDLE_VALUE) platform::CloseHandle(port);
    if (completion) platform::CloseHandle(completion);
  }
};

}  // namespace

TEST_F(DriverTest, CompletionsCarryBytesKeyAndOverlappedAndFailOnUnload) {
  Load();
  ApiClient client;
  client.Connect(0x55);
  // A port binds once; a bare port is not a file handle.
  EXPECT_EQ(CompletionPorts::Get().CreateIoCompletionPort(client.port, nullptr, 1, 1), nullptr);
  EXPECT_EQ(platform::GetLastError(), win::ERROR_INVALID_PARAMETER);
  client.PostReads(3);

  win::DWORD bytes = 1;
  win::ULONG_PTR key = 1;
  win::OVERLAPPED* overlapped = nullptr;
  EXPECT_FALSE(CompletionPorts::Get().GetQueuedCompletionStatus(client.completion, &bytes, &key, &overlapped, 10));
  EXPECT_EQ(platform::GetLastError(), win::WAIT_TIMEOUT);
  EXPECT_EQ(overlapped, nullptr);

  DriverControl control;
  EXPECT_EQ(control.InjectImage(42, L"C:\\Windows\\a.dll").outcome, Outcome::NoReplyExpected);
  ASSERT_TRUE(CompletionPorts::Get().GetQueuedCompletionStatus(client.completion, &bytes, &key, &overlapped,
                                                               win::INFINITE));
  EXPECT_EQ(bytes, 2120u);
  EXPECT_EQ(key, 0x55u);
  ASSERT_EQ(overlapped, &client.buffers[0]->overlapped);  // reads complete in the order posted
  EXPECT_EQ(MessageBuffer::From(overlapped)->Read().processId, 42u);

  // A posted packet comes through untouched.
  win::OVERLAPPED mine;
  EXPECT_TRUE(CompletionPorts::Get().PostQueuedCompletionStatus(client.completion, 9, 3, &mine));
  ASSERT_TRUE(CompletionPorts::Get().GetQueuedCompletionStatus(client.completion, &bytes, &key, &overlapped, 1000));
  EXPECT_EQ(bytes, 9u);
  EXPECT_EQ(key, 3u);
  EXPECT_EQ(overlapped, &mine);

  EXPECT_EQ(Filters::Get().FilterUnload(L"ZVORX"), win::S_OK);
  for (int i = 1; i < 3; ++i) {
    EXPECT_FALSE(CompletionPorts::Get().GetQueuedCompletionStatus(client.completion, &bytes, &key, &overlapped,
                                                                  win::INFINITE));
    EXPECT_EQ(platform::GetLastError(), win::ERROR_INVALID_HANDLE);
    EXPECT_EQ(overlapped, &client.buffers[i]->overlapped);
    EXPECT_EQ(key, 0x55u);
  }
  // Drained, and the bound port is gone: no endless wait.
  EXPECT_FALSE(CompletionPorts::Get().GetQueuedCompletionStatus(client.completion, &bytes, &key, &overlapped,
                                                                win::INFINITE));
  EXPECT_EQ(platform::GetLastError(), win::ERROR_INVALID_HANDLE);
  EXPECT_EQ(overlapped, nullptr);
}

TEST_F(DriverTest, BlockedDequeueEndsWhenThePortClosesOrTheThreadIsTerminated) {
  win::HANDLE completion = CompletionPorts::Get().CreateIoCompletionPort(win::INVALID_HANDLE_VALUE, nullptr, 0, 2);
  ASSERT_NE(completion, nullptr);

  struct Context {
    win::HANDLE completion;
    win::DWORD error = 0;
    std::atomic<bool> returned{false};
  };
  auto waiter = [](void* p) -> win::DWORD {
    auto* c = static_cast<Context*>(p);
    win::DWORD bytes;
    win::ULONG_PTR key;
    win::OVERLAPPED* o;
    win::BOOL ok = CompletionPorts::Get().GetQueuedCompletionStatus(c->completion, &bytes, &key, &o, win::INFINITE);
    c->error = ok ? 0 : platform::GetLastError();
    c->returned = true;
    return 5;
  };

  Context terminated{completion};
  win::HANDLE t1 = Threads::Get().CreateThread(nullptr, 0, waiter, &terminated, 0, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(Threads::Get().TerminateThread(t1, 0xFFFFFFFF));
  EXPECT_EQ(Threads::Get().WaitForSingleObject(t1, 5000), win::WAIT_OBJECT_0);
  win::DWORD code = 0;
  EXPECT_TRUE(Threads::Get().GetExitCodeThread(t1, &code));
  EXPECT_EQ(code, 0xFFFFFFFFu);
  EXPECT_FALSE(terminated.returned.load());  // ended inside the wait

  Context closed{completion};
  win::HANDLE t2 = Threads::Get().CreateThread(nullptr, 0, waiter, &closed, 0, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(platform::CloseHandle(completion));
  EXPECT_EQ(Threads::Get().WaitForSingleObject(t2, 5000), win::WAIT_OBJECT_0);
  EXPECT_TRUE(closed.returned.load());
  EXPECT_EQ(closed.error, win::ERROR_INVALID_HANDLE);
  platform::CloseHandle(t1);
  platform::CloseHandle(t2);
}
