// The I/O completion port object behind a completion-port HANDLE.
//
// Owns: the FIFO of completion packets (bytes, key, overlapped record,
// error), the concurrency limit, and which filter ports are bound to the
// port. A packet's error is the Win32 error GetQueuedCompletionStatus
// reports with it (0 for a completed read).
// Once the port's handle is closed, or every filter port bound to it has
// been disconnected and the queue is drained, a dequeue fails with
// ERROR_INVALID_HANDLE and no overlapped record.
// A waiting thread reads the first bound source itself when the queue is
// empty and nobody else does (CompletionSource), so a completion reaches the
// thread that takes it without a hand-off between threads. Queueing and
// taking a packet allocate nothing once the queue has reached its size.
// Must not: block without a way out: Dequeue takes a cancel test so the
// caller can end the wait (TerminationPoint in completion_port.cpp).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/base/handles.h"
#include "platform/base/win32.h"
#include "platform/filter/fifo.h"

namespace zv::platform {

struct CompletionPacket {
  win::DWORD bytes = 0;
  win::ULONG_PTR key = 0;
  win::OVERLAPPED* overlapped = nullptr;
  win::DWORD error = 0;
};

// What a bound filter port offers the threads waiting on its completion
// port: one of them at a time reads it, holding its reader token.
class CompletionSource {
 public:
  virtual ~CompletionSource() = default;
  // Takes the reader token; false, holding nothing, when another thread
  // reads. That thread hands the token on when it lets go
  // (CompletionPortObject::OfferToken).
  virtual bool TakeToken() = 0;
  // With the token: reads until it posted a completion (without waking
  // anyone: the caller takes it), `deadline` passed or Interrupt() was
  // called. Called without any lock of the port.
  virtual void Pump(std::optional<std::chrono::steady_clock::time_point> deadline) = 0;
  // Lets go of the token. comingBack: the caller took a completion and
  // will be back to read once it is done with it, so no other waiting
  // thread needs waking for the token.
  virtual void ReleaseToken(bool comingBack) = 0;
  // Makes the thread in Pump return soon.
  virtual void Interrupt() = 0;
};

class CompletionPortObject : public KernelObject, public std::enable_shared_from_this<CompletionPortObject> {
 public:
  // concurrency 0: the number of processors.
  explicit CompletionPortObject(win::DWORD concurrency);
  ~CompletionPortObject() override;

  // wake false: posted by the thread reading the source, which takes it.
  void Post(const CompletionPacket& packet, bool wake = true);
  // A filter port was bound / has gone away for good.
  void SourceBound(const std::shared_ptr<CompletionSource>& source = nullptr);
  void SourceGone();
  // The source's token is free: wakes a waiting thread to read it. False
  // when no thread waits here.
  bool OfferToken();

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
  Fifo<CompletionPacket> queue_;
  win::DWORD active_ = 0;  // threads released by this port and not back yet
  int waiting_ = 0;        // threads blocked in Dequeue
  std::weak_ptr<CompletionSource> source_;  // the first bound source
  bool pumping_ = false;   // a waiting thread reads the source
  bool tokenOffered_ = false;  // the source's token was freed since a pump failed
  int bound_ = 0;
  int gone_ = 0;
  bool closed_ = false;
};

}  // namespace zv::platform
