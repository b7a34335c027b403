// The RPC client over a named-pipe socket: see rpc_client.h.
#include "platform/rpc/rpc_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/base/clock.h"
#include "platform/rpc/rpc_wire.h"

namespace zv::platform {

using namespace rpc;

namespace {
constexpr std::size_t kMaxResponseStub = 1 << 20;
}

RpcClient::~RpcClient() { Close(); }

void RpcClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  bound_ = false;
}

RPC_STATUS RpcClient::Connect(const std::string& socketPath) {
  Close();
  sockaddr_un addr{};
  if (socketPath.empty() || socketPath.size() >= sizeof addr.sun_path) return win::RPC_S_INVALID_ENDPOINT_FORMAT;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return win::RPC_S_OUT_OF_RESOURCES;
  if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int e = errno;
    Close();
    if (e == EACCES || e == EPERM) return win::RPC_S_ACCESS_DENIED;
    return win::RPC_S_SERVER_UNAVAILABLE;
  }
  return win::RPC_S_OK;
}

bool RpcClient::WaitReadable() {
  pollfd p{fd_, POLLIN, 0};
  auto real = std::chrono::duration_cast<std::chrono::milliseconds>(CurrentClock().RealWaitFor(timeoutMs_)).count();
  for (;;) {
    int r = poll(&p, 1, static_cast<int>(std::max<long long>(real, 1)));
    if (r < 0 && errno == EINTR) continue;
    return r > 0;
  }
}

RPC_STATUS RpcClient::SendRaw(std::string_view bytes) {
  if (fd_ < 0) return win::RPC_S_INVALID_BINDING;
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return win::RPC_S_CALL_FAILED;
    }
    done += static_cast<std::size_t>(n);
  }
  return win::RPC_S_OK;
}

RPC_STATUS RpcClient::ReceivePdu(std::string& pdu) {
  if (fd_ < 0) return win::RPC_S_INVALID_BINDING;
  pdu.assign(kHeaderSize, '\0');
  std::size_t have = 0, need = kHeaderSize;
  while (have < need) {
    if (!WaitReadable()) return win::RPC_S_CALL_FAILED;
    ssize_t n = recv(fd_, pdu.data() + have, need - have, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return win::RPC_S_CALL_FAILED;
    have += static_cast<std::size_t>(n);
    if (have == kHeaderSize && need == kHeaderSize) {
      Header h;
      WireError err = ParseHeader(reinterpret_cast<const std::uint8_t*>(pdu.data()), have, 0xFFFF, h);
      if (err != WireError::None) return win::RPC_S_PROTOCOL_ERROR;
      need = h.fragLength;
      pdu.resize(need);
    }
  }
  return win::RPC_S_OK;
}

RPC_STATUS RpcClient::Bind(const RPC_SYNTAX_IDENTIFIER& interfaceId) {
  if (fd_ < 0) return win::RPC_S_INVALID_BINDING;
  PresentationContext pc;
  pc.id = 0;
  pc.abstract = interfaceId;
  pc.transfers.push_back(kNdrSyntax);
  std::uint16_t frag = std::max(sendFragment_, kMinFragment);
  std::uint32_t callId = nextCallId_++;
  RPC_STATUS st = SendRaw(BuildBind(kBind, callId, frag, kMaxFragment, 0, {pc}));
  if (st != win::RPC_S_OK) return st;
  std::string pdu;
  st = ReceivePdu(pdu);
  if (st != win::RPC_S_OK) return st;
  Header h;
  auto* p = reinterpret_cast<const std::uint8_t*>(pdu.data());
  ParseHeader(p, pdu.size(), 0xFFFF, h);
  if (h.callId != callId) return win::RPC_S_PROTOCOL_ERROR;
  if (h.type == kBindNak) return win::RPC_S_CALL_FAILED_DNE;
  if (h.type != kBindAck) return win::RPC_S_PROTOCOL_ERROR;
  BindAckBody ack;
  if (ParseBindAck(h, p, ack) != WireError::None || ack.results.size() != 1) return win::RPC_S_PROTOCOL_ERROR;
  const ContextResult& r = ack.results[0];
  if (r.result != kAcceptance) {
    return r.reason == kTransferSyntaxesNotSupported ? win::RPC_S_UNSUPPORTED_TRANS_SYN : win::RPC_S_UNKNOWN_IF;
  }
  // The server's max_xmit is what it receives from us at most.
  maxXmit_ = std::clamp<std::uint16_t>(std::min(ack.maxRecvFrag, sendFragment_), 64, kMaxFragment);
  bound_ = true;
  return win::RPC_S_OK;
}

RPC_STATUS RpcClient::Call(std::uint16_t opnum, std::string_view stub, std::string& response,
                           std::uint32_t* faultStatus) {
  if (fd_ < 0 || !bound_) return win::RPC_S_INVALID_BINDING;
  std::uint32_t callId = nextCallId_++;
  std::size_t room = maxXmit_ - kRequestHeaderSize;
  std::size_t offset = 0;
  bool sendFailed = false;
  do {
    std::size_t take = std::min(room, stub.size() - offset);
    std::uint8_t flags = 0;
    if (offset == 0) flags |= kFirstFrag;
    if (offset + take == stub.size()) flags |= kLastFrag;
    RPC_STATUS st = SendRaw(BuildRequest(callId, flags, static_cast<std::uint32_t>(stub.size() - offset), 0, opnum,
                                         stub.substr(offset, take)));
    if (st != win::RPC_S_OK) {
      // The server may have refused the call (too large) and closed: its
      // fault is still there to read and says why.
      sendFailed = true;
      break;
    }
    offset += take;
  } while (offset < stub.size());

  response.clear();
  for (;;) {
    std::string pdu;
    RPC_STATUS st = ReceivePdu(pdu);
    if (st != win::RPC_S_OK) return sendFailed ? win::RPC_S_CALL_FAILED : st;
    Header h;
    auto* p = reinterpret_cast<const std::uint8_t*>(pdu.data());
    ParseHeader(p, pdu.size(), 0xFFFF, h);
    if (h.callId != callId) return win::RPC_S_PROTOCOL_ERROR;
    if (h.type == kFault) {
      FaultBody f;
      if (ParseFault(h, p, f) != WireError::None) return win::RPC_S_PROTOCOL_ERROR;
      if (faultStatus) *faultStatus = f.status;
      return StatusFromFault(f.status);
    }
    if (h.type != kResponse || sendFailed) return win::RPC_S_PROTOCOL_ERROR;
    ResponseBody body;
    if (ParseResponse(h, p, body) != WireError::None) return win::RPC_S_PROTOCOL_ERROR;
    if (response.size() + body.stubSize > kMaxResponseStub) return win::RPC_S_PROTOCOL_ERROR;
    response.append(reinterpret_cast<const char*>(body.stub), body.stubSize);
    if (h.flags & kLastFrag) return win::RPC_S_OK;
  }
}

}  // namespace zv::platform
