// The driver port client and its worker pool (see port_client.h).
//
// Owns: the pool's message buffers (one block per pool, never allocated per
// notification), the pool's thread handles, the worker context.
// Must not: touch a buffer while a read on it is pending (the port owns it
// then), or free buffers while a thread of the run may still use them.
#include "driver_channel/port_client.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "driver_channel/explain.h"
#include "driver_channel/records.h"
#include "driver_channel/signals.h"
#include "log/format.h"
#include "log/log.h"
#include "platform/base/clock.h"
#include "platform/base/debug_output.h"
#include "platform/filter/filter_api.h"
#include "platform/base/handles.h"
#include "platform/threads/sync_api.h"

namespace zv::channel {
namespace {

using platform::CompletionPorts;
using platform::Filters;
using platform::Threads;

std::atomic<win::HANDLE> g_sharedPort{win::INVALID_HANDLE_VALUE};
std::atomic<std::int32_t> g_liveWorkers{0};
std::atomic<FreeProcessTest> g_freeProcessTest{nullptr};

constexpr wchar_t kServiceTag[] = L"ServiceThreadFunc";
constexpr wchar_t kWorkerTag[] = L"ScannerWorker";
constexpr win::DWORD kCleanupWaitMs = 2000;
// A failed read is re-posted after this pause (clock milliseconds).
constexpr win::DWORD kFailedReadPauseMs = 10;
// The pool's wait may fail this many times in a row, with this pause after
// each, before the run gives up and cleans up.
constexpr int kMaxFailedWaits = 10;
constexpr win::DWORD kFailedWaitPauseMs = 100;

template <class... A>
void Console(std::string_view format, const A&... args) {
  platform::ConsoleWrite(log::FormatNarrow(format, args...));
}

// Case-sensitive search in the notification's path, bounded by the field
// and by its first zero unit; allocates nothing.
template <std::size_t N>
bool PathContains(const _MXRED_NOTIFICATION& n, const char16_t (&needle)[N]) {
  const std::uint16_t* begin = n.Path;
  const std::uint16_t* end = std::find(begin, begin + kPathUnits, std::uint16_t{0});
  return std::search(begin, end, needle, needle + (N - 1),
                     [](std::uint16_t a, char16_t b) { return a == static_cast<std::uint16_t>(b); }) != end;
}

// Another vendor's product whose file activity is never put to the engines.
bool SkipDispatch(const _MXRED_NOTIFICATION& n) {
  if (n.Kind != kKindFileOpen) return false;
  if (PathContains(n, u"TmProxy") || PathContains(n, u"\\Trend Micro\\")) return true;
  FreeProcessTest isFree = g_freeProcessTest.load(std::memory_order_acquire);
  return isFree != nullptr && isFree(n.ProcessId);
}

void* BufferAddressOf(const win::OVERLAPPED* overlapped) {
  // Printed even for a null record, as the address the worker would use.
  return reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(overlapped) - kMessageReadSize);
}

win::HRESULT PostRead(win::HANDLE port, MXRED_MESSAGE* message) {
  message->Overlapped = win::OVERLAPPED{};
  return Filters::Get().FilterGetMessage(port, message, kMessageReadSize, &message->Overlapped);
}

// Everything the workers of one run may touch. Released only once every
// thread of the run is known to have ended.
struct RunMemory {
  WorkerContext context;
  std::vector<std::unique_ptr<MXRED_MESSAGE[]>> blocks;
};

bool ThreadStillActive(win::HANDLE thread) {
  win::DWORD code = 0;
  return Threads::Get().GetExitCodeThread(thread, &code) && code == win::STILL_ACTIVE;
}

}  // namespace

win::HANDLE SharedPortHandle() { return g_sharedPort.load(std::memory_order_acquire); }
void SetSharedPortHandle(win::HANDLE port) { g_sharedPort.store(port, std::memory_order_release); }
std::int32_t LiveWorkerCount() { return g_liveWorkers.load(std::memory_order_acquire); }
void SetFreeProcessTest(FreeProcessTest test) { g_freeProcessTest.store(test, std::memory_order_release); }

