// Clocks: see clock.h.
#include "platform/base/clock.h"

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace zv::platform {
namespace {

std::atomic<SleepHook> sleepHook{nullptr};

void AfterSleep() {
  if (SleepHook hook = sleepHook.load(std::memory_order_acquire)) hook();
}

}  // namespace

void SetSleepHook(SleepHook hook) { sleepHook.store(hook, std::memory_order_release); }

bool Clock::LocalTm(std::tm& out) {
  std::int64_t ms = UtcMilliseconds();
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  return localtime_r(&seconds, &out) != nullptr;
}

bool Clock::LocalTime(win::SYSTEMTIME& out) {
  std::tm tm{};
  std::int64_t ms = UtcMilliseconds();
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  if (localtime_r(&seconds, &tm) == nullptr) return false;
  out.wYear = static_cast<win::WORD>(tm.tm_year + 1900);
  out.wMonth = static_cast<win::WORD>(tm.tm_mon + 1);
  out.wDayOfWeek = static_cast<win::WORD>(tm.tm_wday);
  out.wDay = static_cast<win::WORD>(tm.tm_mday);
  out.wHour = static_cast<win::WORD>(tm.tm_hour);
  out.wMinute = static_cast<win::WORD>(tm.tm_min);
  out.wSecond = static_cast<win::WORD>(tm.tm_sec);
  out.wMilliseconds = static_cast<win::WORD>(ms % 1000);
  return true;
}

win::SYSTEMTIME Clock::LocalTime() {
  win::SYSTEMTIME st;
  LocalTime(st);
  return st;
}

// ---- RealClock ----------------------------------------------------------------

RealClock::RealClock(double scale)
    : scale_(scale > 0 ? scale : 1.0),
      start_(std::chrono::steady_clock::now()),
      startUtcMs_(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count()) {}

double RealClock::Elapsed() const {
  auto real = std::chrono::steady_clock::now() - start_;
  return std::chrono::duration<double, std::milli>(real).count() * scale_;
}

void RealClock::Sleep(win::DWORD milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(RealWaitFor(milliseconds));
  }
  AfterSleep();
}

std::uint64_t RealClock::TickCount64() { return static_cast<std::uint64_t>(Elapsed()); }

std::int64_t RealClock::UtcMilliseconds() {
  if (scale_ == 1.0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  return startUtcMs_ + static_cast<std::int64_t>(Elapsed());
}

std::int64_t RealClock::UtcSeconds() { return UtcMilliseconds() / 1000; }

std::chrono::nanoseconds RealClock::RealWaitFor(win::DWORD milliseconds) {
  return std::chrono::nanoseconds(static_cast<std::int64_t>(milliseconds * 1e6 / scale_));
}

// ---- VirtualClock -------------------------------------------------------------

VirtualClock::VirtualClock(std::int64_t startUtcMs) : utcMs_(startUtcMs) {}

void VirtualClock::Sleep(win::DWORD milliseconds) {
  {
    std::lock_guard lock(mutex_);
    utcMs_ += milliseconds;
    ticks_ += milliseconds;
    slept_ += milliseconds;
  }
  std::this_thread::yield();
  AfterSleep();
}

std::uint64_t VirtualClock::TickCount64() {
  std::lock_guard lock(mutex_);
  return ticks_;
}

std::int64_t VirtualClock::UtcMilliseconds() {
  std::lock_guard lock(mutex_);
  return utcMs_;
}

std::int64_t VirtualClock::UtcSeconds() { return UtcMilliseconds() / 1000; }

std::chrono::nanoseconds VirtualClock::RealWaitFor(win::DWORD milliseconds) {
  // A wait that times out passes its virtual time; in real time it polls
  // briefly so the waiter still sees events that arrive meanwhile.
  Advance(milliseconds);
  return std::chrono::microseconds(milliseconds == 0 ? 0 : 200);
}

void VirtualClock::Advance(std::uint64_t milliseconds) {
  std::lock_guard lock(mutex_);
  utcMs_ += static_cast<std::int64_t>(milliseconds);
  ticks_ += milliseconds;
}

void VirtualClock::SetUtcMilliseconds(std::int64_t utcMs) {
  std::lock_guard lock(mutex_);
  utcMs_ = utcMs;
}

std::uint64_t VirtualClock::SleptMilliseconds() const {
  std::lock_guard lock(mutex_);
  return slept_;
}

// ---- Current clock --------------------------------------------------------------

namespace {

Clock& DefaultClock() {
  static RealClock* clock = [] {
    double scale = 1.0;
    if (const char* v = std::getenv("ZV_TIME_SCALE")) {
      char* end = nullptr;
      double parsed = std::strtod(v, &end);
      if (end != v && parsed > 0) scale = parsed;
    }
    return new RealClock(scale);  // lives until the process ends
  }();
  return *clock;
}

std::atomic<Clock*> currentOverride{nullptr};

}  // namespace

Clock& CurrentClock() {
  Clock* c = currentOverride.load(std::memory_order_acquire);
  return c ? *c : DefaultClock();
}

ScopedClock::ScopedClock(Clock& clock) : previous_(currentOverride.exchange(&clock)) {}
ScopedClock::~ScopedClock() { currentOverride.store(previous_); }

}  // namespace zv::platform
