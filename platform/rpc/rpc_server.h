// The RPC run time's server: named-pipe endpoints as Unix stream sockets.
//
// Owns: RpcRuntime, the real RpcApi. An endpoint "\pipe\<name>" is the
// socket <run folder>/<name> of the current machine, held with a lock file
// (<name>.lock) so that a second live server gets RPC_S_DUPLICATE_ENDPOINT
// and a stale socket left by a dead one is replaced. Who may connect follows
// the default security of a named pipe: the socket file is mode 0660 owned
// by the server's user and the admin group, and every accepted connection is
// checked again by its peer credentials (the server's own uid, root, or a
// process whose real groups, SO_PEERGROUPS, include the admin group: gid 0,
// or the group named by the machine setting "rpc.admin_group"); other peers
// are closed at once. One call may take at most callTimeoutMs and
// maxCallBytes from its first fragment to its last.
// One listening thread (the caller of RpcServerListen) multiplexes every
// connection, reassembles fragments and enforces the limits below; decoded
// calls run on a bounded pool of call threads.
// Must not: know any interface; the procedures come from the registered
// dispatch tables.
#pragma once

#include <memory>

#include "platform/rpc/rpc_api.h"
#include "platform/rpc/rpc_wire.h"

namespace zv::platform {

struct RpcLimits {
  std::uint16_t maxFragment = 5840;   // largest fragment accepted (and negotiated)
  // Largest reassembled request stub: room for three strings at the string
  // limit (a procedure with the most strings) and the integers beside them.
  std::size_t maxStub = 256 * 1024;
  std::size_t maxStringUnits = rpc::kMaxStringUnits;  // per string, its terminator included
  // One call, from its first fragment to its last: at most this long and
  // this many bytes on the wire (headers included), so a client that
  // trickles fragments cannot hold a connection busy for long.
  win::DWORD callTimeoutMs = 5000;
  std::size_t maxCallBytes = 256 * 1024 + 32 * 1024;
  std::size_t maxConnections = 64;    // beyond: the longest-idle one is dropped, or the new one refused
  std::size_t maxContexts = 16;       // presentation contexts per connection
  win::DWORD pduTimeoutMs = 5000;     // from a PDU's first byte to its last
  win::DWORD idleTimeoutMs = 300000;  // a connection with nothing in progress
  unsigned maxCallThreads = 16;       // concurrent calls; further ones wait
};

class RpcRuntime : public RpcApi {
 public:
  explicit RpcRuntime(RpcLimits limits = {});
  // Stops listening, closes every connection and endpoint, removes the
  // sockets it created.
  ~RpcRuntime() override;
  RpcRuntime(const RpcRuntime&) = delete;
  RpcRuntime& operator=(const RpcRuntime&) = delete;

  RPC_STATUS RpcServerUseProtseqEpW(const win::WCHAR* protseq, unsigned maxCalls, const win::WCHAR* endpoint,
                                    void* securityDescriptor) override;
  RPC_STATUS RpcServerRegisterIf(RPC_IF_HANDLE interfaceHandle, const win::GUID* mgrTypeUuid, void* mgrEpv) override;
  RPC_STATUS RpcServerListen(unsigned minimumCallThreads, unsigned maxCalls, unsigned dontWait) override;
  RPC_STATUS RpcMgmtStopServerListening(RPC_BINDING_HANDLE binding) override;

  // Open connections now (for tests and diagnostics).
  std::size_t ConnectionCount() const;
  // True once the listening loop runs.
  bool IsListening() const;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The socket path of a named-pipe endpoint "\pipe\<name>" on the current
// machine, or empty when the endpoint is not of that form.
std::string PipeSocketPath(const win::WCHAR* endpoint);

}  // namespace zv::platform
