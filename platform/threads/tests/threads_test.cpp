// Threads, events and waits of the real ThreadApi: results, time-outs,
// termination at a wait, suspension, waits on other waitable kinds.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/base/clock.h"
#include "platform/base/handles.h"
#include "platform/threads/sync_api.h"

using namespace zv::platform;
namespace win = zv::win;

namespace {

ThreadApi& T() { return Threads::Get(); }

struct Gate {
  win::HANDLE event;
  int index;
};

win::DWORD WaitGateReturnIndex(void* p) {
  auto* g = static_cast<Gate*>(p);
  T().WaitForSingleObject(g->event, win::INFINITE);
  return static_cast<win::DWORD>(100 + g->index);
}

win::DWORD BlockForever(void* p) {
  T().WaitForSingleObject(static_cast<win::HANDLE>(p), win::INFINITE);
  return 1;  // not reached when terminated
}

// Ends the thread only by unwinding; the guard records that it ran.
struct UnwindProbe {
  std::atomic<bool>* flag;
  ~UnwindProbe() { flag->store(true); }
};
struct TerminateArgs {
  win::HANDLE event;
  std::atomic<bool> entered{false};
  std::atomic<bool> unwound{false};
  std::atomic<bool> afterWait{false};
};
win::DWORD BlockWithProbe(void* p) {
  auto* a = static_cast<TerminateArgs*>(p);
  UnwindProbe probe{&a->unwound};
  a->entered = true;
  T().WaitForSingleObject(a->event, win::INFINITE);
  a->afterWait = true;
  return 1;
}

}  // namespace

