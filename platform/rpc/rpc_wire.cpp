// PDU and NDR encoding: see rpc_wire.h.
#include "platform/rpc/rpc_wire.h"

#include <cstring>

namespace zv::platform::rpc {
namespace {

// Bounded cursor over one fragment; offsets and alignment are relative to
// the start of the fragment. Any read past the end clears ok and yields 0.
class Cursor {
 public:
  Cursor(const std::uint8_t* data, std::size_t size, bool bigEndian) : p_(data), n_(size), be_(bigEndian) {}
  bool ok() const { return ok_; }
  std::size_t pos() const { return pos_; }
  std::size_t left() const { return ok_ ? n_ - pos_ : 0; }
  void Seek(std::size_t pos) {
    if (pos > n_) ok_ = false;
    else pos_ = pos;
  }
  bool Need(std::size_t k) {
    if (!ok_ || k > n_ - pos_) ok_ = false;
    return ok_;
  }
  void Skip(std::size_t k) {
    if (Need(k)) pos_ += k;
  }
  void Align(std::size_t a) {
    std::size_t pad = (a - pos_ % a) % a;
    Skip(pad);
  }
  std::uint8_t U8() {
    if (!Need(1)) return 0;
    return p_[pos_++];
  }
  std::uint16_t U16() {
    if (!Need(2)) return 0;
    std::uint16_t v = be_ ? static_cast<std::uint16_t>(p_[pos_] << 8 | p_[pos_ + 1])
                          : static_cast<std::uint16_t>(p_[pos_ + 1] << 8 | p_[pos_]);
    pos_ += 2;
    return v;
  }
  std::uint32_t U32() {
    if (!Need(4)) return 0;
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      std::uint32_t b = p_[pos_ + i];
      v |= be_ ? b << (8 * (3 - i)) : b << (8 * i);
    }
    pos_ += 4;
    return v;
  }
  RPC_SYNTAX_IDENTIFIER Syntax() {
    RPC_SYNTAX_IDENTIFIER s;
    s.SyntaxGUID.Data1 = U32();
    s.SyntaxGUID.Data2 = U16();
    s.SyntaxGUID.Data3 = U16();
    if (Need(8)) {
      std::memcpy(s.SyntaxGUID.Data4, p_ + pos_, 8);
      pos_ += 8;
    }
    std::uint32_t version = U32();
    s.SyntaxVersion.MajorVersion = static_cast<win::WORD>(version & 0xFFFF);
    s.SyntaxVersion.MinorVersion = static_cast<win::WORD>(version >> 16);
    return s;
  }
  const std::uint8_t* Here() const { return p_ + pos_; }

 private:
  const std::uint8_t* p_;
  std::size_t n_;
  bool be_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

class Out {
 public:
  void U8(std::uint8_t v) { s_.push_back(static_cast<char>(v)); }
  void U16(std::uint16_t v) {
    U8(static_cast<std::uint8_t>(v));
    U8(static_cast<std::uint8_t>(v >> 8));
  }
  void U32(std::uint32_t v) {
    U16(static_cast<std::uint16_t>(v));
    U16(static_cast<std::uint16_t>(v >> 16));
  }
  void Align(std::size_t a) {
    while (s_.size() % a) U8(0);
  }
  void Bytes(std::string_view b) { s_.append(b); }
  void Syntax(const RPC_SYNTAX_IDENTIFIER& s) {
    U32(s.SyntaxGUID.Data1);
    U16(s.SyntaxGUID.Data2);
    U16(s.SyntaxGUID.Data3);
    for (auto b : s.SyntaxGUID.Data4) U8(b);
    U32(static_cast<std::uint32_t>(s.SyntaxVersion.MajorVersion) |
        static_cast<std::uint32_t>(s.SyntaxVersion.MinorVersion) << 16);
  }
  void Header(std::uint8_t type, std::uint8_t flags, std::uint32_t callId) {
    U8(5);
    U8(0);
    U8(type);
    U8(flags);
    U8(0x10);  // little-endian integers, ASCII characters
    U8(0);     // IEEE floating point
    U8(0);
    U8(0);
    U16(0);  // frag_length, patched by Finish
    U16(0);  // auth_length
    U32(callId);
  }
  std::string Finish() {
    std::uint16_t n = static_cast<std::uint16_t>(s_.size());
    s_[8] = static_cast<char>(n & 0xFF);
    s_[9] = static_cast<char>(n >> 8);
    return std::move(s_);
  }

