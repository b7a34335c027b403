// Events and the waits of the thread layer (WaitForSingleObject,
// WaitForMultipleObjects), with Win32 results.
//
// Owns: the wait hub, event objects, NotifyWaiters.
// Must not: know thread internals beyond TerminationPoint; every wait is a
// termination point of the calling thread.
#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

#include "platform/base/clock.h"
#include "platform/threads/sync_api.h"
#include "platform/threads/threads_internal.h"

namespace zv::platform {
namespace threads_detail {

WaitHub& Hub() {
  static WaitHub* hub = new WaitHub;  // lives until the process ends
  return *hub;
}

bool HubWaitable::TryAcquire() {
  std::lock_guard lock(Hub().mutex);
  if (!SignalledLocked()) return false;
  ConsumeLocked();
  return true;
}

namespace {

class EventObject : public HubWaitable {
 public:
  EventObject(bool manualReset, bool signalled) : manualReset_(manualReset), signalled_(signalled) {}
  bool SignalledLocked() const override { return signalled_; }
  void ConsumeLocked() override {
    if (!manualReset_) signalled_ = false;
  }
  void SetLocked(bool signalled) { signalled_ = signalled; }

 private:
  const bool manualReset_;
  bool signalled_;
};

// How often a wait looks again at objects that may not call NotifyWaiters.
constexpr auto kPollInterval = std::chrono::milliseconds(20);

struct Waited {
  std::shared_ptr<WaitableObject> object;
  HubWaitable* own = nullptr;  // set for threads and events
};

// Wait for any: the lowest index that can be taken now.
std::optional<win::DWORD> TakeAny(const std::vector<Waited>& objects) {
  for (std::size_t i = 0; i < objects.size(); ++i) {
    if (objects[i].object->TryAcquire()) return static_cast<win::DWORD>(i);
  }
  return std::nullopt;
}

// Wait for all: every object or none. Other kinds are taken one by one and
// given back on failure; ours are checked and taken in one step under the
// hub lock.
bool TakeAll(const std::vector<Waited>& objects, bool& gaveBack) {
  std::vector<WaitableObject*> taken;
  bool ok = true;
  for (const Waited& w : objects) {
    if (w.own) continue;
    if (!w.object->TryAcquire()) {
      ok = false;
      break;
    }
    taken.push_back(w.object.get());
  }
  if (ok) {
    std::lock_guard lock(Hub().mutex);
    ok = std::all_of(objects.begin(), objects.end(), [](const Waited& w) { return !w.own || w.own->SignalledLocked(); });
    if (ok) {
      for (const Waited& w : objects) {
        if (w.own) w.own->ConsumeLocked();
      }
    }
  }
  if (!ok && !taken.empty()) {
    for (auto it = taken.rbegin(); it != taken.rend(); ++it) (*it)->UndoAcquire();
    NotifyWaiters();
    gaveBack = true;
  }
  return ok;
}

}  // namespace

win::HANDLE CreateEventObject(win::BOOL manualReset, win::BOOL initialState, const win::WCHAR* name) {
  if (name != nullptr && name[0] != 0) {
    // Named events would be shared between processes; nothing here uses them.
    SetLastError(win::ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  win::HANDLE handle = RegisterHandle(std::make_shared<EventObject>(manualReset != 0, initialState != 0));
  SetLastError(win::ERROR_SUCCESS);
  return handle;
}

namespace {
win::BOOL ChangeEvent(win::HANDLE handle, bool signalled) {
  auto event = LookupHandleAs<EventObject>(handle);
  if (!event) {
    SetLastError(win::ERROR_INVALID_HANDLE);
    return win::FALSE;
  }
  {
    std::lock_guard lock(Hub().mutex);
    event->SetLocked(signalled);
    if (signalled) ++Hub().generation;
  }
  if (signalled) Hub().changed.notify_all();
  return win::TRUE;
}
}  // namespace

win::BOOL SetEventObject(win::HANDLE event) { return ChangeEvent(event, true); }
win::BOOL ResetEventObject(win::HANDLE event) { return ChangeEvent(event, false); }

win::DWORD WaitForObjects(win::DWORD count, const win::HANDLE* handles, win::BOOL waitAll, win::DWORD milliseconds) {
  if (count == 0 || count > win::MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    SetLastError(win::ERROR_INVALID_PARAMETER);
    return win::WAIT_FAILED;
  }
  std::vector<Waited> objects;
  objects.reserve(count);
  bool poll = false;
  for (win::DWORD i = 0; i < count; ++i) {
    auto object = LookupHandleAs<WaitableObject>(handles[i]);
    if (!object) {
      SetLastError(win::ERROR_INVALID_HANDLE);
      return win::WAIT_FAILED;
    }
    Waited w{object, dynamic_cast<HubWaitable*>(object.get())};
    poll = poll || (w.own == nullptr && !object->NotifiesWaiters());
    objects.push_back(std::move(w));
  }
  if (waitAll) {
    // As on Windows, one object twice in a wait for all is refused.
    for (std::size_t i = 0; i < objects.size(); ++i) {
      for (std::size_t j = i + 1; j < objects.size(); ++j) {
        if (objects[i].object == objects[j].object) {
          SetLastError(win::ERROR_INVALID_PARAMETER);
          return win::WAIT_FAILED;
        }
      }
    }
  }

  using Steady = std::chrono::steady_clock;
  std::optional<Steady::time_point> deadline;
  if (milliseconds != win::INFINITE) deadline = Steady::now() + CurrentClock().RealWaitFor(milliseconds);

  WaitHub& hub = Hub();
  TerminationPoint point([] { NotifyWaiters(); });
  for (;;) {
    TerminationPoint::Check();
    std::uint64_t seen;
    {
      std::lock_guard lock(hub.mutex);
      seen = hub.generation;
    }
    if (waitAll) {
      bool gaveBack = false;
      if (TakeAll(objects, gaveBack)) return win::WAIT_OBJECT_0;
      if (gaveBack) {
        // Our own give-back woke the waiters; do not take it for a change.
        // Such waits poll, so nothing that happened meanwhile is lost.
        std::lock_guard lock(hub.mutex);
        seen = hub.generation;
      }
    } else if (auto index = TakeAny(objects)) {
      return win::WAIT_OBJECT_0 + *index;
    }
    std::unique_lock lock(hub.mutex);
    auto now = Steady::now();
    if (deadline && now >= *deadline) return win::WAIT_TIMEOUT;
    if (hub.generation != seen) continue;
    std::optional<Steady::time_point> until = deadline;
    if (poll && (!until || now + kPollInterval < *until)) until = now + kPollInterval;
    auto changed = [&] { return hub.generation != seen; };
    if (until) {
      hub.changed.wait_until(lock, *until, changed);
    } else {
      hub.changed.wait(lock, changed);
    }
  }
}

}  // namespace threads_detail

void NotifyWaiters() {
  threads_detail::WaitHub& hub = threads_detail::Hub();
  {
    std::lock_guard lock(hub.mutex);
    ++hub.generation;
  }
  hub.changed.notify_all();
}

}  // namespace zv::platform
