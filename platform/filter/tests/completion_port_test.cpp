#include "platform/filter/completion_port_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace zv;
using namespace zv::platform;
using namespace std::chrono_literals;

namespace {
CompletionPortObject::Result Take(CompletionPortObject& port, CompletionPacket& p,
                                  std::chrono::milliseconds wait = 5000ms) {
  return port.Dequeue(std::chrono::nanoseconds(wait), p, nullptr);
}
}  // namespace

TEST(CompletionPortObject, PacketsComeOutInOrderWithTheirFields) {
  auto port = std::make_shared<CompletionPortObject>(4);
  win::OVERLAPPED a, b;
  port->Post({10, 1, &a, 0});
  port->Post({0, 2, &b, win::ERROR_INVALID_HANDLE});
  CompletionPacket p;
  ASSERT_EQ(Take(*port, p), CompletionPortObject::Result::Packet);
  EXPECT_EQ(p.bytes, 10u);
  EXPECT_EQ(p.key, 1u);
  EXPECT_EQ(p.overlapped, &a);
  ASSERT_EQ(Take(*port, p), CompletionPortObject::Result::Packet);
  EXPECT_EQ(p.overlapped, &b);
  EXPECT_EQ(p.error, win::ERROR_INVALID_HANDLE);
  EXPECT_EQ(Take(*port, p, 20ms), CompletionPortObject::Result::Timeout);
}

TEST(CompletionPortObject, ConcurrencyLimitsReleasedThreadsUntilTheyComeBackOrEnd) {
  auto port = std::make_shared<CompletionPortObject>(1);
  port->Post({1, 0, nullptr, 0});
  port->Post({2, 0, nullptr, 0});
  std::atomic<bool> taken{false}, release{false}, secondGot{false};
  std::thread holder([&] {
    CompletionPacket first;
    EXPECT_EQ(Take(*port, first), CompletionPortObject::Result::Packet);
    taken = true;
    while (!release) std::this_thread::sleep_for(1ms);
    // Ending the thread ends its turn.
  });
  while (!taken) std::this_thread::sleep_for(1ms);
  std::thread other([&] {
    CompletionPacket p;
    if (Take(*port, p) == CompletionPortObject::Result::Packet) secondGot = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(secondGot.load());  // the holder still counts as running
  release = true;
  holder.join();
  other.join();
  EXPECT_TRUE(secondGot.load());
  EXPECT_EQ(port->QueuedForTest(), 0u);
}

TEST(CompletionPortObject, GoneWhenClosedOrWhenEveryBoundPortIsGoneAndDrained) {
  auto port = std::make_shared<CompletionPortObject>(2);
  port->SourceBound();
  win::OVERLAPPED o;
  port->Post({0, 0, &o, win::ERROR_INVALID_HANDLE});
  port->SourceGone();
  CompletionPacket p;
  ASSERT_EQ(Take(*port, p), CompletionPortObject::Result::Packet);  // queued failures first
  EXPECT_EQ(p.overlapped, &o);
  EXPECT_EQ(Take(*port, p), CompletionPortObject::Result::Gone);

  auto other = std::make_shared<CompletionPortObject>(2);
  std::thread waiter([&] { EXPECT_EQ(Take(*other, p), CompletionPortObject::Result::Gone); });
  std::this_thread::sleep_for(20ms);
  other->OnLastHandleClosed();
  waiter.join();

  auto third = std::make_shared<CompletionPortObject>(2);
  std::atomic<bool> cancel{false};
  std::thread cancelled([&] {
    CompletionPacket q;
    EXPECT_EQ(third->Dequeue(std::nullopt, q, [&] { return cancel.load(); }), CompletionPortObject::Result::Cancelled);
  });
  std::this_thread::sleep_for(20ms);
  cancel = true;
  third->Wake();
  cancelled.join();
}

// A source read by another thread (taking its token fails) while a
// completion is posted: the dequeuer takes it instead of waiting for a
// wake-up that already went by.
TEST(CompletionPortObject, APacketPostedDuringAFailedPumpIsTaken) {
  struct ReadElsewhere : CompletionSource {
    CompletionPortObject* port = nullptr;
    int takes = 0;
    bool TakeToken() override {
      if (++takes == 1) port->Post({7, 1, nullptr, 0});
      return false;
    }
    void Pump(std::optional<std::chrono::steady_clock::time_point>) override {}
    void ReleaseToken(bool) override {}
    void Interrupt() override {}
  };
  auto port = std::make_shared<CompletionPortObject>(1);
  auto source = std::make_shared<ReadElsewhere>();
  source->port = port.get();
  port->SourceBound(source);
  CompletionPacket p;
  ASSERT_EQ(port->Dequeue(std::nullopt, p, nullptr), CompletionPortObject::Result::Packet);
  EXPECT_EQ(p.bytes, 7u);
  EXPECT_EQ(source->takes, 1);
}

// A completion posted just before the dequeuer got the token: its
// interruption went to the thread that read then, so the dequeuer must see
// it before it starts to read (and would wait for the next message).
TEST(CompletionPortObject, APacketPostedJustBeforeTheTokenWasTakenIsTakenWithoutReading) {
  struct HandedOver : CompletionSource {
    CompletionPortObject* port = nullptr;
    bool pumped = false;
    std::atomic<bool> interrupted{false};
    bool TakeToken() override {
      port->Post({9, 1, nullptr, 0});
      interrupted = false;  // the previous reader swallowed it
      return true;
    }
    void Pump(std::optional<std::chrono::steady_clock::time_point> deadline) override {
      pumped = true;
      while (!interrupted && std::chrono::steady_clock::now() < *deadline) std::this_thread::sleep_for(1ms);
    }
    void ReleaseToken(bool) override {}
    void Interrupt() override { interrupted = true; }
  };
  auto port = std::make_shared<CompletionPortObject>(1);
  auto source = std::make_shared<HandedOver>();
  source->port = port.get();
  port->SourceBound(source);
  CompletionPacket p;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Take(*port, p, 2000ms), CompletionPortObject::Result::Packet);
  EXPECT_EQ(p.bytes, 9u);
  EXPECT_FALSE(source->pumped);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
}
