// Events handed to the running driver stand-in, and what became of them.
//
// Owns: Notification, an event as the stand-in builds it (turned into the
// driver's record, channel::_MXRED_NOTIFICATION, byte for byte), conversion of DOS paths
// to the driver's device form through the machine's volume table, and
// DriverControl, the control connection used by tests, the CLI and the
// scenario player to inject events, read the status and unload.
// Must not: decide anything about an event; the connected client decides.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/filter/filter_wire.h"
#include "platform/files/machine.h"
#include "platform/base/win32.h"
#include "driver_channel/records.h"
#include "log/decision.h"

namespace zv::suite {

struct Notification {
  std::uint8_t kind = 0;
  std::uint32_t processId = 0;
  std::uint32_t param1 = 0;
  std::uint32_t param2 = 0;
  std::uint32_t param3 = 0;
  std::uint32_t desiredAccess = 0;
  std::uint32_t pathLength = 0;
  // May hold an inner zero unit (rename: source, zero, target). Cut to the
  // field's 1026 units, always zero-terminated.
  std::wstring path;

  std::string Bytes() const;
  static Notification FromBytes(std::string_view bytes);
  // Kinds 3, 4, 5, 7, 8 and 10 wait for a reply.
  static bool WaitsForReply(std::uint8_t kind);
};

// "\Device\..." passes as given; "C:\x", "\\?\C:\x" through the volume
// table; "\\server\share\x" and "\\?\UNC\server\share\x" to \Device\Mup.
// nullopt when the drive letter is not on the machine or the form is unknown.
std::optional<std::wstring> ToDevicePath(platform::Machine& machine, const std::wstring& path);

// Generic rights turned into the file rights they stand for, as the I/O
// manager does before a filter sees an open: GENERIC_READ 0x120089,
// GENERIC_WRITE 0x120116, GENERIC_EXECUTE 0x1200A0, GENERIC_ALL 0x1F01FF,
// OR'd with the other bits of the mask.
std::uint32_t MapGenericFileRights(std::uint32_t access);

// A rename target in the form the driver's record carries it: "C:\x" and
// "\\?\C:\x" become "\??\C:\x", "\\server\share\x" becomes
// "\??\UNC\server\share\x"; "\??\..." and "\Device\..." pass as
// written. nullopt when the path has no volume (ToDevicePath fails).
std::optional<std::wstring> ToRenameTargetPath(platform::Machine& machine, const std::wstring& path);

// Flag of an Inject request: mark the message so the client sends back the
// lines it wrote while deciding it (driver_channel/explain.h).
inline constexpr std::uint32_t kInjectExplain = 0x1;

struct InjectResult {
  bool delivered = false;  // false: the driver is not loaded or the connection broke
  platform::wire::Outcome outcome = platform::wire::Outcome::NoClient;
  std::uint8_t allow = 0;
  std::uint8_t auxFlag = 0;
  std::uint64_t messageId = 0;
  std::string error;  // why it was not delivered
  // With explaining on: whether the client's lines came (in time), the
  // lines in the order written, and how many did not fit the answer.
  bool explained = false;
  std::vector<log::DecisionLine> lines;
  std::uint32_t droppedLines = 0;
};

const char* OutcomeName(const InjectResult& r);

class DriverControl {
 public:
  explicit DriverControl(std::wstring filterName = L"ZVORX");
  ~DriverControl();
  DriverControl(const DriverControl&) = delete;
  DriverControl& operator=(const DriverControl&) = delete;

  bool Connected() const { return fd_ >= 0; }
  // Every later injection asks for the lines zvorx writes while deciding it.
  void SetExplain(bool explain) { explain_ = explain; }
  bool Explains() const { return explain_; }
  // Why there is no connection: "ZVORX is not loaded", "permission denied"
  // or "ZVORX does not answer".
  const std::string& Unavailable() const { return unavailable_; }

  InjectResult Inject(const Notification& n);
  InjectResult InjectOpen(std::uint32_t pid, const std::wstring& path, std::uint32_t desiredAccess, bool create,
                          bool isDir);
  InjectResult InjectRename(std::uint32_t pid, const std::wstring& source, const std::wstring& target,
                            bool replace, std::uint32_t desiredAccess = win::DELETE);
  InjectResult InjectProcess(std::uint32_t pid, std::uint32_t parent, bool created);
  InjectResult InjectImage(std::uint32_t pid, const std::wstring& imagePath);

  // The daemon's status text; nullopt when not connected.
  std::optional<std::string> Status();
  // Unloads the driver (as FilterUnload does).
  win::HRESULT Unload();

 private:
  std::optional<std::wstring> DevicePath(const std::wstring& path, InjectResult& failure);
  std::wstring filter_;
  int fd_ = -1;
  bool explain_ = false;
  std::string unavailable_;
};

}  // namespace zv::suite
