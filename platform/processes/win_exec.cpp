// The real ProcessApi, WinExec: see process_api_real.h.
//
// A command line of the machine names one of our programs: its first token
// (quoted or not; a DOS path or a trailing ".exe" is allowed) is looked up
// by file name only in ProgramFolder(), so a command line can never reach
// another host program. The program starts detached (double fork, new
// session, our descriptors closed) and is not waited for. It learns its
// machine parent through ZV_PARENT_PID and keeps our session through
// ZV_SESSION; it never inherits our ZV_IMAGE_PATH.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/processes/process_api_real.h"
#include "platform/processes/process_table.h"
#include "platform/base/text.h"

extern char** environ;

namespace zv::platform {
namespace {

constexpr win::UINT kWinExecStarted = 33;  // any value above 31 means success

// Splits a command line as the C run-time does for argv: blanks separate,
// quotes group, 2n backslashes before a quote give n and open/close, 2n+1
// give n and a literal quote.
std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> args;
  std::size_t i = 0;
  const std::size_t n = line.size();
  while (i < n) {
    while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      if (line[i] == '\\') {
        std::size_t slashes = 0;
        while (i < n && line[i] == '\\') {
          ++slashes;
          ++i;
        }
        if (i < n && line[i] == '"') {
          arg.append(slashes / 2, '\\');
          if (slashes % 2) {
            arg.push_back('"');
            ++i;
          }
        } else {
          arg.append(slashes, '\\');
        }
      } else if (line[i] == '"') {
        quoted = !quoted;
        ++i;
      } else {
        arg.push_back(line[i++]);
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

// The program's file name in our program folder, or empty when the token
// cannot name one of our programs.
std::string ProgramName(const std::string& token) {
  std::size_t cut = token.find_last_of("\\/:");
  std::string name = cut == std::string::npos ? token : token.substr(cut + 1);
  if (name.size() > 4) {
    std::string ext = name.substr(name.size() - 4);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".exe") name.resize(name.size() - 4);
  }
  if (name.empty() || name == "." || name == "..") return std::string();
  return name;
}

}  // namespace

std::string ProgramFolder() {
  if (const char* env = std::getenv("ZV_BIN_DIR"); env && *env) return env;
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
}

win::UINT RealProcessApi::WinExec(const std::string& commandLine, win::UINT showCommand) {
  // The command line is ANSI text; host arguments are UTF-8.
  std::vector<std::string> args = SplitCommandLine(text::ToUtf8(text::FromAnsi(commandLine)));
  if (args.empty()) {
    SetLastError(win::ERROR_FILE_NOT_FOUND);
    return win::ERROR_FILE_NOT_FOUND;
  }
  std::string name = ProgramName(args[0]);
  std::string folder = ProgramFolder();
  if (!name.empty() && !std::filesystem::exists(folder + "/" + name)) {
    // Program names are case-insensitive, as on Windows.
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
      std::string candidate = entry.path().filename().string();
      if (text::AsciiIEquals(text::FromUtf8(candidate), text::FromUtf8(name))) {
        name = candidate;
        break;
      }
    }
  }
  std::string program = name.empty() ? std::string() : folder + "/" + name;
  if (program.empty() || ::access(program.c_str(), X_OK) != 0 || std::filesystem::is_directory(program)) {
    SetLastError(win::ERROR_FILE_NOT_FOUND);
    return win::ERROR_FILE_NOT_FOUND;
  }
  args[0] = name;

  // Everything the children need is built before fork: after it, only
  // async-signal-safe calls.
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string_view v(*e);
    if (v.starts_with("ZV_IMAGE_PATH=") || v.starts_with("ZV_PARENT_PID=") || v.starts_with("ZV_SESSION=")) continue;
    env.emplace_back(v);
  }
  env.push_back("ZV_PARENT_PID=" + std::to_string(CurrentProcessPid()));
  env.push_back("ZV_SESSION=" + std::to_string(CurrentProcessSession()));
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  // The grandchild reports a failed exec through this pipe; a successful
  // exec closes it (close-on-exec) and the parent reads end of file.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    SetLastError(win::ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  pid_t child = ::fork();
  if (child < 0) {
    ::close(report[0]);
    ::close(report[1]);
    SetLastError(win::ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  if (child == 0) {
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
    ::close(report[0]);
    int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      if (devnull != 0) ::close(devnull);
    }
    // Our sockets, ports and lock files stay ours: only 0-2 and the report
    // pipe (moved to 3) survive.
    int rep = report[1];
    if (rep != 3) {
      ::dup2(rep, 3);
      rep = 3;
    }
    ::fcntl(rep, F_SETFD, FD_CLOEXEC);
    ::close_range(4, ~0u, 0);
    ::execve(program.c_str(), argv.data(), envp.data());
    int err = errno;
    ssize_t w = ::write(rep, &err, sizeof err);
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
  if (got == static_cast<ssize_t>(sizeof err)) {
    win::UINT code = err == ENOEXEC ? win::ERROR_BAD_FORMAT : win::ERROR_FILE_NOT_FOUND;
    SetLastError(code);
    return code;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    SetLastError(win::ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  return kWinExecStarted;
}

}  // namespace zv::platform
