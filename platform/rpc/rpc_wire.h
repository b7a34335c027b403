// Connection-oriented RPC (protocol version 5.0) PDUs and NDR 2.0 data.
//
// Owns: parsing and building of the PDUs this system exchanges (bind,
// bind_ack, bind_nak, alter_context, alter_context_resp, request, response,
// fault), the data-representation rules (integers in either byte order as
// the sender's format label says; we always send little-endian ASCII IEEE),
// and the NDR reader and writer for 32-bit integers and conformant varying
// wide strings. Every parser works on a bounded byte range, checks every
// length against it and never allocates more than the input's size.
// Must not: touch sockets, threads or the clock (rpc_server, rpc_client).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/rpc/rpc_api.h"

namespace zv::platform::rpc {

// PDU types.
// Longest [string] argument, in UTF-16 units with its terminator; client
// stubs refuse longer text before sending (RPC_S_STRING_TOO_LONG), the
// server's decoder refuses it too.
inline constexpr std::size_t kMaxStringUnits = 32 * 1024;

inline constexpr std::uint8_t kRequest = 0;
inline constexpr std::uint8_t kResponse = 2;
inline constexpr std::uint8_t kFault = 3;
inline constexpr std::uint8_t kBind = 11;
inline constexpr std::uint8_t kBindAck = 12;
inline constexpr std::uint8_t kBindNak = 13;
inline constexpr std::uint8_t kAlterContext = 14;
inline constexpr std::uint8_t kAlterContextResp = 15;
inline constexpr std::uint8_t kShutdown = 17;
inline constexpr std::uint8_t kCoCancel = 18;
inline constexpr std::uint8_t kOrphaned = 19;

// pfc_flags.
inline constexpr std::uint8_t kFirstFrag = 0x01;
inline constexpr std::uint8_t kLastFrag = 0x02;
inline constexpr std::uint8_t kPendingCancel = 0x04;
inline constexpr std::uint8_t kConcMpx = 0x10;
inline constexpr std::uint8_t kDidNotExecute = 0x20;
inline constexpr std::uint8_t kMaybe = 0x40;
inline constexpr std::uint8_t kObjectUuid = 0x80;

inline constexpr std::size_t kHeaderSize = 16;
inline constexpr std::size_t kRequestHeaderSize = 24;
inline constexpr std::size_t kResponseHeaderSize = 24;
inline constexpr std::size_t kFaultSize = 32;
inline constexpr std::uint16_t kMaxFragment = 5840;  // largest fragment we send or accept
inline constexpr std::uint16_t kMinFragment = 1432;  // every peer must accept this much

// Fault status values (the 0x1C... values are the protocol's own; a stub
// that cannot be decoded is reported with the NDR fault status).
inline constexpr std::uint32_t kNcaOpRangeError = 0x1C010002;
inline constexpr std::uint32_t kNcaUnknownInterface = 0x1C010003;
inline constexpr std::uint32_t kNcaProtocolError = 0x1C01000B;
inline constexpr std::uint32_t kNcaServerTooBusy = 0x1C010014;
inline constexpr std::uint32_t kNcaUnspecifiedReject = 0x1C000009;
inline constexpr std::uint32_t kNcaRemoteNoMemory = 0x1C00001B;
inline constexpr std::uint32_t kNcaFaultNdr = 0x000006F7;  // rpc_x_bad_stub_data
inline constexpr std::uint32_t kNcaAccessDenied = 0x00000005;

// Presentation-context results and reasons.
inline constexpr std::uint16_t kAcceptance = 0;
inline constexpr std::uint16_t kUserRejection = 1;
inline constexpr std::uint16_t kProviderRejection = 2;
inline constexpr std::uint16_t kReasonNotSpecified = 0;
inline constexpr std::uint16_t kAbstractSyntaxNotSupported = 1;
inline constexpr std::uint16_t kTransferSyntaxesNotSupported = 2;
inline constexpr std::uint16_t kLocalLimitExceeded = 3;

// bind_nak reasons.
inline constexpr std::uint16_t kNakNotSpecified = 0;
inline constexpr std::uint16_t kNakTemporaryCongestion = 1;
inline constexpr std::uint16_t kNakLocalLimitExceeded = 2;
inline constexpr std::uint16_t kNakProtocolVersionNotSupported = 4;
inline constexpr std::uint16_t kNakAuthenticationTypeNotRecognized = 8;

// NDR 2.0 transfer syntax.
inline constexpr RPC_SYNTAX_IDENTIFIER kNdrSyntax = {
    {0x8a885d04, 0x1ceb, 0x11c9, {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}}, {2, 0}};

bool SameSyntax(const RPC_SYNTAX_IDENTIFIER& a, const RPC_SYNTAX_IDENTIFIER& b);

enum class WireError {
  None,
  Truncated,     // fewer bytes than the PDU claims or needs
  BadVersion,    // not 5.0
  BadFormat,     // a data representation we do not speak (EBCDIC, VAX)
  BadLength,     // frag_length below the header or above the limit
  Malformed,     // a field contradicts the PDU's length
};

struct Header {
  std::uint8_t version = 5;
  std::uint8_t versionMinor = 0;
  std::uint8_t type = 0;
  std::uint8_t flags = 0;
  std::uint8_t drep[4] = {0x10, 0, 0, 0};
  std::uint16_t fragLength = 0;
  std::uint16_t authLength = 0;
  std::uint32_t callId = 0;
  bool bigEndian = false;
};

// Reads the 16 common header bytes. Checks, in this order: enough bytes,
// the version, the data representation, frag_length in [16, maxFragment]
// and an authentication trailer that fits the fragment. On BadVersion the
// header fields are still filled in (so a bind_nak can name the call).
WireError ParseHeader(const std::uint8_t* data, std::size_t size, std::size_t maxFragment, Header& out);

struct PresentationContext {
  std::uint16_t id = 0;
  RPC_SYNTAX_IDENTIFIER abstract;
  std::vector<RPC_SYNTAX_IDENTIFIER> transfers;
};

struct BindBody {  // bind and alter_context
  std::uint16_t maxXmitFrag = 0;
  std::uint16_t maxRecvFrag = 0;
  std::uint32_t assocGroupId = 0;
  std::vector<PresentationContext> contexts;
};

struct ContextResult {
  std::uint16_t result = kAcceptance;
  std::uint16_t reason = 0;
  RPC_SYNTAX_IDENTIFIER transfer;  // all zero when rejected
};

struct BindAckBody {  // bind_ack and alter_context_resp
  std::uint16_t maxXmitFrag = 0;
  std::uint16_t maxRecvFrag = 0;
  std::uint32_t assocGroupId = 0;
  std::string secondaryAddress;  // without the terminator
  std::vector<ContextResult> results;
};

struct RequestBody {
  std::uint32_t allocHint = 0;
  std::uint16_t contextId = 0;
  std::uint16_t opnum = 0;
  const std::uint8_t* stub = nullptr;
  std::size_t stubSize = 0;
};

struct ResponseBody {
  std::uint32_t allocHint = 0;
  std::uint16_t contextId = 0;
  std::uint8_t cancelCount = 0;
  const std::uint8_t* stub = nullptr;
  std::size_t stubSize = 0;
};

struct FaultBody {
  std::uint16_t contextId = 0;
  std::uint32_t status = 0;
};

// Body parsers take the whole fragment (header.fragLength bytes, already
// checked by ParseHeader) and the parsed header.
WireError ParseBind(const Header& h, const std::uint8_t* pdu, BindBody& out);
WireError ParseBindAck(const Header& h, const std::uint8_t* pdu, BindAckBody& out);
WireError ParseBindNak(const Header& h, const std::uint8_t* pdu, std::uint16_t& reason);
WireError ParseRequest(const Header& h, const std::uint8_t* pdu, RequestBody& out);
WireError ParseResponse(const Header& h, const std::uint8_t* pdu, ResponseBody& out);
WireError ParseFault(const Header& h, const std::uint8_t* pdu, FaultBody& out);

// Builders: little-endian, ASCII, IEEE; frag_length filled in.
std::string BuildBind(std::uint8_t type, std::uint32_t callId, std::uint16_t maxXmit, std::uint16_t maxRecv,
                      std::uint32_t assocGroupId, const std::vector<PresentationContext>& contexts);
std::string BuildBindAck(std::uint8_t type, std::uint32_t callId, std::uint16_t maxXmit, std::uint16_t maxRecv,
                         std::uint32_t assocGroupId, std::string_view secondaryAddress,
                         const std::vector<ContextResult>& results);
std::string BuildBindNak(std::uint32_t callId, std::uint16_t reason);
std::string BuildRequest(std::uint32_t callId, std::uint8_t flags, std::uint32_t allocHint, std::uint16_t contextId,
                         std::uint16_t opnum, std::string_view stub);
std::string BuildResponse(std::uint32_t callId, std::uint8_t flags, std::uint32_t allocHint, std::uint16_t contextId,
                          std::string_view stub);
std::string BuildFault(std::uint32_t callId, std::uint16_t contextId, std::uint32_t status, bool didNotExecute);

// ---- NDR ------------------------------------------------------------------------

// Reads NDR data of one stub; alignment is relative to the stub's start.
class NdrReader {
 public:
  NdrReader(const std::uint8_t* data, std::size_t size, bool bigEndian)
      : data_(data), size_(size), bigEndian_(bigEndian) {}
  bool Int32(std::int32_t& out);
  // [in, string] wide string behind a reference pointer: max count, offset
  // (must be 0), actual count (at least 1, at most the max count, counting
  // the terminator), the units, the last of which must be 0. The text ends
  // at the first zero unit. At most maxUnits units are accepted.
  bool WideString(std::wstring& out, std::size_t maxUnits);
  std::size_t Position() const { return pos_; }

 private:
  bool Align(std::size_t n);
  bool U32(std::uint32_t& out);
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  bool bigEndian_;
};

class NdrWriter {
 public:
  void Int32(std::int32_t value);
  void WideString(std::wstring_view text);  // adds the terminator
  const std::string& Bytes() const { return bytes_; }

 private:
  void Align(std::size_t n);
  void U32(std::uint32_t value);
  std::string bytes_;
};

// Decodes a whole stub by the procedure's parameter list. False when the
// data does not match (too short, a bad string, an unknown parameter kind).
bool DecodeArguments(const NdrParam* params, std::uint32_t count, const std::uint8_t* stub, std::size_t size,
                     bool bigEndian, std::size_t maxStringUnits, std::vector<NdrValue>& out);

// Fault status -> the RPC status a client reports.
RPC_STATUS StatusFromFault(std::uint32_t faultStatus);

}  // namespace zv::platform::rpc
