// The client side of the connection-oriented RPC protocol over a named-pipe
// socket: connect, bind to one interface, call procedures by number.
//
// Owns: RpcClient (one connection, one presentation context, calls one at a
// time, requests split into fragments of the negotiated size, responses
// reassembled). Results are RPC status codes: RPC_S_SERVER_UNAVAILABLE when
// nothing listens at the endpoint, RPC_S_ACCESS_DENIED when the endpoint
// refuses us, RPC_S_CALL_FAILED when the server closes the connection, the
// mapped fault status when the server answers with a fault.
// Must not: know any interface's procedures (control/ has the stubs).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/rpc/rpc_api.h"

namespace zv::platform {

class RpcClient {
 public:
  RpcClient() = default;
  ~RpcClient();
  RpcClient(const RpcClient&) = delete;
  RpcClient& operator=(const RpcClient&) = delete;

  // Connects to a socket path (PipeSocketPath gives the path of an endpoint).
  RPC_STATUS Connect(const std::string& socketPath);
  // Binds presentation context 0 to the interface with NDR 2.0.
  RPC_STATUS Bind(const RPC_SYNTAX_IDENTIFIER& interfaceId);
  // One call: sends the stub (in fragments when larger than the negotiated
  // size) and returns the response stub. On a fault, *faultStatus gets the
  // fault's status value and the result is the matching RPC status.
  RPC_STATUS Call(std::uint16_t opnum, std::string_view stub, std::string& response,
                  std::uint32_t* faultStatus = nullptr);
  void Close();

  // Largest fragment this client sends (before negotiation clamps it).
  void SetSendFragment(std::uint16_t bytes) { sendFragment_ = bytes; }
  // Time-out of each wait for the server, in clock milliseconds.
  void SetTimeout(win::DWORD milliseconds) { timeoutMs_ = milliseconds; }

  // Raw access for tools and tests: write bytes; read one whole PDU.
  RPC_STATUS SendRaw(std::string_view bytes);
  RPC_STATUS ReceivePdu(std::string& pdu);
  bool Connected() const { return fd_ >= 0; }
  std::uint16_t NegotiatedSendFragment() const { return maxXmit_; }

 private:
  bool WaitReadable();
  int fd_ = -1;
  std::uint32_t nextCallId_ = 1;
  std::uint16_t sendFragment_ = 5840;
  std::uint16_t maxXmit_ = 1432;
  win::DWORD timeoutMs_ = 30000;
  bool bound_ = false;
};

}  // namespace zv::platform
