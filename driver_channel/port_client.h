// The client of the driver's communication port and its worker pool.
//
// Owns: ServiceThreadFunc (connect, completion port, pool start, restart and
// clean-up), ScannerWorker (one completed read at a time: dispatch through
// NotificationSignal, reply, re-post), the process-wide shared port handle
// that the command senders use, the live worker count, and the hook through
// which the backup engine tells the workers which processes are free.
// Must not: interpret notifications (the engines do, through the signal),
// or load and unload the driver (start-up does).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/base/win32.h"

namespace zv::channel {

inline constexpr wchar_t kPortName[] = L"\\TavrelORXPort";
inline constexpr win::DWORD kPoolSize = 8;        // workers per pool and completion-port concurrency
inline constexpr win::DWORD kReadsPerWorker = 5;  // reads posted per worker created

// The connected port, INVALID_HANDLE_VALUE while there is none. Written by
// ServiceThreadFunc before its workers start and at its clean-up; read by
// whoever sends driver commands (FilterSendMessage).
win::HANDLE SharedPortHandle();
void SetSharedPortHandle(win::HANDLE port);

// Workers of the current pool not yet counted as ended.
std::int32_t LiveWorkerCount();

// Answers whether a process is held as free by the backup engine (its
// HasProcessType(pid, Free)). Null while there is no backup engine; the
// engine's creator sets it. A kind-3 notification of a free process is
// answered without asking any engine.
using FreeProcessTest = bool (*)(win::DWORD processId);
void SetFreeProcessTest(FreeProcessTest test);

// What every worker of one ServiceThreadFunc run shares.
struct WorkerContext {
  win::HANDLE Port = nullptr;
  win::HANDLE CompletionPort = nullptr;
};

// The port client: returns 2 when the port cannot be connected, 3 when the
// completion port cannot be created, else 0 once no pool can be started.
// The argument is ignored (thread-routine shape for the service wrapper).
win::DWORD ServiceThreadFunc(void* unused);

// One worker thread of a pool; the argument is the WorkerContext. Returns
// the HRESULT that made it stop.
win::DWORD ScannerWorker(void* context);

// ServiceThreadFunc with another pool size, for measuring only.
win::DWORD RunPortClient(win::DWORD poolSize);

}  // namespace zv::channel
