// The real CompletionPortApi: completion ports of this process.
//
// Owns: CreateIoCompletionPort (new port, binding a filter port),
// GetQueuedCompletionStatus (a termination point, allocating nothing),
// PostQueuedCompletionStatus.
// Must not: know what the packets mean; filter ports post their own reads.
#include <atomic>
#include <memory>

#include "platform/base/clock.h"
#include "platform/filter/completion_port_queue.h"
#include "platform/filter/filter_port.h"
#include "platform/base/handles.h"
#include "platform/threads/sync_api.h"

namespace zv::platform {
namespace {

class RealCompletionPortApi : public CompletionPortApi {
 public:
  win::HANDLE CreateIoCompletionPort(win::HANDLE fileHandle, win::HANDLE existingPort, win::ULONG_PTR key,
                                     win::DWORD concurrentThreads) override {
    std::shared_ptr<CompletionPortObject> port;
    bool created = false;
    if (existingPort != nullptr) {
      port = LookupHandleAs<CompletionPortObject>(existingPort);
      if (!port) {
        SetLastError(win::ERROR_INVALID_PARAMETER);
        return nullptr;
      }
    } else {
      port = std::make_shared<CompletionPortObject>(concurrentThreads);
      created = true;
    }
    if (fileHandle != win::INVALID_HANDLE_VALUE) {
      auto filterPort = LookupHandleAs<FilterPortObject>(fileHandle);
      if (!filterPort) {
        SetLastError(win::ERROR_INVALID_HANDLE);
        return nullptr;
      }
      if (!filterPort->Bind(port, key)) {
        SetLastError(win::ERROR_INVALID_PARAMETER);  // already bound to a port
        return nullptr;
      }
    } else if (existingPort != nullptr) {
      SetLastError(win::ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    SetLastError(win::ERROR_SUCCESS);
    return created ? RegisterHandle(port) : existingPort;
  }

  win::BOOL GetQueuedCompletionStatus(win::HANDLE portHandle, win::DWORD* bytes, win::ULONG_PTR* key,
                                      win::OVERLAPPED** overlapped, win::DWORD milliseconds) override {
    if (overlapped) *overlapped = nullptr;
    if (bytes) *bytes = 0;
    if (key) *key = 0;
    auto port = LookupHandleAs<CompletionPortObject>(portHandle);
    if (!port) {
      SetLastError(win::ERROR_INVALID_HANDLE);
      return win::FALSE;
    }
    std::optional<std::chrono::nanoseconds> wait;
    if (milliseconds != win::INFINITE) wait = CurrentClock().RealWaitFor(milliseconds);
    CompletionPacket packet;
    CompletionPortObject::Result result;
    {
      // The point's wake runs only while the point lives (its destructor
      // takes the same lock), and `port` outlives it: plain pointers do,
      // and keep the wake small enough to need no allocation.
      std::atomic<bool> woken{false};
      CompletionPortObject* raw = port.get();
      TerminationPoint point([&woken, raw] {
        woken.store(true);
        raw->Wake();
      });
      TerminationPoint::Check();  // terminated before the point was set up
      for (;;) {
        result = port->Dequeue(wait, packet, [&woken] { return woken.load(); });
        if (result != CompletionPortObject::Result::Cancelled) break;
        // Terminated: ends the thread here. Suspended: blocks, then waits on.
        TerminationPoint::Check();
        woken.store(false);
      }
    }
    switch (result) {
      case CompletionPortObject::Result::Packet:
        if (bytes) *bytes = packet.bytes;
        if (key) *key = packet.key;
        if (overlapped) *overlapped = packet.overlapped;
        if (packet.error != 0) {
          SetLastError(packet.error);
          return win::FALSE;
        }
        SetLastError(win::ERROR_SUCCESS);
        return win::TRUE;
      case CompletionPortObject::Result::Timeout:
        SetLastError(win::WAIT_TIMEOUT);
        return win::FALSE;
      default:
        SetLastError(win::ERROR_INVALID_HANDLE);
        return win::FALSE;
    }
  }

  win::BOOL PostQueuedCompletionStatus(win::HANDLE portHandle, win::DWORD bytes, win::ULONG_PTR key,
                                       win::OVERLAPPED* overlapped) override {
    auto port = LookupHandleAs<CompletionPortObject>(portHandle);
    if (!port) {
      SetLastError(win::ERROR_INVALID_HANDLE);
      return win::FALSE;
    }
    port->Post(CompletionPacket{bytes, key, overlapped, 0});
    return win::TRUE;
  }
};

}  // namespace

template <>
CompletionPortApi& Api<CompletionPortApi>::Default() {
  static RealCompletionPortApi* api = new RealCompletionPortApi;
  return *api;
}

}  // namespace zv::platform
