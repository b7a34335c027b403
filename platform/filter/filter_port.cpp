// Filter communication port, client side: see filter_port.h.
#include "platform/filter/filter_port.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "platform/filter/filter_wire.h"

namespace zv::platform {
namespace {

// How long the token must have been free before the receive thread reads
// the socket; also how often it looks while the token changes hands (real
// time).
constexpr std::chrono::microseconds kStandbyGrace{1000};
// Two of the largest frames: a whole frame always fits behind a partial one.
constexpr std::size_t kReceiveBuffer = 2 * (wire::kHeaderSize + wire::kMaxBody);
// Strings of messages that waited for a read, kept for the next ones (more
// notifications in flight than reads posted, e.g. one worker answering
// many injectors).
constexpr std::size_t kSpareMessages = 64;

std::uint32_t LittleEndian32(const char* p) {
  return wire::GetU32(std::string_view(p, 4), 0);
}

}  // namespace

FilterPortObject::FilterPortObject(int fd, std::uint32_t timeoutMs)
    : fd_(fd),
      timeoutMs_(timeoutMs),
      wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      rx_(kReceiveBuffer) {
  spareMessages_.reserve(kSpareMessages);
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

void FilterPortObject::Complete(const Read& read, std::string_view message, win::DWORD error, bool wake) {
  win::DWORD bytes = 0;
  if (!message.empty()) {
    bytes = static_cast<win::DWORD>(std::min<std::size_t>(read.size, message.size()));
    std::memcpy(read.buffer, message.data(), bytes);
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
    Complete(read, message, 0);
    if (spareMessages_.size() < kSpareMessages) spareMessages_.push_back(std::move(message));
  } else {
    reads_.push_back(read);
  }
  return win::HR_IO_PENDING;
}

void FilterPortObject::Unlink(Waiter* waiter) {
  for (Waiter** at = &waiters_; *at; at = &(*at)->next) {
    if (*at == waiter) {
      *at = waiter->next;
      return;
    }
  }
}

win::HRESULT FilterPortObject::Request(std::uint32_t type, const void* body, std::size_t size) {
  Waiter waiter;
  {
    std::lock_guard lock(mutex_);
    if (!connected_) return win::HR_INVALID_HANDLE;
    waiter.id = nextRequest_++;
    if (nextRequest_ == 0) nextRequest_ = 1;
    waiter.next = waiters_;
    waiters_ = &waiter;
  }
  bool sent;
  {
    std::lock_guard lock(writeMutex_);
    sent = wire::SendFrame(fd_, static_cast<wire::Frame>(type), waiter.id,
                           std::string_view(static_cast<const char*>(body), size));
  }
  std::unique_lock lock(mutex_);
  if (!sent) {
    if (!waiter.done) Unlink(&waiter);
    return win::HR_INVALID_HANDLE;
  }
  // The driver answers every request and a disconnect answers all of
  // them; a driver that is stuck gets a bounded wait. Whoever holds the
  // token reads our result; when nobody does, we read it ourselves.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
  while (!waiter.done) {
    if (reader_ == Reader::None && !ended_) {
      Take(Reader::Request);
      ReadStatus status = ReadStatus::Frame;
      while (!waiter.done && status == ReadStatus::Frame) {
        lock.unlock();
        bool posted = false;
        status = ReadOne(deadline, posted);
        lock.lock();
      }
      // Nobody needs waking for the token: a worker goes back to its
      // completion port and reads from there; after anyone else the
      // receive thread takes it within a grace period.
      LetGo(false);
      if (status == ReadStatus::TimedOut) break;
      continue;
    }
    waiter.wantsToken = true;
    const bool timedOut = waiter.cv.wait_until(lock, deadline) == std::cv_status::timeout;
    waiter.wantsToken = false;
    if (timedOut) break;
  }
  if (!waiter.done) {
    Unlink(&waiter);
    // A hand-over meant for us may have come with the time-out.
    if (reader_ == Reader::None) HandOn(true);
    return win::HRESULT_FROM_WIN32(win::ERROR_TIMEOUT);
  }
  return waiter.hr;
}

void FilterPortObject::Disconnect() {
  std::lock_guard lock(mutex_);
  if (!connected_) return;
  connected_ = false;
  for (; !reads_.empty(); reads_.pop_front()) Complete(reads_.front(), {}, win::ERROR_INVALID_HANDLE);
  messages_.clear();
  for (Waiter* waiter = waiters_; waiter; waiter = waiter->next) {
    waiter->done = true;
    waiter->hr = win::HR_INVALID_HANDLE;
    waiter->cv.notify_one();
  }
  waiters_ = nullptr;
  if (completion_) completion_->SourceGone();
}

void FilterPortObject::Interrupt() {
  if (wakeFd_ < 0) return;
  std::uint64_t one = 1;
  ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
  (void)ignored;
}

bool FilterPortObject::NextFrame(std::uint32_t& type, std::uint32_t& request, std::string_view& body) {
  for (;;) {
    const std::size_t have = rxEnd_ - rxBegin_;
    std::size_t need = wire::kHeaderSize;
    if (have >= wire::kHeaderSize) {
      const std::uint32_t length = LittleEndian32(&rx_[rxBegin_]);
      if (length > wire::kMaxBody) return false;
      need += length;
      if (have >= need) {
        type = LittleEndian32(&rx_[rxBegin_ + 4]);
        request = LittleEndian32(&rx_[rxBegin_ + 8]);
        body = std::string_view(&rx_[rxBegin_ + wire::kHeaderSize], length);
        rxBegin_ += need;
        if (rxBegin_ == rxEnd_) rxBegin_ = rxEnd_ = 0;
        return true;
      }
    }
    // Room for the whole frame behind what we have.
    if (rxBegin_ + need > rx_.size()) {
      std::memmove(rx_.data(), rx_.data() + rxBegin_, have);
      rxBegin_ = 0;
      rxEnd_ = have;
    }
    const ssize_t n = ::recv(fd_, rx_.data() + rxEnd_, rx_.size() - rxEnd_, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    rxEnd_ += static_cast<std::size_t>(n);
  }
}

FilterPortObject::ReadStatus FilterPortObject::ReadOne(std::optional<std::chrono::steady_clock::time_point> deadline,
                                                       bool& posted) {
  bool interrupted = false;
  // A frame already read (or its first part) needs no wait; the rest of a
  // frame follows its start at once.
  if (rxEnd_ == rxBegin_) {
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
        interrupted = true;  // the frame that came with it first
      }
      break;
    }
  }
  std::uint32_t type = 0, request = 0;
  std::string_view body;
  if (!NextFrame(type, request, body)) {
    Disconnect();
    std::lock_guard lock(mutex_);
    ended_ = true;
    posted = true;  // the failed reads, if any
    return ReadStatus::Ended;
  }
  std::lock_guard lock(mutex_);
  if (type == static_cast<std::uint32_t>(wire::Frame::Message)) {
    if (connected_) {  // closing: drain until the driver closes
      if (!reads_.empty()) {
        Read read = reads_.front();
        reads_.pop_front();
        Complete(read, body, 0, reader_ != Reader::Dequeue);
        posted = true;
      } else {
        // Waits for a read, in a string a message before it left behind.
        std::string message;
        if (!spareMessages_.empty()) {
          message = std::move(spareMessages_.back());
          spareMessages_.pop_back();
        }
        message.assign(body);
        messages_.push_back(std::move(message));
      }
    }
  } else if (type == static_cast<std::uint32_t>(wire::Frame::Result)) {
    for (Waiter* waiter = waiters_; waiter; waiter = waiter->next) {
      if (waiter->id != request) continue;
      waiter->hr = wire::ResultCode(body);
      waiter->done = true;
      waiter->cv.notify_one();
      Unlink(waiter);
      break;
    }
  }
  return interrupted ? ReadStatus::Interrupted : ReadStatus::Frame;
}

bool FilterPortObject::TakeToken() {
  // Without a way to interrupt its wait, a dequeuing thread never reads:
  // the receive thread does it all.
  if (wakeFd_ < 0) return false;
  std::lock_guard lock(mutex_);
  if (reader_ != Reader::None || ended_) {
    // The receive thread gives way to a thread that waits for the port.
    if (reader_ == Reader::Standby) Interrupt();
    return false;
  }
  Take(Reader::Dequeue);
  return true;
}

void FilterPortObject::Pump(std::optional<std::chrono::steady_clock::time_point> deadline) {
  bool posted = false;
  while (!posted) {
    if (ReadOne(deadline, posted) != ReadStatus::Frame) break;
  }
}

void FilterPortObject::ReleaseToken(bool comingBack) {
  std::lock_guard lock(mutex_);
  LetGo(!comingBack);
}

void FilterPortObject::Take(Reader reader) {
  reader_ = reader;
  ++takes_;
}

void FilterPortObject::LetGo(bool offer) {
  reader_ = Reader::None;
  freedAt_ = std::chrono::steady_clock::now();
  HandOn(offer);
}

void FilterPortObject::HandOn(bool offer) {
  if (ended_ || !connected_) {
    // Closing: the receive thread drains until the driver closes.
    standby_.notify_all();
    return;
  }
  // The receive thread looks after a token nobody takes; asleep, it needs
  // waking (at most once per grace period: it then looks by itself).
  if (standbyAsleep_) standby_.notify_one();
  // A request waiting for its result first, then, when asked to, a thread
  // waiting on the completion port.
  for (Waiter* waiter = waiters_; waiter; waiter = waiter->next) {
    if (waiter->wantsToken) {
      waiter->cv.notify_one();
      return;
    }
  }
  if (offer && completion_) completion_->OfferToken();
}

void FilterPortObject::ReceiveLoop() {
  std::unique_lock lock(mutex_);
  std::uint64_t seenTakes = takes_;
  for (;;) {
    if (ended_) break;
    if (reader_ != Reader::None) {
      if (!connected_) {
        standby_.wait(lock);  // closing: woken when the reader lets go
      } else if (takes_ != seenTakes) {
        // The token changes hands: look again after a grace period.
        seenTakes = takes_;
        standby_.wait_for(lock, kStandbyGrace);
      } else {
        // One reader kept it for a whole period: sleep until it lets go.
        standbyAsleep_ = true;
        standby_.wait(lock);
        standbyAsleep_ = false;
      }
      continue;
    }
    // Free: read once nobody took it for a grace period; closing, drain
    // until the driver closes, at once.
    if (connected_) {
      const auto due = freedAt_ + kStandbyGrace;
      if (std::chrono::steady_clock::now() < due) {
        standby_.wait_until(lock, due);
        continue;
      }
    }
    Take(Reader::Standby);
    lock.unlock();
    bool posted = false;
    ReadStatus status;
    do {
      status = ReadOne(std::nullopt, posted);
    } while (status == ReadStatus::Frame);
    lock.lock();
    LetGo(true);
    seenTakes = takes_;
  }
}

}  // namespace zv::platform
