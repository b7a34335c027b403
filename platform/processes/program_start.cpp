// The real ProgramApi: starting machine programs (CreateProcessW), our
// command line and start-up information, ExitProcess. See
// process_api_real.h and docs/programs.md.
//
// A program is a program file on the machine's drive (program_files.h) that
// names one of our stand-ins; the stand-in, found by that plain name in
// ProgramFolder() only, runs as a detached host process (double fork, new
// session, our descriptors closed). Before it runs it takes the lock that
// keeps its row alive, on descriptor 3, and learns its pid from the
// environment; it adopts the row the start made (process_table.cpp). No
// host path from a command line or the machine's drive is ever executed.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/base/debug_output.h"
#include "platform/base/text.h"
#include "platform/files/paths.h"
#include "platform/processes/process_api_real.h"
#include "platform/processes/process_table.h"
#include "platform/processes/program_files.h"

extern char** environ;

namespace zv::platform {

template <>
ProgramApi& Api<ProgramApi>::Default() {
  static RealProgramApi* api = new RealProgramApi;  // lives until the process ends
  return *api;
}

namespace {

constexpr int kLockFd = 3;
constexpr int kReportFd = 4;

// The creation flags the machine honours (priorities and console choices
// change nothing here but are accepted and recorded).
constexpr win::DWORD kAcceptedFlags =
    win::DETACHED_PROCESS | win::CREATE_NEW_CONSOLE | win::NORMAL_PRIORITY_CLASS | win::IDLE_PRIORITY_CLASS |
    win::HIGH_PRIORITY_CLASS | win::CREATE_NEW_PROCESS_GROUP | win::CREATE_UNICODE_ENVIRONMENT |
    win::BELOW_NORMAL_PRIORITY_CLASS | win::ABOVE_NORMAL_PRIORITY_CLASS | win::CREATE_DEFAULT_ERROR_MODE |
    win::CREATE_NO_WINDOW;

win::BOOL Fail(win::DWORD error) {
  SetLastError(error);
  return win::FALSE;
}

// The host program that plays a stand-in: a regular executable file of that
// exact name in ProgramFolder(), or empty.
std::string StandInProgram(const std::string& standIn) {
  if (!IsStandInName(standIn)) return std::string();
  std::string path = ProgramFolder() + "/" + standIn;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(path.c_str(), X_OK) != 0) {
    return std::string();
  }
  return path;
}

bool IsFolder(Machine& machine, const std::wstring& dosPath, std::wstring& normalised) {
  ResolvedPath r;
  if (ResolveDosPath(machine, dosPath, r) != win::ERROR_SUCCESS || !r.exists || !S_ISDIR(r.st.st_mode)) return false;
  normalised = std::wstring(1, text::AsciiUpper(r.dos.letter)) + L":";
  for (const std::wstring& c : r.longNames) normalised += L"\\" + c;
  if (r.longNames.empty()) normalised += L"\\";
  return true;
}

// Starts the stand-in detached. The grandchild takes the row's lock before
// exec; a failed lock or exec comes back through the report pipe as errno.
// Returns 0 or the errno.
int Spawn(const std::string& program, std::vector<std::string> args, std::vector<std::string> env,
          const std::string& lockPath, bool inheritOutput) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return errno;
  // Nothing buffered in stdio may be copied into the child: a sanitizer's
  // _exit flushes the copy, and the caller's lines would appear twice.
  std::fflush(nullptr);
  pid_t child = ::fork();
  if (child < 0) {
    int err = errno;
    ::close(report[0]);
    ::close(report[1]);
    return err;
  }
  if (child == 0) {
    // Only async-signal-safe calls from here on.
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
    ::close(report[0]);
    int err = 0;
    int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      if (!inheritOutput) {
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
      }
      if (devnull > 2) ::close(devnull);
    }
    if (::dup2(report[1], kReportFd) < 0) ::_exit(127);
    ::fcntl(kReportFd, F_SETFD, FD_CLOEXEC);
    // Moved to descriptor 3 before the lock is taken: closing any
    // descriptor of the file would drop a lock already held. dup2 leaves
    // descriptor 3 open across exec.
    int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    if (lock < 0 || (lock != kLockFd && ::dup2(lock, kLockFd) < 0)) {
      err = errno;
    } else {
      if (lock != kLockFd) ::close(lock);
      ::fcntl(kLockFd, F_SETFD, 0);
      if (::fcntl(kLockFd, F_SETLK, &fl) != 0) {
        err = errno;
      } else {
        ::close_range(kReportFd + 1, ~0u, 0);
        ::execve(program.c_str(), argv.data(), envp.data());
        err = errno;
      }
    }
    ssize_t w = ::write(kReportFd, &err, sizeof err);
    (void)w;
    ::_exit(127);
  }
  ::close(report[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int err = 0;
  ssize_t got;
  do {
    got = ::read(report[0], &err, sizeof err);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);
  if (got == static_cast<ssize_t>(sizeof err)) return err ? err : EIO;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return EAGAIN;
  return 0;
}

}  // namespace

