// The real WindowApi: see window_api.h and docs/programs.md.
//
// Owns: FindWindowW's rules (the caller's session only, the desktop is not
// looked at, class and title compared without regard to ASCII case, the
// newest match wins) and the delivery of posted and sent messages.
// Must not: keep windows itself (window_table.cpp does).
#include "platform/windows/window_api.h"

#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/processes/process_table.h"
#include "platform/windows/window_table.h"

namespace zv::platform {
namespace {

class RealWindowApi : public WindowApi {
 public:
  win::HWND FindWindowW(const win::WCHAR* className, const win::WCHAR* windowName) override {
    win::HWND found = nullptr;
    try {
      std::shared_ptr<Machine> m = Machine::Current();
      win::DWORD session = CurrentProcessSession();
      for (const MachineWindow& w : ListWindows(*m)) {
        if (w.session != session) continue;
        if (className && !text::AsciiIEquals(w.className, className)) continue;
        if (windowName && !text::AsciiIEquals(w.title, windowName)) continue;
        found = w.hwnd;  // rows come oldest first: the newest match wins
      }
    } catch (const MachineError&) {
      SetLastError(win::ERROR_NOT_READY);
      return nullptr;
    }
    SetLastError(win::ERROR_SUCCESS);
    return found;
  }

  win::BOOL PostMessageW(win::HWND window, win::UINT message, win::WPARAM wParam, win::LPARAM lParam) override {
    try {
      if (QueueWindowMessage(*Machine::Current(), window, message, wParam, lParam, false)) return win::TRUE;
    } catch (const MachineError&) {
      SetLastError(win::ERROR_NOT_READY);
      return win::FALSE;
    }
    SetLastError(win::ERROR_INVALID_WINDOW_HANDLE);
    return win::FALSE;
  }

  win::LRESULT SendMessageW(win::HWND window, win::UINT message, win::WPARAM wParam, win::LPARAM lParam) override {
    try {
      std::shared_ptr<Machine> m = Machine::Current();
      std::optional<MachineWindow> row = FindWindowRow(*m, window);
      if (!row) {
        SetLastError(win::ERROR_INVALID_WINDOW_HANDLE);
        return 0;
      }
      // Our stand-ins have no window procedures to call in-line: a message
      // to a window of our own would wait for ever.
      if (row->owner == CurrentProcessPid()) {
        SetLastError(win::ERROR_NOT_SUPPORTED);
        return 0;
      }
      std::optional<std::int64_t> seq = QueueWindowMessage(*m, window, message, wParam, lParam, true);
      if (!seq) {
        SetLastError(win::ERROR_INVALID_WINDOW_HANDLE);
        return 0;
      }
      return WaitForReply(*m, *seq, row->owner);
    } catch (const MachineError&) {
      SetLastError(win::ERROR_NOT_READY);
      return 0;
    }
  }
};

}  // namespace

template <>
WindowApi& Api<WindowApi>::Default() {
  static RealWindowApi* api = new RealWindowApi;  // lives until the process ends
  return *api;
}

}  // namespace zv::platform
