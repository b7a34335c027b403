// The machine's processes: table, registration of our own programs, reaping
// of dead ones, and the change feed of starts and ends.
//
// Owns: the rows of the processes, process_events and counters('next_pid')
// tables of machine.db; the schema step "programs" (how each process was
// started, its state and bitness, the exit codes of ended processes, the
// history of program starts, the notes our programs leave, and the tables of
// top-level windows and their messages that platform/windows fills); the per-process lock files under <run>/procs/ whose
// kernel-released locks tell a live registered program from a dead one; the
// wake-up file <run>/procs/feed touched after every committed change.
// Machine pids are multiples of 4 taken from counters('next_pid') in one
// write transaction, never reused. Pids 0 and 4 are created with the machine.
// Must not: answer Win32 calls (process_api_real.* does) or know what the
// driver stand-in makes of an event.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files/machine.h"
#include "platform/base/win32.h"

namespace zv::platform {

struct MachineProcess {
  win::DWORD pid = 0;
  win::DWORD parent = 0;
  std::wstring image;  // DOS image path
  win::DWORD session = 0;
  bool isProtected = false;
  // Host pid of a registered program of ours; 0 for scenario processes.
  int hostPid = 0;
  std::int64_t startedMs = 0;
  // How it was started (CreateProcessW), else what a program started from
  // the host reports about itself.
  std::wstring commandLine;
  std::wstring currentDir;
  std::wstring desktop;
  int showWindow = -1;  // -1: no STARTF_USESHOWWINDOW
  int bitness = 64;
  // Made by CreateProcessW and not yet confirmed: never reaped while its
  // parent lives.
  bool starting = false;
};

// One CreateProcessW start, kept after the process ended.
struct ProgramStart {
  win::DWORD pid = 0;
  win::DWORD parent = 0;
  std::wstring image;
  std::wstring commandLine;
  std::wstring currentDir;
  std::wstring desktop;
  int showWindow = -1;
  win::DWORD startupSize = 0;
  win::DWORD creationFlags = 0;
  win::DWORD session = 0;
  int bitness = 64;
  std::string standIn;  // the host program that plays it
  std::int64_t startedMs = 0;
  std::optional<win::DWORD> exitCode;  // once ended
};

// The exit code of a process that ended without one being recorded (killed
// on the host, crashed, or ended with _Exit): ERROR_PROCESS_ABORTED.
constexpr win::DWORD kUnrecordedExitCode = 1067;

// The schema step of program starts, exit codes, notes and windows.
extern const SchemaStep kProgramsSchema;

// One start or end of a machine process, in commit order.
struct ProcessEvent {
  std::int64_t seq = 0;
  win::DWORD pid = 0;
  win::DWORD parent = 0;
  std::wstring image;
  bool created = false;
};

// ---- Table operations (anyone) ------------------------------------------------

// Adds a scenario process and emits its start event; returns its pid.
win::DWORD AddProcess(Machine& machine, win::DWORD parent, const std::wstring& image, win::DWORD session,
                      bool isProtected);

enum class EndResult { Ended, NotFound, Refused };
// Ends a machine process with the exit code: the code is recorded, its row
// goes and its exit event is emitted. A registered program of ours that is
// still alive is also killed on the host (SIGKILL, as abrupt as
// TerminateProcess). Pids 0 and 4 and the caller's own pid are refused (the
// caller ends itself through TerminateProcess).
EndResult EndProcess(Machine& machine, win::DWORD pid, win::DWORD exitCode = 1);

// The recorded exit code of an ended process; nothing while its row exists
// or when the pid never ended on this machine.
std::optional<win::DWORD> ExitCodeOf(Machine& machine, win::DWORD pid);

// ---- Program starts (CreateProcessW) ---------------------------------------------

// Inserts the row of a program being started, in the starting state with
// its lock file named, records the start in the history and emits the start
// event. Returns the pid. The child takes the lock before it runs.
win::DWORD InsertStartingProcess(Machine& machine, ProgramStart& start);
// The child runs: the row leaves the starting state.
void ConfirmStart(Machine& machine, win::DWORD pid);
// The child never ran: row and history go, the exit event is emitted with
// the given code recorded.
void AbandonStart(Machine& machine, win::DWORD pid, win::DWORD exitCode);
// The lock file name of a pid (under <run>/procs/).
std::filesystem::path ProcessLockPath(Machine& machine, win::DWORD pid);

// Program starts, oldest first (the whole history, or those of one parent).
std::vector<ProgramStart> ListProgramStarts(Machine& machine);

// Notes our programs leave about what they were asked to do (the recorder's
// start, the launcher's arguments), oldest first.
struct ProgramNote {
  std::int64_t seq = 0;
  win::DWORD pid = 0;
  std::wstring image;
  std::string key;
  std::wstring value;
};
void AddProgramNote(Machine& machine, win::DWORD pid, const std::wstring& image, const std::string& key,
                    const std::wstring& value);
std::vector<ProgramNote> ListProgramNotes(Machine& machine);

// Rows after reaping dead registered programs, ordered by pid.
std::vector<MachineProcess> ListProcesses(Machine& machine);
std::optional<MachineProcess> FindProcess(Machine& machine, win::DWORD pid);

// Removes rows of registered programs whose lock is free (their host process
// has ended, however it ended) and emits their exit events. Returns the
// number reaped. Safe to run from any number of processes at once.
int ReapDeadProcesses(Machine& machine);

// The seq of the newest event (0 when none): a feed started from it sees
// only what happens next.
std::int64_t LastProcessEventSeq(Machine& machine);

// ---- This program ---------------------------------------------------------------

// Registers the calling host process in Machine::Current() with the given
// DOS image path and session (an empty path means DefaultImagePath()), or
// updates the row when already registered. Returns the machine pid.
// Registration also happens lazily on the first call that needs our identity
// (CurrentProcessPid), with the defaults below. Throws MachineError when
// there is no machine or its database fails.
win::DWORD RegisterCurrentProcess(const std::wstring& imagePath, win::DWORD session);
// Changes the session of our row (a service calls it with 0).
void SetCurrentProcessSession(win::DWORD session);
// Our machine pid, registering first when needed. Without a machine
// (ZV_MACHINE unset) the value is 4 times the host pid, unregistered.
win::DWORD CurrentProcessPid();
std::wstring CurrentProcessImage();
win::DWORD CurrentProcessSession();
// What CreateProcessW recorded for us, or for a program started from the
// host: its DOS image path and arguments (GetCommandLineW), its current
// folder (ZV_CURRENT_DIR, else C:\Windows\System32), desktop and show state
// (none), and bitness (ZV_BITNESS 32 or 64, else 64).
std::wstring CurrentProcessCommandLine();
std::wstring CurrentProcessDirectory();
std::wstring CurrentProcessDesktop();
int CurrentProcessShowWindow();
int CurrentProcessBitness();
// For a program built as 32-bit (the start-up program): a start from the
// host that names no bitness (ZV_BITNESS unset) counts as that bitness.
// Call first thing in main, before the process registers.
void DeclareProgramBitness(int bits);
// Removes our row, records the exit code and emits our exit event at once
// (for a program that leaves the machine but runs on, and for tests).
void UnregisterCurrentProcess(win::DWORD exitCode = 0);
// Records the code we are about to end with; row and lock stay until the
// host process is gone, then any reaper emits the exit event. Run by exit()
// and the return from main with their code, and by ExitProcess and
// TerminateProcess on ourselves.
void RecordCurrentProcessExit(win::DWORD exitCode);

// ZV_IMAGE_PATH, else "C:\Program Files\ZV\<program>.exe" with the host
// program's file name.
std::wstring DefaultImagePath();
// ZV_SESSION (a number), else 1, the console session.
win::DWORD DefaultSession();
// ZV_PARENT_PID (a machine pid, set by WinExec for its children), else the
// machine pid of a registered program running as our host parent, else 0.
win::DWORD DefaultParent(Machine& machine);

// ---- Change feed -----------------------------------------------------------------

// Reads process_events in seq order and sleeps on the kernel between
// changes: every writer touches <run>/procs/feed after its commit, and a
// registered program's death closes its lock file; both wake the waiter
// (inotify), which then reaps and reads. No caller polls.
class ProcessEventFeed {
 public:
  // Delivers events with seq > fromSeq.
  ProcessEventFeed(std::shared_ptr<Machine> machine, std::int64_t fromSeq);
  ~ProcessEventFeed();
  ProcessEventFeed(const ProcessEventFeed&) = delete;
  ProcessEventFeed& operator=(const ProcessEventFeed&) = delete;

