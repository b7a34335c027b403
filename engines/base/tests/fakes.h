// gmock stand-ins of the platform interfaces the engine base calls, and a
// small process table that drives the process mock.
#pragma once

#include <gmock/gmock.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/files/file_api.h"
#include "platform/filter/filter_api.h"
#include "platform/base/handles.h"
#include "platform/processes/process_api.h"

namespace zv::testing {

using namespace zv::win;
using zv::platform::SecurityDescriptor;

class MockFilterApi : public platform::FilterApi {
 public:
  MOCK_METHOD(HRESULT, FilterLoad, (const WCHAR*), (override));
  MOCK_METHOD(HRESULT, FilterUnload, (const WCHAR*), (override));
  MOCK_METHOD(HRESULT, FilterConnectCommunicationPort,
              (const WCHAR*, DWORD, const void*, WORD, const void*, HANDLE*), (override));
  MOCK_METHOD(HRESULT, FilterGetMessage, (HANDLE, void*, DWORD, OVERLAPPED*), (override));
  MOCK_METHOD(HRESULT, FilterReplyMessage, (HANDLE, const void*, DWORD), (override));
  MOCK_METHOD(HRESULT, FilterSendMessage, (HANDLE, const void*, DWORD, void*, DWORD, DWORD*), (override));
  MOCK_METHOD(HRESULT, FilterGetDosName, (const WCHAR*, WCHAR*, DWORD), (override));
};

class MockFileApi : public platform::FileApi {
 public:
  MOCK_METHOD(DWORD, GetFileAttributesW, (const WCHAR*), (override));
  MOCK_METHOD(BOOL, SetFileAttributesW, (const WCHAR*, DWORD), (override));
  MOCK_METHOD(BOOL, CopyFileW, (const WCHAR*, const WCHAR*, BOOL), (override));
  MOCK_METHOD(BOOL, DeleteFileW, (const WCHAR*), (override));
  MOCK_METHOD(BOOL, CreateDirectoryW, (const WCHAR*, const SecurityDescriptor*), (override));
  MOCK_METHOD(BOOL, RemoveDirectoryW, (const WCHAR*), (override));
  MOCK_METHOD(BOOL, MoveFileExW, (const WCHAR*, const WCHAR*, DWORD), (override));
  MOCK_METHOD(int, SHCreateDirectoryExW, (HWND, const WCHAR*, const SecurityDescriptor*), (override));
  MOCK_METHOD(BOOL, GetFileSecurityW, (const WCHAR*, SecurityDescriptor*), (override));
  MOCK_METHOD(BOOL, GetFileSecurityW, (const WCHAR*, platform::SECURITY_INFORMATION, void*, DWORD, DWORD*),
              (override));
  MOCK_METHOD(DWORD, GetLongPathNameW, (const WCHAR*, WCHAR*, DWORD), (override));
  MOCK_METHOD(DWORD, GetShortPathNameW, (const WCHAR*, WCHAR*, DWORD), (override));
  MOCK_METHOD(HANDLE, CreateFileW, (const WCHAR*, DWORD, DWORD, const void*, DWORD, DWORD, HANDLE), (override));
  MOCK_METHOD(BOOL, ReadFile, (HANDLE, void*, DWORD, DWORD*, OVERLAPPED*), (override));
  MOCK_METHOD(BOOL, WriteFile, (HANDLE, const void*, DWORD, DWORD*, OVERLAPPED*), (override));
  MOCK_METHOD(BOOL, SetFilePointerEx, (HANDLE, LONGLONG, LONGLONG*, DWORD), (override));
  MOCK_METHOD(BOOL, FlushFileBuffers, (HANDLE), (override));
  MOCK_METHOD(BOOL, GetFileSizeEx, (HANDLE, LONGLONG*), (override));
  MOCK_METHOD(HANDLE, FindFirstFileW, (const WCHAR*, WIN32_FIND_DATAW*), (override));
  MOCK_METHOD(BOOL, FindNextFileW, (HANDLE, WIN32_FIND_DATAW*), (override));
  MOCK_METHOD(BOOL, FindClose, (HANDLE), (override));
  MOCK_METHOD(bool, AppendToFile, (const std::wstring&, const std::string&), (override));
};

class MockProcessApi : public platform::ProcessApi {
 public:
  MOCK_METHOD(HANDLE, CreateToolhelp32Snapshot, (DWORD, DWORD), (override));
  MOCK_METHOD(BOOL, Process32FirstW, (HANDLE, PROCESSENTRY32W*), (override));
  MOCK_METHOD(BOOL, Process32NextW, (HANDLE, PROCESSENTRY32W*), (override));
  MOCK_METHOD(HANDLE, OpenProcess, (DWORD, BOOL, DWORD), (override));
  MOCK_METHOD(BOOL, QueryFullProcessImageNameW, (HANDLE, DWORD, WCHAR*, DWORD*), (override));
  MOCK_METHOD(DWORD, K32GetModuleFileNameExW, (HANDLE, HMODULE, WCHAR*, DWORD), (override));
  MOCK_METHOD(BOOL, ProcessIdToSessionId, (DWORD, DWORD*), (override));
  MOCK_METHOD(BOOL, TerminateProcess, (HANDLE, UINT), (override));
  MOCK_METHOD(DWORD, GetCurrentProcessId, (), (override));
  MOCK_METHOD(HANDLE, GetCurrentProcess, (), (override));
  MOCK_METHOD(DWORD, GetModuleFileNameW, (HMODULE, WCHAR*, DWORD), (override));
  MOCK_METHOD(BOOL, OpenProcessToken, (HANDLE, DWORD, HANDLE*), (override));
  MOCK_METHOD(BOOL, LookupPrivilegeValueW, (const WCHAR*, const WCHAR*, LUID*), (override));
  MOCK_METHOD(BOOL, AdjustTokenPrivileges, (HANDLE, BOOL, TOKEN_PRIVILEGES*, DWORD, TOKEN_PRIVILEGES*, DWORD*),
              (override));
  MOCK_METHOD(HANDLE, CreateMutexW, (const void*, BOOL, const WCHAR*), (override));
  MOCK_METHOD(UINT, WinExec, (const std::string&, UINT), (override));
};

// A running process as the fake table reports it. An empty module path makes
// OpenProcess fail for it (access denied).
struct FakeProcess {
  DWORD pid = 0;
  DWORD parent = 0;
  std::wstring exeFile;
  std::wstring modulePath;
};

// Drives a MockProcessApi from a list of processes: snapshots walk the list
// as it was when taken; handles are real entries of the handle table so the
// test can see that every one was closed.
class FakeProcessTable {
 public:
  struct Snapshot : platform::KernelObject {
    std::vector<FakeProcess> processes;
    std::size_t next = 0;
  };
  struct Process : platform::KernelObject {
    std::wstring modulePath;
  };

