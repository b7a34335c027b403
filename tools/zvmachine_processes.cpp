// The process commands of zvmachine:
//   zvmachine process list
//   zvmachine process add IMAGE [--parent PID] [--session N] [--protected]
//   zvmachine process end PID
//   zvmachine process events [--from SEQ] [--follow]
//
// Owns: parsing and printing of the process commands on Machine::Current().
// Must not: change processes except through the machine's process table.
#include "tools/zvmachine_commands.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "platform/processes/process_table.h"
#include "platform/base/text.h"

namespace zv::tools {
namespace {

using platform::Machine;

int ProcessUsage(std::ostream& out = std::cerr) {
  out << "usage: zvmachine process list\n"
               "       zvmachine process add IMAGE [--parent PID] [--session N] [--protected]\n"
               "       zvmachine process end PID\n"
               "       zvmachine process events [--from SEQ] [--follow]\n";
  return &out == &std::cout ? 0 : 2;
}

bool ParseNumber(const std::string& s, unsigned long long max, unsigned long long& out) {
  if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 20) return false;
  errno = 0;
  out = std::strtoull(s.c_str(), nullptr, 10);
  return errno == 0 && out <= max;
}

void PrintEvent(const platform::ProcessEvent& e) {
  std::printf("%8lld  %-7s %6u  parent %u  %s\n", static_cast<long long>(e.seq), e.created ? "start" : "end", e.pid,
              e.parent, text::ToUtf8(e.image).c_str());
  std::fflush(stdout);
}

int List(Machine& m) {
  std::printf("%6s %6s %7s  %-16s %s\n", "PID", "PARENT", "SESSION", "KIND", "IMAGE");
  for (const platform::MachineProcess& p : platform::ListProcesses(m)) {
    std::string kind = p.isProtected ? "protected" : p.hostPid ? "ours (host " + std::to_string(p.hostPid) + ")" : "scenario";
    std::printf("%6u %6u %7u  %-16s %s\n", p.pid, p.parent, p.session, kind.c_str(), text::ToUtf8(p.image).c_str());
  }
  return 0;
}

int Add(Machine& m, const std::vector<std::string>& args) {
  if (args.empty()) return ProcessUsage();
  std::string image;
  unsigned long long parent = 0, session = 1;
  bool isProtected = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--protected") {
      isProtected = true;
    } else if (a == "--parent" || a == "--session") {
      if (i + 1 >= args.size()) return ProcessUsage();
      unsigned long long& target = a == "--parent" ? parent : session;
      if (!ParseNumber(args[++i], 0xFFFFFFFFull, target)) {
        std::cerr << "zvmachine: " << a << " needs a number, not '" << args[i] << "'\n";
        return 2;
      }
    } else if (a.starts_with("--") || !image.empty()) {
      return ProcessUsage();
    } else {
      image = a;
    }
  }
  if (image.empty()) return ProcessUsage();
  if (parent != 0 && parent != 4 && !platform::FindProcess(m, static_cast<win::DWORD>(parent))) {
    std::cerr << "zvmachine: note: parent " << parent << " is not running\n";
  }
  win::DWORD pid = platform::AddProcess(m, static_cast<win::DWORD>(parent), text::FromUtf8(image),
                                        static_cast<win::DWORD>(session), isProtected);
  std::printf("started process %u (parent %llu, session %llu%s): %s\n", pid, parent, session,
              isProtected ? ", protected" : "", image.c_str());
  return 0;
}

int End(Machine& m, const std::vector<std::string>& args) {
  unsigned long long pid = 0;
  if (args.size() != 1 || !ParseNumber(args[0], 0xFFFFFFFFull, pid)) return ProcessUsage();
  switch (platform::EndProcess(m, static_cast<win::DWORD>(pid))) {
    case platform::EndResult::Ended:
      std::printf("ended process %llu\n", pid);
      return 0;
    case platform::EndResult::NotFound:
      std::cerr << "zvmachine: no process " << pid << "\n";
      return 1;
    case platform::EndResult::Refused:
      std::cerr << "zvmachine: process " << pid << " cannot be ended\n";
      return 1;
  }
  return 1;
}

int Events(const std::shared_ptr<Machine>& m, const std::vector<std::string>& args) {
  unsigned long long from = 0;
  bool follow = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--follow") {
      follow = true;
    } else if (args[i] == "--from" && i + 1 < args.size() && ParseNumber(args[i + 1], 1ull << 62, from)) {
      ++i;
    } else {
      return ProcessUsage();
    }
  }
  platform::ProcessEventFeed feed(m, static_cast<std::int64_t>(from));
  while (auto e = feed.WaitNext(0)) PrintEvent(*e);
  while (follow) {
    if (auto e = feed.WaitNext(win::INFINITE)) PrintEvent(*e);
  }
  return 0;
}

}  // namespace

int RunProcessCommand(const std::vector<std::string>& words) {
  std::vector<std::string> args = words;
  if (args.empty()) return ProcessUsage();
  std::string verb = args[0];
  args.erase(args.begin());
  if (verb == "--help" || verb == "-h" || verb == "help") {
    ProcessUsage(std::cout);
    return 0;
  }
  try {
    std::shared_ptr<Machine> m = Machine::Current();
    if (verb == "list" && args.empty()) return List(*m);
    if (verb == "add") return Add(*m, args);
    if (verb == "end") return End(*m, args);
    if (verb == "events") return Events(m, args);
    return ProcessUsage();
  } catch (const std::exception& e) {
    std::cerr << "zvmachine: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace zv::tools
