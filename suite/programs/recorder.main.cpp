// recorder: the stand-in that any launched program of the suite or of
// Windows can be. It notes how it was started (command line, current
// folder, desktop, show state) and what it saw of the machine at its start
// (tick count, WOW64), may hold a titled top-level window, and
// ends at once, after a given time or on WM_CLOSE, with the exit code its
// program file gives (docs/programs.md, "The recorder").
//
// Owns: its program file's options "window", "class", "end", "exit".
// Must not: do anything else a real program would.
#include <cstdlib>
#include <string>

#include "platform/base/clock.h"
#include "platform/base/text.h"
#include "platform/files/paths.h"
#include "platform/processes/process_table.h"
#include "platform/processes/program_api.h"
#include "platform/system/boot.h"
#include "platform/system/wow64.h"
#include "platform/processes/program_files.h"
#include "platform/windows/window_table.h"

using namespace zv;
using namespace zv::platform;

namespace {

std::string Option(const ProgramFile& file, const std::string& key) {
  auto it = file.options.find(key);
  return it == file.options.end() ? std::string() : it->second;
}

win::DWORD Number(const std::string& s) { return static_cast<win::DWORD>(std::strtoul(s.c_str(), nullptr, 0)); }

}  // namespace

int main() {
  // Time and files as every program of the machine sees them (32-bit
  // programs get the WOW64 view).
  UseMachineTime();
  UseWow64Files();
  auto& programs = Programs::Get();
  std::shared_ptr<Machine> machine;
  try {
    machine = Machine::Current();
  } catch (const MachineError&) {
    return 1;
  }
  const std::wstring commandLine = programs.GetCommandLineW();
  const win::DWORD pid = CurrentProcessPid();
  const std::wstring image = CurrentProcessImage();
  win::STARTUPINFOW startup;
  programs.GetStartupInfoW(&startup);

  ProgramFile file;
  ResolvedPath resolved;
  if (ResolveDosPath(*machine, image, resolved) == win::ERROR_SUCCESS) {
    ReadProgramFile(FoundProgram{image, resolved.host}, file);
  }
  AddProgramNote(*machine, pid, image, "command_line", commandLine);
  AddProgramNote(*machine, pid, image, "current_dir", CurrentProcessDirectory());
  AddProgramNote(*machine, pid, image, "desktop", startup.lpDesktop ? startup.lpDesktop : L"");
  AddProgramNote(*machine, pid, image, "show",
                 (startup.dwFlags & win::STARTF_USESHOWWINDOW) ? std::to_wstring(startup.wShowWindow) : L"");
  AddProgramNote(*machine, pid, image, "tick_count", std::to_wstring(GetTickCount64()));
  AddProgramNote(*machine, pid, image, "wow64", IsWow64() ? L"1" : L"0");

  const win::DWORD exitCode = Number(Option(file, "exit"));
  std::string title = Option(file, "window");
  std::string end = Option(file, "end");
  std::wstring windowTitle = text::FromUtf8(title);
  if (title == "%1") {
    auto args = process_detail::SplitArguments(commandLine);
    windowTitle = args.size() > 1 ? args[1] : L"";
  }
  if (end.empty()) end = title.empty() ? "now" : "close";
  if (end == "now") programs.ExitProcess(exitCode);

  MessageQueue queue(machine);
  win::HWND window = nullptr;
  if (!title.empty()) {
    std::string className = Option(file, "class");
    window = CreateOwnWindow(*machine, windowTitle, text::FromUtf8(className.empty() ? "ZVRecorder" : className));
  }
  win::DWORD timeout = win::INFINITE;
  if (end.starts_with("after:")) timeout = Number(end.substr(6));
  const std::uint64_t started = GetTickCount64();
  for (;;) {
    win::DWORD left = timeout;
    if (timeout != win::INFINITE) {
      std::uint64_t elapsed = GetTickCount64() - started;
      if (elapsed >= timeout) break;
      left = static_cast<win::DWORD>(timeout - elapsed);
    }
    auto message = queue.Wait(left);
    if (!message) {
      if (timeout == win::INFINITE) continue;
      break;
    }
    if (message->message == win::WM_CLOSE && message->hwnd == window) {
      // As DefWindowProc: the window is destroyed, and with it the program.
      DestroyOwnWindow(*machine, window);
      window = nullptr;
      queue.Reply(*message, 0);
      break;
    }
    queue.Reply(*message, 0);
  }
  if (window) DestroyOwnWindow(*machine, window);
  programs.ExitProcess(exitCode);
}
