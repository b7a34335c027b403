// A connected filter communication port (client side).
//
// Owns: the socket to the driver stand-in, its receive thread, the reads
// posted with FilterGetMessage (completed in FIFO order into the caller's
// buffers and announced on the bound completion port), messages that
// arrived while no read was posted, and the synchronous requests
// (FilterReplyMessage, FilterSendMessage) waiting for their results, each
// for a bounded time.
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
#include <string>
#include <thread>

#include "platform/filter/completion_port_queue.h"
#include "platform/base/handles.h"
#include "platform/base/win32.h"

namespace zv::platform {

class FilterPortObject : public KernelObject {
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

 private:
  struct Read {
    void* buffer;
    win::DWORD size;
    win::OVERLAPPED* overlapped;
  };
  struct Waiter {
    bool done = false;
    win::HRESULT hr = win::S_OK;
    std::condition_variable cv;
  };

  void ReceiveLoop();
  void Complete(const Read& read, const std::string* message, win::DWORD error);
  void Disconnect();

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
  std::thread receiver_;
};

}  // namespace zv::platform
