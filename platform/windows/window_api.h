// Top-level windows of the machine and the messages that reach them, with
// Win32 meaning.
//
// Owns: the WindowApi interface (FindWindowW, PostMessageW, SendMessageW)
// and the owner's side for our stand-ins (window_table.h). Windows live in
// machine.db, so a window of one program is found and closed from another.
// Must not: draw anything or know what an owner does with a message.
#pragma once

#include "platform/base/injectable.h"
#include "platform/base/win32.h"

namespace zv::platform {

class WindowApi {
 public:
  virtual ~WindowApi() = default;

  // The newest top-level window of the caller's session whose class and
  // title match (either may be null: any); null when none, last error 0.
  virtual win::HWND FindWindowW(const win::WCHAR* className, const win::WCHAR* windowName) = 0;
  // Queues the message for the window's owner; FALSE and
  // ERROR_INVALID_WINDOW_HANDLE for a window that does not exist.
  virtual win::BOOL PostMessageW(win::HWND window, win::UINT message, win::WPARAM wParam, win::LPARAM lParam) = 0;
  // Delivers the message and returns the owner's result once it has handled
  // it, or 0 when the owner ends first or the window does not exist.
  virtual win::LRESULT SendMessageW(win::HWND window, win::UINT message, win::WPARAM wParam,
                                    win::LPARAM lParam) = 0;
};

using TopLevelWindows = Api<WindowApi>;

}  // namespace zv::platform
