// The one clock of every program: sleeps, tick counts, local time, UTC.
//
// Owns: the process-wide current Clock and its three kinds, the local-time
// conversion (host time zone, or a fixed bias the machine injects) and the
// FILETIME conversions. RealClock reads the host's monotonic clock, sped up
// by ZV_TIME_SCALE (a factor: 100 makes a 1000 ms sleep last 10 ms and makes
// tick counts and local time run 100 times faster). Unanchored it counts
// ticks from the program's start and, scaled, UTC from the program's start;
// anchored (RealClock::Anchor, called by the machine layer in
// platform/system, which reads the machine-wide time origin and boot time
// from machine.db) it runs on from the machine's "now" and uptime, so every
// program of the machine agrees. Sleeps and wait time-outs always run on the
// monotonic host clock. VirtualClock, for tests inside one process, never
// waits: a sleep advances virtual time. SteppedClock, for in-process tests
// of periodic threads: sleepers block until the test moves time on past
// their wake-up.
// Must not: be bypassed (no code of ours calls std::this_thread::sleep_for,
// std::chrono clocks or time() directly for anything the system times);
// know machine.db or the file layer (the machine injects its time here).
#pragma once

#include <atomic>
#include <chrono>
#include <ctime>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/base/win32.h"

namespace zv::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Sleep(ms) as Win32 Sleep; Sleep(0) yields.
  virtual void Sleep(win::DWORD milliseconds) = 0;
  // Milliseconds since the clock started (GetTickCount64).
  virtual std::uint64_t TickCount64() = 0;
  // Seconds since 1970-01-01 UTC.
  virtual std::int64_t UtcSeconds() = 0;
  // Milliseconds since 1970-01-01 UTC.
  virtual std::int64_t UtcMilliseconds() = 0;
  // How long a wait with a time-out of `milliseconds` really lasts on this
  // clock (condition-variable and socket waits use it).
  virtual std::chrono::nanoseconds RealWaitFor(win::DWORD milliseconds) = 0;

  // Local time of the machine (GetLocalTime); false if the conversion fails.
  bool LocalTime(win::SYSTEMTIME& out);
  win::SYSTEMTIME LocalTime();
  // Local broken-down time for wcsftime-style formatting.
  bool LocalTm(std::tm& out);
  // GetSystemTimeAsFileTime.
  win::FILETIME SystemTimeAsFileTime();
};

// Local time of any instant (milliseconds since 1970 UTC): with the bias
// set by SetLocalTimeBias, else in the host's time zone. False when the
// instant cannot be converted.
bool LocalTimeOf(std::int64_t utcMs, win::SYSTEMTIME& out);
bool LocalTmOf(std::int64_t utcMs, std::tm& out);
// The machine's time zone as minutes east of UTC (Tokyo 540, New York
// -300); nothing returns to the host's time zone. Process-wide.
void SetLocalTimeBias(std::optional<int> minutesEast);
std::optional<int> LocalTimeBias();

// FILETIME (100 ns units since 1601-01-01) from and to milliseconds since
// 1970-01-01.
win::FILETIME FileTimeFromUtcMs(std::int64_t utcMs);
std::int64_t UtcMsFromFileTime(const win::FILETIME& ft);
// FileTimeToLocalFileTime with the current bias (the bias of that instant
// in the host's zone when none is set).
win::FILETIME LocalFileTime(const win::FILETIME& utc);

class RealClock : public Clock {
 public:
  // scale > 0; 1 is real time.
  explicit RealClock(double scale = 1.0);
  ~RealClock() override;
  void Sleep(win::DWORD milliseconds) override;
  std::uint64_t TickCount64() override;
  std::int64_t UtcSeconds() override;
  std::int64_t UtcMilliseconds() override;
  std::chrono::nanoseconds RealWaitFor(win::DWORD milliseconds) override;
  double Scale() const { return scale_; }

  // From now on UTC runs on from utcMs and the tick count from tickMs, both
  // at the clock's scale on the host's monotonic clock. Safe while other
  // threads read the clock.
  void Anchor(std::int64_t utcMs, std::uint64_t tickMs);
  bool Anchored() const;

