// The window commands of zvmachine:
//   zvmachine window list
//   zvmachine window open TITLE [--session N]
//   zvmachine window close HWND [--send]
//
// Owns: parsing and printing of the window commands on Machine::Current().
// A window is opened by starting the installed recorder that holds a window
// titled by its argument; it is closed with WM_CLOSE, posted (default) or
// sent. Must not: change windows except through their owners.
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
#include "platform/windows/window_api.h"
#include "platform/windows/window_table.h"
#include "suite/programs/install.h"

namespace zv::tools {
namespace {

using platform::Machine;

int WindowUsage(std::ostream& out = std::cerr) {
  out << "usage: zvmachine window list\n"
         "       zvmachine window open TITLE [--session N]\n"
         "       zvmachine window close HWND [--send]\n";
  return &out == &std::cout ? 0 : 2;
}

int List(Machine& m) {
  for (const platform::MachineWindow& w : platform::ListWindows(m)) {
    std::printf("0x%llx owner %u session %u desktop '%s' class '%s' title '%s'\n",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(w.hwnd)), w.owner, w.session,
                text::ToUtf8(w.desktop).c_str(), text::ToUtf8(w.className).c_str(), text::ToUtf8(w.title).c_str());
  }
  return kOk;
}

int Open(Machine& m, const std::vector<std::string>& args) {
  std::string title;
  unsigned long session = platform::DefaultSession();
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--session" && i + 1 < args.size()) {
      session = std::strtoul(args[++i].c_str(), nullptr, 10);
    } else if (title.empty() && !args[i].starts_with("--")) {
      title = args[i];
    } else {
      return WindowUsage();
    }
  }
  if (title.empty()) return WindowUsage();
  platform::RegisterCurrentProcess(L"C:\\Program Files\\ZV\\zvmachine.exe", static_cast<win::DWORD>(session));
  std::wstring line = platform::process_detail::QuoteArgument(std::wstring(suite::kProductFolder) + L"zvwindow.exe") +
                      L" " + platform::process_detail::QuoteArgument(text::FromUtf8(title));
  line.push_back(L'\0');
  win::STARTUPINFOW startup;
  win::PROCESS_INFORMATION info;
  if (!platform::Programs::Get().CreateProcessW(nullptr, line.data(), nullptr, nullptr, win::FALSE, 0, nullptr,
                                                nullptr, &startup, &info)) {
    return Win32Failure("CreateProcessW (is the machine installed?)", platform::GetLastError());
  }
  platform::CloseHandle(info.hThread);
  platform::CloseHandle(info.hProcess);
  if (!platform::WaitForOwnerWindow(m, info.dwProcessId, 30000)) {
    std::fprintf(stderr, "zvmachine: process %u ended without opening its window\n", info.dwProcessId);
    return kFailed;
  }
  for (const platform::MachineWindow& w : platform::ListWindows(m)) {
    if (w.owner == info.dwProcessId) {
      std::printf("0x%llx process %u\n", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(w.hwnd)),
                  info.dwProcessId);
    }
  }
  return kOk;
}

int Close(const std::vector<std::string>& args) {
  if (args.empty() || args.size() > 2 || (args.size() == 2 && args[1] != "--send")) return WindowUsage();
  char* end = nullptr;
  unsigned long long value = std::strtoull(args[0].c_str(), &end, 0);
  if (!end || *end) return WindowUsage();
  auto hwnd = reinterpret_cast<win::HWND>(static_cast<std::uintptr_t>(value));
  auto& windows = platform::TopLevelWindows::Get();
  if (args.size() == 2) {
    windows.SendMessageW(hwnd, win::WM_CLOSE, 0, 0);
    if (platform::GetLastError() == win::ERROR_INVALID_WINDOW_HANDLE) return Win32Failure("SendMessageW", 1400);
  } else if (!windows.PostMessageW(hwnd, win::WM_CLOSE, 0, 0)) {
    return Win32Failure("PostMessageW", platform::GetLastError());
  }
  return kOk;
}

}  // namespace

int RunWindowCommand(const std::vector<std::string>& words) {
  std::vector<std::string> args = words;
  if (args.empty()) return WindowUsage();
  std::string verb = args[0];
  args.erase(args.begin());
  if (verb == "--help" || verb == "-h" || verb == "help") return WindowUsage(std::cout);
  try {
    std::shared_ptr<Machine> m = Machine::Current();
    if (verb == "list" && args.empty()) return List(*m);
    if (verb == "open") return Open(*m, args);
    if (verb == "close") return Close(args);
    return WindowUsage();
  } catch (const std::exception& e) {
    std::cerr << "zvmachine: " << e.what() << "\n";
    return kFailed;
  }
}

}  // namespace zv::tools
