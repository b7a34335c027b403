// The registry calls, with Win32 meaning, on the machine's registry.
//
// Owns: the RegistryApi interface, the predefined keys, registry value
// types, key access rights and options. Key and value names are UTF-16;
// value data are bytes with their type, stored exactly as given.
// Must not: know how the registry is kept (registry_store.h) or how hives
// are loaded (hives.h).
#pragma once

#include "platform/base/injectable.h"
#include "platform/base/win32.h"

namespace zv::win {

using HKEY = HANDLE;
using REGSAM = ACCESS_MASK;
using LSTATUS = LONG;
using CHAR = char;

// The predefined keys are sign-extended 32-bit values, as on 64-bit Windows.
inline const HKEY HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<LONG>(0x80000000u)));
inline const HKEY HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<LONG>(0x80000001u)));
inline const HKEY HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<LONG>(0x80000002u)));
inline const HKEY HKEY_USERS = reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<LONG>(0x80000003u)));

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
inline constexpr DWORD REG_LINK = 6;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_CREATE_LINK = 0x0020;
inline constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
inline constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
inline constexpr REGSAM READ_CONTROL = 0x00020000;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_EXECUTE = KEY_READ;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
inline constexpr REGSAM MAXIMUM_ALLOWED = 0x02000000;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_OPTION_VOLATILE = 1;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

inline constexpr DWORD ERROR_BADDB = 1009;
inline constexpr DWORD ERROR_BADKEY = 1010;
inline constexpr DWORD ERROR_CANTWRITE = 1013;
inline constexpr DWORD ERROR_KEY_DELETED = 1018;

}  // namespace zv::win

namespace zv::platform {

// Every call returns a Win32 error code (ERROR_SUCCESS on success) and leaves
// the thread's last error alone, as the registry functions do. Value data
// are bytes as on Windows: string data of the W forms are UTF-16LE (two
// bytes per unit, whatever the size of wchar_t); names are WCHAR strings.
class RegistryApi {
 public:
  virtual ~RegistryApi() = default;

  virtual win::LSTATUS RegOpenKeyExW(win::HKEY key, const win::WCHAR* subKey, win::DWORD options, win::REGSAM desired,
                                     win::HKEY* result) = 0;
  virtual win::LSTATUS RegOpenKeyExA(win::HKEY key, const win::CHAR* subKey, win::DWORD options, win::REGSAM desired,
                                     win::HKEY* result) = 0;
  virtual win::LSTATUS RegCreateKeyExW(win::HKEY key, const win::WCHAR* subKey, win::DWORD reserved,
                                       win::WCHAR* keyClass, win::DWORD options, win::REGSAM desired,
                                       const void* security, win::HKEY* result, win::DWORD* disposition) = 0;
  virtual win::LSTATUS RegCreateKeyExA(win::HKEY key, const win::CHAR* subKey, win::DWORD reserved,
                                       win::CHAR* keyClass, win::DWORD options, win::REGSAM desired,
                                       const void* security, win::HKEY* result, win::DWORD* disposition) = 0;
  // A null data pointer asks only the size; a short buffer gets
  // ERROR_MORE_DATA and the size needed in *dataBytes.
  virtual win::LSTATUS RegQueryValueExW(win::HKEY key, const win::WCHAR* name, win::DWORD* reserved, win::DWORD* type,
                                        win::BYTE* data, win::DWORD* dataBytes) = 0;
  // String data come back in the ANSI code page; sizes are those of the
  // converted text.
  virtual win::LSTATUS RegQueryValueExA(win::HKEY key, const win::CHAR* name, win::DWORD* reserved, win::DWORD* type,
                                        win::BYTE* data, win::DWORD* dataBytes) = 0;
  // Stores exactly the bytes given, with their type.
  virtual win::LSTATUS RegSetValueExW(win::HKEY key, const win::WCHAR* name, win::DWORD reserved, win::DWORD type,
                                      const win::BYTE* data, win::DWORD dataBytes) = 0;
  // String data are converted from the ANSI code page to UTF-16.
  virtual win::LSTATUS RegSetValueExA(win::HKEY key, const win::CHAR* name, win::DWORD reserved, win::DWORD type,
                                      const win::BYTE* data, win::DWORD dataBytes) = 0;
  virtual win::LSTATUS RegDeleteValueW(win::HKEY key, const win::WCHAR* name) = 0;
  virtual win::LSTATUS RegDeleteValueA(win::HKEY key, const win::CHAR* name) = 0;
  // Deletes a key without subkeys.
  virtual win::LSTATUS RegDeleteKeyW(win::HKEY key, const win::WCHAR* subKey) = 0;
  // nameUnits counts the terminator.
  virtual win::LSTATUS RegEnumKeyW(win::HKEY key, win::DWORD index, win::WCHAR* name, win::DWORD nameUnits) = 0;
  virtual win::LSTATUS RegEnumValueW(win::HKEY key, win::DWORD index, win::WCHAR* name, win::DWORD* nameUnits,
                                     win::DWORD* reserved, win::DWORD* type, win::BYTE* data,
                                     win::DWORD* dataBytes) = 0;
  virtual win::LSTATUS RegFlushKey(win::HKEY key) = 0;
  virtual win::LSTATUS RegCloseKey(win::HKEY key) = 0;
};

using Registry = Api<RegistryApi>;

}  // namespace zv::platform
