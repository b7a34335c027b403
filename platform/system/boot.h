// The machine's time, boot and restart requests.
//
// Owns: the schema step "boot" of machine.db (the table boot: the machine's
// time origin, its boot time and boot count; the table restart_requests),
// the anchoring of the program's clock to the machine (UseMachineTime), the
// machine's time zone (machine setting "time.zone"), a boot of the machine
// (BootMachine) and the record of requested restarts and shut-downs.
// Machine time: UTC of the machine = machine_origin_ms + (host UTC now -
// host_origin_ms) x scale, the scale being ZV_TIME_SCALE. The origin is
// written once, when the machine's time is first asked for, with both
// origins at the host's now; a program whose scale differs from the stored
// one moves the origin to "now" (the machine's time runs on without a jump)
// and stores its scale. Uptime = machine UTC - boot_ms.
// Must not: restart or shut down the host, or signal a host process that
// only registered itself on the machine (process_table.h ends programs).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/win32.h"
#include "platform/files/machine.h"

namespace zv::platform {

extern const SchemaStep kBootSchema;

struct MachineTime {
  std::int64_t utcMs = 0;   // the machine's now
  std::int64_t bootMs = 0;  // the machine's last boot, machine UTC
  std::int64_t boots = 0;   // boots since the machine was made
  std::uint64_t UptimeMs() const { return utcMs > bootMs ? static_cast<std::uint64_t>(utcMs - bootMs) : 0; }
};

// The machine's time now, at the given scale (creating the origin and the
// first boot, at the host's now, when the machine has none yet).
MachineTime ReadMachineTime(Machine& machine, double scale);

// Anchors ProgramClock() to the current machine's time and uptime and sets
// the local-time bias from the machine setting "time.zone". Every program
// of the machine calls it first thing in main; without a machine it leaves
// the clock as it is. False when there is no machine or it cannot be read.
bool UseMachineTime();

// Parses a "time.zone" value: "UTC", or an offset "+09:00", "-05:00",
// "+0530", "UTC+9" (minutes east of UTC). Nothing for other text.
std::optional<int> ParseTimeZone(const std::string& text);

// What a boot did.
struct BootReport {
  std::vector<win::DWORD> ended;  // machine processes ended
  std::vector<win::DWORD> kept;   // host programs that only registered: left running
  std::vector<std::wstring> loggedOff;  // users whose hives were written back and unloaded
  MachineTime time;               // after the boot
};

// Boots the machine: ends every machine process except the idle and system
// processes, the caller and host programs that only registered themselves
// (never signalled; only programs the machine started are killed), logs
// every logged-on user off (hives written back and unloaded), then sets the
// boot time so that the uptime is `uptimeMs` now and counts the boot.
// The machine's services are stopped by the caller before (zvmachine boot
// does it through the service control manager; docs/system.md).
// Throws MachineError when the database fails.
BootReport BootMachine(Machine& machine, std::uint64_t uptimeMs);

// True when a host process was started by the machine (its environment
// carries ZV_PARENT_PID or ZV_PID, which the machine's program starts hand
// on and a program started from a host shell lacks).
bool StartedByMachine(int hostPid);

// A restart, shut-down or log-off that a program asked for; recorded, never
// performed.
struct RestartRequest {
  std::int64_t seq = 0;
  std::int64_t requestedMs = 0;  // machine UTC
  win::DWORD pid = 0;            // the requesting machine process
  std::wstring image;
  std::string kind;              // "restart", "shutdown", "logoff", "abort"
  std::wstring command;          // the command line or call that asked
  win::DWORD delaySeconds = 0;
};

// Records a request of the calling program.
void RecordRestartRequest(Machine& machine, const std::string& kind, const std::wstring& command,
                          win::DWORD delaySeconds);
std::vector<RestartRequest> ListRestartRequests(Machine& machine);

}  // namespace zv::platform
