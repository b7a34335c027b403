// An in-memory FileApi for tests.
//
// Owns: a map of DOS paths (compared without ASCII case) to file bytes and
// the handles opened on them. Supports what the writers and readers of
// files need: CreateFileW, ReadFile, WriteFile, SetFilePointerEx,
// FlushFileBuffers, GetFileSizeEx, GetFileAttributesW, DeleteFileW and
// AppendToFile. Everything else fails with ERROR_NOT_SUPPORTED.
// Must not: touch the host; tests only.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/files/file_api.h"
#include "platform/base/handles.h"
#include "platform/base/text.h"

namespace zv::platform::fakes {

class MemoryFiles : public FileApi {
 public:
  void Put(const std::wstring& path, std::string bytes) {
    std::lock_guard lock(mutex_);
    files_[Key(path)] = std::move(bytes);
  }
  bool Exists(const std::wstring& path) const {
    std::lock_guard lock(mutex_);
    return files_.count(Key(path)) != 0;
  }
  std::string Bytes(const std::wstring& path) const {
    std::lock_guard lock(mutex_);
    auto it = files_.find(Key(path));
    return it == files_.end() ? std::string() : it->second;
  }
  std::size_t FileCount() const {
    std::lock_guard lock(mutex_);
    return files_.size();
  }
  // Paths that every open fails on (ERROR_ACCESS_DENIED).
  void Deny(const std::wstring& path) {
    std::lock_guard lock(mutex_);
    denied_.insert(Key(path));
  }
  int AppendCalls() const {
    std::lock_guard lock(mutex_);
    return appendCalls_;
  }
  int WriteCalls() const {
    std::lock_guard lock(mutex_);
    return writeCalls_;
  }

  win::HANDLE CreateFileW(const win::WCHAR* path, win::DWORD, win::DWORD, const void*, win::DWORD disposition,
                          win::DWORD, win::HANDLE) override {
    std::lock_guard lock(mutex_);
    std::wstring key = Key(path ? path : L"");
    if (key.empty() || denied_.count(key)) return Fail(win::ERROR_ACCESS_DENIED);
    bool exists = files_.count(key) != 0;
    switch (disposition) {
      case win::CREATE_NEW:
        if (exists) return Fail(win::ERROR_FILE_EXISTS);
        files_[key];
        break;
      case win::CREATE_ALWAYS:
        files_[key].clear();
        break;
      case win::OPEN_EXISTING:
        if (!exists) return Fail(win::ERROR_FILE_NOT_FOUND);
        break;
      case win::OPEN_ALWAYS:
        files_[key];
        break;
      case win::TRUNCATE_EXISTING:
        if (!exists) return Fail(win::ERROR_FILE_NOT_FOUND);
        files_[key].clear();
        break;
      default:
        return Fail(win::ERROR_INVALID_PARAMETER);
    }
    auto open = std::make_shared<OpenFile>();
    open->key = key;
    return RegisterHandle(open);
  }
  win::BOOL ReadFile(win::HANDLE file, void* buffer, win::DWORD bytes, win::DWORD* read, win::OVERLAPPED*) override {
    auto open = LookupHandleAs<OpenFile>(file);
    std::lock_guard lock(mutex_);
    if (!open) return FailBool(win::ERROR_INVALID_HANDLE);
    const std::string& data = files_[open->key];
    std::size_t n = open->position < data.size() ? std::min<std::size_t>(bytes, data.size() - open->position) : 0;
    std::memcpy(buffer, data.data() + open->position, n);
    open->position += n;
    if (read) *read = static_cast<win::DWORD>(n);
    return win::TRUE;
  }
  win::BOOL WriteFile(win::HANDLE file, const void* buffer, win::DWORD bytes, win::DWORD* written,
                      win::OVERLAPPED*) override {
    auto open = LookupHandleAs<OpenFile>(file);
    std::lock_guard lock(mutex_);
    if (!open) return FailBool(win::ERROR_INVALID_HANDLE);
    ++writeCalls_;
    std::string& data = files_[open->key];
    if (data.size() < open->position + bytes) data.resize(open->position + bytes);
    std::memcpy(data.data() + open->position, buffer, bytes);
    open->position += bytes;
    if (written) *written = bytes;
    return win::TRUE;
  }
  win::BOOL SetFilePointerEx(win::HANDLE file, win::LONGLONG distance, win::LONGLONG* newPosition,
                             win::DWORD method) override {
    // Other threads get a turn between a seek and what follows it, as they
    // may on a real system.
    struct YieldAfter {
      ~YieldAfter() { std::this_thread::yield(); }
    } yieldAfter;
    auto open = LookupHandleAs<OpenFile>(file);
    std::lock_guard lock(mutex_);
    if (!open) return FailBool(win::ERROR_INVALID_HANDLE);
    win::LONGLONG base = method == win::FILE_BEGIN     ? 0
                         : method == win::FILE_CURRENT ? static_cast<win::LONGLONG>(open->position)
                                                       : static_cast<win::LONGLONG>(files_[open->key].size());
    if (base + distance < 0) return FailBool(win::ERROR_INVALID_PARAMETER);
    open->position = static_cast<std::size_t>(base + distance);
    if (newPosition) *newPosition = base + distance;
    return win::TRUE;
  }
  win::BOOL FlushFileBuffers(win::HANDLE file) override {
    return LookupHandleAs<OpenFile>(file) ? win::TRUE : FailBool(win::ERROR_INVALID_HANDLE);
  }
  win::BOOL GetFileSizeEx(win::HANDLE file, win::LONGLONG* size) override {
    auto open = LookupHandleAs<OpenFile>(file);
    std::lock_guard lock(mutex_);
    if (!open) return FailBool(win::ERROR_INVALID_HANDLE);
    *size = static_cast<win::LONGLONG>(files_[open->key].size());
    return win::TRUE;
  }
  win::DWORD GetFileAttributesW(const win::WCHAR* path) override {
    return Exists(path ? path : L"") ? win::FILE_ATTRIBUTE_ARCHIVE : (SetLastError(win::ERROR_FILE_NOT_FOUND),
                                                                      win::INVALID_FILE_ATTRIBUTES);
  }
  win::BOOL DeleteFileW(const win::WCHAR* path) override {
    std::lock_guard lock(mutex_);
    return files_.erase(Key(path ? path : L"")) ? win::TRUE : FailBool(win::ERROR_FILE_NOT_FOUND);
  }
  bool AppendToFile(const std::wstring& path, const std::string& bytes) override {
    std::lock_guard lock(mutex_);
    std::wstring key = Key(path);
    if (key.empty() || denied_.count(key)) return false;
    ++appendCalls_;
    files_[key] += bytes;
    return true;
  }

