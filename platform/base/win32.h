// Windows-shaped types and constants, in one place.
//
// Owns: the integer types, handle type, result codes, error codes, attribute
// bits, access rights and record layouts that the Win32 calls of this system
// take and return. Everything above platform/ speaks in these terms so that a
// real Win32 backend could replace our stand-ins without touching callers.
// Must not: contain behaviour. Functions live in the platform headers that
// declare the calls (handles.h, clock.h, api headers).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zv::win {

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using BOOL = std::int32_t;
using BOOLEAN = std::uint8_t;
using HRESULT = std::int32_t;
using ULONG_PTR = std::uintptr_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using WCHAR = wchar_t;  // holds one UTF-16 code unit
using HANDLE = void*;
using HMODULE = void*;
using HWND = void*;
using ACCESS_MASK = DWORD;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});
inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD MAX_PATH = 260;

// ---- Win32 error codes -------------------------------------------------
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_INVALID_FUNCTION = 1;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_BAD_FORMAT = 11;
inline constexpr DWORD ERROR_INVALID_DATA = 13;
inline constexpr DWORD ERROR_OUTOFMEMORY = 14;
inline constexpr DWORD ERROR_INVALID_DRIVE = 15;
inline constexpr DWORD ERROR_NO_MORE_FILES = 18;
inline constexpr DWORD ERROR_BAD_LENGTH = 24;
inline constexpr DWORD ERROR_NOT_READY = 21;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_HANDLE_EOF = 38;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_FILE_EXISTS = 80;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_BROKEN_PIPE = 109;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_INVALID_NAME = 123;
inline constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
inline constexpr DWORD ERROR_SIGNAL_REFUSED = 156;
inline constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
inline constexpr DWORD ERROR_BAD_PATHNAME = 161;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;
inline constexpr DWORD ERROR_EXE_MACHINE_TYPE_MISMATCH = 216;
inline constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr DWORD ERROR_NO_DATA = 232;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_DIRECTORY = 267;
inline constexpr DWORD ERROR_NOT_OWNER = 288;
inline constexpr DWORD ERROR_PARTIAL_COPY = 299;
inline constexpr DWORD ERROR_OPERATION_ABORTED = 995;
inline constexpr DWORD ERROR_IO_INCOMPLETE = 996;
inline constexpr DWORD ERROR_IO_PENDING = 997;
inline constexpr DWORD ERROR_NOACCESS = 998;
inline constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr DWORD ERROR_SERVICE_ALREADY_RUNNING = 1056;
inline constexpr DWORD ERROR_PROCESS_ABORTED = 1067;
inline constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr DWORD ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
inline constexpr DWORD ERROR_NOT_FOUND = 1168;
inline constexpr DWORD ERROR_NOT_ALL_ASSIGNED = 1300;
inline constexpr DWORD ERROR_NO_SUCH_PRIVILEGE = 1313;
inline constexpr DWORD ERROR_PRIVILEGE_NOT_HELD = 1314;
inline constexpr DWORD ERROR_TIMEOUT = 1460;
inline constexpr DWORD ERROR_CONNECTION_COUNT_LIMIT = 1238;
inline constexpr DWORD ERROR_ABANDONED_WAIT_0 = 735;

// RPC status codes (Win32 range).
inline constexpr LONG RPC_S_OK = 0;
inline constexpr LONG RPC_S_INVALID_STRING_BINDING = 1700;
inline constexpr LONG RPC_S_PROTSEQ_NOT_SUPPORTED = 1703;
inline constexpr LONG RPC_S_INVALID_ENDPOINT_FORMAT = 1706;
inline constexpr LONG RPC_S_SERVER_UNAVAILABLE = 1722;
inline constexpr LONG RPC_S_CALL_FAILED = 1726;
inline constexpr LONG RPC_S_PROTOCOL_ERROR = 1728;
inline constexpr LONG RPC_S_UNKNOWN_IF = 1717;
inline constexpr LONG RPC_S_PROCNUM_OUT_OF_RANGE = 1745;
inline constexpr LONG RPC_S_STRING_TOO_LONG = 1743;
inline constexpr LONG RPC_S_ALREADY_LISTENING = 1713;
inline constexpr LONG RPC_S_DUPLICATE_ENDPOINT = 1740;
inline constexpr LONG RPC_X_NULL_REF_POINTER = 1780;
inline constexpr LONG RPC_X_BAD_STUB_DATA = 1783;
inline constexpr LONG RPC_S_ACCESS_DENIED = 5;
inline constexpr LONG RPC_S_INVALID_BINDING = 1702;
inline constexpr LONG RPC_S_ALREADY_REGISTERED = 1711;
inline constexpr LONG RPC_S_NO_PROTSEQS_REGISTERED = 1714;
inline constexpr LONG RPC_S_NOT_LISTENING = 1715;
inline constexpr LONG RPC_S_CANT_CREATE_ENDPOINT = 1720;
inline constexpr LONG RPC_S_OUT_OF_RESOURCES = 1721;
inline constexpr LONG RPC_S_SERVER_TOO_BUSY = 1723;
inline constexpr LONG RPC_S_CALL_FAILED_DNE = 1727;
inline constexpr LONG RPC_S_UNSUPPORTED_TRANS_SYN = 1730;
inline constexpr LONG RPC_S_INVALID_ARG = 87;
inline constexpr LONG RPC_S_OUT_OF_MEMORY = 14;
inline constexpr LONG RPC_S_CALL_CANCELLED = 1818;

