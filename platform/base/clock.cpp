// Clocks: see clock.h.
#include "platform/base/clock.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <vector>
#include <cstdlib>
#include <limits>
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

namespace {

constexpr int kNoBias = std::numeric_limits<int>::min();
std::atomic<int> localBias{kNoBias};

// 100 ns units between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kFileTimeTo1970 = 116444736000000000LL;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

void SetLocalTimeBias(std::optional<int> minutesEast) {
  localBias.store(minutesEast ? *minutesEast : kNoBias, std::memory_order_release);
}

std::optional<int> LocalTimeBias() {
  int bias = localBias.load(std::memory_order_acquire);
  if (bias == kNoBias) return std::nullopt;
  return bias;
}

bool LocalTmOf(std::int64_t utcMs, std::tm& out) {
  std::int64_t seconds = FloorDiv(utcMs, 1000);
  if (std::optional<int> bias = LocalTimeBias()) {
    std::time_t shifted = static_cast<std::time_t>(seconds + std::int64_t{*bias} * 60);
    return gmtime_r(&shifted, &out) != nullptr;
  }
  std::time_t t = static_cast<std::time_t>(seconds);
  return localtime_r(&t, &out) != nullptr;
}

bool LocalTimeOf(std::int64_t utcMs, win::SYSTEMTIME& out) {
  std::tm tm{};
  if (!LocalTmOf(utcMs, tm)) return false;
  out.wYear = static_cast<win::WORD>(tm.tm_year + 1900);
  out.wMonth = static_cast<win::WORD>(tm.tm_mon + 1);
  out.wDayOfWeek = static_cast<win::WORD>(tm.tm_wday);
  out.wDay = static_cast<win::WORD>(tm.tm_mday);
  out.wHour = static_cast<win::WORD>(tm.tm_hour);
  out.wMinute = static_cast<win::WORD>(tm.tm_min);
  out.wSecond = static_cast<win::WORD>(tm.tm_sec);
  out.wMilliseconds = static_cast<win::WORD>(utcMs - FloorDiv(utcMs, 1000) * 1000);
  return true;
}

win::FILETIME FileTimeFromUtcMs(std::int64_t utcMs) {
  std::uint64_t units = static_cast<std::uint64_t>(utcMs * 10000 + kFileTimeTo1970);
  win::FILETIME ft;
  ft.dwLowDateTime = static_cast<win::DWORD>(units);
  ft.dwHighDateTime = static_cast<win::DWORD>(units >> 32);
  return ft;
}

std::int64_t UtcMsFromFileTime(const win::FILETIME& ft) {
  std::int64_t units = static_cast<std::int64_t>((std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime);
  return FloorDiv(units - kFileTimeTo1970, 10000);
}

win::FILETIME LocalFileTime(const win::FILETIME& utc) {
  std::int64_t ms = UtcMsFromFileTime(utc);
  std::int64_t biasMs = 0;
  if (std::optional<int> bias = LocalTimeBias()) {
    biasMs = std::int64_t{*bias} * 60000;
  } else {
    std::tm tm{};
    std::time_t t = static_cast<std::time_t>(FloorDiv(ms, 1000));
    if (localtime_r(&t, &tm) != nullptr) biasMs = std::int64_t{tm.tm_gmtoff} * 1000;
  }
  // Keep the sub-millisecond units of the original.
  std::uint64_t units = (std::uint64_t{utc.dwHighDateTime} << 32) | utc.dwLowDateTime;
  units += static_cast<std::uint64_t>(biasMs * 10000);
  win::FILETIME ft;
  ft.dwLowDateTime = static_cast<win::DWORD>(units);
  ft.dwHighDateTime = static_cast<win::DWORD>(units >> 32);
  return ft;
}

bool Clock::LocalTm(std::tm& out) { return LocalTmOf(UtcMilliseconds(), out); }

bool Clock::LocalTime(win::SYSTEMTIME& out) { return LocalTimeOf(UtcMilliseconds(), out); }

win::SYSTEMTIME Clock::LocalTime() {
  win::SYSTEMTIME st;
  LocalTime(st);
  return st;
}

win::FILETIME Clock::SystemTimeAsFileTime() { return FileTimeFromUtcMs(UtcMilliseconds()); }

// ---- RealClock ----------------------------------------------------------------

namespace {

std::int64_t HostUtcMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

RealClock::RealClock(double scale)
    : scale_(scale > 0 ? scale : 1.0),
      origin_(new Origin{std::chrono::steady_clock::now(), HostUtcMs(), 0, false}) {}

RealClock::~RealClock() { delete origin_.load(); }

double RealClock::Elapsed(const Origin& o) const {
  auto real = std::chrono::steady_clock::now() - o.start;
  return std::chrono::duration<double, std::milli>(real).count() * scale_;
}

void RealClock::Anchor(std::int64_t utcMs, std::uint64_t tickMs) {
  auto fresh = std::make_unique<const Origin>(Origin{std::chrono::steady_clock::now(), utcMs, tickMs, true});
  const Origin* old = origin_.exchange(fresh.release(), std::memory_order_acq_rel);
  std::lock_guard lock(retiredMutex_);
  retired_.emplace_back(old);
}

bool RealClock::Anchored() const { return origin_.load(std::memory_order_acquire)->anchored; }

void RealClock::Sleep(win::DWORD milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(RealWaitFor(milliseconds));
  }
  AfterSleep();
}

std::uint64_t RealClock::TickCount64() {
  const Origin* o = origin_.load(std::memory_order_acquire);
  return o->tickMs + static_cast<std::uint64_t>(Elapsed(*o));
}

std::int64_t RealClock::UtcMilliseconds() {
  const Origin* o = origin_.load(std::memory_order_acquire);
  // Unanchored at real speed the host's wall clock is the answer (it follows
  // the host's own corrections).
  if (!o->anchored && scale_ == 1.0) return HostUtcMs();
  return o->utcMs + static_cast<std::int64_t>(Elapsed(*o));
}

std::int64_t RealClock::UtcSeconds() { return FloorDiv(UtcMilliseconds(), 1000); }

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

// ---- SteppedClock --------------------------------------------------------------

struct SteppedClock::State {
  std::mutex mutex;
  std::condition_variable changed;
  std::uint64_t ticks = 0;
  std::int64_t startUtcMs = 0;
  std::chrono::milliseconds settle{0};
  bool released = false;
  std::map<std::thread::id, std::uint64_t> sleeping;  // thread -> wake-up tick
  std::set<std::thread::id> awaited;                  // woken, not yet back asleep

  // A thread that ends is no longer awaited.
  void Forget(std::thread::id id) {
    std::lock_guard lock(mutex);
    sleeping.erase(id);
    awaited.erase(id);
    changed.notify_all();
  }
};

namespace {

// Tells the clocks a thread slept on that the thread has ended.
struct SteppedSleeperExit {
  std::vector<std::weak_ptr<SteppedClock::State>> clocks;
  ~SteppedSleeperExit() {
    for (auto& weak : clocks) {
      if (auto state = weak.lock()) state->Forget(std::this_thread::get_id());
    }
  }
};

void NoteSteppedSleeper(const std::shared_ptr<SteppedClock::State>& state) {
  thread_local SteppedSleeperExit exitNote;
  for (auto& weak : exitNote.clocks) {
    if (weak.lock() == state) return;
  }
  std::erase_if(exitNote.clocks, [](const auto& weak) { return weak.expired(); });
  exitNote.clocks.push_back(state);
}

}  // namespace

SteppedClock::SteppedClock(std::int64_t startUtcMs, std::chrono::milliseconds settle)
    : state_(std::make_shared<State>()) {
  state_->startUtcMs = startUtcMs;
  state_->settle = settle;
}

SteppedClock::~SteppedClock() { Release(); }

void SteppedClock::Sleep(win::DWORD milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
    AfterSleep();
    return;
  }
  NoteSteppedSleeper(state_);
  const std::thread::id self = std::this_thread::get_id();
  {
    std::unique_lock lock(state_->mutex);
    if (!state_->released) {
      state_->sleeping[self] = state_->ticks + milliseconds;
      state_->awaited.erase(self);
      state_->changed.notify_all();
      state_->changed.wait(lock, [&] { return state_->released || !state_->sleeping.count(self); });
      state_->sleeping.erase(self);
    }
  }
  AfterSleep();
}

std::uint64_t SteppedClock::TickCount64() {
  std::lock_guard lock(state_->mutex);
  return state_->ticks;
}

std::int64_t SteppedClock::UtcMilliseconds() {
  std::lock_guard lock(state_->mutex);
  return state_->startUtcMs + static_cast<std::int64_t>(state_->ticks);
}

std::int64_t SteppedClock::UtcSeconds() { return UtcMilliseconds() / 1000; }

std::chrono::nanoseconds SteppedClock::RealWaitFor(win::DWORD milliseconds) {
  return std::chrono::milliseconds(std::min<win::DWORD>(milliseconds, 20));
}

void SteppedClock::Advance(std::uint64_t milliseconds) {
  std::unique_lock lock(state_->mutex);
  const std::uint64_t target = state_->ticks + milliseconds;
  while (!state_->released) {
    std::uint64_t next = target;
    for (const auto& [id, wake] : state_->sleeping) next = std::min(next, wake);
    state_->ticks = std::max(state_->ticks, next);
    for (auto it = state_->sleeping.begin(); it != state_->sleeping.end();) {
      if (it->second <= state_->ticks) {
        state_->awaited.insert(it->first);
        it = state_->sleeping.erase(it);
      } else {
        ++it;
      }
    }
    if (state_->awaited.empty()) {
      if (state_->ticks >= target) break;
      continue;
    }
    state_->changed.notify_all();
    // A woken thread that neither sleeps again nor ends within the settle
    // time (blocked elsewhere) is no longer waited for.
    if (!state_->changed.wait_for(lock, state_->settle, [&] { return state_->awaited.empty() || state_->released; })) {
      state_->awaited.clear();
    }
  }
}

bool SteppedClock::WaitForSleepers(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, timeout, [&] { return state_->sleeping.size() >= count; });
}

std::size_t SteppedClock::Sleepers() const {
  std::lock_guard lock(state_->mutex);
  return state_->sleeping.size();
}

void SteppedClock::Release() {
  std::lock_guard lock(state_->mutex);
  state_->released = true;
  state_->sleeping.clear();
  state_->awaited.clear();
  state_->changed.notify_all();
}

// ---- Current clock --------------------------------------------------------------

namespace {

RealClock& DefaultClock() {
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

RealClock& ProgramClock() { return DefaultClock(); }

Clock& CurrentClock() {
  Clock* c = currentOverride.load(std::memory_order_acquire);
  return c ? *c : DefaultClock();
}

ScopedClock::ScopedClock(Clock& clock) : previous_(currentOverride.exchange(&clock)) {}
ScopedClock::~ScopedClock() { currentOverride.store(previous_); }

}  // namespace zv::platform
