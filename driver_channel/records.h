// The binary records exchanged with the minifilter driver over its port.
//
// Owns: _MXRED_NOTIFICATION, _MXRED_REPLY_MESSAGE, MXRED_COMMAND and
// MXRED_MESSAGE, byte for byte as the driver lays them out (little-endian,
// every size and offset asserted below), the notification kinds and command
// codes, and bounded readers of the notification's path field.
// Must not: talk to the port or know the engines. Paths are read only through
// the accessors here, which never look outside the record whatever the driver
// put in Path or PathLength.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/base/win32.h"

namespace zv::channel {

static_assert(std::endian::native == std::endian::little, "the driver records are little-endian");

// UTF-16 units of the notification's path field, terminator included.
inline constexpr std::size_t kPathUnits = 1026;

// Notification kinds (Kind).
inline constexpr win::BYTE kKindImageLoad = 1;
inline constexpr win::BYTE kKindProcess = 2;
inline constexpr win::BYTE kKindFileOpen = 3;
inline constexpr win::BYTE kKindRename = 4;

// The driver waits for a reply to kinds 3, 4, 5, 7, 8 and 10; any other value
// (including unknown ones) is never answered.
constexpr bool KindExpectsReply(win::BYTE kind) {
  return kind == 3 || kind == 4 || kind == 5 || kind == 7 || kind == 8 || kind == 10;
}

struct _MXRED_NOTIFICATION {
  win::DWORD Reserved0;
  // Kind 2: parent pid; kind 3: non-zero when the open creates the object;
  // kind 4: non-zero when the rename may replace an existing target.
  win::DWORD Param1;
  win::BYTE Kind;
  win::BYTE Unused9[11];
  win::DWORD Param2;  // kind 2: non-zero when created, 0 when exited
  win::DWORD Unused24;
  win::DWORD Param3;  // kind 3: 1 when the object is a directory
  win::DWORD ProcessId;
  win::DWORD DesiredAccess;  // kinds 3 and 4
  win::DWORD Unused40;
  std::uint16_t Path[kPathUnits];  // UTF-16, zero-terminated (device form)
  win::DWORD PathLength;           // kind 4: target starts this many units into Path
  win::DWORD Unused2100;

  // The path up to its first zero unit, or up to the end of the field when
  // the driver left no terminator.
  std::wstring SourcePath() const;
  // Kind 4: the target path, PathLength units after the start of Path.
  // PathLength 0 gives the source path; an offset at or beyond the end of
  // the field gives an empty path. Ends at a zero unit or the field's end.
  std::wstring TargetPath() const;

  // Writers for the driver side and tests: clear the field, then copy the
  // text (truncated so a terminator always fits).
  void SetPath(std::wstring_view path);
  // Source, terminator, target, terminator; PathLength = source units + 1.
  // Both are truncated so that everything fits the field.
  void SetRenamePaths(std::wstring_view source, std::wstring_view target);
};

// Packed to 4 so the 8-byte MessageId does not pad the record to 2080 bytes.
#pragma pack(push, 4)
struct _MXRED_REPLY_MESSAGE {
  win::LONG Status;  // filter reply header: always 0
  win::DWORD Unused4;
  win::ULONGLONG MessageId;  // copied from the message header
  win::BYTE Allow;           // 1: proceed; 0: deny
  win::BYTE AuxFlag;         // second decision byte
  win::BYTE Reserved[2058];  // sent as zeros
};
#pragma pack(pop)

// Command codes and arguments (MXRED_COMMAND).
inline constexpr win::DWORD kCommandAddDirectFree = 0;  // argument: the process id
inline constexpr win::DWORD kCommandAllowUnload = 2;    // argument: 153 to allow, 0 to forbid
inline constexpr win::DWORD kAllowUnloadArgument = 153;

struct MXRED_COMMAND {
  win::DWORD Command;
  win::DWORD Unused4;
  win::DWORD Argument;
  win::BYTE Reserved[508];
};

MXRED_COMMAND MakeAddDirectFreeCommand(win::DWORD processId);
MXRED_COMMAND MakeAllowUnloadCommand(bool allow = true);

// One outstanding read: the filter message header, the notification, then
// the read's overlapped record. The first kMessageReadSize bytes are what
// FilterGetMessage fills.
struct MXRED_MESSAGE {
  win::ULONG ReplyLength;  // filter message header
  // The header's padding. The driver stand-in puts kExplainMark here when
  // the one who injected the notification asks why it was decided
  // (driver_channel/explain.h); the real driver leaves it zero.
  win::DWORD ExplainMark;
  win::ULONGLONG MessageId;
  _MXRED_NOTIFICATION Notification;
  win::OVERLAPPED Overlapped;

