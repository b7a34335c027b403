// The framed protocol between filter-manager clients and the driver stand-in.
//
// Owns: frame layout (12-byte header: u32 body length, u32 type, u32 request
// id, all little-endian, then the body), frame types, blocking send/receive
// of whole frames on a Unix stream socket, and where a loaded filter's
// socket and files live in the machine's run folder.
// Must not: interpret notification records beyond the 16-byte message
// header; the driver's semantics live in suite/, the client calls in
// filter_port.cpp and filter_api.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/win32.h"

namespace zv::platform::wire {

inline constexpr std::uint32_t kHeaderSize = 12;
inline constexpr std::uint32_t kMaxBody = 64 * 1024;

// Sizes of the records the driver exchanges, carried byte for byte.
inline constexpr std::uint32_t kMessageHeaderSize = 16;   // FILTER_MESSAGE_HEADER
inline constexpr std::uint32_t kNotificationSize = 2104;  // _MXRED_NOTIFICATION
inline constexpr std::uint32_t kMessageSize = kMessageHeaderSize + kNotificationSize;  // 2120
inline constexpr std::uint32_t kReplySize = 2076;         // _MXRED_REPLY_MESSAGE
inline constexpr std::uint32_t kCommandSize = 520;        // MXRED_COMMAND

enum class Frame : std::uint32_t {
  // client -> driver
  Hello = 1,    // body: u32 role, then the port name in UTF-16LE (port role)
  Reply = 2,    // body: the reply record as given to FilterReplyMessage
  Command = 3,  // body: the input buffer of FilterSendMessage
  Inject = 4,   // control: u32 flags (0), then a 2104-byte notification
  Status = 5,   // control: no body; result payload is UTF-8 text
  Unload = 6,   // control: no body
  // driver -> client
  Result = 16,   // body: i32 HRESULT, then a payload (depends on the request)
  Message = 17,  // body: 16-byte message header + 2104-byte notification
};

enum class Role : std::uint32_t { Port = 1, Control = 2 };

// Outcome of an injected notification (payload of the Result of Inject:
// u32 outcome, u8 Allow, u8 AuxFlag, 2 bytes zero, u64 message id).
enum class Outcome : std::uint32_t {
  Replied = 0,          // the client answered in time; Allow/AuxFlag are its bytes
  NoReplyExpected = 1,  // delivered; the kind is a report only
  TimedOut = 2,         // the client did not answer in time; the operation proceeds
  NoClient = 3,         // no client connected (or it went away); proceeds undecided
};
inline constexpr std::uint32_t kOutcomeSize = 16;

struct FrameHeader {
  std::uint32_t length = 0;
  Frame type{};
  std::uint32_t request = 0;
};

// Whole-frame I/O on a blocking socket. False on EOF or error.
bool SendFrame(int fd, Frame type, std::uint32_t request, std::string_view body);
bool SendFrame(int fd, Frame type, std::uint32_t request, std::string_view part1, std::string_view part2);
bool ReceiveFrame(int fd, FrameHeader& header, std::string& body);
// Sends a frame only if the socket takes it without waiting; false (and
// nothing sent) when it would wait. A frame the socket takes in part is
// finished blocking, so the stream stays whole.
bool TrySendFrame(int fd, Frame type, std::uint32_t request, std::string_view body);

// A Result body: HRESULT then payload.
std::string ResultBody(win::HRESULT hr, std::string_view payload = {});
win::HRESULT ResultCode(std::string_view body);

// Little-endian helpers for record fields.
void PutU32(std::string& bytes, std::size_t offset, std::uint32_t value);
void PutU64(std::string& bytes, std::size_t offset, std::uint64_t value);
std::uint32_t GetU32(std::string_view bytes, std::size_t offset);
std::uint64_t GetU64(std::string_view bytes, std::size_t offset);

// Files of a loaded filter in the current machine's run folder; the name is
// the filter name in lower case ("ZVORX" -> "zvorx-driver.sock").
std::string DriverSocketPath(std::wstring_view filterName);
std::string DriverLockPath(std::wstring_view filterName);
std::string DriverPidPath(std::wstring_view filterName);

// How long a client waits for the driver before giving up with
// HRESULT_FROM_WIN32(ERROR_TIMEOUT): to connect, for the answer to a
// request, and for the daemon to go after an unload. Real time (a host
// I/O bound, not the driver's clock); machine setting
// "driver.CallTimeoutMs" replaces the default.
inline constexpr std::uint32_t kDefaultCallTimeoutMs = 5000;
std::uint32_t CallTimeoutMs();

// Connects a stream socket to path within timeoutMs (a listener whose
// backlog is full is retried until then); -1 with errno on failure
// (ETIMEDOUT when the time ran out). A path that is a link, or anything
// but a socket, is refused (ELOOP, ENOTSOCK): nothing in the run folder is
// followed.
int ConnectUnix(const std::string& path, std::uint32_t timeoutMs);

// Opens a control connection to the loaded filter (Hello with the control
// role); -1 when it is not loaded, with errno ETIMEDOUT when a daemon
// accepted but did not answer in time, EACCES when we may not talk to it.
int ConnectControl(std::wstring_view filterName);

// One request on a control connection: sends, waits for its Result (at
// most timeoutMs between bytes; 0 waits as long as it takes).
enum class CallStatus { Answered, Broken, TimedOut };
CallStatus Call(int fd, Frame type, std::string_view body, win::HRESULT& hr, std::string& payload,
                std::uint32_t timeoutMs);

}  // namespace zv::platform::wire
