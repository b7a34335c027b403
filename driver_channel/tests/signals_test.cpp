#include "driver_channel/signals.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "driver_channel/records.h"

using namespace zv::channel;

namespace {

// Counts threads inside a slot; each waits (bounded) until `expected` are in.
class Rendezvous {
 public:
  explicit Rendezvous(int expected) : expected_(expected) {}
  bool ArriveAndWait() {
    std::unique_lock lock(mutex_);
    ++inside_;
    changed_.notify_all();
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return inside_ >= expected_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int inside_ = 0;
  int expected_;
};

TEST(Signals, SlotsRunInConnectionOrderAndAllRun) {
  CommandSignalIType signal;
  std::vector<int> calls;
  signal.connect([&](int key, const std::wstring& name, int value) {
    calls.push_back(1);
    return 0;
  });
  signal.connect([&](int, const std::wstring&, int) {
    calls.push_back(2);
    return -1;  // a failing result does not stop later slots
  });
  signal.connect([&](int key, const std::wstring& name, int value) {
    calls.push_back(3);
    EXPECT_EQ(key, 5);
    EXPECT_EQ(name, L"BE_SET");
    EXPECT_EQ(value, 9);
    return 42;
  });
  boost::optional<int> result = signal(5, L"BE_SET", 9);
  EXPECT_EQ(calls, (std::vector<int>{1, 2, 3}));
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, 42);  // the last slot's value
}

TEST(Signals, CommandWithoutSlotsHasNoResult) {
  CommandSignalSSSType signal;
  EXPECT_FALSE(signal(0, L"MAIN_X", L"a", L"b"));
  // The process-wide signal that nobody subscribes to.
  EXPECT_FALSE(CommandSignalSSS(0, L"MAIN_X", L"a", L"b"));
}

TEST(Signals, EarlierDenialIsSeenByLaterSlots) {
  NotificationSignalType signal;
  bool laterSawDenial = false;
  signal.connect([](_MXRED_NOTIFICATION* n, _MXRED_REPLY_MESSAGE* r) {
    if (n->Kind == kKindFileOpen) r->Allow = r->AuxFlag = 0;
  });
  signal.connect([&](_MXRED_NOTIFICATION*, _MXRED_REPLY_MESSAGE* r) { laterSawDenial = r->Allow == 0; });
  _MXRED_NOTIFICATION n{};
  n.Kind = kKindFileOpen;
  _MXRED_REPLY_MESSAGE reply{};
  reply.Allow = 1;
  signal(&n, &reply);
  EXPECT_EQ(reply.Allow, 0);
  EXPECT_TRUE(laterSawDenial);
}

TEST(Signals, SlotsOfOneSignalRunConcurrently) {
  NotificationSignalType signal;
  Rendezvous bothInside(2);
  std::atomic<int> met{0};
  signal.connect([&](_MXRED_NOTIFICATION*, _MXRED_REPLY_MESSAGE*) {
    if (bothInside.ArriveAndWait()) ++met;
  });
  auto emit = [&] {
    _MXRED_NOTIFICATION n{};
    _MXRED_REPLY_MESSAGE r{};
    signal(&n, &r);
  };
  std::thread a(emit), b(emit);
  a.join();
  b.join();
  EXPECT_EQ(met.load(), 2);  // each emission was inside the slot while the other was
}

TEST(Signals, SlotConnectedDuringAnEmissionServesLaterEmissions) {
  CommandSignalSType signal;
  std::mutex gateMutex;
  std::condition_variable gate;
  bool firstInside = false, release = false;
  std::atomic<int> lateCalls{0};
  signal.connect([&](int, const std::wstring& name, const std::wstring&) {
    if (name != L"first") return 1;
    std::unique_lock lock(gateMutex);
    firstInside = true;
    gate.notify_all();
    gate.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
    return 1;
  });
  boost::optional<int> firstResult;
  std::thread emitter([&] { firstResult = signal(0, L"first", L""); });
  {
    std::unique_lock lock(gateMutex);
    ASSERT_TRUE(gate.wait_for(lock, std::chrono::seconds(10), [&] { return firstInside; }));
  }
  signal.connect([&](int, const std::wstring&, const std::wstring&) {
    ++lateCalls;
    return 2;
  });
  {
    std::lock_guard lock(gateMutex);
    release = true;
  }
  gate.notify_all();
  emitter.join();
  EXPECT_EQ(lateCalls.load(), 0);  // the running emission kept its slot list
  EXPECT_EQ(firstResult.value_or(0), 1);
  EXPECT_EQ(signal(0, L"second", L"").value_or(0), 2);
  EXPECT_EQ(lateCalls.load(), 1);
}

}  // namespace