TEST(Threads, ThreadRunsWithIdAndExitCode) {
  struct Args {
    win::DWORD seenId = 0;
    win::HANDLE go;
  } args{0, T().CreateEventW(nullptr, win::TRUE, win::FALSE, nullptr)};
  win::DWORD id = 0;
  win::HANDLE h = T().CreateThread(
      nullptr, 0,
      [](void* p) -> win::DWORD {
        auto* a = static_cast<Args*>(p);
        a->seenId = Threads::Get().GetCurrentThreadId();
        Threads::Get().WaitForSingleObject(a->go, win::INFINITE);
        return 42;
      },
      &args, 0, &id);
  ASSERT_NE(h, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, T().GetCurrentThreadId());
  win::DWORD code = 0;
  ASSERT_TRUE(T().GetExitCodeThread(h, &code));
  EXPECT_EQ(code, win::STILL_ACTIVE);
  EXPECT_EQ(T().WaitForSingleObject(h, 0), win::WAIT_TIMEOUT);
  T().SetEvent(args.go);
  EXPECT_EQ(T().WaitForSingleObject(h, win::INFINITE), win::WAIT_OBJECT_0);
  EXPECT_EQ(T().WaitForSingleObject(h, 0), win::WAIT_OBJECT_0);  // a thread stays signalled
  ASSERT_TRUE(T().GetExitCodeThread(h, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(args.seenId, id);
  CloseHandle(h);
  CloseHandle(args.go);
}

TEST(Threads, WaitAllOverEightThreads) {
  win::HANDLE gate = T().CreateEventW(nullptr, win::TRUE, win::FALSE, nullptr);
  std::vector<Gate> gates(8);
  std::vector<win::HANDLE> threads;
  for (int i = 0; i < 8; ++i) {
    gates[i] = {gate, i};
    threads.push_back(T().CreateThread(nullptr, 0, WaitGateReturnIndex, &gates[i], 0, nullptr));
    ASSERT_NE(threads.back(), nullptr);
  }
  EXPECT_EQ(T().WaitForMultipleObjects(8, threads.data(), win::TRUE, 0), win::WAIT_TIMEOUT);
  EXPECT_EQ(T().WaitForMultipleObjects(8, threads.data(), win::FALSE, 0), win::WAIT_TIMEOUT);
  T().SetEvent(gate);
  EXPECT_EQ(T().WaitForMultipleObjects(8, threads.data(), win::TRUE, win::INFINITE), win::WAIT_OBJECT_0);
  // Every later wait-all returns at once.
  EXPECT_EQ(T().WaitForMultipleObjects(8, threads.data(), win::TRUE, win::INFINITE), win::WAIT_OBJECT_0);
  for (int i = 0; i < 8; ++i) {
    win::DWORD code = 0;
    T().GetExitCodeThread(threads[i], &code);
    EXPECT_EQ(code, static_cast<win::DWORD>(100 + i));
    CloseHandle(threads[i]);
  }
  CloseHandle(gate);
}

TEST(Threads, EventsAutoAndManualResetAndWaitAny) {
  win::HANDLE autoEvent = T().CreateEventW(nullptr, win::FALSE, win::TRUE, nullptr);
  win::HANDLE manual = T().CreateEventW(nullptr, win::TRUE, win::FALSE, nullptr);
  win::HANDLE both[] = {manual, autoEvent};
  // Only the auto-reset one is signalled; taking it resets it.
  EXPECT_EQ(T().WaitForMultipleObjects(2, both, win::FALSE, 0), win::WAIT_OBJECT_0 + 1);
  EXPECT_EQ(T().WaitForMultipleObjects(2, both, win::FALSE, 0), win::WAIT_TIMEOUT);
  // Both signalled: the lowest index wins, the manual one stays signalled.
  T().SetEvent(autoEvent);
  T().SetEvent(manual);
  EXPECT_EQ(T().WaitForMultipleObjects(2, both, win::FALSE, 0), win::WAIT_OBJECT_0);
  EXPECT_EQ(T().WaitForSingleObject(manual, 0), win::WAIT_OBJECT_0);
  T().ResetEvent(manual);
  EXPECT_EQ(T().WaitForSingleObject(manual, 0), win::WAIT_TIMEOUT);
  // A wait for all that cannot take everything takes nothing.
  EXPECT_EQ(T().WaitForMultipleObjects(2, both, win::TRUE, 0), win::WAIT_TIMEOUT);
  EXPECT_EQ(T().WaitForSingleObject(autoEvent, 0), win::WAIT_OBJECT_0);
  CloseHandle(autoEvent);
  CloseHandle(manual);
}

TEST(Threads, TimeOutsPassVirtualTime) {
  VirtualClock clock;
  ScopedClock scoped(clock);
  win::HANDLE event = T().CreateEventW(nullptr, win::TRUE, win::FALSE, nullptr);
  EXPECT_EQ(T().WaitForSingleObject(event, 5000), win::WAIT_TIMEOUT);
  EXPECT_EQ(GetTickCount64(), 5000u);
  win::HANDLE two[] = {event, event};
  EXPECT_EQ(T().WaitForMultipleObjects(2, two, win::FALSE, 2000), win::WAIT_TIMEOUT);
  EXPECT_EQ(GetTickCount64(), 7000u);
  T().SetEvent(event);
  EXPECT_EQ(T().WaitForSingleObject(event, 1000), win::WAIT_OBJECT_0);
  CloseHandle(event);
}

TEST(Threads, BadHandlesAndArguments) {
  win::HANDLE event = T().CreateEventW(nullptr, win::TRUE, win::TRUE, nullptr);
  SetLastError(0);
  EXPECT_EQ(T().WaitForSingleObject(reinterpret_cast<win::HANDLE>(0x7777770), 0), win::WAIT_FAILED);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_HANDLE);
  win::HANDLE mixed[] = {event, nullptr};
  EXPECT_EQ(T().WaitForMultipleObjects(2, mixed, win::FALSE, 0), win::WAIT_FAILED);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_HANDLE);
  EXPECT_EQ(T().WaitForMultipleObjects(0, mixed, win::FALSE, 0), win::WAIT_FAILED);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_PARAMETER);
  win::HANDLE twice[] = {event, event};
  EXPECT_EQ(T().WaitForMultipleObjects(2, twice, win::TRUE, 0), win::WAIT_FAILED);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(T().SuspendThread(event), static_cast<win::DWORD>(-1));  // an event is no thread
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_HANDLE);
  CloseHandle(event);
  // A closed handle is no longer waitable.
  EXPECT_EQ(T().WaitForSingleObject(event, 0), win::WAIT_FAILED);
}

