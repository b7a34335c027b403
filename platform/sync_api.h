// Threads, events, waits and I/O completion ports, with Win32 meaning.
//
// Owns: the SyncApi interface and its in-process objects.
// Linux has no safe way to kill a thread: TerminateThread marks the thread,
// and the thread ends at its next blocking platform call (a wait, a
// completion-port dequeue, a sleep through the clock is not one). See
// docs/platform.md.
#pragma once

#include "platform/injectable.h"
#include "platform/win32.h"

namespace zv::platform {

class SyncApi {
 public:
  virtual ~SyncApi() = default;

  virtual win::HANDLE CreateThread(const void* securityAttributes, std::size_t stackSize,
                                   win::LPTHREAD_START_ROUTINE start, void* parameter, win::DWORD creationFlags,
                                   win::DWORD* threadId) = 0;
  virtual win::BOOL TerminateThread(win::HANDLE thread, win::DWORD exitCode) = 0;
  virtual win::BOOL GetExitCodeThread(win::HANDLE thread, win::DWORD* exitCode) = 0;
  virtual win::DWORD SuspendThread(win::HANDLE thread) = 0;
  virtual win::DWORD ResumeThread(win::HANDLE thread) = 0;
  virtual win::DWORD GetCurrentThreadId() = 0;

  virtual win::HANDLE CreateEventW(const void* securityAttributes, win::BOOL manualReset, win::BOOL initialState,
                                   const win::WCHAR* name) = 0;
  virtual win::BOOL SetEvent(win::HANDLE event) = 0;
  virtual win::BOOL ResetEvent(win::HANDLE event) = 0;

  virtual win::DWORD WaitForSingleObject(win::HANDLE object, win::DWORD milliseconds) = 0;
  virtual win::DWORD WaitForMultipleObjects(win::DWORD count, const win::HANDLE* objects, win::BOOL waitAll,
                                            win::DWORD milliseconds) = 0;

  // fileHandle INVALID_HANDLE_VALUE with existingPort null creates a bare port.
  virtual win::HANDLE CreateIoCompletionPort(win::HANDLE fileHandle, win::HANDLE existingPort,
                                             win::ULONG_PTR completionKey, win::DWORD concurrentThreads) = 0;
  virtual win::BOOL GetQueuedCompletionStatus(win::HANDLE port, win::DWORD* bytes, win::ULONG_PTR* key,
                                              win::OVERLAPPED** overlapped, win::DWORD milliseconds) = 0;
  virtual win::BOOL PostQueuedCompletionStatus(win::HANDLE port, win::DWORD bytes, win::ULONG_PTR key,
                                               win::OVERLAPPED* overlapped) = 0;
};

using Sync = Api<SyncApi>;

}  // namespace zv::platform