struct GUID {
  DWORD Data1 = 0;
  WORD Data2 = 0;
  WORD Data3 = 0;
  BYTE Data4[8] = {};
  friend bool operator==(const GUID&, const GUID&) = default;
};

// ---- HRESULTs -----------------------------------------------------------
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);

constexpr HRESULT HRESULT_FROM_WIN32(DWORD error) {
  return static_cast<HRESULT>(error) <= 0 ? static_cast<HRESULT>(error)
                                          : static_cast<HRESULT>((error & 0x0000FFFFu) | 0x80070000u);
}
constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

// Filter manager results.
inline constexpr HRESULT HR_IO_PENDING = HRESULT_FROM_WIN32(ERROR_IO_PENDING);            // 0x800703E5
inline constexpr HRESULT HR_ALREADY_EXISTS = HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);    // 0x800700B7
inline constexpr HRESULT HR_SERVICE_ALREADY_RUNNING = HRESULT_FROM_WIN32(ERROR_SERVICE_ALREADY_RUNNING);  // 0x80070420
inline constexpr HRESULT HR_INVALID_HANDLE = HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);    // 0x80070006
inline constexpr HRESULT HR_CONNECTION_COUNT_LIMIT = HRESULT_FROM_WIN32(ERROR_CONNECTION_COUNT_LIMIT);
inline constexpr HRESULT HR_FILE_NOT_FOUND = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
inline constexpr HRESULT HR_FLT_NO_WAITER_FOR_REPLY = static_cast<HRESULT>(0x801F0020u);
inline constexpr HRESULT HR_FLT_FILTER_NOT_FOUND = static_cast<HRESULT>(0x801F0013u);
inline constexpr HRESULT HR_FLT_INSTANCE_NOT_FOUND = static_cast<HRESULT>(0x801F0015u);

// ---- Waits ---------------------------------------------------------------
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED_0 = 0x80;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
inline constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
inline constexpr DWORD STILL_ACTIVE = 259;

// ---- Threads -----------------------------------------------------------------
inline constexpr DWORD CREATE_SUSPENDED = 0x4;
inline constexpr DWORD STACK_SIZE_PARAM_IS_A_RESERVATION = 0x10000;
inline constexpr DWORD MAXIMUM_SUSPEND_COUNT = 0x7F;

// ---- File attributes and access --------------------------------------------
inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x2;
inline constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x4;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD FILE_ATTRIBUTE_TEMPORARY = 0x100;
inline constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD GENERIC_WRITE = 0x40000000;
inline constexpr DWORD GENERIC_EXECUTE = 0x20000000;
inline constexpr DWORD GENERIC_ALL = 0x10000000;
inline constexpr DWORD DELETE = 0x00010000;
inline constexpr DWORD SYNCHRONIZE = 0x00100000;
inline constexpr DWORD FILE_READ_DATA = 0x0001;
inline constexpr DWORD FILE_WRITE_DATA = 0x0002;
inline constexpr DWORD FILE_APPEND_DATA = 0x0004;
inline constexpr DWORD FILE_EXECUTE = 0x0020;
inline constexpr DWORD FILE_WRITE_ATTRIBUTES = 0x0100;

inline constexpr DWORD FILE_SHARE_READ = 0x1;
inline constexpr DWORD FILE_SHARE_WRITE = 0x2;
inline constexpr DWORD FILE_SHARE_DELETE = 0x4;