win::DWORD ScannerWorker(void* parameter) {
  const WorkerContext& context = *static_cast<const WorkerContext*>(parameter);
  platform::OutputDebugStringW(L"scanworkker begin");

  // Reused for every notification: only the header and the two decision
  // bytes change, the rest stays zero.
  _MXRED_REPLY_MESSAGE reply;
  std::memset(&reply, 0, sizeof(reply));
  // The lines of a decision someone asked about (explain.h); empty and
  // unused for every other message.
  log::DecisionLines explanation;

  win::HRESULT result = win::S_OK;
  for (;;) {
    win::DWORD bytes = 0;
    win::ULONG_PTR key = 0;
    win::OVERLAPPED* overlapped = nullptr;
    if (!CompletionPorts::Get().GetQueuedCompletionStatus(context.CompletionPort, &bytes, &key, &overlapped,
                                                          win::INFINITE)) {
      win::DWORD error = platform::GetLastError();
      log::LogWrite(1, kWorkerTag,
                    L"<ERROR> (ERROR:%d)=GetQueuedCompletionStatus(outSize=%d, key=%p, pOvlp=%p, message=%p)", error,
                    bytes, reinterpret_cast<void*>(key), overlapped, BufferAddressOf(overlapped));
      if (error == win::ERROR_INVALID_HANDLE || overlapped == nullptr) {
        // The buffer of a failed completion, if any, is dropped with the worker.
        result = win::HRESULT_FROM_WIN32(error);
        break;
      }
      // Only that read failed: its buffer goes back to the port, so failed
      // reads never use up the pool's buffers. The pause keeps a port that
      // fails every read from spinning the worker.
      platform::Sleep(kFailedReadPauseMs);
      win::HRESULT hr = PostRead(context.Port, MXRED_MESSAGE::FromOverlapped(overlapped));
      if (hr != win::HR_IO_PENDING) {
        log::LogWrite(1, kWorkerTag, L"<ERROR> (ERROR:0x%08X)=FilterGetMessage()", hr);
        result = hr;
        break;
      }
      continue;
    }
    if (overlapped == nullptr) continue;  // a completion that carries no read

    MXRED_MESSAGE* message = MXRED_MESSAGE::FromOverlapped(overlapped);
    _MXRED_NOTIFICATION& n = message->Notification;

    // The one read of the mark per message; unmarked messages collect nothing.
    const bool explain = message->ExplainMark == kExplainMark;
    {
      std::optional<log::ScopedDecision> deciding;
      if (explain) {
        explanation.Clear();
        deciding.emplace(explanation);
      }
      if (n.Kind == kKindProcess) {
        log::LogWrite(8, kWorkerTag, L"ZVORX , ProcessNotify():  Success FltSendMessagepid=%d, ppid=%d, create=%d",
                      n.ProcessId, n.Param1, n.Param2);
      }

      reply.Allow = 1;
      reply.AuxFlag = 0;
      if (!SkipDispatch(n)) NotificationSignal(&n, &reply);
    }
    // Before the reply, so the driver holds the lines when the decision
    // reaches whoever asked.
    if (explain) SendExplanation(context.Port, message->MessageId, explanation);

    if (KindExpectsReply(n.Kind)) {
      reply.Status = 0;
      reply.MessageId = message->MessageId;
      win::HRESULT hr = Filters::Get().FilterReplyMessage(context.Port, &reply, kReplySize);
      if (hr == win::HR_FLT_NO_WAITER_FOR_REPLY) {
        log::LogWrite(1, kWorkerTag, L"<ERROR> (ERROR:0x%08X)=FilterReplyMessage(%ws) [TIME_OUT]", hr,
                      n.SourcePath());
      } else if (win::FAILED(hr)) {
        std::wstring path = n.SourcePath();
        Console("[TN_QUERY_REDIRECT] Error replying message. Error = 0x%X  %ws\n", hr, path);
        log::LogWrite(1, kWorkerTag, L"<ERROR> (ERROR:0x%08X)=FilterReplyMessage(%ws)", hr, path);
        result = hr;
        break;
      }
    }

    win::HRESULT hr = PostRead(context.Port, message);
    if (hr != win::HR_IO_PENDING) {
      log::LogWrite(1, kWorkerTag, L"<ERROR> (ERROR:0x%08X)=FilterGetMessage()", hr);
      result = hr;
      break;
    }
  }

  if (win::FAILED(result)) {
    if (result == win::HR_INVALID_HANDLE) {
      Console("ZVORX: Port is disconnected, probably due to scanner filter unloading.\n");
      log::LogWrite(1, kWorkerTag, L"<ERROR> Port is disconnected, probably due to mxred filter unloading.");
    } else {
      Console("ZVORX: Unknown error occured. Error = 0x%X\n", result);
      log::LogWrite(1, kWorkerTag, L"<ERROR> [Thread=%d] Unknown error occured. Error = 0x%X",
                    Threads::Get().GetCurrentThreadId(), result);
    }
  }
  // A buffer this worker held is simply not re-posted; the pool's block is
  // released by ServiceThreadFunc's clean-up.
  return static_cast<win::DWORD>(result);
}