 private:
  std::string s_;
};

// The body of a PDU ends where the authentication trailer (8-byte
// sec_trailer plus auth_length bytes) begins.
std::size_t BodyEnd(const Header& h) {
  return h.authLength ? h.fragLength - h.authLength - 8u : h.fragLength;
}

}  // namespace

bool SameSyntax(const RPC_SYNTAX_IDENTIFIER& a, const RPC_SYNTAX_IDENTIFIER& b) {
  return a.SyntaxGUID == b.SyntaxGUID && a.SyntaxVersion.MajorVersion == b.SyntaxVersion.MajorVersion &&
         a.SyntaxVersion.MinorVersion == b.SyntaxVersion.MinorVersion;
}

WireError ParseHeader(const std::uint8_t* data, std::size_t size, std::size_t maxFragment, Header& out) {
  if (size < kHeaderSize) return WireError::Truncated;
  out.version = data[0];
  out.versionMinor = data[1];
  out.type = data[2];
  out.flags = data[3];
  std::memcpy(out.drep, data + 4, 4);
  std::uint8_t intRep = out.drep[0] >> 4;
  out.bigEndian = intRep == 0;
  Cursor c(data, size, out.bigEndian);
  c.Skip(8);
  out.fragLength = c.U16();
  out.authLength = c.U16();
  out.callId = c.U32();
  if (out.version != 5 || out.versionMinor != 0) return WireError::BadVersion;
  // Integers: 0 big-endian, 1 little-endian; characters: 0 ASCII only.
  if (intRep > 1 || (out.drep[0] & 0x0F) != 0) return WireError::BadFormat;
  if (out.fragLength < kHeaderSize || out.fragLength > maxFragment) return WireError::BadLength;
  if (out.authLength && std::size_t{out.authLength} + 8 > out.fragLength - kHeaderSize) return WireError::Malformed;
  return WireError::None;
}

WireError ParseBind(const Header& h, const std::uint8_t* pdu, BindBody& out) {
  Cursor c(pdu, BodyEnd(h), h.bigEndian);
  c.Skip(kHeaderSize);
  out.maxXmitFrag = c.U16();
  out.maxRecvFrag = c.U16();
  out.assocGroupId = c.U32();
  std::uint8_t count = c.U8();
  c.Skip(3);
  if (!c.ok()) return WireError::Malformed;
  out.contexts.clear();
  for (unsigned i = 0; i < count; ++i) {
    PresentationContext pc;
    pc.id = c.U16();
    std::uint8_t transfers = c.U8();
    c.Skip(1);
    pc.abstract = c.Syntax();
    // Each transfer syntax takes 20 bytes: refuse before reserving.
    if (!c.ok() || std::size_t{transfers} * 20 > c.left()) return WireError::Malformed;
    pc.transfers.reserve(transfers);
    for (unsigned t = 0; t < transfers; ++t) pc.transfers.push_back(c.Syntax());
    if (!c.ok()) return WireError::Malformed;
    out.contexts.push_back(std::move(pc));
  }
  return WireError::None;
}

WireError ParseBindAck(const Header& h, const std::uint8_t* pdu, BindAckBody& out) {
  Cursor c(pdu, BodyEnd(h), h.bigEndian);
  c.Skip(kHeaderSize);
  out.maxXmitFrag = c.U16();
  out.maxRecvFrag = c.U16();
  out.assocGroupId = c.U32();
  std::uint16_t addrLength = c.U16();
  if (!c.Need(addrLength)) return WireError::Malformed;
  out.secondaryAddress.assign(reinterpret_cast<const char*>(c.Here()), addrLength);
  while (!out.secondaryAddress.empty() && out.secondaryAddress.back() == '\0') out.secondaryAddress.pop_back();
  c.Skip(addrLength);
  c.Align(4);
  std::uint8_t count = c.U8();
  c.Skip(3);
  if (!c.ok() || std::size_t{count} * 24 > c.left()) return WireError::Malformed;
  out.results.clear();
  for (unsigned i = 0; i < count; ++i) {
    ContextResult r;
    r.result = c.U16();
    r.reason = c.U16();
    r.transfer = c.Syntax();
    out.results.push_back(r);
  }
  return c.ok() ? WireError::None : WireError::Malformed;
}

WireError ParseBindNak(const Header& h, const std::uint8_t* pdu, std::uint16_t& reason) {
  Cursor c(pdu, h.fragLength, h.bigEndian);
  c.Skip(kHeaderSize);
  reason = c.U16();
  return c.ok() ? WireError::None : WireError::Malformed;
}

WireError ParseRequest(const Header& h, const std::uint8_t* pdu, RequestBody& out) {
  Cursor c(pdu, BodyEnd(h), h.bigEndian);
  c.Skip(kHeaderSize);
  out.allocHint = c.U32();
  out.contextId = c.U16();
  out.opnum = c.U16();
  if (h.flags & kObjectUuid) c.Skip(16);
  if (!c.ok()) return WireError::Malformed;
  out.stub = c.Here();
  out.stubSize = c.left();
  return WireError::None;
}

WireError ParseResponse(const Header& h, const std::uint8_t* pdu, ResponseBody& out) {
  Cursor c(pdu, BodyEnd(h), h.bigEndian);
  c.Skip(kHeaderSize);
  out.allocHint = c.U32();
  out.contextId = c.U16();
  out.cancelCount = c.U8();
  c.Skip(1);
  if (!c.ok()) return WireError::Malformed;
  out.stub = c.Here();
  out.stubSize = c.left();
  return WireError::None;
}

WireError ParseFault(const Header& h, const std::uint8_t* pdu, FaultBody& out) {
  Cursor c(pdu, BodyEnd(h), h.bigEndian);
  c.Skip(kHeaderSize + 4);
  out.contextId = c.U16();
  c.Skip(2);
  out.status = c.U32();
  return c.ok() ? WireError::None : WireError::Malformed;
}

std::string BuildBind(std::uint8_t type, std::uint32_t callId, std::uint16_t maxXmit, std::uint16_t maxRecv,
                      std::uint32_t assocGroupId, const std::vector<PresentationContext>& contexts) {
  Out o;
  o.Header(type, kFirstFrag | kLastFrag, callId);
  o.U16(maxXmit);
  o.U16(maxRecv);
  o.U32(assocGroupId);
  o.U8(static_cast<std::uint8_t>(contexts.size()));
  o.U8(0);
  o.U16(0);
  for (const auto& pc : contexts) {
    o.U16(pc.id);
    o.U8(static_cast<std::uint8_t>(pc.transfers.size()));
    o.U8(0);
    o.Syntax(pc.abstract);
    for (const auto& t : pc.transfers) o.Syntax(t);
  }
  return o.Finish();
}

std::string BuildBindAck(std::uint8_t type, std::uint32_t callId, std::uint16_t maxXmit, std::uint16_t maxRecv,
                         std::uint32_t assocGroupId, std::string_view secondaryAddress,
                         const std::vector<ContextResult>& results) {
  Out o;
  o.Header(type, kFirstFrag | kLastFrag, callId);
  o.U16(maxXmit);
  o.U16(maxRecv);
  o.U32(assocGroupId);
  if (secondaryAddress.empty()) {
    o.U16(0);
  } else {
    o.U16(static_cast<std::uint16_t>(secondaryAddress.size() + 1));
    o.Bytes(secondaryAddress);
    o.U8(0);
  }
  o.Align(4);
  o.U8(static_cast<std::uint8_t>(results.size()));
  o.U8(0);
  o.U16(0);
  for (const auto& r : results) {
    o.U16(r.result);
    o.U16(r.reason);
    o.Syntax(r.transfer);
  }
  return o.Finish();
}

std::string BuildBindNak(std::uint32_t callId, std::uint16_t reason) {
  Out o;
  o.Header(kBindNak, kFirstFrag | kLastFrag, callId);
  o.U16(reason);
  o.U8(1);  // one supported protocol version: 5.0
  o.U8(5);
  o.U8(0);
  o.Align(4);
  return o.Finish();
}

std::string BuildRequest(std::uint32_t callId, std::uint8_t flags, std::uint32_t allocHint, std::uint16_t contextId,
                         std::uint16_t opnum, std::string_view stub) {
  Out o;
  o.Header(kRequest, flags, callId);
  o.U32(allocHint);
  o.U16(contextId);
  o.U16(opnum);
  o.Bytes(stub);
  return o.Finish();
}

std::string BuildResponse(std::uint32_t callId, std::uint8_t flags, std::uint32_t allocHint, std::uint16_t contextId,
                          std::string_view stub) {
  Out o;
  o.Header(kResponse, flags, callId);
  o.U32(allocHint);
  o.U16(contextId);
  o.U8(0);
  o.U8(0);
  o.Bytes(stub);
  return o.Finish();
}

std::string BuildFault(std::uint32_t callId, std::uint16_t contextId, std::uint32_t status, bool didNotExecute) {
  Out o;
  o.Header(kFault, static_cast<std::uint8_t>(kFirstFrag | kLastFrag | (didNotExecute ? kDidNotExecute : 0)), callId);
  o.U32(0);
  o.U16(contextId);
  o.U8(0);
  o.U8(0);
  o.U32(status);
  o.U32(0);
  return o.Finish();
}

// ---- NDR ------------------------------------------------------------------------

bool NdrReader::Align(std::size_t n) {
  std::size_t pad = (n - pos_ % n) % n;
  if (pad > size_ - pos_) return false;
  pos_ += pad;
  return true;
}

bool NdrReader::U32(std::uint32_t& out) {
  if (!Align(4) || size_ - pos_ < 4) return false;
  const std::uint8_t* p = data_ + pos_;
  out = bigEndian_ ? (std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3])
                   : (std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0]);
  pos_ += 4;
  return true;
}

