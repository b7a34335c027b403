// The real ThreadApi: host threads with Win32 handles, exit codes,
// cooperative termination and suspension (see sync_api.h and
// docs/platform-threads.md).
//
// Owns: thread objects, the per-thread control block, TerminationPoint, the
// clock's sleep hook, Api<ThreadApi>::Default().
// Must not: end a host thread by force (pthread_cancel, pthread_kill); a
// thread ends only by returning from its start routine or by unwinding from
// a termination point.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/base/clock.h"
#include "platform/base/crash_dump.h"
#include "platform/base/handles.h"
#include "platform/threads/sync_api.h"
#include "platform/threads/threads_internal.h"

namespace zv::platform {

// Per-thread control block of a thread created by CreateThread.
struct ThreadControl {
  std::mutex mutex;
  std::condition_variable changed;  // suspension, parking, start-up
  win::DWORD suspendCount = 0;
  bool terminate = false;
  win::DWORD terminateCode = 0;
  bool parked = false;   // blocked in Check() or a sleep because suspended
  bool started = false;  // the host thread is up and knows its id
  win::DWORD threadId = 0;
  std::vector<TerminationPoint*> points;  // active on the thread

  // Caller holds `mutex`.
  void WakeLocked() {
    for (TerminationPoint* p : points) {
      if (p->wake_) p->wake_();
    }
    changed.notify_all();
  }
};

namespace {

using threads_detail::Hub;

// Thrown at a termination point of a terminated thread and caught by the
// thread's start trampoline. Not a std::exception, so handlers for those do
// not swallow it; code that catches (...) must rethrow.
struct ThreadUnwind {};

thread_local ThreadControl* currentControl = nullptr;

win::DWORD HostThreadId() {
  thread_local win::DWORD id = static_cast<win::DWORD>(::syscall(SYS_gettid));
  return id;
}

// Blocks the calling thread while it is suspended; true when it was
// terminated meanwhile (or before).
bool HoldWhileSuspended(ThreadControl& c) {
  std::unique_lock lock(c.mutex);
  if (c.suspendCount > 0 && !c.terminate) {
    c.parked = true;
    c.changed.notify_all();
    c.changed.wait(lock, [&] { return c.suspendCount == 0 || c.terminate; });
    c.parked = false;
  }
  return c.terminate;
}

void SleepHook() {
  // Sleeps are no termination points: a terminated thread only stops being
  // held here and goes on to its next termination point.
  if (ThreadControl* c = currentControl) HoldWhileSuspended(*c);
}

class ThreadObject : public threads_detail::HubWaitable {
 public:
  ThreadObject(win::LPTHREAD_START_ROUTINE start, void* parameter) : start_(start), parameter_(parameter) {}

  bool SignalledLocked() const override { return ended_; }
  win::DWORD ExitCodeLocked() const { return ended_ ? exitCode_ : win::STILL_ACTIVE; }
  ThreadControl& Control() { return control_; }

  static void* Trampoline(void* arg) {
    std::shared_ptr<ThreadObject> self = std::move(*static_cast<std::shared_ptr<ThreadObject>*>(arg));
    delete static_cast<std::shared_ptr<ThreadObject>*>(arg);
    ThreadControl& c = self->control_;
    currentControl = &c;
    PrepareThreadForCrashDump();
    {
      std::lock_guard lock(c.mutex);
      c.threadId = HostThreadId();
      c.started = true;
      c.changed.notify_all();
    }
    win::DWORD code;
    try {
      TerminationPoint::Check();  // created suspended, or terminated before it ran
      code = self->start_(self->parameter_);
    } catch (const ThreadUnwind&) {
      std::lock_guard lock(c.mutex);
      code = c.terminateCode;
    }
    currentControl = nullptr;
    {
      std::lock_guard lock(Hub().mutex);
      self->exitCode_ = code;
      self->ended_ = true;
      ++Hub().generation;
    }
    Hub().changed.notify_all();
    return nullptr;
  }

 private:
  ThreadControl control_;
  const win::LPTHREAD_START_ROUTINE start_;
  void* const parameter_;
  // Under the hub lock.
  bool ended_ = false;
  win::DWORD exitCode_ = win::STILL_ACTIVE;
};

std::shared_ptr<ThreadObject> LookupThread(win::HANDLE handle) {
  auto thread = LookupHandleAs<ThreadObject>(handle);
  if (!thread) SetLastError(win::ERROR_INVALID_HANDLE);
  return thread;
}

class HostThreadApi : public ThreadApi {
 public:
  HostThreadApi() { SetSleepHook(&SleepHook); }

