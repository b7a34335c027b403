// Machine time, boot and restart requests: see boot.h.
#include "platform/system/boot.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "platform/base/clock.h"
#include "platform/base/text.h"
#include "platform/processes/process_table.h"
#include "platform/registry/hives.h"
#include "platform/system/wow64.h"

namespace zv::platform {

const SchemaStep kBootSchema = {
    "boot",
    "CREATE TABLE boot (id INTEGER PRIMARY KEY CHECK (id = 1), host_origin_ms INTEGER NOT NULL,"
    " machine_origin_ms INTEGER NOT NULL, scale REAL NOT NULL, boot_ms INTEGER NOT NULL,"
    " boots INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE restart_requests (seq INTEGER PRIMARY KEY AUTOINCREMENT, requested_ms INTEGER NOT NULL,"
    " pid INTEGER NOT NULL, image TEXT NOT NULL, kind TEXT NOT NULL, command TEXT NOT NULL,"
    " delay_s INTEGER NOT NULL);"};

namespace {

constexpr win::DWORD kIdlePid = 0;
constexpr win::DWORD kSystemPid = 4;

// The host's wall clock: the one reading every process of the host shares.
std::int64_t HostUtcMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The scale as text that reads back to the same double.
std::string ScaleText(double scale) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", scale);
  return buf;
}

// Reads (and, when needed, creates or re-scales) the origin inside a write
// transaction; returns the machine's now.
MachineTime MachineTimeIn(sqlite3* db, double scale) {
  const std::int64_t host = HostUtcMs();
  Statement q(db, "SELECT host_origin_ms, machine_origin_ms, scale, boot_ms, boots FROM boot WHERE id = 1;");
  MachineTime t;
  if (!q.Step()) {
    Statement ins(db,
                  "INSERT INTO boot(id, host_origin_ms, machine_origin_ms, scale, boot_ms, boots)"
                  " VALUES(1, ?, ?, CAST(? AS REAL), ?, 0);");
    ins.Bind(1, host).Bind(2, host).Bind(3, ScaleText(scale)).Bind(4, host).Run();
    t.utcMs = host;
    t.bootMs = host;
    return t;
  }
  const std::int64_t hostOrigin = q.Int(0);
  const std::int64_t machineOrigin = q.Int(1);
  const double storedScale = std::stod(q.Text(2));
  t.bootMs = q.Int(3);
  t.boots = q.Int(4);
  q.Reset();
  t.utcMs = machineOrigin + static_cast<std::int64_t>(std::llround(static_cast<double>(host - hostOrigin) * storedScale));
  if (storedScale != scale) {
    Statement s(db, "UPDATE boot SET host_origin_ms = ?, machine_origin_ms = ?, scale = CAST(? AS REAL) WHERE id = 1;");
    s.Bind(1, host).Bind(2, t.utcMs).Bind(3, ScaleText(scale)).Run();
  }
  return t;
}

}  // namespace

MachineTime ReadMachineTime(Machine& machine, double scale) {
  machine.EnsureSchema(kBootSchema);
  MachineTime t;
  machine.Write([&](sqlite3* db) { t = MachineTimeIn(db, scale); });
  return t;
}

