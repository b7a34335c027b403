// The machine's top-level windows (machine.db tables windows and
// window_messages, schema step "programs") and the owner's message queue.
//
// Owns: window rows (hwnd, owner pid, session, desktop, title, class),
// message rows (queued, then done with the owner's result), and the wake-up
// files under <run>/windows/: "<owner pid>.msg" is touched when a message
// for that owner is queued, "reply" when a sent message is done. Waiters
// sleep on inotify; a sender also wakes on process deaths (<run>/procs).
// Rows of windows whose owner has ended are dropped when next looked at.
// Must not: answer the Win32 calls (window_api_real.cpp does).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/win32.h"
#include "platform/files/machine.h"

namespace zv::platform {

struct MachineWindow {
  win::HWND hwnd = nullptr;
  win::DWORD owner = 0;
  win::DWORD session = 0;
  std::wstring desktop;
  std::wstring title;
  std::wstring className;
};

struct WindowMessage {
  std::int64_t seq = 0;
  win::HWND hwnd = nullptr;
  win::UINT message = 0;
  win::WPARAM wParam = 0;
  win::LPARAM lParam = 0;
  bool sent = false;  // SendMessageW: the sender waits for Reply
};

// Windows of live owners, oldest first.
std::vector<MachineWindow> ListWindows(Machine& machine);
std::optional<MachineWindow> FindWindowRow(Machine& machine, win::HWND hwnd);

// Creates a top-level window owned by the calling program, in its session
// and on its desktop ("WinSta0\Default" when it was given none).
win::HWND CreateOwnWindow(Machine& machine, const std::wstring& title, const std::wstring& className);
// Removes a window of ours; messages still queued for it are answered 0.
void DestroyOwnWindow(Machine& machine, win::HWND hwnd);

// Queues a message for the window's owner and wakes it; returns the
// message's seq, or nothing when the window does not exist.
std::optional<std::int64_t> QueueWindowMessage(Machine& machine, win::HWND hwnd, win::UINT message,
                                               win::WPARAM wParam, win::LPARAM lParam, bool sent);

// The calling program's message queue.
class MessageQueue {
 public:
  explicit MessageQueue(std::shared_ptr<Machine> machine);
  ~MessageQueue();
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  // The oldest queued message for any of our windows; nothing when none
  // came within timeoutMs (clock time; INFINITE waits for ever).
  std::optional<WindowMessage> Wait(win::DWORD timeoutMs);
  // Marks the message done with the result and wakes its sender.
  void Reply(const WindowMessage& message, win::LRESULT result);

 private:
  std::optional<WindowMessage> Take();
  std::shared_ptr<Machine> machine_;
  win::DWORD owner_;
  int inotifyFd_ = -1;
};

// Waits until a window of the owner exists (true) or the owner has ended
// or timeoutMs (clock time) passed (false).
bool WaitForOwnerWindow(Machine& machine, win::DWORD owner, win::DWORD timeoutMs);

// Waits until a sent message is done or its window's owner has ended;
// returns the result (0 in the second case).
win::LRESULT WaitForReply(Machine& machine, std::int64_t seq, win::DWORD owner);

}  // namespace zv::platform