bool NdrReader::Int32(std::int32_t& out) {
  std::uint32_t v;
  if (!U32(v)) return false;
  out = static_cast<std::int32_t>(v);
  return true;
}

bool NdrReader::WideString(std::wstring& out, std::size_t maxUnits) {
  std::uint32_t maxCount, offset, actual;
  if (!U32(maxCount) || !U32(offset) || !U32(actual)) return false;
  if (offset != 0 || actual == 0 || actual > maxCount || actual > maxUnits) return false;
  if (std::size_t{actual} > (size_ - pos_) / 2) return false;
  const std::uint8_t* p = data_ + pos_;
  auto unit = [&](std::size_t i) -> std::uint16_t {
    return bigEndian_ ? static_cast<std::uint16_t>(p[2 * i] << 8 | p[2 * i + 1])
                      : static_cast<std::uint16_t>(p[2 * i + 1] << 8 | p[2 * i]);
  };
  if (unit(actual - 1) != 0) return false;  // unterminated
  std::size_t length = 0;
  while (unit(length) != 0) ++length;
  out.resize(length);
  for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<wchar_t>(unit(i));
  pos_ += std::size_t{actual} * 2;
  return true;
}

void NdrWriter::Align(std::size_t n) {
  while (bytes_.size() % n) bytes_.push_back('\0');
}

