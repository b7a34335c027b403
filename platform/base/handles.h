// The process's handle table and thread last-error value.
//
// Owns: HANDLE values for in-process kernel-object stand-ins (ports, threads,
// events, completion ports, tokens, process handles, snapshots, find handles)
// and GetLastError/SetLastError. A handle keeps its object alive until
// CloseHandle; closing one handle never invalidates another.
// Must not: know what the objects do. Each object type lives with its calls.
#pragma once

#include <chrono>
#include <memory>

#include "platform/base/win32.h"

namespace zv::platform {

// Base of every object a HANDLE can name.
class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // Called when the last handle to the object is closed.
  virtual void OnLastHandleClosed() {}
};

// Objects that WaitForSingleObject / WaitForMultipleObjects can wait on.
class WaitableObject : public KernelObject {
 public:
  // True when the object is signalled now; consumes the signal for
  // auto-reset objects (events, mutex ownership).
  virtual bool TryAcquire() = 0;
  // Gives back what a successful TryAcquire took, when a wait for all of
  // several objects could not take them all. Objects that stay signalled
  // (threads, processes, manual-reset events) have nothing to give back.
  virtual void UndoAcquire() {}
  // True for objects that call NotifyWaiters whenever they may have become
  // signalled; waits on them do not look again on their own.
  virtual bool NotifiesWaiters() const { return false; }
};

// Makes every blocked WaitForSingleObject / WaitForMultipleObjects look at
// its objects again. An object calls it, holding none of its own locks, when
// it may have become signalled. A wait on objects of other kinds than
// threads and events also looks again every 20 ms, so an object that never
// calls it is still seen, only later; objects whose NotifiesWaiters is true
// (process handles) are not looked at again on their own. (Defined with the waits, threads_wait.cpp.)
void NotifyWaiters();

win::HANDLE RegisterHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(win::HANDLE handle);

template <class T>
std::shared_ptr<T> LookupHandleAs(win::HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// CloseHandle with Win32 meaning: FALSE and ERROR_INVALID_HANDLE for a handle
// that is not open (including INVALID_HANDLE_VALUE and null).
win::BOOL CloseHandle(win::HANDLE handle);

win::DWORD GetLastError();
void SetLastError(win::DWORD error);

}  // namespace zv::platform
