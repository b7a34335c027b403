// The control interface: its identity, its four procedures and their stubs.
//
// Owns: the interface UUID and version, the endpoint name, the procedure
// table the run time dispatches by operation number (each entry lists the
// parameters its interpreted stub decodes), the four procedures that turn a
// call into a command signal, and the client stubs that management tools
// use to call them.
// Must not: act on commands itself (the handlers subscribed to the command
// signals do that) or open sockets (platform/rpc/).
#pragma once

#include <cstdint>
#include <string>

#include "platform/rpc/rpc_api.h"
#include "platform/rpc/rpc_client.h"

namespace zv::control {

using platform::handle_t;

inline constexpr platform::RPC_SYNTAX_IDENTIFIER kZvorxInterfaceId = {
    {0x2c782ca3, 0x2f80, 0x4b49, {0x8c, 0xfe, 0x72, 0x0d, 0xbf, 0x96, 0x02, 0x66}}, {1, 0}};
inline constexpr const wchar_t* kProtocolSequence = L"ncacn_np";
inline constexpr const wchar_t* kEndpoint = L"\\pipe\\zvorxinterface";

enum Opnum : std::uint16_t { kOpListenI = 0, kOpListenIS = 1, kOpListenS = 2, kOpListenSSS = 3 };

// The value every procedure returns.
inline constexpr int kCallAccepted = 99;

// The server side of the interface, for RpcServerRegisterIf.
platform::RPC_IF_HANDLE ZvorxServerInterface();

// The procedures: emit the matching command signal with the arguments in
// order (the binding handle is dropped), discard its result, return 99.
int RPCListen_i(handle_t binding, int key, const wchar_t* command, int value);
int RPCListen_is(handle_t binding, int key, const wchar_t* command, int value, const wchar_t* text);
int RPCListen_s(handle_t binding, int key, const wchar_t* command, const wchar_t* text);
int RPCListen_sss(handle_t binding, int key, const wchar_t* command, const wchar_t* text1, const wchar_t* text2);

// A client of the interface: one connection bound to it, calls in turn.
// Text longer than the string limit (32767 units before the terminator) is
// not sent: the call returns RPC_S_STRING_TOO_LONG.
class ZvorxClient {
 public:
  // Connects to the socket of "\pipe\zvorxinterface" of the current machine
  // (or the path given) and binds.
  platform::RPC_STATUS Connect();
  platform::RPC_STATUS Connect(const std::string& socketPath);

  platform::RPC_STATUS Listen_i(int key, const std::wstring& command, int value, int* result);
  platform::RPC_STATUS Listen_is(int key, const std::wstring& command, int value, const std::wstring& text,
                                 int* result);
  platform::RPC_STATUS Listen_s(int key, const std::wstring& command, const std::wstring& text, int* result);
  platform::RPC_STATUS Listen_sss(int key, const std::wstring& command, const std::wstring& text1,
                                  const std::wstring& text2, int* result);

  // The fault status of the last call that failed with a fault, else 0.
  std::uint32_t LastFault() const { return lastFault_; }
  platform::RpcClient& Transport() { return client_; }

 private:
  platform::RPC_STATUS Invoke(std::uint16_t opnum, const std::string& stub, int* result);
  platform::RpcClient client_;
  std::uint32_t lastFault_ = 0;
};

}  // namespace zv::control