  explicit FakeProcessTable(::testing::NiceMock<MockProcessApi>& api) {
    using ::testing::_;
    ON_CALL(api, CreateToolhelp32Snapshot(_, _)).WillByDefault([this](DWORD, DWORD) {
      std::lock_guard lock(mutex_);
      if (failSnapshot) return INVALID_HANDLE_VALUE;
      auto snapshot = std::make_shared<Snapshot>();
      snapshot->processes = processes;
      HANDLE h = platform::RegisterHandle(snapshot);
      handles_.push_back(h);
      return h;
    });
    auto step = [](HANDLE h, PROCESSENTRY32W* entry, bool first) -> BOOL {
      auto snapshot = platform::LookupHandleAs<Snapshot>(h);
      if (!snapshot || entry->dwSize != sizeof(PROCESSENTRY32W)) return FALSE;
      if (first) snapshot->next = 0;
      if (snapshot->next >= snapshot->processes.size()) return FALSE;
      const FakeProcess& p = snapshot->processes[snapshot->next++];
      entry->th32ProcessID = p.pid;
      entry->th32ParentProcessID = p.parent;
      std::fill(std::begin(entry->szExeFile), std::end(entry->szExeFile), L'\0');
      std::copy_n(p.exeFile.begin(), std::min<std::size_t>(p.exeFile.size(), MAX_PATH - 1), entry->szExeFile);
      return TRUE;
    };
    ON_CALL(api, Process32FirstW(_, _)).WillByDefault([step](HANDLE h, PROCESSENTRY32W* e) { return step(h, e, true); });
    ON_CALL(api, Process32NextW(_, _)).WillByDefault([step](HANDLE h, PROCESSENTRY32W* e) { return step(h, e, false); });
    ON_CALL(api, OpenProcess(_, _, _)).WillByDefault([this](DWORD access, BOOL, DWORD pid) -> HANDLE {
      std::lock_guard lock(mutex_);
      lastAccess = access;
      for (const auto& p : processes) {
        if (p.pid != pid || p.modulePath.empty()) continue;
        auto process = std::make_shared<Process>();
        process->modulePath = p.modulePath;
        HANDLE h = platform::RegisterHandle(process);
        handles_.push_back(h);
        return h;
      }
      platform::SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    });
    ON_CALL(api, K32GetModuleFileNameExW(_, _, _, _)).WillByDefault([](HANDLE h, HMODULE, WCHAR* buffer, DWORD size) -> DWORD {
      auto process = platform::LookupHandleAs<Process>(h);
      if (!process || size == 0) return 0;
      DWORD n = static_cast<DWORD>(std::min<std::size_t>(process->modulePath.size(), size - 1));
      std::copy_n(process->modulePath.begin(), n, buffer);
      buffer[n] = L'\0';
      return n;
    });
  }

  // Handles the table gave out that are still open.
  int OpenHandles() {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(handles_.begin(), handles_.end(),
                                          [](HANDLE h) { return platform::LookupHandle(h) != nullptr; }));
  }

  std::vector<FakeProcess> processes;
  bool failSnapshot = false;
  DWORD lastAccess = 0;

 private:
  std::mutex mutex_;
  std::vector<HANDLE> handles_;
};

}  // namespace zv::testing