TEST(Threads, TerminateEndsBlockedThreadWithGivenCode) {
  TerminateArgs args;
  args.event = T().CreateEventW(nullptr, win::TRUE, win::FALSE, nullptr);
  win::HANDLE h = T().CreateThread(nullptr, 0, BlockWithProbe, &args, 0, nullptr);
  while (!args.entered) Sleep(1);
  EXPECT_EQ(T().WaitForSingleObject(h, 0), win::WAIT_TIMEOUT);
  EXPECT_TRUE(T().TerminateThread(h, 0xFFFFFFFF));
  EXPECT_EQ(T().WaitForSingleObject(h, win::INFINITE), win::WAIT_OBJECT_0);
  win::DWORD code = 0;
  T().GetExitCodeThread(h, &code);
  EXPECT_EQ(code, 0xFFFFFFFFu);
  EXPECT_TRUE(args.unwound);
  EXPECT_FALSE(args.afterWait);
  // A second termination changes nothing.
  EXPECT_TRUE(T().TerminateThread(h, 5));
  T().GetExitCodeThread(h, &code);
  EXPECT_EQ(code, 0xFFFFFFFFu);
  CloseHandle(h);
  CloseHandle(args.event);
}

TEST(Threads, TerminateSuspendedThreadsEndsThem) {
  win::HANDLE never = T().CreateEventW(nullptr, win::TRUE, win::FALSE, nullptr);
  // Created suspended and terminated before it ran: the routine never runs.
  std::atomic<bool> ran{false};
  win::HANDLE h = T().CreateThread(
      nullptr, 0,
      [](void* p) -> win::DWORD {
        static_cast<std::atomic<bool>*>(p)->store(true);
        return 0;
      },
      &ran, win::CREATE_SUSPENDED, nullptr);
  EXPECT_EQ(T().WaitForSingleObject(h, 0), win::WAIT_TIMEOUT);
  T().TerminateThread(h, 7);
  EXPECT_EQ(T().WaitForSingleObject(h, win::INFINITE), win::WAIT_OBJECT_0);
  win::DWORD code;
  T().GetExitCodeThread(h, &code);
  EXPECT_EQ(code, 7u);
  EXPECT_FALSE(ran);
  CloseHandle(h);
  // Suspended while blocked in a wait, then terminated.
  h = T().CreateThread(nullptr, 0, BlockForever, never, 0, nullptr);
  EXPECT_EQ(T().SuspendThread(h), 0u);
  T().TerminateThread(h, 9);
  EXPECT_EQ(T().WaitForSingleObject(h, win::INFINITE), win::WAIT_OBJECT_0);
  T().GetExitCodeThread(h, &code);
  EXPECT_EQ(code, 9u);
  CloseHandle(h);
  CloseHandle(never);
}

TEST(Threads, SuspendedThreadDoesNotTakeSignalsUntilResumed) {
  win::HANDLE event = T().CreateEventW(nullptr, win::FALSE, win::FALSE, nullptr);
  Gate gate{event, 0};
  win::HANDLE h = T().CreateThread(nullptr, 0, WaitGateReturnIndex, &gate, 0, nullptr);
  EXPECT_EQ(T().SuspendThread(h), 0u);
  EXPECT_EQ(T().SuspendThread(h), 1u);
  T().SetEvent(event);
  // The suspended waiter left the signal alone: this thread can take it.
  EXPECT_EQ(T().WaitForSingleObject(event, win::INFINITE), win::WAIT_OBJECT_0);
  T().SetEvent(event);
  EXPECT_EQ(T().ResumeThread(h), 2u);
  EXPECT_EQ(T().WaitForSingleObject(h, 0), win::WAIT_TIMEOUT);  // still suspended once
  EXPECT_EQ(T().ResumeThread(h), 1u);
  EXPECT_EQ(T().WaitForSingleObject(h, win::INFINITE), win::WAIT_OBJECT_0);
  EXPECT_EQ(T().ResumeThread(h), 0u);
  CloseHandle(h);
  CloseHandle(event);
}

