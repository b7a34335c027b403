// Injected events and the control connection: see driver_events.h.
#include "suite/driver/driver_events.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "driver_channel/explain.h"
#include "platform/filter/filter_api.h"
#include "platform/base/text.h"
#include "platform/files/volumes.h"

namespace zv::suite {

using platform::wire::Outcome;
namespace wire = platform::wire;

std::string Notification::Bytes() const {
  channel::_MXRED_NOTIFICATION record{};
  record.Param1 = param1;
  record.Kind = kind;
  record.Param2 = param2;
  record.Param3 = param3;
  record.ProcessId = processId;
  record.DesiredAccess = desiredAccess;
  // Copied unit by unit: a rename holds source, zero, target.
  std::size_t units = std::min(path.size(), channel::kPathUnits - 1);
  for (std::size_t i = 0; i < units; ++i) record.Path[i] = static_cast<std::uint16_t>(path[i]);
  record.PathLength = pathLength;
  return std::string(reinterpret_cast<const char*>(&record), sizeof record);
}

Notification Notification::FromBytes(std::string_view b) {
  Notification n;
  if (b.size() < sizeof(channel::_MXRED_NOTIFICATION)) return n;
  channel::_MXRED_NOTIFICATION record;
  std::memcpy(&record, b.data(), sizeof record);
  n.param1 = record.Param1;
  n.kind = record.Kind;
  n.param2 = record.Param2;
  n.param3 = record.Param3;
  n.processId = record.ProcessId;
  n.desiredAccess = record.DesiredAccess;
  n.pathLength = record.PathLength;
  n.path = record.SourcePath();
  return n;
}

bool Notification::WaitsForReply(std::uint8_t kind) { return channel::KindExpectsReply(kind); }

namespace {
bool StartsWithI(std::wstring_view s, std::wstring_view prefix) {
  return s.size() >= prefix.size() && text::AsciiIEquals(s.substr(0, prefix.size()), prefix);
}
}  // namespace

std::optional<std::wstring> ToDevicePath(platform::Machine& machine, const std::wstring& pathIn) {
  std::wstring path = pathIn;
  if (StartsWithI(path, L"\\Device\\")) return path;
  if (StartsWithI(path, L"\\\\?\\UNC\\")) return L"\\Device\\Mup\\" + path.substr(8);
  if (StartsWithI(path, L"\\\\?\\")) path = path.substr(4);
  else if (StartsWithI(path, L"\\??\\")) path = path.substr(4);
  else if (StartsWithI(path, L"\\\\")) return L"\\Device\\Mup\\" + path.substr(2);
  if (path.size() < 2 || path[1] != L':' || !((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')))
    return std::nullopt;
  if (path.size() > 2 && path[2] != L'\\') return std::nullopt;  // drive-relative forms are not paths the driver sees
  std::shared_ptr<platform::Machine> shared(std::shared_ptr<platform::Machine>(), &machine);  // not owned
  for (const platform::VolumeInfo& v : platform::VolumeTable(shared).List()) {
    if (!v.letter.empty() && text::AsciiIEquals(v.letter, path.substr(0, 2))) return v.device + path.substr(2);
  }
  return std::nullopt;
}

std::uint32_t MapGenericFileRights(std::uint32_t access) {
  constexpr std::uint32_t kRead = 0x120089, kWrite = 0x120116, kExecute = 0x1200A0, kAll = 0x1F01FF;
  std::uint32_t mapped = access & ~(win::GENERIC_READ | win::GENERIC_WRITE | win::GENERIC_EXECUTE | win::GENERIC_ALL);
  if (access & win::GENERIC_READ) mapped |= kRead;
  if (access & win::GENERIC_WRITE) mapped |= kWrite;
  if (access & win::GENERIC_EXECUTE) mapped |= kExecute;
  if (access & win::GENERIC_ALL) mapped |= kAll;
  return mapped;
}

std::optional<std::wstring> ToRenameTargetPath(platform::Machine& machine, const std::wstring& path) {
  // Checked like any path first: a target without a volume is refused.
  if (!ToDevicePath(machine, path)) return std::nullopt;
  if (StartsWithI(path, L"\\Device\\") || StartsWithI(path, L"\\??\\")) return path;
  if (StartsWithI(path, L"\\\\?\\UNC\\")) return L"\\??\\UNC\\" + path.substr(8);
  if (StartsWithI(path, L"\\\\?\\")) return L"\\??\\" + path.substr(4);
  if (StartsWithI(path, L"\\\\")) return L"\\??\\UNC\\" + path.substr(2);
  return L"\\??\\" + path;
}

const char* OutcomeName(const InjectResult& r) {
  if (!r.delivered) return "error";
  switch (r.outcome) {
    case Outcome::Replied: return r.allow ? "allow" : "deny";
    case Outcome::NoReplyExpected: return "noreply";
    case Outcome::TimedOut: return "timeout";
    case Outcome::NoClient: return "noclient";
  }
  return "error";
}

DriverControl::DriverControl(std::wstring filterName) : filter_(std::move(filterName)) {
  errno = 0;
  try {
    fd_ = wire::ConnectControl(filter_);
  } catch (const platform::MachineError&) {
    fd_ = -1;
  }
  if (fd_ < 0) {
    std::string name = text::ToUtf8(filter_);
    if (errno == EACCES || errno == EPERM) unavailable_ = "permission denied";
    else if (errno == ETIMEDOUT) unavailable_ = name + " does not answer";
    else unavailable_ = name + " is not loaded";
  }
}

DriverControl::~DriverControl() {
  if (fd_ >= 0) ::close(fd_);
}

InjectResult DriverControl::Inject(const Notification& n) {
  InjectResult r;
  if (fd_ < 0) {
    r.error = unavailable_.empty() ? "the connection to the driver is closed" : unavailable_;
    return r;
  }
  std::string body(4, '\0');
  if (explain_) wire::PutU32(body, 0, kInjectExplain);
  body += n.Bytes();
  win::HRESULT hr = win::E_FAIL;
  std::string payload;
  // An injection waits as long as the driver's reply time-out says.
  if (wire::Call(fd_, wire::Frame::Inject, body, hr, payload, 0) != wire::CallStatus::Answered) {
    ::close(fd_);
    fd_ = -1;
    r.error = "the driver closed the connection";
    return r;
  }
  if (hr != win::S_OK || payload.size() < wire::kOutcomeSize) {
    char text[64];
    std::snprintf(text, sizeof text, "refused (0x%08X)", static_cast<unsigned>(hr));
    r.error = text;
    return r;
  }
  r.delivered = true;
  r.outcome = static_cast<Outcome>(wire::GetU32(payload, 0));
  r.allow = static_cast<std::uint8_t>(payload[4]);
  r.auxFlag = static_cast<std::uint8_t>(payload[5]);
  r.messageId = wire::GetU64(payload, 8);
  if (explain_ && payload.size() >= wire::kOutcomeSize + 8) {
    r.explained = wire::GetU32(payload, 16) != 0;
    r.droppedLines = wire::GetU32(payload, 20);
    channel::DecodeExplainedLines(std::string_view(payload).substr(wire::kOutcomeSize + 8), r.lines);
  }
  return r;
}

std::optional<std::wstring> DriverControl::DevicePath(const std::wstring& path, InjectResult& failure) {
  std::optional<std::wstring> device;
  try {
    device = ToDevicePath(*platform::Machine::Current(), path);
  } catch (const platform::MachineError& e) {
    failure.error = e.what();
    return std::nullopt;
  }
  if (!device) failure.error = "no volume for " + text::ToUtf8(path);
  return device;
}

InjectResult DriverControl::InjectOpen(std::uint32_t pid, const std::wstring& path, std::uint32_t desiredAccess,
                                       bool create, bool isDir) {
  InjectResult failure;
  auto device = DevicePath(path, failure);
  if (!device) return failure;
  Notification n;
  n.kind = 3;
  n.processId = pid;
  n.desiredAccess = MapGenericFileRights(desiredAccess);
  n.param1 = create ? 1 : 0;
  n.param3 = isDir ? 1 : 0;
  n.path = *device;
  return Inject(n);
}

InjectResult DriverControl::InjectRename(std::uint32_t pid, const std::wstring& source, const std::wstring& target,
                                         bool replace, std::uint32_t desiredAccess) {
  InjectResult failure;
  auto from = DevicePath(source, failure);
  if (!from) return failure;
  std::optional<std::wstring> to;
  try {
    to = ToRenameTargetPath(*platform::Machine::Current(), target);
  } catch (const platform::MachineError& e) {
    failure.error = e.what();
    return failure;
  }
  if (!to) {
    failure.error = "no volume for " + text::ToUtf8(target);
    return failure;
  }
  Notification n;
  n.kind = 4;
  n.processId = pid;
  n.desiredAccess = MapGenericFileRights(desiredAccess);
  n.param1 = replace ? 1 : 0;
  n.path = *from + L'\0' + *to;
  n.pathLength = static_cast<std::uint32_t>(from->size() + 1);
  return Inject(n);
}

InjectResult DriverControl::InjectProcess(std::uint32_t pid, std::uint32_t parent, bool created) {
  Notification n;
  n.kind = 2;
  n.processId = pid;
  n.param1 = parent;
  n.param2 = created ? 1 : 0;
  return Inject(n);
}

InjectResult DriverControl::InjectImage(std::uint32_t pid, const std::wstring& imagePath) {
  InjectResult failure;
  auto device = DevicePath(imagePath, failure);
  if (!device) return failure;
  Notification n;
  n.kind = 1;
  n.processId = pid;
  n.path = *device;
  return Inject(n);
}

std::optional<std::string> DriverControl::Status() {
  if (fd_ < 0) return std::nullopt;
  win::HRESULT hr = win::E_FAIL;
  std::string payload;
  if (wire::Call(fd_, wire::Frame::Status, {}, hr, payload, wire::CallTimeoutMs()) != wire::CallStatus::Answered) {
    ::close(fd_);
    fd_ = -1;
    return std::nullopt;
  }
  return payload;
}

win::HRESULT DriverControl::Unload() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  return platform::Filters::Get().FilterUnload(filter_.c_str());
}

}  // namespace zv::suite