  win::HANDLE CreateThread(const void*, std::size_t stackSize, win::LPTHREAD_START_ROUTINE start, void* parameter,
                           win::DWORD creationFlags, win::DWORD* threadId) override {
    if (start == nullptr) {
      SetLastError(win::ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    auto thread = std::make_shared<ThreadObject>(start, parameter);
    ThreadControl& c = thread->Control();
    if (creationFlags & win::CREATE_SUSPENDED) c.suspendCount = 1;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
      long page = ::sysconf(_SC_PAGESIZE);
      std::size_t size = std::max<std::size_t>(stackSize, PTHREAD_STACK_MIN);
      size = (size + page - 1) / page * page;
      pthread_attr_setstacksize(&attr, size);
    }
    auto* arg = new std::shared_ptr<ThreadObject>(thread);
    pthread_t host;
    int rc = pthread_create(&host, &attr, &ThreadObject::Trampoline, arg);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
      delete arg;
      SetLastError(rc == EAGAIN ? win::ERROR_NOT_ENOUGH_MEMORY : win::ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    win::DWORD id;
    {
      std::unique_lock lock(c.mutex);
      c.changed.wait(lock, [&] { return c.started; });
      id = c.threadId;
    }
    if (threadId) *threadId = id;
    SetLastError(win::ERROR_SUCCESS);
    return RegisterHandle(thread);
  }

  win::BOOL TerminateThread(win::HANDLE handle, win::DWORD exitCode) override {
    auto thread = LookupThread(handle);
    if (!thread) return win::FALSE;
    ThreadControl& c = thread->Control();
    {
      std::lock_guard lock(c.mutex);
      if (!c.terminate) {
        c.terminate = true;
        c.terminateCode = exitCode;
        c.WakeLocked();
      }
    }
    // Terminating oneself does not return.
    if (&c == currentControl && std::uncaught_exceptions() == 0) throw ThreadUnwind{};
    return win::TRUE;
  }

  win::BOOL GetExitCodeThread(win::HANDLE handle, win::DWORD* exitCode) override {
    auto thread = LookupThread(handle);
    if (!thread) return win::FALSE;
    if (exitCode == nullptr) {
      SetLastError(win::ERROR_INVALID_PARAMETER);
      return win::FALSE;
    }
    std::lock_guard lock(Hub().mutex);
    *exitCode = thread->ExitCodeLocked();
    return win::TRUE;
  }

  win::DWORD SuspendThread(win::HANDLE handle) override {
    auto thread = LookupThread(handle);
    if (!thread) return static_cast<win::DWORD>(-1);
    ThreadControl& c = thread->Control();
    const bool self = &c == currentControl;
    win::DWORD previous;
    {
      std::unique_lock lock(c.mutex);
      previous = c.suspendCount;
      if (previous >= win::MAXIMUM_SUSPEND_COUNT) {
        SetLastError(win::ERROR_SIGNAL_REFUSED);
        return static_cast<win::DWORD>(-1);
      }
      ++c.suspendCount;
      if (previous == 0 && !self) {
        c.WakeLocked();
        // A thread blocked in a termination point has stopped when this
        // returns: it parks, or it leaves the blocking call (its points).
        c.changed.wait(lock, [&] { return c.parked || c.points.empty() || c.terminate || c.suspendCount == 0; });
      }
    }
    if (self) TerminationPoint::Check();
    return previous;
  }

  win::DWORD ResumeThread(win::HANDLE handle) override {
    auto thread = LookupThread(handle);
    if (!thread) return static_cast<win::DWORD>(-1);
    ThreadControl& c = thread->Control();
    std::lock_guard lock(c.mutex);
    win::DWORD previous = c.suspendCount;
    if (previous > 0 && --c.suspendCount == 0) c.changed.notify_all();
    return previous;
  }

  win::DWORD GetCurrentThreadId() override { return HostThreadId(); }

  win::HANDLE CreateEventW(const void*, win::BOOL manualReset, win::BOOL initialState,
                           const win::WCHAR* name) override {
    return threads_detail::CreateEventObject(manualReset, initialState, name);
  }
  win::BOOL SetEvent(win::HANDLE event) override { return threads_detail::SetEventObject(event); }
  win::BOOL ResetEvent(win::HANDLE event) override { return threads_detail::ResetEventObject(event); }

  win::DWORD WaitForSingleObject(win::HANDLE object, win::DWORD milliseconds) override {
    return threads_detail::WaitForObjects(1, &object, win::FALSE, milliseconds);
  }
  win::DWORD WaitForMultipleObjects(win::DWORD count, const win::HANDLE* objects, win::BOOL waitAll,
                                    win::DWORD milliseconds) override {
    return threads_detail::WaitForObjects(count, objects, waitAll, milliseconds);
  }
};

}  // namespace

// ---- TerminationPoint -----------------------------------------------------------

TerminationPoint::TerminationPoint(std::function<void()> wake) : wake_(std::move(wake)), control_(currentControl) {
  if (!control_) return;
  std::lock_guard lock(control_->mutex);
  control_->points.push_back(this);
}

TerminationPoint::~TerminationPoint() {
  if (!control_) return;
  std::lock_guard lock(control_->mutex);
  auto& points = control_->points;
  points.erase(std::remove(points.begin(), points.end(), this), points.end());
  if (points.empty()) control_->changed.notify_all();  // a pending SuspendThread may return
}

void TerminationPoint::Check() {
  ThreadControl* c = currentControl;
  if (!c) return;
  // Never throw while another exception unwinds (a wait in a destructor).
  if (HoldWhileSuspended(*c) && std::uncaught_exceptions() == 0) throw ThreadUnwind{};
}

template <>
ThreadApi& Api<ThreadApi>::Default() {
  static HostThreadApi* api = new HostThreadApi;  // lives until the process ends
  return *api;
}

}  // namespace zv::platform