inline constexpr DWORD CREATE_NEW = 1;
inline constexpr DWORD CREATE_ALWAYS = 2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD OPEN_ALWAYS = 4;
inline constexpr DWORD TRUNCATE_EXISTING = 5;

inline constexpr DWORD FILE_BEGIN = 0;
inline constexpr DWORD FILE_CURRENT = 1;
inline constexpr DWORD FILE_END = 2;

// Files: further errors, attributes, flags and MoveFileEx options.
inline constexpr DWORD ERROR_NOT_SAME_DEVICE = 17;
inline constexpr DWORD ERROR_BAD_NETPATH = 53;
inline constexpr DWORD ERROR_DISK_FULL = 112;
inline constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
inline constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;
inline constexpr DWORD FILE_ATTRIBUTE_OFFLINE = 0x1000;
inline constexpr DWORD FILE_ATTRIBUTE_NOT_CONTENT_INDEXED = 0x2000;
inline constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
inline constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
inline constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x2;
inline constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;

// ---- Processes, tokens, privileges ----------------------------------------
inline constexpr DWORD PROCESS_TERMINATE = 0x0001;
inline constexpr DWORD PROCESS_VM_OPERATION = 0x0008;
inline constexpr DWORD PROCESS_VM_WRITE = 0x0020;
inline constexpr DWORD PROCESS_VM_READ = 0x0010;
inline constexpr DWORD PROCESS_QUERY_INFORMATION = 0x0400;
inline constexpr DWORD PROCESS_QUERY_LIMITED_INFORMATION = 0x1000;
inline constexpr DWORD PROCESS_ALL_ACCESS = 0x1FFFFF;
inline constexpr DWORD TH32CS_SNAPPROCESS = 0x2;
inline constexpr DWORD PROCESS_NAME_NATIVE = 0x1;

// CreateProcessW creation flags and start-up information.
inline constexpr DWORD DEBUG_PROCESS = 0x1;
inline constexpr DWORD DETACHED_PROCESS = 0x8;
inline constexpr DWORD CREATE_NEW_CONSOLE = 0x10;
inline constexpr DWORD NORMAL_PRIORITY_CLASS = 0x20;
inline constexpr DWORD IDLE_PRIORITY_CLASS = 0x40;
inline constexpr DWORD HIGH_PRIORITY_CLASS = 0x80;
inline constexpr DWORD CREATE_NEW_PROCESS_GROUP = 0x200;
inline constexpr DWORD CREATE_UNICODE_ENVIRONMENT = 0x400;
inline constexpr DWORD BELOW_NORMAL_PRIORITY_CLASS = 0x4000;
inline constexpr DWORD ABOVE_NORMAL_PRIORITY_CLASS = 0x8000;
inline constexpr DWORD CREATE_DEFAULT_ERROR_MODE = 0x04000000;
inline constexpr DWORD CREATE_NO_WINDOW = 0x08000000;
inline constexpr DWORD STARTF_USESHOWWINDOW = 0x1;

inline constexpr DWORD TOKEN_ASSIGN_PRIMARY = 0x0001;
inline constexpr DWORD TOKEN_DUPLICATE = 0x0002;
inline constexpr DWORD TOKEN_IMPERSONATE = 0x0004;
inline constexpr DWORD TOKEN_QUERY = 0x0008;
inline constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
inline constexpr DWORD TOKEN_ALL_ACCESS = 0xF01FF;
inline constexpr DWORD SE_PRIVILEGE_ENABLED_BY_DEFAULT = 0x1;
inline constexpr DWORD SE_PRIVILEGE_ENABLED = 0x2;
inline constexpr DWORD SE_PRIVILEGE_REMOVED = 0x4;

// ---- Services ---------------------------------------------------------------
inline constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr DWORD SERVICE_STOPPED = 1;
inline constexpr DWORD SERVICE_START_PENDING = 2;
inline constexpr DWORD SERVICE_STOP_PENDING = 3;
inline constexpr DWORD SERVICE_RUNNING = 4;
inline constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
inline constexpr DWORD SERVICE_PAUSE_PENDING = 6;
inline constexpr DWORD SERVICE_PAUSED = 7;
inline constexpr DWORD SERVICE_ACCEPT_STOP = 0x1;
inline constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;
inline constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 0x4;
inline constexpr DWORD SERVICE_CONTROL_STOP = 1;
inline constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
inline constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
inline constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;

