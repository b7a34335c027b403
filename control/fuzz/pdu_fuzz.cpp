// Fuzz target for the RPC PDU parsers and the NDR decoder of the control
// interface's procedures. The input is cut into fragments by each header's
// frag_length, as the server reads them; every body parser runs on every
// fragment, and request stubs are decoded by the four parameter lists in
// the fragment's byte order. A decoded stub must encode back to a stub that
// decodes to the same values.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "control/zvorx_interface.h"
#include "platform/rpc/rpc_wire.h"

using namespace zv::platform;
using namespace zv::platform::rpc;

namespace {

void CheckRoundTrip(const RPC_PROCEDURE& proc, const std::vector<NdrValue>& values) {
  NdrWriter w;
  for (std::uint32_t i = 0; i < proc.ParamCount; ++i) {
    if (proc.Params[i] == NdrParam::Int32) w.Int32(values[i].Int);
    else w.WideString(values[i].Text);
  }
  std::vector<NdrValue> again;
  const auto& b = w.Bytes();
  if (!DecodeArguments(proc.Params, proc.ParamCount, reinterpret_cast<const std::uint8_t*>(b.data()), b.size(),
                       false, 1 << 20, again)) {
    std::abort();
  }
  for (std::uint32_t i = 0; i < proc.ParamCount; ++i) {
    if (again[i].Int != values[i].Int || again[i].Text != values[i].Text) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RPC_IF_HANDLE iface = zv::control::ZvorxServerInterface();
  std::size_t pos = 0;
  while (size - pos >= kHeaderSize) {
    Header h;
    WireError err = ParseHeader(data + pos, size - pos, kMaxFragment, h);
    if (err != WireError::None || h.fragLength > size - pos) break;
    const std::uint8_t* pdu = data + pos;
    BindBody bind;
    ParseBind(h, pdu, bind);
    BindAckBody ack;
    ParseBindAck(h, pdu, ack);
    std::uint16_t reason;
    ParseBindNak(h, pdu, reason);
    ResponseBody response;
    ParseResponse(h, pdu, response);
    FaultBody fault;
    ParseFault(h, pdu, fault);
    RequestBody request;
    if (ParseRequest(h, pdu, request) == WireError::None) {
      if (request.stubSize > h.fragLength) std::abort();
      for (std::uint32_t op = 0; op < iface->DispatchTableCount; ++op) {
        const RPC_PROCEDURE& proc = iface->DispatchTable[op];
        std::vector<NdrValue> values;
        if (DecodeArguments(proc.Params, proc.ParamCount, request.stub, request.stubSize, h.bigEndian, 32 * 1024,
                            values)) {
          CheckRoundTrip(proc, values);
        }
      }
    }
    pos += h.fragLength;
  }
  return 0;
}
