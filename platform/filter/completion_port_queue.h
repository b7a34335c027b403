// The I/O completion port object behind a completion-port HANDLE.
//
// Owns: the FIFO of completion packets (bytes, key, overlapped record,
// error), the concurrency limit, and which filter ports are bound to the
// port. A packet's error is the Win32 error GetQueuedCompletionStatus
// reports with it (0 for a completed read).
// Once the port's handle is closed, or every filter port bound to it has
// been disconnected and the queue is drained, a dequeue fails with
// ERROR_INVALID_HANDLE and no overlapped record.
// Must not: block without a way out: Dequeue takes a cancel test so the
// caller can end the wait (TerminationPoint in completion_port.cpp).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/base/handles.h"
#include "platform/base/win32.h"

namespace zv::platform {

struct CompletionPacket {
  win::DWORD bytes = 0;
  win::ULONG_PTR key = 0;
  win::OVERLAPPED* overlapped = nullptr;
  win::DWORD error = 0;
};

class CompletionPortObject : public KernelObject, public std::enable_shared_from_this<CompletionPortObject> {
 public:
  // concurrency 0: the number of processors.
  explicit CompletionPortObject(win::DWORD concurrency);
  ~CompletionPortObject() override;

  void Post(const CompletionPacket& packet);
  // A filter port was bound / has gone away for good.
  void SourceBound();
  void SourceGone();

  enum class Result { Packet, Timeout, Gone, Cancelled };
  // Waits up to `wait` (nullopt: no time-out). Stops early when cancelled()
  // turns true after Wake().
  Result Dequeue(std::optional<std::chrono::nanoseconds> wait, CompletionPacket& out,
                 const std::function<bool()>& cancelled);
  // Wakes every waiter so it re-tests its cancel condition.
  void Wake();

  void OnLastHandleClosed() override;
  win::DWORD Concurrency() const { return concurrency_; }
  std::size_t QueuedForTest();

 private:
  void ReleaseSlot();
  friend struct ActiveSlot;

  const win::DWORD concurrency_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<CompletionPacket> queue_;
  win::DWORD active_ = 0;  // threads released by this port and not back yet
  int bound_ = 0;
  int gone_ = 0;
  bool closed_ = false;
};

}  // namespace zv::platform
