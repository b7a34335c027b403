// One open registry key for the steps: opened or created with the rights
// and view asked for, closed when it goes out of scope, and the value
// reads and writes the steps make (32-bit numbers and strings).
//
// Owns: the handle it opened. Must not: retry, create keys it was asked
// only to open, or hide a failure: every call answers the registry's code.
#pragma once

#include <string>

#include "platform/registry/registry_api.h"

namespace zv::startup {

class RegKey {
 public:
  RegKey() = default;
  ~RegKey();
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  win::LSTATUS Open(win::HKEY root, const std::wstring& subKey, win::REGSAM access);
  win::LSTATUS Create(win::HKEY root, const std::wstring& subKey, win::REGSAM access);
  bool IsOpen() const { return key_ != nullptr; }

  // ERROR_FILE_NOT_FOUND when the value is missing; a value that is not
  // 4 bytes gives ERROR_INVALID_DATA.
  win::LSTATUS ReadDword(const std::wstring& name, win::DWORD& out) const;
  bool HasValue(const std::wstring& name) const;
  // The whole string value up to its first zero unit, whatever its length.
  // A value that is not a string type gives ERROR_INVALID_DATA.
  win::LSTATUS ReadString(const std::wstring& name, std::wstring& out) const;
  win::LSTATUS SetDword(const std::wstring& name, win::DWORD value) const;
  // REG_SZ with its terminating zero unit.
  win::LSTATUS SetString(const std::wstring& name, const std::wstring& value) const;
  win::LSTATUS DeleteValue(const std::wstring& name) const;
  win::LSTATUS Flush() const;

 private:
  win::HKEY key_ = nullptr;
};

}  // namespace zv::startup