 private:
  struct Origin {
    std::chrono::steady_clock::time_point start;
    std::int64_t utcMs;
    std::uint64_t tickMs;
    bool anchored;
  };
  double Elapsed(const Origin& o) const;  // scaled milliseconds since o.start
  double scale_;
  std::atomic<const Origin*> origin_;
  std::mutex retiredMutex_;
  std::vector<std::unique_ptr<const Origin>> retired_;  // kept: readers may still hold them
};

class VirtualClock : public Clock {
 public:
  // Starts at the given UTC time (milliseconds since 1970).
  explicit VirtualClock(std::int64_t startUtcMs = 1709284502000);  // 2024-03-01 09:15:02 UTC
  void Sleep(win::DWORD milliseconds) override;
  std::uint64_t TickCount64() override;
  std::int64_t UtcSeconds() override;
  std::int64_t UtcMilliseconds() override;
  // Waits with a time-out pass virtual time and return at once in real time.
  std::chrono::nanoseconds RealWaitFor(win::DWORD milliseconds) override;

  void Advance(std::uint64_t milliseconds);
  void SetUtcMilliseconds(std::int64_t utcMs);
  // Total of all sleeps so far (what the code would have waited).
  std::uint64_t SleptMilliseconds() const;

 private:
  mutable std::mutex mutex_;
  std::int64_t utcMs_;
  std::uint64_t ticks_ = 0;
  std::uint64_t slept_ = 0;
};

// Time moves only when the test calls Advance. A sleeping thread blocks until
// time reaches its wake-up; Advance wakes the sleepers due by its target one
// wake-up time at a time, in order, and waits (in real time, bounded by the
// settle time) until each woken thread has gone back to sleep or ended, so
// that a test sees every pass that was due. A 600 ms writer pass or a 15 s
// hold is thus tested without real waiting and without a thread spinning
// through virtual time. Waits with a time-out (events, completion ports,
// sockets) are not stepped: they last at most 20 ms of real time and do not
// move the clock. Release ends the stepping for good: from then on sleeps
// return at once (for a test's clean-up, so threads can be stopped).
class SteppedClock : public Clock {
 public:
  explicit SteppedClock(std::int64_t startUtcMs = 1709284502000,
                        std::chrono::milliseconds settle = std::chrono::seconds(5));
  ~SteppedClock() override;
  void Sleep(win::DWORD milliseconds) override;
  std::uint64_t TickCount64() override;
  std::int64_t UtcSeconds() override;
  std::int64_t UtcMilliseconds() override;
  std::chrono::nanoseconds RealWaitFor(win::DWORD milliseconds) override;

  void Advance(std::uint64_t milliseconds);
  // Waits until at least `count` threads sleep on this clock; false when
  // `timeout` of real time passed first.
  bool WaitForSleepers(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  std::size_t Sleepers() const;
  void Release();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// The current clock: ProgramClock() unless replaced.
Clock& CurrentClock();
// The program's own RealClock with ZV_TIME_SCALE, also while a test has
// replaced the current clock; the machine anchors this one.
RealClock& ProgramClock();
// Replaces the current clock until the returned guard is destroyed.
class ScopedClock {
 public:
  explicit ScopedClock(Clock& clock);
  ~ScopedClock();
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  Clock* previous_;
};

// Called by both clocks at the end of every Sleep. The thread layer installs
// it to hold a thread that SuspendThread suspended; nothing else uses it.
using SleepHook = void (*)();
void SetSleepHook(SleepHook hook);

// Shorthands for the Win32 names.
inline void Sleep(win::DWORD ms) { CurrentClock().Sleep(ms); }
inline std::uint64_t GetTickCount64() { return CurrentClock().TickCount64(); }
inline win::DWORD GetTickCount() { return static_cast<win::DWORD>(CurrentClock().TickCount64()); }
inline void GetLocalTime(win::SYSTEMTIME* out) { *out = CurrentClock().LocalTime(); }
inline void GetSystemTimeAsFileTime(win::FILETIME* out) { *out = CurrentClock().SystemTimeAsFileTime(); }

}  // namespace zv::platform
