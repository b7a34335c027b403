// The RPC run time's server calls, with Win32 shape and status codes.
//
// Owns: the RpcApi interface (RpcServerUseProtseqEpW, RpcServerRegisterIf,
// RpcServerListen, RpcMgmtStopServerListening), the interface records a
// server registers (syntax identifiers and the dispatch table of procedures,
// each with the parameter list its interpreted stub decodes), and the Win32
// free functions that forward to the current implementation.
// The real implementation (rpc_server.cpp) speaks the connection-oriented
// protocol over a Unix stream socket standing for a named pipe.
// Must not: contain behaviour beyond forwarding.
#pragma once

#include <cstdint>
#include <string>

#include "platform/base/injectable.h"
#include "platform/base/win32.h"

namespace zv::platform {

using RPC_STATUS = win::LONG;
using RPC_BINDING_HANDLE = void*;
using handle_t = RPC_BINDING_HANDLE;

struct RPC_VERSION {
  win::WORD MajorVersion = 0;
  win::WORD MinorVersion = 0;
};

struct RPC_SYNTAX_IDENTIFIER {
  win::GUID SyntaxGUID;
  RPC_VERSION SyntaxVersion;
};

// Parameter kinds the stub interpreter knows: 32-bit signed integers and
// [in, string] wide strings behind a reference pointer.
enum class NdrParam : std::uint8_t { Int32, WideString };

// One decoded input argument.
struct NdrValue {
  std::int32_t Int = 0;
  std::wstring Text;  // UTF-16 units, without the terminator
};

// A server routine receives the decoded arguments in order (the binding
// handle is not among them) and returns the procedure's 32-bit result.
using RpcServerRoutine = std::int32_t (*)(const NdrValue* args, std::size_t count);

struct RPC_PROCEDURE {
  const NdrParam* Params = nullptr;
  std::uint32_t ParamCount = 0;
  RpcServerRoutine Routine = nullptr;
};

struct RPC_SERVER_INTERFACE {
  RPC_SYNTAX_IDENTIFIER InterfaceId;
  RPC_SYNTAX_IDENTIFIER TransferSyntax;
  const RPC_PROCEDURE* DispatchTable = nullptr;  // indexed by operation number
  std::uint32_t DispatchTableCount = 0;
};
using RPC_IF_HANDLE = const RPC_SERVER_INTERFACE*;

inline constexpr unsigned RPC_C_LISTEN_MAX_CALLS_DEFAULT = 1234;
inline constexpr unsigned RPC_C_PROTSEQ_MAX_REQS_DEFAULT = 10;

class RpcApi {
 public:
  virtual ~RpcApi() = default;
  // "ncacn_np" with an endpoint "\pipe\<name>" only. The endpoint lives
  // until the process ends (or the run time object is destroyed).
  virtual RPC_STATUS RpcServerUseProtseqEpW(const win::WCHAR* protseq, unsigned maxCalls,
                                            const win::WCHAR* endpoint, void* securityDescriptor) = 0;
  virtual RPC_STATUS RpcServerRegisterIf(RPC_IF_HANDLE interfaceHandle, const win::GUID* mgrTypeUuid, void* mgrEpv) = 0;
  // dontWait 0: serves on the calling thread until RpcMgmtStopServerListening.
  virtual RPC_STATUS RpcServerListen(unsigned minimumCallThreads, unsigned maxCalls, unsigned dontWait) = 0;
  virtual RPC_STATUS RpcMgmtStopServerListening(RPC_BINDING_HANDLE binding) = 0;
};

using Rpc = Api<RpcApi>;

inline RPC_STATUS RpcServerUseProtseqEpW(const win::WCHAR* protseq, unsigned maxCalls, const win::WCHAR* endpoint,
                                         void* securityDescriptor) {
  return Rpc::Get().RpcServerUseProtseqEpW(protseq, maxCalls, endpoint, securityDescriptor);
}
inline RPC_STATUS RpcServerRegisterIf(RPC_IF_HANDLE interfaceHandle, const win::GUID* mgrTypeUuid, void* mgrEpv) {
  return Rpc::Get().RpcServerRegisterIf(interfaceHandle, mgrTypeUuid, mgrEpv);
}
inline RPC_STATUS RpcServerListen(unsigned minimumCallThreads, unsigned maxCalls, unsigned dontWait) {
  return Rpc::Get().RpcServerListen(minimumCallThreads, maxCalls, dontWait);
}
inline RPC_STATUS RpcMgmtStopServerListening(RPC_BINDING_HANDLE binding) {
  return Rpc::Get().RpcMgmtStopServerListening(binding);
}

}  // namespace zv::platform
