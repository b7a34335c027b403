// A gmock ProcessApi for the log tests.
#pragma once

#include <gmock/gmock.h>

#include "platform/processes/process_api.h"

namespace zv::log::fakes {

class MockProcessApi : public platform::ProcessApi {
 public:
  MOCK_METHOD(win::HANDLE, CreateToolhelp32Snapshot, (win::DWORD, win::DWORD), (override));
  MOCK_METHOD(win::BOOL, Process32FirstW, (win::HANDLE, win::PROCESSENTRY32W*), (override));
  MOCK_METHOD(win::BOOL, Process32NextW, (win::HANDLE, win::PROCESSENTRY32W*), (override));
  MOCK_METHOD(win::HANDLE, OpenProcess, (win::DWORD, win::BOOL, win::DWORD), (override));
  MOCK_METHOD(win::BOOL, QueryFullProcessImageNameW, (win::HANDLE, win::DWORD, win::WCHAR*, win::DWORD*),
              (override));
  MOCK_METHOD(win::DWORD, K32GetModuleFileNameExW, (win::HANDLE, win::HMODULE, win::WCHAR*, win::DWORD), (override));
  MOCK_METHOD(win::BOOL, ProcessIdToSessionId, (win::DWORD, win::DWORD*), (override));
  MOCK_METHOD(win::BOOL, TerminateProcess, (win::HANDLE, win::UINT), (override));
  MOCK_METHOD(win::DWORD, GetCurrentProcessId, (), (override));
  MOCK_METHOD(win::HANDLE, GetCurrentProcess, (), (override));
  MOCK_METHOD(win::DWORD, GetModuleFileNameW, (win::HMODULE, win::WCHAR*, win::DWORD), (override));
  MOCK_METHOD(win::BOOL, OpenProcessToken, (win::HANDLE, win::DWORD, win::HANDLE*), (override));
  MOCK_METHOD(win::BOOL, LookupPrivilegeValueW, (const win::WCHAR*, const win::WCHAR*, win::LUID*), (override));
  MOCK_METHOD(win::BOOL, AdjustTokenPrivileges,
              (win::HANDLE, win::BOOL, win::TOKEN_PRIVILEGES*, win::DWORD, win::TOKEN_PRIVILEGES*, win::DWORD*),
              (override));
  MOCK_METHOD(win::HANDLE, CreateMutexW, (const void*, win::BOOL, const win::WCHAR*), (override));
  MOCK_METHOD(win::UINT, WinExec, (const std::string&, win::UINT), (override));
};

// Copies `text` into a Win32 output buffer as the module-name calls do.
inline win::DWORD CopyOut(const std::wstring& text, win::WCHAR* buffer, win::DWORD size) {
  if (size == 0) return 0;
  win::DWORD n = static_cast<win::DWORD>(std::min<std::size_t>(text.size(), size - 1));
  std::copy_n(text.begin(), n, buffer);
  buffer[n] = 0;
  return n;
}

}  // namespace zv::log::fakes
