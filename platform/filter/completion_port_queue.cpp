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

void CompletionPortObject::Post(const CompletionPacket& packet, bool wake) {
  std::shared_ptr<CompletionSource> pumper;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    queue_.push_back(packet);
    // Nobody blocked here to take it: the thread reading the source is.
    if (wake && waiting_ == 0 && pumping_) pumper = source_.lock();
  }
  if (wake) cv_.notify_one();
  if (pumper) pumper->Interrupt();
}

void CompletionPortObject::SourceBound(const std::shared_ptr<CompletionSource>& source) {
  std::lock_guard lock(mutex_);
  ++bound_;
  if (source && !source_.lock()) source_ = source;
}

bool CompletionPortObject::OfferToken() {
  {
    std::lock_guard lock(mutex_);
    // Also seen by a thread between a failed pump and its wait.
    tokenOffered_ = true;
    if (waiting_ == 0 || closed_) return false;
  }
  cv_.notify_one();
  return true;
}

void CompletionPortObject::SourceGone() {
  {
    std::lock_guard lock(mutex_);
    ++gone_;
  }
  cv_.notify_all();
}

void CompletionPortObject::ReleaseSlot() {
  std::shared_ptr<CompletionSource> pumper;
  {
    std::lock_guard lock(mutex_);
    if (active_ > 0) --active_;
    if (pumping_ && !queue_.empty()) pumper = source_.lock();
  }
  cv_.notify_one();
  if (pumper) pumper->Interrupt();
}

void CompletionPortObject::Wake() {
  std::shared_ptr<CompletionSource> pumper;
  {
    std::lock_guard lock(mutex_);
    if (pumping_) pumper = source_.lock();
  }
  cv_.notify_all();
  if (pumper) pumper->Interrupt();
}

void CompletionPortObject::OnLastHandleClosed() {
  std::shared_ptr<CompletionSource> pumper;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    queue_.clear();
    if (pumping_) pumper = source_.lock();
  }
  cv_.notify_all();
  if (pumper) pumper->Interrupt();
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
  auto take = [&] {
    out = queue_.front();
    queue_.pop_front();
    ++active_;
  };
  // False after a pump found another thread reading the source: wait to
  // be woken before trying again.
  bool mayPump = true;
  for (;;) {
    if (closed_) return Result::Gone;
    if (!queue_.empty() && active_ < concurrency_) {
      take();
      lock.unlock();
      activeSlot.port = weak_from_this();
      return Result::Packet;
    }
    if (queue_.empty() && bound_ > 0 && gone_ >= bound_) return Result::Gone;
    if (cancelled && cancelled()) return Result::Cancelled;
    if (timed && std::chrono::steady_clock::now() >= deadline) return Result::Timeout;
    // Nothing queued: read the source ourselves while nobody else does.
    std::shared_ptr<CompletionSource> source =
        mayPump && queue_.empty() && !pumping_ ? source_.lock() : nullptr;
    if (source) {
      pumping_ = true;
      tokenOffered_ = false;
      lock.unlock();
      const bool holding = source->TakeToken();
      lock.lock();
      if (!holding) {
        pumping_ = false;
        if (!tokenOffered_) mayPump = false;
        continue;  // what was posted while we were away is seen first
      }
      // What was posted, closed or cancelled before the token was ours
      // interrupted the thread that held it then, not us: look first.
      if (queue_.empty() && !closed_ && !(bound_ > 0 && gone_ >= bound_) && !(cancelled && cancelled())) {
        lock.unlock();
        source->Pump(timed ? std::optional(deadline) : std::nullopt);
        lock.lock();
      }
      pumping_ = false;
      const bool took = !closed_ && !queue_.empty() && active_ < concurrency_;
      if (took) take();
      lock.unlock();
      source->ReleaseToken(took);
      if (took) {
        activeSlot.port = weak_from_this();
        return Result::Packet;
      }
      lock.lock();
      continue;
    }
    ++waiting_;
    if (timed) {
      cv_.wait_until(lock, deadline);
    } else {
      cv_.wait(lock);
    }
    --waiting_;
    mayPump = true;
  }
}

}  // namespace zv::platform
