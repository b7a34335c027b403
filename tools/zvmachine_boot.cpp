// The boot commands of zvmachine: boot the machine, show its time and
// uptime, list the restarts programs asked for.
//
// Owns: parsing "boot [--uptime S]", "boot show", "boot restarts" and
// printing their results; stopping the machine's services before a boot.
// Must not: end processes or keep time itself (platform/system does both),
// or change a service's run state except as a boot ends it.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/clock.h"
#include "platform/base/text.h"
#include "platform/files/machine.h"
#include "platform/services/service_manager.h"
#include "platform/services/service_manager_api.h"
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

// Stops every service that is not stopped through the service control
// manager, as a shut-down does. A service that does not stop (stop-pending
// for a while or for ever, or refusing the stop) is stopped by the boot all
// the same: no run state survives a restart, and one marked for delete
// goes. Returns how many services were stopped and how many of them only
// by the boot.
std::pair<int, int> StopServices(Machine& m) {
  auto& scm = ServiceManager::Get();
  int stopped = 0, forced = 0;
  win::SC_HANDLE manager = scm.OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS);
  for (const ServiceEntry& e : ListServices(m)) {
    if (e.state == win::SERVICE_STOPPED) continue;
    ++stopped;
    win::SC_HANDLE service = manager ? scm.OpenServiceW(manager, e.name.c_str(), win::SERVICE_STOP) : nullptr;
    bool stoppedByControl = false;
    if (service) {
      win::SERVICE_STATUS status{};
      stoppedByControl = scm.ControlService(service, win::SERVICE_CONTROL_STOP, &status) &&
                         status.dwCurrentState == win::SERVICE_STOPPED;
      scm.CloseServiceHandle(service);
    }
    if (stoppedByControl) continue;
    ++forced;
    m.Write([&](sqlite3* db) {
      auto now = servicedb::Lookup(db, e.name);
      if (!now) return;
      if (now->deletePending) {
        servicedb::Remove(db, now->name);
      } else {
        servicedb::SetState(db, now->name, win::SERVICE_STOPPED, std::nullopt, false);
      }
    });
  }
  if (manager) scm.CloseServiceHandle(manager);
  return {stopped, forced};
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
  const auto [stopped, forced] = StopServices(*m);
  BootReport report = BootMachine(*m, uptimeMs);
  std::printf("stopped %d service(s) (%d by the boot itself)\n", stopped, forced);
  std::printf("ended %zu process(es), left %zu registered host program(s) running, logged %zu user(s) off\n",
              report.ended.size(), report.kept.size(), report.loggedOff.size());
  std::printf("boot time: %lld (%s local), uptime ms: %llu\n", static_cast<long long>(report.time.bootMs / 1000),
              LocalText(report.time.bootMs).c_str(), static_cast<unsigned long long>(uptimeMs));
  return kOk;
}

}  // namespace zv::tools
