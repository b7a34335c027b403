// The program commands of zvmachine:
//   zvmachine install
//   zvmachine program start [--session N] [--desktop D] [--show N] [--dir DOSDIR] [--wait] COMMAND LINE...
//   zvmachine program list
//   zvmachine program notes
//
// Owns: parsing and printing of the install step and of program starts on
// Machine::Current(). Must not: start programs except through
// CreateProcessW, or write program files except through the install step.
#include "tools/zvmachine_commands.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/processes/process_table.h"
#include "platform/processes/program_api.h"
#include "platform/threads/sync_api.h"
#include "suite/programs/install.h"

namespace zv::tools {
namespace {

using platform::Machine;

int ProgramUsage(std::ostream& out = std::cerr) {
  out << "usage: zvmachine program start [--session N] [--desktop D] [--show N] [--dir DOSDIR] [--wait]"
         " COMMAND LINE...\n"
         "       zvmachine program list\n"
         "       zvmachine program notes\n";
  return &out == &std::cout ? 0 : 2;
}

bool Number(const std::string& s, unsigned long& out) {
  if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 10) return false;
  out = std::strtoul(s.c_str(), nullptr, 10);
  return out <= 0xFFFFFFFFul;
}

int Start(const std::vector<std::string>& args) {
  unsigned long session = platform::DefaultSession(), show = 0;
  bool hasShow = false, wait = false;
  std::wstring desktop, dir;
  std::size_t i = 0;
  for (; i < args.size() && args[i].starts_with("--"); ++i) {
    const std::string& a = args[i];
    if (a == "--wait") {
      wait = true;
    } else if (i + 1 >= args.size()) {
      return ProgramUsage();
    } else if (a == "--session") {
      if (!Number(args[++i], session)) return ProgramUsage();
    } else if (a == "--show") {
      if (!Number(args[++i], show) || show > 0xFFFF) return ProgramUsage();
      hasShow = true;
    } else if (a == "--desktop") {
      desktop = text::FromUtf8(args[++i]);
    } else if (a == "--dir") {
      dir = text::FromUtf8(args[++i]);
    } else {
      return ProgramUsage();
    }
  }
  if (i >= args.size()) return ProgramUsage();
  std::string line;
  for (; i < args.size(); ++i) line += (line.empty() ? "" : " ") + args[i];
  // zvmachine starts it as a program of the given session.
  platform::RegisterCurrentProcess(L"C:\\Program Files\\ZV\\zvmachine.exe", static_cast<win::DWORD>(session));
  std::wstring command = text::FromUtf8(line);
  command.push_back(L'\0');
  win::STARTUPINFOW startup;
  if (!desktop.empty()) startup.lpDesktop = desktop.data();
  if (hasShow) {
    startup.dwFlags = win::STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<win::WORD>(show);
  }
  win::PROCESS_INFORMATION info;
  auto& programs = platform::Programs::Get();
  if (!programs.CreateProcessW(nullptr, command.data(), nullptr, nullptr, win::FALSE, 0, nullptr,
                               dir.empty() ? nullptr : dir.c_str(), &startup, &info)) {
    return Win32Failure("CreateProcessW", platform::GetLastError());
  }
  std::printf("started process %u\n", info.dwProcessId);
  std::fflush(stdout);
  int rc = kOk;
  if (wait) {
    platform::Threads::Get().WaitForSingleObject(info.hProcess, win::INFINITE);
    win::DWORD code = 0;
    programs.GetExitCodeProcess(info.hProcess, &code);
    std::printf("process %u ended with exit code %u (0x%08X)\n", info.dwProcessId, code, code);
  }
  platform::CloseHandle(info.hThread);
  platform::CloseHandle(info.hProcess);
  return rc;
}

int List(Machine& m) {
  for (const platform::ProgramStart& s : platform::ListProgramStarts(m)) {
    std::string ended = s.exitCode ? "exit " + std::to_string(*s.exitCode) : "running";
    std::string show = s.showWindow >= 0 ? std::to_string(s.showWindow) : "-";
    std::printf("%6u parent %u session %u %d-bit cb %u flags 0x%X show %s desktop '%s' dir '%s' [%s] %s: %s\n",
                s.pid, s.parent, s.session, s.bitness, s.startupSize, s.creationFlags, show.c_str(),
                text::ToUtf8(s.desktop).c_str(), text::ToUtf8(s.currentDir).c_str(), s.standIn.c_str(),
                ended.c_str(), text::ToUtf8(s.commandLine).c_str());
  }
  return kOk;
}

int Notes(Machine& m) {
  for (const platform::ProgramNote& n : platform::ListProgramNotes(m)) {
    std::printf("%6u %s %s=%s\n", n.pid, text::ToUtf8(n.image).c_str(), n.key.c_str(), text::ToUtf8(n.value).c_str());
  }
  return kOk;
}

// The block drivers' files go next to ZVVstIn, in the product folder.
win::DWORD InstallDriverFiles(std::wstring& failed) {
  return suite::InstallBlockDriverFiles(suite::kProductFolder, &failed);
}

}  // namespace

int RunInstallCommand(const std::vector<std::string>& args) {
  if (!args.empty()) return Usage("install takes no arguments");
  std::wstring failed;
  if (win::DWORD error = suite::InstallSuitePrograms(&failed)) {
    return Win32Failure("installing " + text::ToUtf8(failed), error);
  }
  InstallStartupProgram();
  if (win::DWORD error = InstallDriverFiles(failed)) return Win32Failure("installing " + text::ToUtf8(failed), error);
  std::printf("installed %zu programs\n", suite::SuitePrograms().size());
  std::printf("installed %zu driver files\n", suite::BlockDriverFiles(suite::kProductFolder).size());
  return kOk;
}

int RunProgramCommand(const std::vector<std::string>& words) {
  std::vector<std::string> args = words;
  if (args.empty()) return ProgramUsage();
  std::string verb = args[0];
  args.erase(args.begin());
  if (verb == "--help" || verb == "-h" || verb == "help") return ProgramUsage(std::cout);
  try {
    std::shared_ptr<Machine> m = Machine::Current();
    if (verb == "start") return Start(args);
    if (verb == "list" && args.empty()) return List(*m);
    if (verb == "notes" && args.empty()) return Notes(*m);
    return ProgramUsage();
  } catch (const std::exception& e) {
    std::cerr << "zvmachine: " << e.what() << "\n";
    return kFailed;
  }
}

}  // namespace zv::tools
