// Waits on process handles and their exit codes: see process_api_real.h.
//
// Owns: the per-machine exit watcher, one thread that follows the process
// change feed while some process handle is being waited on and signals the
// handles of every process that ends (NotifyWaiters: no waiter polls);
// GetExitCodeProcess.
// Must not: keep exit codes itself (process_table.cpp records them).
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/base/handles.h"
#include "platform/processes/process_api_real.h"
#include "platform/processes/process_table.h"

namespace zv::platform {
namespace {

// The thread runs while some handle is watched. Closing the last handle of
// a watched process waits for the thread's next pass, so that once every
// handle is closed the thread has let go of the machine (a test can then
// remove it).
struct ExitWatcher {
  std::mutex mutex;
  std::condition_variable changed;
  std::multimap<win::DWORD, std::weak_ptr<ProcessObject>> watched;  // guarded by mutex
  std::vector<std::weak_ptr<ProcessObject>> toCheck;                // guarded by mutex
  bool running = false;                                             // guarded by mutex
  bool stopping = false;                                            // guarded by mutex
  std::uint64_t passes = 0;                                         // guarded by mutex
  ProcessEventFeed* feed = nullptr;                                 // guarded by mutex
};

// The watcher of a machine lives in the machine's cache.
struct ExitWatcherSlot {
  std::shared_ptr<ExitWatcher> watcher = std::make_shared<ExitWatcher>();
};

bool Alive(Machine& machine, win::DWORD pid) {
  try {
    return FindProcess(machine, pid).has_value();
  } catch (const MachineError&) {
    return false;  // a machine that cannot answer has no processes left to wait for
  }
}

void Run(std::shared_ptr<Machine> machine, std::shared_ptr<ExitWatcher> w) {
  std::unique_ptr<ProcessEventFeed> feed;
  try {
    feed = std::make_unique<ProcessEventFeed>(machine, LastProcessEventSeq(*machine));
  } catch (const MachineError&) {
    feed.reset();
  }
  {
    std::lock_guard lock(w->mutex);
    w->feed = feed.get();
  }
  for (;;) {
    // New handles: ended before the feed's position, or still running (then
    // their end comes through the feed).
    std::vector<std::shared_ptr<ProcessObject>> check;
    {
      std::lock_guard lock(w->mutex);
      for (auto& weak : w->toCheck) {
        if (auto object = weak.lock()) check.push_back(std::move(object));
      }
      w->toCheck.clear();
    }
    bool signalled = false;
    for (auto& object : check) {
      if (!feed || !Alive(*machine, object->pid)) {
        object->MarkEnded();
        signalled = true;
      }
    }
    if (signalled) NotifyWaiters();
    check.clear();  // handles hold the machine too: none may outlive the stop
    {
      std::unique_lock lock(w->mutex);
      for (auto it = w->watched.begin(); it != w->watched.end();) {
        auto object = it->second.lock();
        it = !object || object->Closed() ? w->watched.erase(it) : std::next(it);
      }
      ++w->passes;
      if (w->watched.empty() || !feed) {
        // The machine is let go before the thread says it has stopped.
        w->stopping = true;
        w->feed = nullptr;
        lock.unlock();
        feed.reset();
        machine.reset();
        lock.lock();
        w->running = false;
        w->stopping = false;
        w->changed.notify_all();
        return;
      }
      w->changed.notify_all();
    }
    std::optional<ProcessEvent> event;
    try {
      event = feed->WaitNext(win::INFINITE);
    } catch (const MachineError&) {
      event.reset();
    }
    if (!event || event->created) continue;
    std::vector<std::shared_ptr<ProcessObject>> ended;
    {
      std::lock_guard lock(w->mutex);
      auto [first, last] = w->watched.equal_range(event->pid);
      for (auto it = first; it != last; ++it) {
        if (auto object = it->second.lock()) ended.push_back(std::move(object));
      }
      w->watched.erase(first, last);
    }
    for (auto& object : ended) object->MarkEnded();
    if (!ended.empty()) NotifyWaiters();
    ended.clear();
  }
}

void Watch(const std::shared_ptr<Machine>& machine, const std::shared_ptr<ProcessObject>& object) {
  std::shared_ptr<ExitWatcher> w = machine->Cache<ExitWatcherSlot>("processes.exit_watcher")->watcher;
  std::unique_lock lock(w->mutex);
  w->changed.wait(lock, [&] { return !w->stopping; });
  w->watched.emplace(object->pid, object);
  w->toCheck.push_back(object);
  if (w->running) {
    if (w->feed) w->feed->Interrupt();
    return;
  }
  w->running = true;
  std::thread(Run, machine, w).detach();
}

// Waits for the thread's next pass (or its end), which drops closed handles.
void AwaitPass(const std::shared_ptr<Machine>& machine) {
  std::shared_ptr<ExitWatcher> w = machine->Cache<ExitWatcherSlot>("processes.exit_watcher")->watcher;
  std::unique_lock lock(w->mutex);
  if (!w->running) return;
  std::uint64_t seen = w->passes;
  if (w->feed) w->feed->Interrupt();
  w->changed.wait(lock, [&] { return !w->running || (w->passes > seen && !w->stopping); });
}

}  // namespace

bool ProcessObject::TryAcquire() {
  if (ended_.load()) return true;
  if (!watched_.exchange(true)) {
    std::shared_ptr<Machine> machine = machine_;
    if (!machine) {
      try {
        machine = Machine::Current();
      } catch (const MachineError&) {
        return false;
      }
    }
    // Our own process never ends under its own wait.
    if (pid == CurrentProcessPid()) return false;
    // Followed first, then looked at once, so that an end in between is
    // not missed and a process that has already ended signals at once.
    Watch(machine, shared_from_this());
    if (!Alive(*machine, pid)) ended_.store(true);
  }
  return ended_.load();
}

void ProcessObject::MarkEnded() { ended_.store(true); }

void ProcessObject::OnLastHandleClosed() {
  closed_.store(true);
  if (!watched_.load()) return;
  std::shared_ptr<Machine> machine = machine_;
  if (!machine) {
    try {
      machine = Machine::Current();
    } catch (const MachineError&) {
      return;
    }
  }
  AwaitPass(machine);
}

win::BOOL RealProgramApi::GetExitCodeProcess(win::HANDLE process, win::DWORD* exitCode) {
  auto p = LookupHandleAs<ProcessObject>(process);
  if (process == win::INVALID_HANDLE_VALUE) {  // GetCurrentProcess's pseudo handle
    if (exitCode) *exitCode = win::STILL_ACTIVE;
    return exitCode ? win::TRUE : win::FALSE;
  }
  if (!p || p->thread != 0) {
    SetLastError(win::ERROR_INVALID_HANDLE);
    return win::FALSE;
  }
  if ((p->access & (win::PROCESS_QUERY_INFORMATION | win::PROCESS_QUERY_LIMITED_INFORMATION)) == 0) {
    SetLastError(win::ERROR_ACCESS_DENIED);
    return win::FALSE;
  }
  if (!exitCode) {
    SetLastError(win::ERROR_NOACCESS);
    return win::FALSE;
  }
  try {
    std::shared_ptr<Machine> machine = Machine::Current();
    if (p->pid == CurrentProcessPid() || Alive(*machine, p->pid)) {
      *exitCode = win::STILL_ACTIVE;
    } else {
      *exitCode = ExitCodeOf(*machine, p->pid).value_or(kUnrecordedExitCode);
    }
  } catch (const MachineError&) {
    SetLastError(win::ERROR_NOT_READY);
    return win::FALSE;
  }
  return win::TRUE;
}

}  // namespace zv::platform