  // The next event, or nothing when none came within timeoutMs (INFINITE
  // waits for ever) or Interrupt was called.
  std::optional<ProcessEvent> WaitNext(win::DWORD timeoutMs);
  // Wakes a WaitNext in another thread; it returns nothing once.
  void Interrupt();
  // seq of the last event delivered (or fromSeq).
  std::int64_t Position() const { return position_; }

 private:
  bool DrainWakeups();  // true when a lock file closed (a death to reap)
  void Fetch();

  std::shared_ptr<Machine> machine_;
  std::int64_t position_;
  std::deque<ProcessEvent> pending_;
  int inotifyFd_ = -1;
  int interruptFd_ = -1;
  bool reapedOnce_ = false;
};

// Internal helpers shared with the Win32 stand-ins.
namespace process_detail {
// Touches the feed's wake-up file.
void WakeFeed(Machine& machine);
// The file-name part of a DOS path.
std::wstring FileNameOf(const std::wstring& dosPath);
// Splits a command line into arguments as the C run-time does for argv:
// blanks separate, quotes group, 2n backslashes before a quote give n and
// open or close, 2n+1 give n and a literal quote.
std::vector<std::wstring> SplitArguments(std::wstring_view line);
// One argument quoted so that SplitArguments gives it back (unchanged when
// it holds no blank, tab or quote and is not empty).
std::wstring QuoteArgument(const std::wstring& argument);
// Environment variables through which CreateProcessW hands a child its
// machine pid and the descriptor of its lock, taken before it runs.
constexpr const char* kPidVariable = "ZV_PID";
constexpr const char* kLockFdVariable = "ZV_LOCK_FD";
}  // namespace process_detail

}  // namespace zv::platform
