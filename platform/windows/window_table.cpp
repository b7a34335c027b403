// The machine's top-level windows and message queues: see window_table.h.
#include "platform/windows/window_table.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "platform/base/clock.h"
#include "platform/base/text.h"
#include "platform/processes/process_table.h"

namespace zv::platform {
namespace fs = std::filesystem;

namespace {

fs::path WindowsFolder(Machine& m) { return m.RunFolder() / "windows"; }

void EnsureReady(Machine& m) {
  m.EnsureSchema(kProgramsSchema);
  std::error_code ec;
  fs::create_directory(WindowsFolder(m), ec);
}

// Closing a file opened for writing wakes the folder's watchers.
void Touch(Machine& m, const std::string& name) {
  int fd = ::open((WindowsFolder(m) / name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) ::close(fd);
}

std::string Store(const std::wstring& s) { return text::ToHostName(s); }
std::wstring Load(const std::string& s) { return text::FromHostName(s); }

win::HWND ToHwnd(std::int64_t v) { return reinterpret_cast<win::HWND>(static_cast<std::uintptr_t>(v)); }
std::int64_t FromHwnd(win::HWND h) { return static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(h)); }

int WatchFolders(Machine& m, bool procsToo) {
  int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) throw MachineError(std::string("inotify_init1: ") + std::strerror(errno));
  if (::inotify_add_watch(fd, WindowsFolder(m).c_str(), IN_CLOSE_WRITE) < 0 ||
      (procsToo && ::inotify_add_watch(fd, (m.RunFolder() / "procs").c_str(), IN_CLOSE_WRITE) < 0)) {
    ::close(fd);
    throw MachineError("cannot watch " + WindowsFolder(m).string() + ": " + std::strerror(errno));
  }
  return fd;
}

void Drain(int fd) {
  alignas(inotify_event) char buffer[4096];
  while (::read(fd, buffer, sizeof buffer) > 0) {
  }
}

// Waits for a wake-up until the deadline; false when it passed.
bool Sleep(int fd, const std::optional<std::chrono::steady_clock::time_point>& deadline) {
  int waitMs = -1;
  if (deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    waitMs = left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
  }
  pollfd p{fd, POLLIN, 0};
  int rc = ::poll(&p, 1, waitMs);
  return rc != 0 || !deadline;
}

}  // namespace

std::vector<MachineWindow> ListWindows(Machine& machine) {
  EnsureReady(machine);
  ReapDeadProcesses(machine);
  std::vector<MachineWindow> windows;
  machine.Write([&](sqlite3* db) {
    // Windows of ended owners went with them; their sent messages are done.
    Statement(db, "UPDATE window_messages SET state = 'done', result = 0 WHERE state <> 'done'"
                  " AND owner NOT IN (SELECT pid FROM processes);").Run();
    Statement(db, "DELETE FROM windows WHERE owner NOT IN (SELECT pid FROM processes);").Run();
    Statement q(db, "SELECT hwnd, owner, session, desktop, title, class FROM windows ORDER BY hwnd;");
    while (q.Step()) {
      windows.push_back({ToHwnd(q.Int(0)), static_cast<win::DWORD>(q.Int(1)), static_cast<win::DWORD>(q.Int(2)),
                         Load(q.Text(3)), Load(q.Text(4)), Load(q.Text(5))});
    }
  });
  return windows;
}

std::optional<MachineWindow> FindWindowRow(Machine& machine, win::HWND hwnd) {
  for (MachineWindow& w : ListWindows(machine)) {
    if (w.hwnd == hwnd) return w;
  }
  return std::nullopt;
}

win::HWND CreateOwnWindow(Machine& machine, const std::wstring& title, const std::wstring& className) {
  EnsureReady(machine);
  win::DWORD owner = CurrentProcessPid();
  win::DWORD session = CurrentProcessSession();
  std::wstring desktop = CurrentProcessDesktop();
  if (desktop.empty()) desktop = L"WinSta0\\Default";
  std::int64_t hwnd = 0;
  machine.Write([&](sqlite3* db) {
    Statement q(db, "SELECT value FROM counters WHERE name = 'next_hwnd';");
    hwnd = q.Step() ? q.Int(0) : 0x10010;
    Statement(db, "INSERT INTO counters(name, value) VALUES('next_hwnd', ?)"
                  " ON CONFLICT(name) DO UPDATE SET value = excluded.value;").Bind(1, hwnd + 2).Run();
    Statement(db, "INSERT INTO windows(hwnd, owner, session, desktop, title, class, created_ms)"
                  " VALUES(?, ?, ?, ?, ?, ?, ?);")
        .Bind(1, hwnd).Bind(2, owner).Bind(3, session).Bind(4, Store(desktop)).Bind(5, Store(title))
        .Bind(6, Store(className)).Bind(7, CurrentClock().UtcMilliseconds()).Run();
  });
  Touch(machine, "created");
  return ToHwnd(hwnd);
}

void DestroyOwnWindow(Machine& machine, win::HWND hwnd) {
  EnsureReady(machine);
  machine.Write([&](sqlite3* db) {
    Statement(db, "DELETE FROM windows WHERE hwnd = ?;").Bind(1, FromHwnd(hwnd)).Run();
    Statement(db, "UPDATE window_messages SET state = 'done', result = 0 WHERE hwnd = ? AND state <> 'done';")
        .Bind(1, FromHwnd(hwnd)).Run();
  });
  Touch(machine, "reply");
}