// ---- Windows ----------------------------------------------------------------
inline constexpr int SW_HIDE = 0;
inline constexpr int SW_SHOWNORMAL = 1;
inline constexpr int SW_SHOW = 5;
inline constexpr int SW_MINIMIZE = 6;
inline constexpr UINT WM_CLOSE = 0x0010;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

// ---- Records ----------------------------------------------------------------
struct LUID {
  DWORD LowPart = 0;
  LONG HighPart = 0;
};

struct LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes = 0;
};

struct TOKEN_PRIVILEGES {
  DWORD PrivilegeCount = 0;
  LUID_AND_ATTRIBUTES Privileges[1];
};

struct SYSTEMTIME {
  WORD wYear = 0;
  WORD wMonth = 0;
  WORD wDayOfWeek = 0;
  WORD wDay = 0;
  WORD wHour = 0;
  WORD wMinute = 0;
  WORD wSecond = 0;
  WORD wMilliseconds = 0;
};

struct FILETIME {
  DWORD dwLowDateTime = 0;
  DWORD dwHighDateTime = 0;
};

// The 32-byte OVERLAPPED record of a 64-bit process; the driver message
// buffer embeds it at a fixed offset, so its size is part of the format.
struct OVERLAPPED {
  ULONG_PTR Internal = 0;
  ULONG_PTR InternalHigh = 0;
  DWORD Offset = 0;
  DWORD OffsetHigh = 0;
  HANDLE hEvent = nullptr;
};
static_assert(sizeof(OVERLAPPED) == 32);

struct PROCESSENTRY32W {
  DWORD dwSize = sizeof(PROCESSENTRY32W);
  DWORD cntUsage = 0;
  DWORD th32ProcessID = 0;
  ULONG_PTR th32DefaultHeapID = 0;
  DWORD th32ModuleID = 0;
  DWORD cntThreads = 0;
  DWORD th32ParentProcessID = 0;
  LONG pcPriClassBase = 0;
  DWORD dwFlags = 0;
  WCHAR szExeFile[MAX_PATH] = {};
};

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes = 0;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh = 0;
  DWORD nFileSizeLow = 0;
  DWORD dwReserved0 = 0;
  DWORD dwReserved1 = 0;
  WCHAR cFileName[MAX_PATH] = {};
  WCHAR cAlternateFileName[14] = {};
};

// The 104-byte record of a 64-bit caller; a 32-bit caller's is 68 bytes and
// says so in cb.
struct STARTUPINFOW {
  DWORD cb = sizeof(STARTUPINFOW);
  WCHAR* lpReserved = nullptr;
  WCHAR* lpDesktop = nullptr;
  WCHAR* lpTitle = nullptr;
  DWORD dwX = 0;
  DWORD dwY = 0;
  DWORD dwXSize = 0;
  DWORD dwYSize = 0;
  DWORD dwXCountChars = 0;
  DWORD dwYCountChars = 0;
  DWORD dwFillAttribute = 0;
  DWORD dwFlags = 0;
  WORD wShowWindow = 0;
  WORD cbReserved2 = 0;
  BYTE* lpReserved2 = nullptr;
  HANDLE hStdInput = nullptr;
  HANDLE hStdOutput = nullptr;
  HANDLE hStdError = nullptr;
};

struct PROCESS_INFORMATION {
  HANDLE hProcess = nullptr;
  HANDLE hThread = nullptr;
  DWORD dwProcessId = 0;
  DWORD dwThreadId = 0;
};

using LPTHREAD_START_ROUTINE = DWORD (*)(void* parameter);

// ---- Service control manager records ---------------------------------------
using SERVICE_STATUS_HANDLE = void*;
using LPSERVICE_MAIN_FUNCTIONW = void (*)(DWORD argc, WCHAR** argv);
using LPHANDLER_FUNCTION = void (*)(DWORD control);

struct SERVICE_STATUS {
  DWORD dwServiceType = 0;
  DWORD dwCurrentState = 0;
  DWORD dwControlsAccepted = 0;
  DWORD dwWin32ExitCode = 0;
  DWORD dwServiceSpecificExitCode = 0;
  DWORD dwCheckPoint = 0;
  DWORD dwWaitHint = 0;
};

struct SERVICE_TABLE_ENTRYW {
  const WCHAR* lpServiceName = nullptr;
  LPSERVICE_MAIN_FUNCTIONW lpServiceProc = nullptr;
};

}  // namespace zv::win
