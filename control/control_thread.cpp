// The control-interface thread: see control_thread.h.
#include "control/control_thread.h"

#include "control/zvorx_interface.h"
#include "platform/base/clock.h"
#include "platform/rpc/rpc_api.h"

namespace zv::control {

win::DWORD ControlInterfaceThread(void*) {
  platform::Sleep(kControlStartDelayMs);
  if (platform::RpcServerUseProtseqEpW(kProtocolSequence, kEndpointMaxCalls, kEndpoint, nullptr) != win::RPC_S_OK) {
    return static_cast<win::DWORD>(-1);
  }
  if (platform::RpcServerRegisterIf(ZvorxServerInterface(), nullptr, nullptr) != win::RPC_S_OK) {
    return static_cast<win::DWORD>(-1);
  }
  platform::RpcServerListen(kListenMinThreads, kListenMaxCalls, 0);
  return 0;
}

}  // namespace zv::control
