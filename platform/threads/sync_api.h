// Threads, events, waits and I/O completion ports, with Win32 meaning.
//
// Owns: the ThreadApi and CompletionPortApi interfaces.
// Linux has no safe way to kill a thread. TerminateThread marks the thread
// and wakes it; the thread ends at its next blocking platform call (a wait,
// a completion-port dequeue, a filter-port read), which is a termination
// point: there the thread unwinds to its start routine and ends with the
// exit code given to TerminateThread. A thread that never reaches one runs
// on. Sleeps through the clock are not termination points, but a suspended
// thread is held in them. Details: docs/platform-threads.md.
#pragma once

#include <functional>

#include "platform/base/injectable.h"
#include "platform/base/win32.h"

namespace zv::platform {

class ThreadApi {
 public:
  virtual ~ThreadApi() = default;

  virtual win::HANDLE CreateThread(const void* securityAttributes, std::size_t stackSize,
                                   win::LPTHREAD_START_ROUTINE start, void* parameter, win::DWORD creationFlags,
                                   win::DWORD* threadId) = 0;
  virtual win::BOOL TerminateThread(win::HANDLE thread, win::DWORD exitCode) = 0;
  virtual win::BOOL GetExitCodeThread(win::HANDLE thread, win::DWORD* exitCode) = 0;
  // Suspension takes effect at the thread's next termination point or clock
  // sleep, where it blocks until resumed.
  virtual win::DWORD SuspendThread(win::HANDLE thread) = 0;
  virtual win::DWORD ResumeThread(win::HANDLE thread) = 0;
  virtual win::DWORD GetCurrentThreadId() = 0;

  virtual win::HANDLE CreateEventW(const void* securityAttributes, win::BOOL manualReset, win::BOOL initialState,
                                   const win::WCHAR* name) = 0;
  virtual win::BOOL SetEvent(win::HANDLE event) = 0;
  virtual win::BOOL ResetEvent(win::HANDLE event) = 0;

  // Waits on thread, event and other WaitableObject handles.
  virtual win::DWORD WaitForSingleObject(win::HANDLE object, win::DWORD milliseconds) = 0;
  virtual win::DWORD WaitForMultipleObjects(win::DWORD count, const win::HANDLE* objects, win::BOOL waitAll,
                                            win::DWORD milliseconds) = 0;
};

class CompletionPortApi {
 public:
  virtual ~CompletionPortApi() = default;
  // fileHandle INVALID_HANDLE_VALUE with existingPort null creates a bare
  // port; a port-capable handle (a filter port) is bound to the port.
  virtual win::HANDLE CreateIoCompletionPort(win::HANDLE fileHandle, win::HANDLE existingPort,
                                             win::ULONG_PTR completionKey, win::DWORD concurrentThreads) = 0;
  virtual win::BOOL GetQueuedCompletionStatus(win::HANDLE port, win::DWORD* bytes, win::ULONG_PTR* key,
                                              win::OVERLAPPED** overlapped, win::DWORD milliseconds) = 0;
  virtual win::BOOL PostQueuedCompletionStatus(win::HANDLE port, win::DWORD bytes, win::ULONG_PTR key,
                                               win::OVERLAPPED* overlapped) = 0;
};

using Threads = Api<ThreadApi>;
using CompletionPorts = Api<CompletionPortApi>;

// Used by blocking platform calls. While an object of this class lives on a
// thread created by CreateThread, TerminateThread (or SuspendThread) calls
// `wake` so the blocked call returns and reaches Check(). `wake` runs on the
// calling thread with that thread's control lock held: it must only nudge
// (notify a condition variable, shut down a socket) and must not wait; do not
// create or destroy a TerminationPoint while holding a lock that `wake` takes.
// On other threads (the main thread, std::thread) the class does nothing.
struct ThreadControl;
class TerminationPoint {
 public:
  explicit TerminationPoint(std::function<void()> wake);
  ~TerminationPoint();
  TerminationPoint(const TerminationPoint&) = delete;
  TerminationPoint& operator=(const TerminationPoint&) = delete;
  // Ends the calling thread (unwinds to its start routine) when it was
  // terminated; blocks while it is suspended. No effect on other threads.
  static void Check();

 private:
  std::function<void()> wake_;
  ThreadControl* control_;
  friend struct ThreadControl;
};

}  // namespace zv::platform
