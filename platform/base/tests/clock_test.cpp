#include "platform/base/clock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

using namespace zv::platform;

TEST(Clock, VirtualClockSleepsWithoutWaiting) {
  VirtualClock clock;
  ScopedClock scoped(clock);
  auto start = std::chrono::steady_clock::now();
  Sleep(55000);
  GetTickCount64();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(GetTickCount64(), 55000u);
  EXPECT_EQ(clock.SleptMilliseconds(), 55000u);
}

TEST(Clock, VirtualLocalTimeFollowsUtcAndTimeZone) {
  setenv("TZ", "UTC", 1);
  tzset();
  VirtualClock clock(1709284502000);  // 2024-03-01 09:15:02 UTC
  ScopedClock scoped(clock);
  zv::win::SYSTEMTIME st;
  GetLocalTime(&st);
  EXPECT_EQ(st.wYear, 2024);
  EXPECT_EQ(st.wMonth, 3);
  EXPECT_EQ(st.wDay, 1);
  EXPECT_EQ(st.wHour, 9);
  EXPECT_EQ(st.wMinute, 15);
  EXPECT_EQ(st.wSecond, 2);
  EXPECT_EQ(st.wDayOfWeek, 5);  // Friday
  clock.Advance(15 * 3600 * 1000);
  GetLocalTime(&st);
  EXPECT_EQ(st.wDay, 2);
  EXPECT_EQ(st.wHour, 0);
}

TEST(Clock, ScaledRealClockRunsFaster) {
  RealClock clock(1000.0);
  auto start = std::chrono::steady_clock::now();
  clock.Sleep(2000);  // 2 ms of real time
  auto real = std::chrono::steady_clock::now() - start;
  EXPECT_LT(real, std::chrono::milliseconds(500));
  EXPECT_GE(clock.TickCount64(), 2000u);
  EXPECT_EQ(clock.RealWaitFor(1000), std::chrono::milliseconds(1));
}

// A periodic thread sees exactly the passes that were due, with no real
// waiting, and a thread that ends does not hold Advance up.
TEST(Clock, SteppedClockRunsEachDuePass) {
  SteppedClock clock(1709284502000, std::chrono::seconds(30));
  ScopedClock scoped(clock);
  std::atomic<int> passes{0};
  std::atomic<bool> run{true};
  std::thread writer([&] {
    while (run) {
      Sleep(600);
      if (run) ++passes;
    }
  });
  std::thread shortLived([&] {
    Sleep(1000);
    Sleep(1000);
  });
  ASSERT_TRUE(clock.WaitForSleepers(2));
  EXPECT_EQ(passes, 0);
  auto start = std::chrono::steady_clock::now();
  clock.Advance(599);
  EXPECT_EQ(passes, 0);
  clock.Advance(1);
  EXPECT_EQ(passes, 1);
  clock.Advance(3000);  // passes at 1200 ... 3600; the short thread ends at 2000
  EXPECT_EQ(passes, 6);
  EXPECT_EQ(GetTickCount64(), 3600u);
  EXPECT_EQ(clock.UtcMilliseconds(), 1709284502000 + 3600);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  shortLived.join();
  EXPECT_EQ(clock.Sleepers(), 1u);
  run = false;
  clock.Release();  // sleeps return at once from now on
  writer.join();
  EXPECT_EQ(passes, 6);
}
