// halvorn: the suite's file-open handler launcher. Started with one
// argument "/exe:<handler>/mirror:<folder>", it notes both parts and starts
// the handler on the mirror folder (command line: the handler, quoted, and
// the folder, quoted), shown as it was shown itself.
//
// Owns: reading its argument. Must not: wait for the handler. Exit code 0
// when the handler started, 87 for a malformed argument, else the error of
// the start.
#include <string>

#include "platform/base/handles.h"
#include "platform/processes/process_table.h"
#include "platform/processes/program_api.h"
#include "platform/system/boot.h"
#include "platform/system/wow64.h"

using namespace zv;
using namespace zv::platform;

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
  const win::DWORD pid = CurrentProcessPid();
  const std::wstring image = CurrentProcessImage();
  auto args = process_detail::SplitArguments(programs.GetCommandLineW());
  std::wstring argument = args.size() > 1 ? args[1] : L"";
  AddProgramNote(*machine, pid, image, "argument", argument);
  std::size_t mirrorAt = argument.find(L"/mirror:");
  if (!argument.starts_with(L"/exe:") || mirrorAt == std::wstring::npos) programs.ExitProcess(win::ERROR_INVALID_PARAMETER);
  std::wstring handler = argument.substr(5, mirrorAt - 5);
  std::wstring mirror = argument.substr(mirrorAt + 8);
  AddProgramNote(*machine, pid, image, "exe", handler);
  AddProgramNote(*machine, pid, image, "mirror", mirror);

  win::STARTUPINFOW own;
  programs.GetStartupInfoW(&own);
  win::STARTUPINFOW startup;
  startup.dwFlags = own.dwFlags & win::STARTF_USESHOWWINDOW;
  startup.wShowWindow = own.wShowWindow;
  std::wstring line = process_detail::QuoteArgument(handler) + L" " + process_detail::QuoteArgument(mirror);
  line.push_back(L'\0');
  win::PROCESS_INFORMATION info;
  if (!programs.CreateProcessW(nullptr, line.data(), nullptr, nullptr, win::FALSE, 0, nullptr, nullptr, &startup,
                               &info)) {
    programs.ExitProcess(GetLastError());
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  programs.ExitProcess(0);
}
