// The service commands of zvmachine: list, status.
//
// Owns: printing the machine's services (name, type, start type, state,
// image) and, for the suite's two block drivers, the records they would
// enforce if loaded now and what they reported at their last load.
// Must not: change services (programs do that through the service manager).
#include <cstdio>
#include <string>
#include <vector>

#include "platform/base/text.h"
#include "platform/files/machine.h"
#include "platform/services/service_manager.h"
#include "platform/services/service_manager_api.h"
#include "suite/block_drivers/block_driver_settings.h"
#include "tools/zvmachine_commands.h"

namespace zv::tools {
namespace {

using namespace zv::platform;

const char* StateName(win::DWORD state) {
  switch (state) {
    case win::SERVICE_STOPPED: return "STOPPED";
    case win::SERVICE_START_PENDING: return "START_PENDING";
    case win::SERVICE_STOP_PENDING: return "STOP_PENDING";
    case win::SERVICE_RUNNING: return "RUNNING";
    default: return "UNKNOWN";
  }
}

const char* TypeName(win::DWORD type) {
  switch (type) {
    case win::SERVICE_KERNEL_DRIVER: return "KERNEL_DRIVER";
    case win::SERVICE_FILE_SYSTEM_DRIVER: return "FILE_SYSTEM_DRIVER";
    case win::SERVICE_WIN32_OWN_PROCESS: return "WIN32_OWN_PROCESS";
    case win::SERVICE_WIN32_SHARE_PROCESS: return "WIN32_SHARE_PROCESS";
    default: return "UNKNOWN";
  }
}

const char* StartName(win::DWORD start) {
  static const char* const names[] = {"BOOT_START", "SYSTEM_START", "AUTO_START", "DEMAND_START", "DISABLED"};
  return start <= win::SERVICE_DISABLED ? names[start] : "UNKNOWN";
}

void Print(const std::string& line) { std::printf("%s\n", line.c_str()); }

int Status(Machine& machine, const std::string& name) {
  auto e = FindService(machine, text::FromUtf8(name));
  if (!e) {
    std::fprintf(stderr, "zvmachine: no service %s\n", name.c_str());
    return kFailed;
  }
  Print("SERVICE_NAME: " + text::ToUtf8(e->name));
  Print("DISPLAY_NAME: " + text::ToUtf8(e->displayName));
  Print(std::string("TYPE: ") + TypeName(e->type));
  Print(std::string("START_TYPE: ") + StartName(e->start));
  Print(std::string("STATE: ") + StateName(e->state) + (e->deletePending ? " (marked for delete)" : ""));
  Print("IMAGE_PATH: " + text::ToUtf8(e->imagePath));
  suite::BlockDriverKind kind;
  if (suite::BlockDriverKindOf(e->name, kind)) {
    Print("would enforce:");
    for (const std::string& line : suite::ReadBlockDriverKey(machine, kind, e->name).Lines(kind)) Print("  " + line);
  }
  if (!e->report.empty()) {
    Print("last load:");
    std::size_t pos = 0;
    while (pos < e->report.size()) {
      std::size_t end = e->report.find('\n', pos);
      if (end == std::string::npos) end = e->report.size();
      Print("  " + e->report.substr(pos, end - pos));
      pos = end + 1;
    }
  }
  return kOk;
}

}  // namespace

int RunServiceCommand(const std::vector<std::string>& args) {
  auto machine = Machine::Current();
  if (args.size() == 1 && args[0] == "list") {
    for (const ServiceEntry& e : ListServices(*machine)) {
      std::printf("%-20s %-20s %-13s %s\n", text::ToUtf8(e.name).c_str(), TypeName(e.type), StateName(e.state),
                  text::ToUtf8(e.imagePath).c_str());
    }
    return kOk;
  }
  if (args.size() == 2 && args[0] == "status") return Status(*machine, args[1]);
  return Usage("bad service command");
}

}  // namespace zv::tools