std::optional<std::int64_t> QueueWindowMessage(Machine& machine, win::HWND hwnd, win::UINT message,
                                               win::WPARAM wParam, win::LPARAM lParam, bool sent) {
  std::optional<MachineWindow> window = FindWindowRow(machine, hwnd);
  if (!window) return std::nullopt;
  const win::DWORD sender = CurrentProcessPid();  // never under the machine's lock
  std::optional<std::int64_t> seq;
  machine.Write([&](sqlite3* db) {
    Statement exists(db, "SELECT 1 FROM windows WHERE hwnd = ?;");
    if (!exists.Bind(1, FromHwnd(hwnd)).Step()) return;
    Statement(db, "INSERT INTO window_messages(hwnd, owner, message, wparam, lparam, sender, sent)"
                  " VALUES(?, ?, ?, ?, ?, ?, ?);")
        .Bind(1, FromHwnd(hwnd)).Bind(2, window->owner).Bind(3, message)
        .Bind(4, static_cast<std::int64_t>(wParam)).Bind(5, static_cast<std::int64_t>(lParam))
        .Bind(6, sender).Bind(7, sent ? 1 : 0).Run();
    seq = sqlite3_last_insert_rowid(db);
  });
  if (seq) Touch(machine, std::to_string(window->owner) + ".msg");
  return seq;
}

MessageQueue::MessageQueue(std::shared_ptr<Machine> machine) : machine_(std::move(machine)) {
  EnsureReady(*machine_);
  owner_ = CurrentProcessPid();
  inotifyFd_ = WatchFolders(*machine_, false);
}

MessageQueue::~MessageQueue() {
  if (inotifyFd_ >= 0) ::close(inotifyFd_);
}

std::optional<WindowMessage> MessageQueue::Take() {
  std::optional<WindowMessage> m;
  machine_->Write([&](sqlite3* db) {
    Statement q(db, "SELECT seq, hwnd, message, wparam, lparam, sent FROM window_messages"
                    " WHERE owner = ? AND state = 'queued' ORDER BY seq LIMIT 1;");
    if (!q.Bind(1, owner_).Step()) return;
    m = WindowMessage{q.Int(0), ToHwnd(q.Int(1)), static_cast<win::UINT>(q.Int(2)),
                      static_cast<win::WPARAM>(q.Int(3)), static_cast<win::LPARAM>(q.Int(4)), q.Int(5) != 0};
    // A posted message is done once taken; a sent one when replied to.
    Statement(db, "UPDATE window_messages SET state = ? WHERE seq = ?;")
        .Bind(1, std::string(m->sent ? "taken" : "done")).Bind(2, m->seq).Run();
  });
  return m;
}

std::optional<WindowMessage> MessageQueue::Wait(win::DWORD timeoutMs) {
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (timeoutMs != win::INFINITE) deadline = std::chrono::steady_clock::now() + CurrentClock().RealWaitFor(timeoutMs);
  for (;;) {
    Drain(inotifyFd_);  // before reading: a later wake-up stays queued
    if (auto m = Take()) return m;
    if (!Sleep(inotifyFd_, deadline)) return std::nullopt;
  }
}

void MessageQueue::Reply(const WindowMessage& message, win::LRESULT result) {
  if (!message.sent) return;
  machine_->Write([&](sqlite3* db) {
    Statement(db, "UPDATE window_messages SET state = 'done', result = ? WHERE seq = ?;")
        .Bind(1, static_cast<std::int64_t>(result)).Bind(2, message.seq).Run();
  });
  Touch(*machine_, "reply");
}

bool WaitForOwnerWindow(Machine& machine, win::DWORD owner, win::DWORD timeoutMs) {
  EnsureReady(machine);
  int fd = WatchFolders(machine, true);
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (timeoutMs != win::INFINITE) deadline = std::chrono::steady_clock::now() + CurrentClock().RealWaitFor(timeoutMs);
  bool found = false;
  for (;;) {
    Drain(fd);
    for (const MachineWindow& w : ListWindows(machine)) found = found || w.owner == owner;
    if (found || !FindProcess(machine, owner) || !Sleep(fd, deadline)) break;
  }
  ::close(fd);
  return found;
}

win::LRESULT WaitForReply(Machine& machine, std::int64_t seq, win::DWORD owner) {
  int fd = WatchFolders(machine, true);
  win::LRESULT result = 0;
  for (;;) {
    Drain(fd);
    bool done = false;
    machine.Read([&](sqlite3* db) {
      Statement q(db, "SELECT state, result FROM window_messages WHERE seq = ?;");
      if (!q.Bind(1, seq).Step()) {
        done = true;
        return;
      }
      done = q.Text(0) == "done";
      result = static_cast<win::LRESULT>(q.Int(1));
    });
    if (done) break;
    if (!FindProcess(machine, owner)) {
      result = 0;
      break;
    }
    Sleep(fd, std::nullopt);
  }
  ::close(fd);
  return result;
}

}  // namespace zv::platform
