// Filter communication port, client side: see filter_port.h.
#include "platform/filter/filter_port.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "platform/filter/filter_wire.h"

namespace zv::platform {
namespace {

// How long the token must have been free, with nobody asking for it,
// before the receive thread reads the socket (real time).
constexpr std::chrono::microseconds kStandbyGrace{1000};

}  // namespace

FilterPortObject::FilterPortObject(int fd, std::uint32_t timeoutMs)
    : fd_(fd), timeoutMs_(timeoutMs), wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  receiver_ = std::thread([this] { ReceiveLoop(); });
}

FilterPortObject::~FilterPortObject() {
  ::shutdown(fd_, SHUT_RDWR);
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
  }
  standby_.notify_all();
  Interrupt();
  if (receiver_.joinable()) receiver_.join();
  ::close(fd_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void FilterPortObject::OnLastHandleClosed() {
  // Pending reads fail now; then wait until the driver has dropped us (it
  // closes its end), so a new connection made right after is not refused.
  Disconnect();
  ::shutdown(fd_, SHUT_WR);
  standby_.notify_all();
  if (receiver_.joinable() && receiver_.get_id() != std::this_thread::get_id()) receiver_.join();
}

bool FilterPortObject::Bind(const std::shared_ptr<CompletionPortObject>& port, win::ULONG_PTR key) {
  bool gone;
  {
    std::lock_guard lock(mutex_);
    if (completion_) return false;
    completion_ = port;
    key_ = key;
    gone = !connected_;
  }
  port->SourceBound(shared_from_this());
  if (gone) port->SourceGone();
  return true;
}

bool FilterPortObject::Connected() {
  std::lock_guard lock(mutex_);
  return connected_;
}

void FilterPortObject::Complete(const Read& read, const std::string* message, win::DWORD error, bool wake) {
  // Caller holds mutex_.
  win::DWORD bytes = 0;
  if (message) {
    bytes = static_cast<win::DWORD>(std::min<std::size_t>(read.size, message->size()));
    std::memcpy(read.buffer, message->data(), bytes);
  }
  if (read.overlapped) {
    read.overlapped->Internal = error == 0 ? 0 : 0xC0000008;  // STATUS_INVALID_HANDLE
    read.overlapped->InternalHigh = bytes;
  }
  if (completion_) completion_->Post(CompletionPacket{bytes, key_, read.overlapped, error}, wake);
}

win::HRESULT FilterPortObject::GetMessage(void* buffer, win::DWORD size, win::OVERLAPPED* overlapped) {
  if (!buffer || !overlapped) return win::E_INVALIDARG;
  std::lock_guard lock(mutex_);
  if (!connected_) return win::HR_INVALID_HANDLE;
  Read read{buffer, size, overlapped};
  if (!messages_.empty()) {
    std::string message = std::move(messages_.front());
    messages_.pop_front();
    Complete(read, &message, 0);
  } else {
    reads_.push_back(read);
  }
  return win::HR_IO_PENDING;
}

win::HRESULT FilterPortObject::Request(std::uint32_t type, const void* body, std::size_t size) {
  Waiter waiter;
  std::uint32_t id;
  {
    std::lock_guard lock(mutex_);
    if (!connected_) return win::HR_INVALID_HANDLE;
    id = nextRequest_++;
    if (nextRequest_ == 0) nextRequest_ = 1;
    waiters_[id] = &waiter;
  }
  bool sent;
  {
    std::lock_guard lock(writeMutex_);
    sent = wire::SendFrame(fd_, static_cast<wire::Frame>(type), id,
                           std::string_view(static_cast<const char*>(body), size));
  }
  std::unique_lock lock(mutex_);
  if (!sent) {
    waiters_.erase(id);
    return win::HR_INVALID_HANDLE;
  }
  // The driver answers every request and a disconnect answers all of
  // them; a driver that is stuck gets a bounded wait. Whoever holds the
  // token reads our result; when nobody does, we read it ourselves.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
  while (!waiter.done) {
    if (reader_ == Reader::None && !ended_) {
      reader_ = Reader::Request;
      ReadStatus status = ReadStatus::Frame;
      while (!waiter.done && status == ReadStatus::Frame) {
        lock.unlock();
        bool posted = false;
        status = ReadOne(deadline, posted);
        lock.lock();
      }
      LetGo(lock);
      if (status == ReadStatus::TimedOut) break;
      continue;
    }
    waiter.wantsToken = true;
    const bool timedOut = waiter.cv.wait_until(lock, deadline) == std::cv_status::timeout;
    waiter.wantsToken = false;
    if (timedOut) break;
  }
  if (!waiter.done) {
    waiters_.erase(id);
    return win::HRESULT_FROM_WIN32(win::ERROR_TIMEOUT);
  }
  return waiter.hr;
}

void FilterPortObject::Disconnect() {
  std::lock_guard lock(mutex_);
  if (!connected_) return;
  connected_ = false;
  for (const Read& read : reads_) Complete(read, nullptr, win::ERROR_INVALID_HANDLE);
  reads_.clear();
  messages_.clear();
  for (auto& [id, waiter] : waiters_) {
    waiter->done = true;
    waiter->hr = win::HR_INVALID_HANDLE;
    waiter->cv.notify_one();
  }
  waiters_.clear();
  if (completion_) completion_->SourceGone();
}

void FilterPortObject::Interrupt() {
  if (wakeFd_ < 0) return;
  std::uint64_t one = 1;
  ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
  (void)ignored;
}

FilterPortObject::ReadStatus FilterPortObject::ReadOne(std::optional<std::chrono::steady_clock::time_point> deadline,
                                                       bool& posted) {
  pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  for (;;) {
    int timeout = -1;
    if (deadline) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return ReadStatus::TimedOut;
      timeout = static_cast<int>(std::min<long long>(left.count(), 1 << 30));
    }
    int rc = ::poll(fds, wakeFd_ >= 0 ? 2 : 1, timeout);
    if (rc < 0 && errno == EINTR) continue;
    if (rc == 0) return ReadStatus::TimedOut;
    if (rc > 0 && (fds[1].revents & POLLIN)) {
      std::uint64_t count;
      ssize_t ignored = ::read(wakeFd_, &count, sizeof count);
      (void)ignored;
      if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) return ReadStatus::Interrupted;
    }
    break;
  }
  wire::FrameHeader header;
  std::string body;
  if (!wire::ReceiveFrame(fd_, header, body)) {
    Disconnect();
    std::lock_guard lock(mutex_);
    ended_ = true;
    posted = true;  // the failed reads, if any
    return ReadStatus::Ended;
  }
  std::lock_guard lock(mutex_);
  if (header.type == wire::Frame::Message) {
    if (!connected_) return ReadStatus::Frame;  // closing: drain until the driver closes
    if (!reads_.empty()) {
      Read read = reads_.front();
      reads_.pop_front();
      Complete(read, &body, 0, reader_ != Reader::Dequeue);
      posted = true;
    } else {
      messages_.push_back(std::move(body));
    }
  } else if (header.type == wire::Frame::Result) {
    auto it = waiters_.find(header.request);
    if (it != waiters_.end()) {
      it->second->hr = wire::ResultCode(body);
      it->second->done = true;
      it->second->cv.notify_one();
      waiters_.erase(it);
    }
  }
  return ReadStatus::Frame;
}