win::BOOL RealProgramApi::CreateProcessW(const win::WCHAR* applicationName, win::WCHAR* commandLine,
                                         const void* processAttributes, const void* threadAttributes,
                                         win::BOOL inheritHandles, win::DWORD creationFlags,
                                         const void* environment, const win::WCHAR* currentDirectory,
                                         const win::STARTUPINFOW* startupInfo,
                                         win::PROCESS_INFORMATION* processInformation) {
  if (!startupInfo || !processInformation || (!applicationName && !commandLine)) {
    return Fail(win::ERROR_INVALID_PARAMETER);
  }
  // A separate environment and the flags of debugging or suspended starts
  // are not modelled: refused rather than ignored.
  if (environment || (creationFlags & ~kAcceptedFlags) != 0) return Fail(win::ERROR_INVALID_PARAMETER);
  std::shared_ptr<Machine> machine;
  try {
    machine = Machine::Current();
  } catch (const MachineError&) {
    return Fail(win::ERROR_NOT_READY);
  }
  try {
    ProgramStart start;
    start.parent = CurrentProcessPid();
    start.session = CurrentProcessSession();
    std::wstring line = commandLine ? std::wstring(commandLine) : std::wstring(applicationName);
    SearchContext context{CurrentProcessImage(), CurrentProcessDirectory(), MachinePath(*machine)};
    if (currentDirectory) {
      if (!IsFolder(*machine, currentDirectory, start.currentDir)) return Fail(win::ERROR_DIRECTORY);
    } else {
      start.currentDir = context.currentDir;
    }

    FoundProgram found;
    if (win::DWORD error = FindProgram(*machine, applicationName, line, context, found)) return Fail(error);
    ProgramFile file;
    if (win::DWORD error = ReadProgramFile(found, file)) return Fail(error);
    std::string program = StandInProgram(file.standIn);
    if (program.empty()) {
      OutputDebugStringW(L"CreateProcessW: " + found.dosPath + L" names the stand-in \"" +
                         text::FromUtf8(file.standIn) + L"\", which is not in " +
                         text::FromHostName(ProgramFolder()) + L"\n");
      return Fail(win::ERROR_EXE_MACHINE_TYPE_MISMATCH);
    }

    start.image = found.dosPath;
    start.commandLine = line;
    start.desktop = startupInfo->lpDesktop ? std::wstring(startupInfo->lpDesktop) : CurrentProcessDesktop();
    start.showWindow = (startupInfo->dwFlags & win::STARTF_USESHOWWINDOW) ? startupInfo->wShowWindow : -1;
    start.startupSize = startupInfo->cb;
    start.creationFlags = creationFlags;
    start.bitness = file.bitness;
    start.standIn = file.standIn;

    // Arguments as the child's C run-time would split the command line.
    std::vector<std::wstring> words = process_detail::SplitArguments(line);
    std::vector<std::string> args{file.standIn};
    for (std::size_t i = 1; i < words.size(); ++i) args.push_back(text::ToUtf8(words[i]));

    win::DWORD pid = InsertStartingProcess(*machine, start);
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
      std::string_view v(*e);
      static const char* const kOwn[] = {"ZV_IMAGE_PATH=", "ZV_PARENT_PID=", "ZV_SESSION=", "ZV_PID=",
                                         "ZV_LOCK_FD=",    "ZV_BITNESS=",    "ZV_CURRENT_DIR=", "ZV_MACHINE="};
      bool ours = false;
      for (const char* prefix : kOwn) ours = ours || v.starts_with(prefix);
      if (!ours) env.emplace_back(v);
    }
    env.push_back("ZV_MACHINE=" + machine->Root().string());
    env.push_back(std::string(process_detail::kPidVariable) + "=" + std::to_string(pid));
    env.push_back(std::string(process_detail::kLockFdVariable) + "=" + std::to_string(kLockFd));

    // Our output reaches the child only as a console program shares its
    // parent's console: handles inherited and no console of its own.
    bool inheritOutput = inheritHandles &&
                         (creationFlags & (win::CREATE_NEW_CONSOLE | win::DETACHED_PROCESS | win::CREATE_NO_WINDOW)) == 0;
    int err = Spawn(program, std::move(args), std::move(env), ProcessLockPath(*machine, pid).string(), inheritOutput);
    if (err != 0) {
      win::DWORD code = err == ENOEXEC ? win::ERROR_BAD_EXE_FORMAT
                        : err == EAGAIN || err == ENOMEM ? win::ERROR_NOT_ENOUGH_MEMORY
                                                         : win::ERROR_ACCESS_DENIED;
      AbandonStart(*machine, pid, code);
      return Fail(code);
    }
    ConfirmStart(*machine, pid);

    // The main thread's id comes from the same pool as pids.
    win::DWORD threadId = pid + 2;
    processInformation->hProcess = RegisterHandle(
        std::make_shared<ProcessObject>(pid, win::PROCESS_ALL_ACCESS, start.image, start.session, machine));
    processInformation->hThread = RegisterHandle(
        std::make_shared<ProcessObject>(pid, win::PROCESS_ALL_ACCESS, start.image, start.session, machine, threadId));
    processInformation->dwProcessId = pid;
    processInformation->dwThreadId = threadId;
    SetLastError(win::ERROR_SUCCESS);
    return win::TRUE;
  } catch (const MachineError&) {
    return Fail(win::ERROR_NOT_READY);
  }
}

const win::WCHAR* RealProgramApi::GetCommandLineW() {
  static std::once_flag once;
  static std::wstring* line = nullptr;
  std::call_once(once, [] { line = new std::wstring(CurrentProcessCommandLine()); });
  return line->c_str();
}

void RealProgramApi::GetStartupInfoW(win::STARTUPINFOW* info) {
  if (!info) return;
  static std::once_flag once;
  static std::wstring* desktop = nullptr;
  static int show = -1;
  std::call_once(once, [] {
    desktop = new std::wstring(CurrentProcessDesktop());
    show = CurrentProcessShowWindow();
  });
  *info = win::STARTUPINFOW{};
  info->lpDesktop = desktop->empty() ? nullptr : desktop->data();
  if (show >= 0) {
    info->dwFlags = win::STARTF_USESHOWWINDOW;
    info->wShowWindow = static_cast<win::WORD>(show);
  }
}

void RealProgramApi::ExitProcess(win::UINT exitCode) {
  RecordCurrentProcessExit(exitCode);
  std::_Exit(static_cast<int>(exitCode));
}

}  // namespace zv::platform