  win::BOOL SetFileAttributesW(const win::WCHAR*, win::DWORD) override { return Unsupported(); }
  win::BOOL CopyFileW(const win::WCHAR*, const win::WCHAR*, win::BOOL) override { return Unsupported(); }
  win::BOOL CreateDirectoryW(const win::WCHAR*, const SecurityDescriptor*) override { return Unsupported(); }
  win::BOOL RemoveDirectoryW(const win::WCHAR*) override { return Unsupported(); }
  win::BOOL MoveFileExW(const win::WCHAR*, const win::WCHAR*, win::DWORD) override { return Unsupported(); }
  int SHCreateDirectoryExW(win::HWND, const win::WCHAR*, const SecurityDescriptor*) override {
    return static_cast<int>(win::ERROR_NOT_SUPPORTED);
  }
  win::BOOL GetFileSecurityW(const win::WCHAR*, SecurityDescriptor*) override { return Unsupported(); }
  win::BOOL GetFileSecurityW(const win::WCHAR*, SECURITY_INFORMATION, void*, win::DWORD, win::DWORD*) override {
    return Unsupported();
  }
  win::DWORD GetLongPathNameW(const win::WCHAR*, win::WCHAR*, win::DWORD) override { return Unsupported(); }
  win::DWORD GetShortPathNameW(const win::WCHAR*, win::WCHAR*, win::DWORD) override { return Unsupported(); }
  win::HANDLE FindFirstFileW(const win::WCHAR*, win::WIN32_FIND_DATAW*) override {
    return Fail(win::ERROR_NOT_SUPPORTED);
  }
  win::BOOL FindNextFileW(win::HANDLE, win::WIN32_FIND_DATAW*) override { return Unsupported(); }
  win::BOOL FindClose(win::HANDLE) override { return Unsupported(); }

 private:
  struct OpenFile : KernelObject {
    std::wstring key;
    std::size_t position = 0;  // guarded by the owner's mutex
  };
  static std::wstring Key(const std::wstring& path) { return text::AsciiLowerCopy(path); }
  static win::HANDLE Fail(win::DWORD error) {
    SetLastError(error);
    return win::INVALID_HANDLE_VALUE;
  }
  static win::BOOL FailBool(win::DWORD error) {
    SetLastError(error);
    return win::FALSE;
  }
  static win::BOOL Unsupported() { return FailBool(win::ERROR_NOT_SUPPORTED); }

  mutable std::mutex mutex_;
  std::map<std::wstring, std::string> files_;
  std::set<std::wstring> denied_;
  int appendCalls_ = 0;
  int writeCalls_ = 0;
};

}  // namespace zv::platform::fakes
