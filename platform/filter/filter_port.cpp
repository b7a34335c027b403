// Filter communication port, client side: see filter_port.h.
#include "platform/filter/filter_port.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "platform/filter/filter_wire.h"

namespace zv::platform {

FilterPortObject::FilterPortObject(int fd, std::uint32_t timeoutMs) : fd_(fd), timeoutMs_(timeoutMs) {
  receiver_ = std::thread([this] { ReceiveLoop(); });
}

FilterPortObject::~FilterPortObject() {
  ::shutdown(fd_, SHUT_RDWR);
  if (receiver_.joinable()) receiver_.join();
  ::close(fd_);
}

void FilterPortObject::OnLastHandleClosed() {
  // Pending reads fail now; then wait until the driver has dropped us (it
  // closes its end), so a new connection made right after is not refused.
  Disconnect();
  ::shutdown(fd_, SHUT_WR);
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
  port->SourceBound();
  if (gone) port->SourceGone();
  return true;
}

bool FilterPortObject::Connected() {
  std::lock_guard lock(mutex_);
  return connected_;
}

void FilterPortObject::Complete(const Read& read, const std::string* message, win::DWORD error) {
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
  if (completion_) completion_->Post(CompletionPacket{bytes, key_, read.overlapped, error});
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
  // them; a driver that is stuck gets a bounded wait.
  if (!waiter.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs_), [&] { return waiter.done; })) {
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

void FilterPortObject::ReceiveLoop() {
  wire::FrameHeader header;
  std::string body;
  while (wire::ReceiveFrame(fd_, header, body)) {
    if (header.type == wire::Frame::Message) {
      std::lock_guard lock(mutex_);
      if (!connected_) continue;  // closing: drain until the driver closes
      if (!reads_.empty()) {
        Read read = reads_.front();
        reads_.pop_front();
        Complete(read, &body, 0);
      } else {
        messages_.push_back(body);
      }
    } else if (header.type == wire::Frame::Result) {
      std::lock_guard lock(mutex_);
      auto it = waiters_.find(header.request);
      if (it != waiters_.end()) {
        it->second->hr = wire::ResultCode(body);
        it->second->done = true;
        it->second->cv.notify_one();
        waiters_.erase(it);
      }
    }
  }
  Disconnect();
}

}  // namespace zv::platform
