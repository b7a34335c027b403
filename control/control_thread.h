// The control-interface thread: opens the RPC endpoint and serves it.
//
// Owns: the start sequence of the control interface (wait 3500 ms through
// the clock, endpoint with at most 20 calls, interface registration, then
// listen with one minimum call thread and 1234 concurrent calls).
// Must not: log or retry; a failure of the endpoint or the registration
// ends the thread with -1 and the service goes on without the interface.
#pragma once

#include "platform/base/win32.h"

namespace zv::control {

inline constexpr win::DWORD kControlStartDelayMs = 3500;
inline constexpr unsigned kEndpointMaxCalls = 20;
inline constexpr unsigned kListenMinThreads = 1;
inline constexpr unsigned kListenMaxCalls = 1234;

// Thread routine for CreateThread: -1 (0xFFFFFFFF) on failure, 0 after
// RpcServerListen returns.
win::DWORD ControlInterfaceThread(void* parameter);

}  // namespace zv::control