  // The buffer that owns an overlapped record handed back by a completion.
  static MXRED_MESSAGE* FromOverlapped(win::OVERLAPPED* overlapped);
};

inline constexpr win::DWORD kNotificationSize = 2104;
inline constexpr win::DWORD kReplySize = 2076;
inline constexpr win::DWORD kCommandSize = 520;
inline constexpr win::DWORD kMessageReadSize = 2120;  // header + notification
inline constexpr win::DWORD kMessageSize = 2152;

static_assert(sizeof(_MXRED_NOTIFICATION) == kNotificationSize);
static_assert(offsetof(_MXRED_NOTIFICATION, Reserved0) == 0);
static_assert(offsetof(_MXRED_NOTIFICATION, Param1) == 4);
static_assert(offsetof(_MXRED_NOTIFICATION, Kind) == 8);
static_assert(offsetof(_MXRED_NOTIFICATION, Param2) == 20);
static_assert(offsetof(_MXRED_NOTIFICATION, Param3) == 28);
static_assert(offsetof(_MXRED_NOTIFICATION, ProcessId) == 32);
static_assert(offsetof(_MXRED_NOTIFICATION, DesiredAccess) == 36);
static_assert(offsetof(_MXRED_NOTIFICATION, Path) == 44);
static_assert(sizeof(_MXRED_NOTIFICATION::Path) == 2052);
static_assert(offsetof(_MXRED_NOTIFICATION, PathLength) == 2096);

static_assert(sizeof(_MXRED_REPLY_MESSAGE) == kReplySize);
static_assert(offsetof(_MXRED_REPLY_MESSAGE, Status) == 0);
static_assert(offsetof(_MXRED_REPLY_MESSAGE, MessageId) == 8);
static_assert(offsetof(_MXRED_REPLY_MESSAGE, Allow) == 16);
static_assert(offsetof(_MXRED_REPLY_MESSAGE, AuxFlag) == 17);
static_assert(offsetof(_MXRED_REPLY_MESSAGE, Reserved) == 18);

static_assert(sizeof(MXRED_COMMAND) == kCommandSize);
static_assert(offsetof(MXRED_COMMAND, Command) == 0);
static_assert(offsetof(MXRED_COMMAND, Argument) == 8);
static_assert(offsetof(MXRED_COMMAND, Reserved) == 12);

static_assert(sizeof(MXRED_MESSAGE) == kMessageSize);
static_assert(offsetof(MXRED_MESSAGE, ReplyLength) == 0);
static_assert(offsetof(MXRED_MESSAGE, ExplainMark) == 4);
static_assert(offsetof(MXRED_MESSAGE, MessageId) == 8);
static_assert(offsetof(MXRED_MESSAGE, Notification) == 16);
static_assert(offsetof(MXRED_MESSAGE, Overlapped) == kMessageReadSize);

static_assert(std::is_standard_layout_v<MXRED_MESSAGE> && std::is_trivially_copyable_v<MXRED_MESSAGE>);
static_assert(std::is_standard_layout_v<_MXRED_REPLY_MESSAGE> && std::is_trivially_copyable_v<_MXRED_REPLY_MESSAGE>);
static_assert(std::is_standard_layout_v<MXRED_COMMAND> && std::is_trivially_copyable_v<MXRED_COMMAND>);

}  // namespace zv::channel
