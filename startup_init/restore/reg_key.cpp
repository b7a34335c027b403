// Registry key handling of the steps.
#include "startup_init/restore/reg_key.h"

#include <vector>

#include "platform/base/text.h"

namespace zv::startup {

using platform::Registry;

RegKey::~RegKey() {
  if (key_) Registry::Get().RegCloseKey(key_);
}

win::LSTATUS RegKey::Open(win::HKEY root, const std::wstring& subKey, win::REGSAM access) {
  return Registry::Get().RegOpenKeyExW(root, subKey.c_str(), 0, access, &key_);
}

win::LSTATUS RegKey::Create(win::HKEY root, const std::wstring& subKey, win::REGSAM access) {
  return Registry::Get().RegCreateKeyExW(root, subKey.c_str(), 0, nullptr, win::REG_OPTION_NON_VOLATILE, access,
                                         nullptr, &key_, nullptr);
}

win::LSTATUS RegKey::ReadDword(const std::wstring& name, win::DWORD& out) const {
  win::BYTE data[4] = {};
  win::DWORD type = 0, size = sizeof data;
  win::LSTATUS rc = Registry::Get().RegQueryValueExW(key_, name.c_str(), nullptr, &type, data, &size);
  if (rc == win::ERROR_MORE_DATA || (rc == win::ERROR_SUCCESS && size != 4)) return win::ERROR_INVALID_DATA;
  if (rc != win::ERROR_SUCCESS) return rc;
  out = static_cast<win::DWORD>(data[0]) | static_cast<win::DWORD>(data[1]) << 8 |
        static_cast<win::DWORD>(data[2]) << 16 | static_cast<win::DWORD>(data[3]) << 24;
  return win::ERROR_SUCCESS;
}

bool RegKey::HasValue(const std::wstring& name) const {
  win::DWORD size = 0;
  return Registry::Get().RegQueryValueExW(key_, name.c_str(), nullptr, nullptr, nullptr, &size) ==
         win::ERROR_SUCCESS;
}

win::LSTATUS RegKey::ReadString(const std::wstring& name, std::wstring& out) const {
  auto& reg = Registry::Get();
  win::DWORD type = 0, size = 0;
  win::LSTATUS rc = reg.RegQueryValueExW(key_, name.c_str(), nullptr, &type, nullptr, &size);
  if (rc != win::ERROR_SUCCESS) return rc;
  std::vector<win::BYTE> data;
  // The value may grow between the calls: ask again while it does not fit.
  for (int attempt = 0;; ++attempt) {
    data.assign(size + 2, 0);
    win::DWORD got = static_cast<win::DWORD>(data.size());
    rc = reg.RegQueryValueExW(key_, name.c_str(), nullptr, &type, data.data(), &got);
    size = got;
    if (rc != win::ERROR_MORE_DATA || attempt == 8) break;
  }
  if (rc != win::ERROR_SUCCESS) return rc;
  if (type != win::REG_SZ && type != win::REG_EXPAND_SZ && type != win::REG_MULTI_SZ) return win::ERROR_INVALID_DATA;
  out = text::FromUtf16Le(data.data(), size & ~1u);
  if (auto zero = out.find(L'\0'); zero != std::wstring::npos) out.resize(zero);
  return win::ERROR_SUCCESS;
}

win::LSTATUS RegKey::SetDword(const std::wstring& name, win::DWORD value) const {
  const win::BYTE data[4] = {static_cast<win::BYTE>(value), static_cast<win::BYTE>(value >> 8),
                             static_cast<win::BYTE>(value >> 16), static_cast<win::BYTE>(value >> 24)};
  return Registry::Get().RegSetValueExW(key_, name.c_str(), 0, win::REG_DWORD, data, 4);
}

win::LSTATUS RegKey::SetString(const std::wstring& name, const std::wstring& value) const {
  std::string bytes = text::ToUtf16Le(value);
  bytes.append(2, '\0');
  return Registry::Get().RegSetValueExW(key_, name.c_str(), 0, win::REG_SZ,
                                        reinterpret_cast<const win::BYTE*>(bytes.data()),
                                        static_cast<win::DWORD>(bytes.size()));
}

win::LSTATUS RegKey::DeleteValue(const std::wstring& name) const {
  return Registry::Get().RegDeleteValueW(key_, name.c_str());
}

win::LSTATUS RegKey::Flush() const { return Registry::Get().RegFlushKey(key_); }

}  // namespace zv::startup
