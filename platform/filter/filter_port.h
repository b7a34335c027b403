// A connected filter communication port (client side).
//
// Owns: the socket to the driver stand-in and who reads it, its standby
// receive thread, the reads posted with FilterGetMessage (completed in FIFO
// order into the caller's buffers and announced on the bound completion
// port), messages that arrived while no read was posted, and the
// synchronous requests (FilterReplyMessage, FilterSendMessage) waiting for
// their results, each for a bounded time.
// The socket is read by one thread at a time, the holder of the reader
// token: a thread that waits for the port (a dequeue on the bound
// completion port, a request waiting for its result) reads it itself, so a
// message or result reaches the thread that handles it without a hand-off.
// The receive thread reads only once nobody else has for a moment (every
// worker busy), so the driver's writes never wait for us.
// When the driver closes the port (unload) or the handle is closed, every
// pending read completes with ERROR_INVALID_HANDLE and its overlapped
// record, later calls fail with the HRESULT form of ERROR_INVALID_HANDLE.
// Must not: interpret notifications or replies; they pass byte for byte.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/filter/completion_port_queue.h"
#include "platform/base/handles.h"
#include "platform/base/win32.h"

namespace zv::platform {

class FilterPortObject : public KernelObject,
                         public CompletionSource,
                         public std::enable_shared_from_this<FilterPortObject> {
 public:
  // Takes an fd whose Hello was already accepted. A request whose Result
  // does not come within timeoutMs (real time) fails with
  // HRESULT_FROM_WIN32(ERROR_TIMEOUT).
  FilterPortObject(int fd, std::uint32_t timeoutMs);
  ~FilterPortObject() override;

  // Binds the port to a completion port once; false if already bound.
  bool Bind(const std::shared_ptr<CompletionPortObject>& port, win::ULONG_PTR key);

  win::HRESULT GetMessage(void* buffer, win::DWORD size, win::OVERLAPPED* overlapped);
  // Sends a frame and waits for its Result.
  win::HRESULT Request(std::uint32_t type, const void* body, std::size_t size);

  bool Connected();
  void OnLastHandleClosed() override;

  bool Pump(std::optional<std::chrono::steady_clock::time_point> deadline) override;
  void ReleaseToken() override;
  void Interrupt() override;

 private:
  struct Read {
    void* buffer;
    win::DWORD size;
    win::OVERLAPPED* overlapped;
  };
  struct Waiter {
    bool done = false;
    bool wantsToken = false;
    win::HRESULT hr = win::S_OK;
    std::condition_variable cv;
  };
  enum class ReadStatus { Frame, Interrupted, TimedOut, Ended };

  void ReceiveLoop();
  // wake false: the dequeuing thread that read the message takes it itself.
  void Complete(const Read& read, const std::string* message, win::DWORD error, bool wake = true);
  void Disconnect();
  // With the token held and mutex_ not held: waits for one frame and
  // dispatches it; posted: it completed a read (or the port ended).
  ReadStatus ReadOne(std::optional<std::chrono::steady_clock::time_point> deadline, bool& posted);
  // With mutex_ held: lets go of the token and hands it on.
  void LetGo(std::unique_lock<std::mutex>& lock);

  int fd_;
  std::uint32_t timeoutMs_;
  std::mutex writeMutex_;
  std::mutex mutex_;
  bool connected_ = true;
  std::shared_ptr<CompletionPortObject> completion_;
  win::ULONG_PTR key_ = 0;
  std::deque<Read> reads_;
  std::deque<std::string> messages_;
  std::map<std::uint32_t, Waiter*> waiters_;
  std::uint32_t nextRequest_ = 1;
  // Who holds the reader token: nobody, a thread dequeuing from the bound
  // completion port (it takes what it completes itself), a request waiting
  // for its result, or the receive thread.
  enum class Reader { None, Dequeue, Request, Standby };
  Reader reader_ = Reader::None;
  bool ended_ = false;    // the socket reached its end
  bool standbyGrace_ = false;  // the receive thread sits out its grace period
  int wakeFd_ = -1;       // eventfd: interrupts the token holder's wait
  std::condition_variable standby_;
  std::thread receiver_;
};

}  // namespace zv::platform