std::optional<int> ParseTimeZone(const std::string& text) {
  std::string s;
  for (char c : text) {
    if (c != ' ') s.push_back(c);
  }
  if (s.empty()) return std::nullopt;
  if (s.rfind("UTC", 0) == 0 || s.rfind("GMT", 0) == 0) s.erase(0, 3);
  if (s.empty()) return 0;
  if (s[0] != '+' && s[0] != '-') return std::nullopt;
  const int sign = s[0] == '-' ? -1 : 1;
  std::size_t colon = s.find(':');
  int hours = 0, minutes = 0;
  auto number = [](const std::string& d, int& out) {
    if (d.empty() || d.size() > 2 || !std::all_of(d.begin(), d.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return false;
    }
    out = std::stoi(d);
    return true;
  };
  if (colon != std::string::npos) {
    if (!number(s.substr(1, colon - 1), hours) || !number(s.substr(colon + 1), minutes)) return std::nullopt;
  } else if (s.size() == 5) {
    if (!number(s.substr(1, 2), hours) || !number(s.substr(3, 2), minutes)) return std::nullopt;
  } else if (!number(s.substr(1), hours)) {
    return std::nullopt;
  }
  if (hours > 14 || minutes > 59) return std::nullopt;
  return sign * (hours * 60 + minutes);
}

bool UseMachineTime() {
  try {
    std::shared_ptr<Machine> machine = Machine::Current();
    if (!machine) return false;
    RealClock& clock = ProgramClock();
    MachineTime t = ReadMachineTime(*machine, clock.Scale());
    clock.Anchor(t.utcMs, t.UptimeMs());
    std::optional<std::string> zone = machine->Setting("time.zone");
    SetLocalTimeBias(zone ? ParseTimeZone(*zone) : std::nullopt);
    EnsureSystemFolders(*machine);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool StartedByMachine(int hostPid) {
  if (hostPid <= 0) return false;
  std::ifstream in("/proc/" + std::to_string(hostPid) + "/environ", std::ios::binary);
  if (!in) return false;
  std::string env((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t pos = 0;
  while (pos < env.size()) {
    std::size_t end = env.find('\0', pos);
    if (end == std::string::npos) end = env.size();
    // WinExec hands on the machine parent; the program starts that are
    // landing hand on the child's own machine pid.
    if (env.compare(pos, 14, "ZV_PARENT_PID=") == 0 || env.compare(pos, 7, "ZV_PID=") == 0) return true;
    pos = end + 1;
  }
  return false;
}

BootReport BootMachine(Machine& machine, std::uint64_t uptimeMs) {
  machine.EnsureSchema(kBootSchema);
  BootReport report;
  win::DWORD self = 0;
  try {
    self = CurrentProcessPid();
  } catch (const std::exception&) {
  }
  // Children first, so that a parent's end does not race its children's.
  std::vector<MachineProcess> rows = ListProcesses(machine);
  std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.pid > b.pid; });
  for (const MachineProcess& row : rows) {
    if (row.pid == kIdlePid || row.pid == kSystemPid || row.pid == self) continue;
    if (row.hostPid != 0 && !StartedByMachine(row.hostPid)) {
      report.kept.push_back(row.pid);
      continue;
    }
    if (EndProcess(machine, row.pid) == EndResult::Ended) report.ended.push_back(row.pid);
  }
  // Logged-on users' hives are written back and unloaded, as at a shut-down.
  for (const UserInfo& user : ListUsers(machine)) {
    if (!user.loggedOn) continue;
    if (Logoff(machine, user.name) == win::ERROR_SUCCESS) report.loggedOff.push_back(user.name);
  }
  // Services are stopped by the caller first (zvmachine boot, through the
  // service control manager, which this layer does not use).
  const double scale = ProgramClock().Scale();
  machine.Write([&](sqlite3* db) {
    MachineTime now = MachineTimeIn(db, scale);
    Statement u(db, "UPDATE boot SET boot_ms = ?, boots = boots + 1 WHERE id = 1;");
    u.Bind(1, now.utcMs - static_cast<std::int64_t>(uptimeMs)).Run();
    report.time = now;
    report.time.bootMs = now.utcMs - static_cast<std::int64_t>(uptimeMs);
    report.time.boots = now.boots + 1;
  });
  std::reverse(report.ended.begin(), report.ended.end());
  return report;
}

void RecordRestartRequest(Machine& machine, const std::string& kind, const std::wstring& command,
                          win::DWORD delaySeconds) {
  machine.EnsureSchema(kBootSchema);
  win::DWORD pid = 0;
  std::wstring image;
  try {
    pid = CurrentProcessPid();
    image = CurrentProcessImage();
  } catch (const std::exception&) {
  }
  const double scale = ProgramClock().Scale();
  machine.Write([&](sqlite3* db) {
    MachineTime now = MachineTimeIn(db, scale);
    Statement q(db,
                "INSERT INTO restart_requests(requested_ms, pid, image, kind, command, delay_s)"
                " VALUES(?, ?, ?, ?, ?, ?);");
    q.Bind(1, now.utcMs).Bind(2, pid).Bind(3, text::ToUtf8(image)).Bind(4, kind).Bind(5, text::ToUtf8(command))
        .Bind(6, delaySeconds)
        .Run();
  });
}

std::vector<RestartRequest> ListRestartRequests(Machine& machine) {
  machine.EnsureSchema(kBootSchema);
  std::vector<RestartRequest> out;
  machine.Read([&](sqlite3* db) {
    Statement q(db,
                "SELECT seq, requested_ms, pid, image, kind, command, delay_s FROM restart_requests ORDER BY seq;");
    while (q.Step()) {
      RestartRequest r;
      r.seq = q.Int(0);
      r.requestedMs = q.Int(1);
      r.pid = static_cast<win::DWORD>(q.Int(2));
      r.image = text::FromUtf8(q.Text(3));
      r.kind = q.Text(4);
      r.command = text::FromUtf8(q.Text(5));
      r.delaySeconds = static_cast<win::DWORD>(q.Int(6));
      out.push_back(std::move(r));
    }
  });
  return out;
}

}  // namespace zv::platform