void NdrWriter::U32(std::uint32_t v) {
  Align(4);
  for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void NdrWriter::Int32(std::int32_t value) { U32(static_cast<std::uint32_t>(value)); }

void NdrWriter::WideString(std::wstring_view text) {
  std::uint32_t count = static_cast<std::uint32_t>(text.size() + 1);
  U32(count);
  U32(0);
  U32(count);
  for (wchar_t ch : text) {
    std::uint16_t u = static_cast<std::uint16_t>(ch);
    bytes_.push_back(static_cast<char>(u & 0xFF));
    bytes_.push_back(static_cast<char>(u >> 8));
  }
  bytes_.push_back('\0');
  bytes_.push_back('\0');
}

bool DecodeArguments(const NdrParam* params, std::uint32_t count, const std::uint8_t* stub, std::size_t size,
                     bool bigEndian, std::size_t maxStringUnits, std::vector<NdrValue>& out) {
  NdrReader r(stub, size, bigEndian);
  out.clear();
  out.resize(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    switch (params[i]) {
      case NdrParam::Int32:
        if (!r.Int32(out[i].Int)) return false;
        break;
      case NdrParam::WideString:
        if (!r.WideString(out[i].Text, maxStringUnits)) return false;
        break;
      default:
        return false;
    }
  }
  return true;
}

RPC_STATUS StatusFromFault(std::uint32_t faultStatus) {
  switch (faultStatus) {
    case kNcaOpRangeError:
      return win::RPC_S_PROCNUM_OUT_OF_RANGE;
    case kNcaUnknownInterface:
      return win::RPC_S_UNKNOWN_IF;
    case kNcaProtocolError:
      return win::RPC_S_PROTOCOL_ERROR;
    case kNcaServerTooBusy:
      return win::RPC_S_SERVER_TOO_BUSY;
    case kNcaRemoteNoMemory:
      return win::RPC_S_OUT_OF_MEMORY;
    case kNcaFaultNdr:
      return win::RPC_X_BAD_STUB_DATA;
    case kNcaAccessDenied:
      return win::RPC_S_ACCESS_DENIED;
    default:
      return win::RPC_S_CALL_FAILED;
  }
}

}  // namespace zv::platform::rpc