bool FilterPortObject::Pump(std::optional<std::chrono::steady_clock::time_point> deadline) {
  // Without a way to interrupt its wait, a dequeuing thread never reads:
  // the receive thread does it all.
  if (wakeFd_ < 0) return false;
  std::unique_lock lock(mutex_);
  if (reader_ != Reader::None || ended_) {
    // The receive thread gives way to a thread that waits for the port.
    if (reader_ == Reader::Standby) Interrupt();
    return false;
  }
  reader_ = Reader::Dequeue;
  lock.unlock();
  bool posted = false;
  while (!posted) {
    if (ReadOne(deadline, posted) != ReadStatus::Frame) break;
  }
  return true;
}

void FilterPortObject::ReleaseToken() {
  std::unique_lock lock(mutex_);
  LetGo(lock);
}

void FilterPortObject::LetGo(std::unique_lock<std::mutex>&) {
  reader_ = Reader::None;
  if (ended_ || !connected_) {
    // Closing: the receive thread drains until the driver closes.
    standby_.notify_all();
    return;
  }
  // A request waiting for its result first, then a thread waiting on the
  // completion port, else the receive thread.
  for (auto& [id, waiter] : waiters_) {
    if (waiter->wantsToken) {
      waiter->cv.notify_one();
      return;
    }
  }
  if (completion_ && completion_->OfferToken()) return;
  // In its grace period the receive thread looks again by itself.
  if (!standbyGrace_) standby_.notify_one();
}

void FilterPortObject::ReceiveLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (ended_) break;
    if (reader_ != Reader::None) {
      standby_.wait(lock);
      continue;
    }
    // Closing: drain until the driver closes, at once. Otherwise only once
    // nobody has taken the token for a moment.
    if (connected_) {
      standbyGrace_ = true;
      const bool taken = standby_.wait_for(lock, kStandbyGrace,
                                           [&] { return reader_ != Reader::None || ended_ || !connected_; });
      standbyGrace_ = false;
      if (taken) continue;
    }
    if (reader_ != Reader::None || ended_) continue;
    reader_ = Reader::Standby;
    lock.unlock();
    bool posted = false;
    ReadStatus status;
    do {
      status = ReadOne(std::nullopt, posted);
    } while (status == ReadStatus::Frame);
    lock.lock();
    LetGo(lock);
  }
}

}  // namespace zv::platform
