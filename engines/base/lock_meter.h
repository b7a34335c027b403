// Wait measurement of the engines' locks, for benchmarks.
//
// Owns: MeteredMutex and MeteredSharedMutex, the mutexes every engine table
// lock is, and the process-wide wait totals per lock (EngineLock). A lock that is free is
// taken with one try_lock, exactly as std::mutex takes it; only a lock found
// held looks at the metering switch, and only while a benchmark has switched
// it on is the wait timed (host monotonic time: the wait is real even when a
// test runs the engines on a virtual clock). With the switch off the cost is
// one relaxed load on the contended path, next to a blocking wait.
// Must not: change what a lock excludes, allocate, or log.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

namespace zv::engines {

// The engines' locks by what they guard; both engine instances of a kind
// add to the same totals.
enum class EngineLock : int {
  SpecialProcesses,  // access: process types (baseengine)
  NameRules,         // access: process-name rules (baseengine)
  PathMarks,         // access: path marks (baseengine)
  DosNames,          // both: the DOS-name cache (DevicePathConverter)
  AccessPathRules,   // access: path rules
  ShareFolders,      // access: free share folders
  Holds,             // access: read-only holds
  LastAccess,        // access: the file manager's last document
  HandlerSetting,    // access: the file-open handler setting
  BackupProcesses,   // backup: process table
  BackupProcessRules,  // backup: free-process name rules
  BackupPathRules,   // backup: protect and free paths
  Touched,           // backup: touched paths
  DeleteLog,         // backup: deletion-log queues
  BackupRoot,        // backup: backup folder
  Count,
};

inline constexpr std::array<const char*, static_cast<int>(EngineLock::Count)> kEngineLockNames = {
    "access special processes", "access name rules",    "access path marks",
    "DOS-name cache",           "access path rules",    "access share folders", "access holds",
    "access last access",       "access handler setting", "backup process table", "backup process rules",
    "backup path rules",        "backup touched paths", "backup deletion log", "backup root"};

struct LockWaitTotals {
  std::atomic<std::uint64_t> Waits{0};        // lock calls that found the lock held
  std::atomic<std::uint64_t> Nanoseconds{0};  // time they waited

  template <class Lock>
  void Wait(Lock&& lock) {
    const auto start = std::chrono::steady_clock::now();
    lock();
    const auto waited = std::chrono::steady_clock::now() - start;
    Waits.fetch_add(1, std::memory_order_relaxed);
    Nanoseconds.fetch_add(static_cast<std::uint64_t>(std::chrono::nanoseconds(waited).count()),
                          std::memory_order_relaxed);
  }
};

namespace detail {
inline std::atomic<bool> lockMetering{false};
inline std::array<LockWaitTotals, static_cast<int>(EngineLock::Count)> lockWaits;
}  // namespace detail

// Benchmarks only: switches timing on or off, reads and resets the totals.
inline void SetLockMetering(bool on) { detail::lockMetering.store(on, std::memory_order_relaxed); }
inline const LockWaitTotals& LockWaits(EngineLock lock) { return detail::lockWaits[static_cast<int>(lock)]; }
inline void ResetLockWaits() {
  for (auto& totals : detail::lockWaits) {
    totals.Waits.store(0, std::memory_order_relaxed);
    totals.Nanoseconds.store(0, std::memory_order_relaxed);
  }
}

// The exclusive side over any mutex: an uncontended lock is one try_lock;
// only a contended one looks at the switch, and times its wait when on.
template <class Mutex>
class MeteredLock {
 public:
  explicit MeteredLock(EngineLock which) : totals_(detail::lockWaits[static_cast<int>(which)]) {}
  MeteredLock(const MeteredLock&) = delete;
  MeteredLock& operator=(const MeteredLock&) = delete;

  void lock() {
    Take([this] { return mutex_.try_lock(); }, [this] { mutex_.lock(); });
  }
  bool try_lock() { return mutex_.try_lock(); }
  void unlock() { mutex_.unlock(); }

 protected:
  template <class TryTakeFn, class TakeFn>
  void Take(TryTakeFn tryTake, TakeFn take) {
    if (tryTake()) return;
    if (!detail::lockMetering.load(std::memory_order_relaxed)) return take();
    totals_.Wait(take);
  }

  Mutex mutex_;
  LockWaitTotals& totals_;
};

using MeteredMutex = MeteredLock<std::mutex>;

// For tables that every file open reads and only commands and process
// events change: readers do not exclude each other (a reader that loses
// its processor holds up no other reader), a writer excludes everyone.
// Waits of readers and writers add to the same totals.
class MeteredSharedMutex : public MeteredLock<std::shared_mutex> {
 public:
  using MeteredLock::MeteredLock;

  void lock_shared() {
    Take([this] { return mutex_.try_lock_shared(); }, [this] { mutex_.lock_shared(); });
  }
  bool try_lock_shared() { return mutex_.try_lock_shared(); }
  void unlock_shared() { mutex_.unlock_shared(); }
};

}  // namespace zv::engines