win::DWORD RunPortClient(win::DWORD poolSize) {
  poolSize = std::clamp<win::DWORD>(poolSize, 1, win::MAXIMUM_WAIT_OBJECTS);
  Console("ZVORX: Connecting to the filter ...\n");

  win::HANDLE port = nullptr;
  win::HRESULT hr = Filters::Get().FilterConnectCommunicationPort(kPortName, 0, nullptr, 0, nullptr, &port);
  if (win::FAILED(hr)) {
    Console("ERROR: Connecting to filter port: 0x%08x\n", hr);
    log::LogWrite(1, kServiceTag, L"<ERROR> (ERROR:0x%08X)=FilterConnectCommunicationPort()", hr);
    return 2;
  }

  win::HANDLE completion = CompletionPorts::Get().CreateIoCompletionPort(port, nullptr, 0, poolSize);
  if (completion == nullptr) {
    win::DWORD error = platform::GetLastError();
    Console("ERROR: Creating completion port: %d\n", error);
    log::LogWrite(1, kServiceTag, L"<ERROR> (ERROR:%d)=CreateIoCompletionPort()", error);
    platform::CloseHandle(port);
    return 3;
  }

  Console("ZVORX: Port = 0x%p Completion = 0x%p\n", port, completion);
  SetSharedPortHandle(port);
  auto memory = std::make_unique<RunMemory>();
  memory->context.Port = port;
  memory->context.CompletionPort = completion;

  std::vector<win::HANDLE> threads(poolSize, nullptr);
  win::DWORD result = 0;

  for (;;) {
    // Pool start: the pool's buffers in one block, reused by re-posting.
    std::unique_ptr<MXRED_MESSAGE[]> block(new (std::nothrow) MXRED_MESSAGE[poolSize * kReadsPerWorker]());
    if (!block) {
      g_liveWorkers = 0;
      result = win::ERROR_NOT_ENOUGH_MEMORY;
      break;
    }
    MXRED_MESSAGE* buffers = block.get();
    memory->blocks.push_back(std::move(block));

    bool started = true;
    for (win::DWORD i = 0; i < poolSize && started; ++i) {
      win::DWORD threadId = 0;
      threads[i] = Threads::Get().CreateThread(nullptr, 0, ScannerWorker, &memory->context, 0, &threadId);
      if (threads[i] == nullptr) {
        win::DWORD error = platform::GetLastError();
        Console("ERROR: Couldn't create thread: %d\n", error);
        log::LogWrite(1, kServiceTag, L"<ERROR> (ERROR:%d)=CreateThread()", error);
        g_liveWorkers = 0;
        result = error;
        started = false;
        break;
      }
      for (win::DWORD j = 0; j < kReadsPerWorker; ++j) {
        hr = PostRead(port, &buffers[i * kReadsPerWorker + j]);
        if (hr != win::HR_IO_PENDING) {
          log::LogWrite(1, kServiceTag, L"<ERROR> (ERROR:0x%08X)=FilterGetMessage()", hr);
          g_liveWorkers = 0;
          result = static_cast<win::DWORD>(hr);
          started = false;
          break;
        }
      }
    }
    if (!started) break;

    g_liveWorkers = static_cast<std::int32_t>(poolSize);
    int failedWaits = 0;
    for (;;) {
      win::DWORD wait = Threads::Get().WaitForMultipleObjects(poolSize, threads.data(), win::TRUE, win::INFINITE);
      if (wait < poolSize) {
        log::LogWrite(1, kServiceTag, L"<ERROR> WaitForMultipleObjects(SIGNALED:IOCP Thread)");
        --g_liveWorkers;
        failedWaits = 0;
      } else {
        win::DWORD error = platform::GetLastError();
        log::LogWrite(1, kServiceTag, L"<ERROR> WaitForMultipleObjects(UNKNOWN)");
        // A wait that keeps failing cannot watch the pool: after a bounded
        // number of tries, with a pause each, the run ends (its clean-up
        // stops the workers).
        if (++failedWaits >= kMaxFailedWaits) {
          result = error != 0 ? error : win::ERROR_INVALID_HANDLE;
          break;
        }
        platform::Sleep(kFailedWaitPauseMs);
      }
      if (g_liveWorkers <= 0) {
        log::LogWrite(1, kServiceTag, L"<ERROR> All IOCP Thread Terminated !!");
        break;
      }
    }
    if (failedWaits >= kMaxFailedWaits) {
      g_liveWorkers = 0;
      break;
    }

    log::LogWrite(1, kServiceTag, L"<ERROR> Trying to reconnect IOCP !!");
    // Every worker of the pool has ended; its handles are of no further use.
    for (win::HANDLE& thread : threads) {
      platform::CloseHandle(thread);
      thread = nullptr;
    }
  }

  // Clean-up.
  Console("ZVORX:  All done. Result = 0x%08x\n", result);
  log::LogWrite(1, kServiceTag, L"<ERROR> All done. Result = 0x%08x", result);
  std::vector<win::HANDLE> terminated;
  for (win::DWORD i = 0; i < poolSize; ++i) {
    win::HANDLE thread = threads[i];
    if (thread == nullptr) continue;
    if (ThreadStillActive(thread)) {
      log::LogWrite(0xffff, kServiceTag, L"threads[%d] is still active ...)", i);
      if (Threads::Get().WaitForSingleObject(thread, kCleanupWaitMs) != win::WAIT_OBJECT_0) {
        log::LogWrite(0xffff, kServiceTag, L"TerminateThread(thread[i])");
        Threads::Get().TerminateThread(thread, 0xFFFFFFFF);
        terminated.push_back(thread);
        threads[i] = nullptr;
        continue;
      }
    }
    platform::CloseHandle(thread);
    threads[i] = nullptr;
  }
  platform::CloseHandle(port);
  SetSharedPortHandle(win::INVALID_HANDLE_VALUE);
  platform::CloseHandle(completion);

  // A terminated thread ends at its next blocking call, which closing the
  // ports has just failed; the buffers go only when all of them are gone.
  bool allEnded = true;
  for (win::HANDLE thread : terminated) {
    if (Threads::Get().WaitForSingleObject(thread, kCleanupWaitMs) != win::WAIT_OBJECT_0) allEnded = false;
    platform::CloseHandle(thread);
  }
  if (!allEnded) (void)memory.release();  // a thread that cannot be stopped keeps its memory
  return 0;
}

win::DWORD ServiceThreadFunc(void*) { return RunPortClient(kPoolSize); }

}  // namespace zv::channel
