// The filter manager's user-mode library, with its HRESULT results.
//
// Owns: the FilterApi interface. The real implementation talks to the
// driver stand-in daemon of the machine (suite/) over its Unix socket and
// answers FilterGetDosName from the machine's volume table.
#pragma once

#include "platform/base/injectable.h"
#include "platform/base/win32.h"

namespace zv::platform {

class FilterApi {
 public:
  virtual ~FilterApi() = default;

  virtual win::HRESULT FilterLoad(const win::WCHAR* filterName) = 0;
  virtual win::HRESULT FilterUnload(const win::WCHAR* filterName) = 0;
  virtual win::HRESULT FilterConnectCommunicationPort(const win::WCHAR* portName, win::DWORD options,
                                                      const void* context, win::WORD contextSize,
                                                      const void* securityAttributes, win::HANDLE* port) = 0;
  // Asynchronous with an overlapped record: HR_IO_PENDING once the read is
  // posted; the completion arrives on the completion port bound to `port`.
  virtual win::HRESULT FilterGetMessage(win::HANDLE port, void* messageBuffer, win::DWORD messageBufferSize,
                                        win::OVERLAPPED* overlapped) = 0;
  virtual win::HRESULT FilterReplyMessage(win::HANDLE port, const void* replyBuffer, win::DWORD replyBufferSize) = 0;
  virtual win::HRESULT FilterSendMessage(win::HANDLE port, const void* inBuffer, win::DWORD inBufferSize,
                                         void* outBuffer, win::DWORD outBufferSize, win::DWORD* bytesReturned) = 0;
  // "\Device\HarddiskVolume2" -> "C:"; units is the buffer's size in units.
  virtual win::HRESULT FilterGetDosName(const win::WCHAR* volumeName, win::WCHAR* dosName, win::DWORD units) = 0;
};

using Filters = Api<FilterApi>;

}  // namespace zv::platform
