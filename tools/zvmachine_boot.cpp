// The boot commands of zvmachine: boot the machine, show its time and
// uptime, list the restarts programs asked for.
//
// Owns: parsing "boot [--uptime S]", "boot show", "boot restarts" and
// printing their results.
// Must not: end processes or keep time itself (platform/system does both).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/base/clock.h"
#include "platform/base/text.h"
#include "platform/files/machine.h"
#include "platform/system/boot.h"
#include "tools/zvmachine_commands.h"

namespace zv::tools {

using namespace zv::platform;

namespace {

std::string LocalText(std::int64_t utcMs) {
  win::SYSTEMTIME st;
  if (!LocalTimeOf(utcMs, st)) return "?";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                st.wSecond);
  return buf;
}

int Show(Machine& m) {
  MachineTime t = ReadMachineTime(m, ProgramClock().Scale());
  std::printf("boot time: %lld (%s local)\n", static_cast<long long>(t.bootMs / 1000), LocalText(t.bootMs).c_str());
  std::printf("now: %lld (%s local)\n", static_cast<long long>(t.utcMs / 1000), LocalText(t.utcMs).c_str());
  std::printf("uptime ms: %llu\n", static_cast<unsigned long long>(t.UptimeMs()));
  std::printf("tick count: %u\n", GetTickCount());
  std::printf("boots: %lld\n", static_cast<long long>(t.boots));
  return kOk;
}

int Restarts(Machine& m) {
  for (const RestartRequest& r : ListRestartRequests(m)) {
    Out(std::to_wstring(r.seq) + L"\t" + text::FromUtf8(LocalText(r.requestedMs)) + L"\t" + text::FromUtf8(r.kind) +
        L"\t" + std::to_wstring(r.delaySeconds) + L"\t" + std::to_wstring(r.pid) + L"\t" + r.image + L"\t" + r.command);
  }
  return kOk;
}

}  // namespace

int RunBootCommand(const std::vector<std::string>& args) {
  UseMachineTime();
  auto m = Machine::Current();
  if (args.size() == 1 && args[0] == "show") return Show(*m);
  if (args.size() == 1 && args[0] == "restarts") return Restarts(*m);
  std::uint64_t uptimeMs = 0;
  if (args.size() == 2 && args[0] == "--uptime") {
    char* end = nullptr;
    double seconds = std::strtod(args[1].c_str(), &end);
    if (args[1].empty() || *end != '\0' || !(seconds >= 0) || seconds > 4.0e9) return Usage("bad --uptime");
    uptimeMs = static_cast<std::uint64_t>(seconds * 1000);
  } else if (!args.empty()) {
    return Usage("bad boot command");
  }
  BootReport report = BootMachine(*m, uptimeMs);
  std::printf("ended %zu process(es), left %zu registered host program(s) running, logged %zu user(s) off\n",
              report.ended.size(), report.kept.size(), report.loggedOff.size());
  std::printf("boot time: %lld (%s local), uptime ms: %llu\n", static_cast<long long>(report.time.bootMs / 1000),
              LocalText(report.time.bootMs).c_str(), static_cast<unsigned long long>(uptimeMs));
  return kOk;
}

}  // namespace zv::tools
