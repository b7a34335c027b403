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
// A worker that took a message lets go of the token without waking anyone:
// it reads its reply's result itself and then the next message. The
// receive thread reads only once the token has been free for a moment
// (every worker busy), so the driver's writes never wait for us; it looks
// at most about once per moment while the token changes hands, and sleeps
// while one reader keeps it.
// Reading, posting and answering allocate nothing once the port's queues
// have reached their sizes: frames are read into the port's own buffer,
// often two in one call.
// When the driver closes the port (unload) or the handle is closed, every
// pending read completes with ERROR_INVALID_HANDLE and its overlapped
// record, later calls fail with the HRESULT form of ERROR_INVALID_HANDLE.
// Must not: interpret notifications or replies; they pass byte for byte.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/filter/completion_port_queue.h"
#include "platform/filter/fifo.h"
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

  bool TakeToken() override;
  void Pump(std::optional<std::chrono::steady_clock::time_point> deadline) override;
  void ReleaseToken(bool comingBack) override;
  void Interrupt() override;

 private:
  struct Read {
    void* buffer = nullptr;
    win::DWORD size = 0;
    win::OVERLAPPED* overlapped = nullptr;
  };
  // A request waiting for its Result; lives on the requesting thread's
  // stack, linked into waiters_ while it waits.
  struct Waiter {
    std::uint32_t id = 0;
    Waiter* next = nullptr;
    bool done = false;
    bool wantsToken = false;
    win::HRESULT hr = win::S_OK;
    std::condition_variable cv;
  };
  enum class ReadStatus { Frame, Interrupted, TimedOut, Ended };
  // Who holds the reader token: nobody, a thread dequeuing from the bound
  // completion port (it takes what it completes itself), a request waiting
  // for its result, or the receive thread.
  enum class Reader { None, Dequeue, Request, Standby };

  void ReceiveLoop();
  // With mutex_ held. wake false: the dequeuing thread that read the
  // message takes it itself.
  void Complete(const Read& read, std::string_view message, win::DWORD error, bool wake = true);
  void Disconnect();
  // With the token held and mutex_ not held: waits for one frame and
  // dispatches it; posted: it completed a read (or the port ended).
  // Interrupted also when a frame came with the interruption (it was
  // dispatched).
  ReadStatus ReadOne(std::optional<std::chrono::steady_clock::time_point> deadline, bool& posted);
  // With the token held: the next whole frame from rx_, reading the
  // socket when rx_ holds none. False when the socket ended or broke the
  // protocol.
  bool NextFrame(std::uint32_t& type, std::uint32_t& request, std::string_view& body);
  // With mutex_ held.
  void Take(Reader reader);
  void LetGo(bool offer);
  void HandOn(bool offer);
  void Unlink(Waiter* waiter);

  int fd_;
  std::uint32_t timeoutMs_;
  std::mutex writeMutex_;
  std::mutex mutex_;
  bool connected_ = true;
  std::shared_ptr<CompletionPortObject> completion_;
  win::ULONG_PTR key_ = 0;
  Fifo<Read> reads_;
  Fifo<std::string> messages_;
  std::vector<std::string> spareMessages_;
  Waiter* waiters_ = nullptr;
  std::uint32_t nextRequest_ = 1;
  Reader reader_ = Reader::None;
  std::uint64_t takes_ = 0;  // how often the token was taken
  std::chrono::steady_clock::time_point freedAt_;  // when it was last let go
  bool ended_ = false;    // the socket reached its end
  bool standbyAsleep_ = false;  // the receive thread waits for the token to be let go
  int wakeFd_ = -1;       // eventfd: interrupts the token holder's wait
  // Frames read but not yet dispatched, [rxBegin_, rxEnd_); only the token
  // holder touches them.
  std::vector<char> rx_;
  std::size_t rxBegin_ = 0;
  std::size_t rxEnd_ = 0;
  std::condition_variable standby_;
  std::thread receiver_;
};

}  // namespace zv::platform
