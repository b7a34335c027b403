// Completion port object: see completion_port_queue.h.
#include "platform/filter/completion_port_queue.h"

#include <thread>

namespace zv::platform {

// Each thread counts against the concurrency of the last port that released
// it, until it comes back to that port's queue or ends; as on Windows, at
// most `concurrency` released threads run at once. (Windows also stops
// counting a thread while it blocks elsewhere; we cannot see that.)
struct ActiveSlot {
  std::weak_ptr<CompletionPortObject> port;
  void Release() {
    if (auto p = port.lock()) p->ReleaseSlot();
    port.reset();
  }
  ~ActiveSlot() { Release(); }
};

namespace {
thread_local ActiveSlot activeSlot;
}

CompletionPortObject::CompletionPortObject(win::DWORD concurrency)
    : concurrency_(concurrency != 0 ? concurrency
                                    : std::max<win::DWORD>(1, std::thread::hardware_concurrency())) {}

CompletionPortObject::~CompletionPortObject() = default;

void CompletionPortObject::Post(const CompletionPacket& packet) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    queue_.push_back(packet);
  }
  cv_.notify_one();
}

void CompletionPortObject::SourceBound() {
  std::lock_guard lock(mutex_);
  ++bound_;
}

void CompletionPortObject::SourceGone() {
  {
    std::lock_guard lock(mutex_);
    ++gone_;
  }
  cv_.notify_all();
}

void CompletionPortObject::ReleaseSlot() {
  {
    std::lock_guard lock(mutex_);
    if (active_ > 0) --active_;
  }
  cv_.notify_one();
}

void CompletionPortObject::Wake() {
  { std::lock_guard lock(mutex_); }
  cv_.notify_all();
}

void CompletionPortObject::OnLastHandleClosed() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    queue_.clear();
  }
  cv_.notify_all();
}

std::size_t CompletionPortObject::QueuedForTest() {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

CompletionPortObject::Result CompletionPortObject::Dequeue(std::optional<std::chrono::nanoseconds> wait,
                                                           CompletionPacket& out,
                                                           const std::function<bool()>& cancelled) {
  // Coming back to the queue ends this thread's previous turn here.
  activeSlot.Release();

  std::unique_lock lock(mutex_);
  const bool timed = wait.has_value();
  const auto deadline = std::chrono::steady_clock::now() + (timed ? *wait : std::chrono::nanoseconds(0));
  for (;;) {
    if (closed_) return Result::Gone;
    if (!queue_.empty() && active_ < concurrency_) {
      out = queue_.front();
      queue_.pop_front();
      ++active_;
      lock.unlock();
      activeSlot.port = weak_from_this();
      return Result::Packet;
    }
    if (queue_.empty() && bound_ > 0 && gone_ >= bound_) return Result::Gone;
    if (cancelled && cancelled()) return Result::Cancelled;
    if (timed) {
      if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && std::chrono::steady_clock::now() >= deadline) {
        if (!queue_.empty() && active_ < concurrency_) continue;
        return Result::Timeout;
      }
    } else {
      cv_.wait(lock);
    }
  }
}

}  // namespace zv::platform