TEST(Threads, SuspensionHoldsClockSleepsAndCreateSuspended) {
  struct Args {
    std::atomic<int> rounds{0};
    std::atomic<bool> stop{false};
  } args;
  win::HANDLE h = T().CreateThread(
      nullptr, 0,
      [](void* p) -> win::DWORD {
        auto* a = static_cast<Args*>(p);
        while (!a->stop) {
          Sleep(1);
          ++a->rounds;
        }
        return 3;
      },
      &args, win::CREATE_SUSPENDED, nullptr);
  Sleep(20);
  EXPECT_EQ(args.rounds.load(), 0);  // created suspended: not started
  EXPECT_EQ(T().ResumeThread(h), 1u);
  while (args.rounds.load() < 3) Sleep(1);
  T().SuspendThread(h);
  Sleep(10);  // it parks at the end of its current sleep at the latest
  int parkedAt = args.rounds.load();
  Sleep(30);
  EXPECT_LE(args.rounds.load(), parkedAt + 1);
  args.stop = true;
  T().ResumeThread(h);
  EXPECT_EQ(T().WaitForSingleObject(h, win::INFINITE), win::WAIT_OBJECT_0);
  CloseHandle(h);
}

TEST(Threads, HandlesClosedWhileWaiting) {
  win::HANDLE gate = T().CreateEventW(nullptr, win::TRUE, win::FALSE, nullptr);
  Gate g{gate, 1};
  win::HANDLE worker = T().CreateThread(nullptr, 0, WaitGateReturnIndex, &g, 0, nullptr);
  // A second thread waits on the worker; the worker's handle is closed
  // under it: the wait goes on and ends when the worker ends.
  struct Args {
    win::HANDLE worker;
    std::atomic<bool> waiting{false};
  } args{worker};
  win::HANDLE waiter = T().CreateThread(
      nullptr, 0,
      [](void* p) -> win::DWORD {
        auto* a = static_cast<Args*>(p);
        a->waiting = true;
        return Threads::Get().WaitForSingleObject(a->worker, win::INFINITE);
      },
      &args, 0, nullptr);
  while (!args.waiting) Sleep(1);
  Sleep(5);
  EXPECT_TRUE(CloseHandle(worker));
  T().SetEvent(gate);
  EXPECT_EQ(T().WaitForSingleObject(waiter, win::INFINITE), win::WAIT_OBJECT_0);
  win::DWORD code = 99;
  T().GetExitCodeThread(waiter, &code);
  EXPECT_EQ(code, win::WAIT_OBJECT_0);
  CloseHandle(waiter);
  CloseHandle(gate);
}

// Objects of other kinds are waited on through TryAcquire/UndoAcquire.
namespace {
class Token : public WaitableObject {
 public:
  bool TryAcquire() override {
    bool expected = true;
    return free_.compare_exchange_strong(expected, false);
  }
  void UndoAcquire() override { free_ = true; }
  void Give() {
    free_ = true;
    NotifyWaiters();
  }

 private:
  std::atomic<bool> free_{false};
};
}  // namespace

TEST(Threads, WaitAllWithOtherWaitableKinds) {
  auto token = std::make_shared<Token>();
  win::HANDLE th = RegisterHandle(token);
  win::HANDLE event = T().CreateEventW(nullptr, win::FALSE, win::FALSE, nullptr);
  win::HANDLE both[] = {th, event};
  token->Give();
  EXPECT_EQ(T().WaitForMultipleObjects(2, both, win::TRUE, 0), win::WAIT_TIMEOUT);
  EXPECT_EQ(T().WaitForSingleObject(th, 0), win::WAIT_OBJECT_0);  // given back by the failed wait-all
  token->Give();
  std::thread setter([&] {
    Sleep(5);
    T().SetEvent(event);
  });
  EXPECT_EQ(T().WaitForMultipleObjects(2, both, win::TRUE, win::INFINITE), win::WAIT_OBJECT_0);
  setter.join();
  EXPECT_EQ(T().WaitForMultipleObjects(2, both, win::FALSE, 0), win::WAIT_TIMEOUT);  // both taken
  CloseHandle(th);
  CloseHandle(event);
}
