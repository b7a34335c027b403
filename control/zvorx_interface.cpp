// The control interface's procedures and stubs: see zvorx_interface.h.
#include "control/zvorx_interface.h"

#include "driver_channel/signals.h"
#include "platform/rpc/rpc_server.h"
#include "platform/rpc/rpc_wire.h"

namespace zv::control {

using platform::NdrParam;
using platform::NdrValue;
using platform::RPC_STATUS;

int RPCListen_i(handle_t, int key, const wchar_t* command, int value) {
  channel::CommandSignalI(key, command, value);
  return kCallAccepted;
}

int RPCListen_is(handle_t, int key, const wchar_t* command, int value, const wchar_t* text) {
  channel::CommandSignalIS(key, command, value, text);
  return kCallAccepted;
}

int RPCListen_s(handle_t, int key, const wchar_t* command, const wchar_t* text) {
  channel::CommandSignalS(key, command, text);
  return kCallAccepted;
}

int RPCListen_sss(handle_t, int key, const wchar_t* command, const wchar_t* text1, const wchar_t* text2) {
  channel::CommandSignalSSS(key, command, text1, text2);
  return kCallAccepted;
}

namespace {

// Server stubs: the run time has decoded the arguments by the parameter
// lists below, so the counts always match.
std::int32_t StubListen_i(const NdrValue* a, std::size_t) {
  return RPCListen_i(nullptr, a[0].Int, a[1].Text.c_str(), a[2].Int);
}
std::int32_t StubListen_is(const NdrValue* a, std::size_t) {
  return RPCListen_is(nullptr, a[0].Int, a[1].Text.c_str(), a[2].Int, a[3].Text.c_str());
}
std::int32_t StubListen_s(const NdrValue* a, std::size_t) {
  return RPCListen_s(nullptr, a[0].Int, a[1].Text.c_str(), a[2].Text.c_str());
}
std::int32_t StubListen_sss(const NdrValue* a, std::size_t) {
  return RPCListen_sss(nullptr, a[0].Int, a[1].Text.c_str(), a[2].Text.c_str(), a[3].Text.c_str());
}

constexpr NdrParam kParamsI[] = {NdrParam::Int32, NdrParam::WideString, NdrParam::Int32};
constexpr NdrParam kParamsIS[] = {NdrParam::Int32, NdrParam::WideString, NdrParam::Int32, NdrParam::WideString};
constexpr NdrParam kParamsS[] = {NdrParam::Int32, NdrParam::WideString, NdrParam::WideString};
constexpr NdrParam kParamsSSS[] = {NdrParam::Int32, NdrParam::WideString, NdrParam::WideString,
                                   NdrParam::WideString};

constexpr platform::RPC_PROCEDURE kDispatchTable[] = {
    {kParamsI, 3, StubListen_i},
    {kParamsIS, 4, StubListen_is},
    {kParamsS, 3, StubListen_s},
    {kParamsSSS, 4, StubListen_sss},
};

constexpr platform::RPC_SERVER_INTERFACE kServerInterface = {kZvorxInterfaceId, platform::rpc::kNdrSyntax,
                                                             kDispatchTable, 4};

}  // namespace

platform::RPC_IF_HANDLE ZvorxServerInterface() { return &kServerInterface; }

// ---- client -----------------------------------------------------------------------

RPC_STATUS ZvorxClient::Connect() {
  std::string path;
  try {
    path = platform::PipeSocketPath(kEndpoint);
  } catch (const std::exception&) {
    return win::RPC_S_INVALID_ENDPOINT_FORMAT;
  }
  return Connect(path);
}

RPC_STATUS ZvorxClient::Connect(const std::string& socketPath) {
  RPC_STATUS st = client_.Connect(socketPath);
  if (st != win::RPC_S_OK) return st;
  return client_.Bind(kZvorxInterfaceId);
}

RPC_STATUS ZvorxClient::Invoke(std::uint16_t opnum, const std::string& stub, int* result) {
  lastFault_ = 0;
  std::string response;
  RPC_STATUS st = client_.Call(opnum, stub, response, &lastFault_);
  if (st != win::RPC_S_OK) return st;
  platform::rpc::NdrReader r(reinterpret_cast<const std::uint8_t*>(response.data()), response.size(), false);
  std::int32_t value = 0;
  if (!r.Int32(value)) return win::RPC_X_BAD_STUB_DATA;
  if (result) *result = value;
  return win::RPC_S_OK;
}

namespace {
// Text the server would refuse is not sent: the caller learns it is too long.
bool FitsTheStringLimit(std::initializer_list<const std::wstring*> texts) {
  for (const std::wstring* text : texts) {
    if (text->size() + 1 > platform::rpc::kMaxStringUnits) return false;
  }
  return true;
}
}  // namespace

RPC_STATUS ZvorxClient::Listen_i(int key, const std::wstring& command, int value, int* result) {
  if (!FitsTheStringLimit({&command})) return win::RPC_S_STRING_TOO_LONG;
  platform::rpc::NdrWriter w;
  w.Int32(key);
  w.WideString(command);
  w.Int32(value);
  return Invoke(kOpListenI, w.Bytes(), result);
}

RPC_STATUS ZvorxClient::Listen_is(int key, const std::wstring& command, int value, const std::wstring& text,
                                  int* result) {
  if (!FitsTheStringLimit({&command, &text})) return win::RPC_S_STRING_TOO_LONG;
  platform::rpc::NdrWriter w;
  w.Int32(key);
  w.WideString(command);
  w.Int32(value);
  w.WideString(text);
  return Invoke(kOpListenIS, w.Bytes(), result);
}

RPC_STATUS ZvorxClient::Listen_s(int key, const std::wstring& command, const std::wstring& text, int* result) {
  if (!FitsTheStringLimit({&command, &text})) return win::RPC_S_STRING_TOO_LONG;
  platform::rpc::NdrWriter w;
  w.Int32(key);
  w.WideString(command);
  w.WideString(text);
  return Invoke(kOpListenS, w.Bytes(), result);
}

RPC_STATUS ZvorxClient::Listen_sss(int key, const std::wstring& command, const std::wstring& text1,
                                   const std::wstring& text2, int* result) {
  if (!FitsTheStringLimit({&command, &text1, &text2})) return win::RPC_S_STRING_TOO_LONG;
  platform::rpc::NdrWriter w;
  w.Int32(key);
  w.WideString(command);
  w.WideString(text1);
  w.WideString(text2);
  return Invoke(kOpListenSSS, w.Bytes(), result);
}

}  // namespace zv::control
