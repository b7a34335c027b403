// Shared inner parts of the thread layer (threads.cpp, threads_wait.cpp).
//
// Owns: the wait hub (one lock and condition variable that every wait of
// ours blocks on) and the base of our own waitable objects, whose signal
// state that lock guards; the free functions behind the event and wait calls.
// Must not: be included outside platform/threads/.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/base/handles.h"
#include "platform/base/win32.h"

namespace zv::platform::threads_detail {

struct WaitHub {
  std::mutex mutex;
  std::condition_variable changed;
  // Bumped, under the lock, by every change that may satisfy a wait.
  std::uint64_t generation = 0;
};
WaitHub& Hub();

// Threads and events: their signal state lives under the hub lock, so a
// wait for all of them takes them in one step.
class HubWaitable : public WaitableObject {
 public:
  virtual bool SignalledLocked() const = 0;
  // Takes the signal (auto-reset objects); called only when signalled.
  virtual void ConsumeLocked() {}
  bool TryAcquire() override;
};

win::HANDLE CreateEventObject(win::BOOL manualReset, win::BOOL initialState, const win::WCHAR* name);
win::BOOL SetEventObject(win::HANDLE event);
win::BOOL ResetEventObject(win::HANDLE event);
win::DWORD WaitForObjects(win::DWORD count, const win::HANDLE* objects, win::BOOL waitAll, win::DWORD milliseconds);

}  // namespace zv::platform::threads_detail
