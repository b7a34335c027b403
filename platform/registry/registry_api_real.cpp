// The real RegistryApi: Win32 registry calls on the machine's registry.
//
// Owns: key handles (the key, the path it was opened by, the view and the
// access granted), the predefined keys HKEY_LOCAL_MACHINE and HKEY_USERS,
// access checks, the choice of view (KEY_WOW64_64KEY / KEY_WOW64_32KEY, else
// the calling program's bitness), buffer and size rules, and the A forms.
// Must not: keep registry data in memory (every call reads or writes
// machine.db in one transaction) or throw to callers.
#include <algorithm>
#include <cstring>

#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/processes/process_table.h"
#include "platform/registry/hives.h"
#include "platform/registry/registry_api.h"
#include "platform/registry/registry_store.h"

namespace zv::platform {
namespace {

using win::DWORD;
using win::HKEY;
using win::LSTATUS;
using win::REGSAM;

constexpr REGSAM kViewFlags = win::KEY_WOW64_32KEY | win::KEY_WOW64_64KEY;
constexpr REGSAM kDelete = 0x00010000;

class RegKeyObject : public KernelObject {
 public:
  std::shared_ptr<Machine> machine;
  RegRoot root = RegRoot::Machine;
  KeyId key = 0;
  std::vector<std::wstring> logical;   // the path as asked, from the root
  std::vector<std::wstring> physical;  // where it led
  REGSAM access = 0;
};

// A handle's target; predefined keys have no key id until looked up.
struct Target {
  std::shared_ptr<Machine> machine;
  RegRoot root = RegRoot::Machine;
  KeyId key = 0;
  std::vector<std::wstring> logical;
  std::vector<std::wstring> physical;
  REGSAM access = 0;
};

std::shared_ptr<Machine> CurrentMachine() {
  try {
    auto m = Machine::Current();
    regdb::EnsureRegistry(*m);
    return m;
  } catch (const std::exception&) {
    return nullptr;
  }
}

DWORD ResolveHandle(HKEY key, Target& out) {
  if (key == win::HKEY_LOCAL_MACHINE || key == win::HKEY_USERS) {
    out.machine = CurrentMachine();
    if (!out.machine) return win::ERROR_NOT_READY;
    out.root = key == win::HKEY_LOCAL_MACHINE ? RegRoot::Machine : RegRoot::Users;
    out.access = win::KEY_ALL_ACCESS;
    return win::ERROR_SUCCESS;
  }
  auto object = LookupHandleAs<RegKeyObject>(key);
  if (!object) return win::ERROR_INVALID_HANDLE;
  out.machine = object->machine;
  out.root = object->root;
  out.key = object->key;
  out.logical = object->logical;
  out.physical = object->physical;
  out.access = object->access;
  return win::ERROR_SUCCESS;
}

// Runs fn in one read transaction, so a call sees one state of the registry.
void ReadTx(Machine& m, const std::function<void(sqlite3*)>& fn) {
  m.Read([&](sqlite3* db) {
    sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
    try {
      fn(db);
    } catch (...) {
      sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
      throw;
    }
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
  });
}

// The key behind a target inside a transaction: the root for predefined
// keys; 0 when the key was deleted since the handle was opened.
KeyId KeyOf(sqlite3* db, const Target& t) {
  if (!t.key) return regdb::RootKey(db, t.root);
  return regdb::KeyExists(db, t.key) ? t.key : 0;
}

REGSAM GrantedAccess(REGSAM desired) {
  REGSAM a = desired & ~kViewFlags;
  if (a & (win::MAXIMUM_ALLOWED | win::GENERIC_ALL)) a |= win::KEY_ALL_ACCESS;
  if (a & win::GENERIC_READ) a |= win::KEY_READ;
  if (a & win::GENERIC_WRITE) a |= win::KEY_WRITE;
  if (a & win::GENERIC_EXECUTE) a |= win::KEY_EXECUTE;
  return a & (win::KEY_ALL_ACCESS | win::KEY_NOTIFY);
}

// A 32-bit program sees the 32-bit view unless it asks for the other. Until
// programs carry their bitness, it is the machine setting
// program.<image file name, lower case>.bitness ("32" or "64", default 64).
bool CallerIs32Bit(Machine& m) {
  std::wstring image = process_detail::FileNameOf(CurrentProcessImage());
  auto v = m.Setting("program." + text::ToUtf8(text::AsciiLowerCopy(image)) + ".bitness");
  return v && *v == "32";
}

bool SameStart(const std::vector<std::wstring>& prefix, const std::vector<std::wstring>& path) {
  if (prefix.size() > path.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (!text::AsciiIEquals(prefix[i], path[i])) return false;
  }
  return true;
}

bool IsStringType(DWORD type) {
  return type == win::REG_SZ || type == win::REG_EXPAND_SZ || type == win::REG_MULTI_SZ;
}

std::wstring Wide(const win::WCHAR* s) { return s ? std::wstring(s) : std::wstring(); }
std::wstring FromA(const win::CHAR* s) { return s ? text::FromAnsi(s) : std::wstring(); }

// Copies a value out with the Win32 size rules.
LSTATUS DeliverData(const RegValue& v, DWORD* type, win::BYTE* data, DWORD* dataBytes) {
  if (data && !dataBytes) return win::ERROR_INVALID_PARAMETER;
  if (type) *type = v.type;
  if (!dataBytes) return win::ERROR_SUCCESS;
  auto size = static_cast<DWORD>(v.data.size());
  if (!data) {
    *dataBytes = size;
    return win::ERROR_SUCCESS;
  }
  if (*dataBytes < size) {
    *dataBytes = size;
    return win::ERROR_MORE_DATA;
  }
  std::memcpy(data, v.data.data(), size);
  *dataBytes = size;
  return win::ERROR_SUCCESS;
}

std::string AnsiData(const RegValue& v) {
  if (!IsStringType(v.type)) return v.data;
  return text::ToAnsi(text::FromUtf16Le(v.data.data(), v.data.size()));
}

class RealRegistryApi : public RegistryApi {
 public:
  LSTATUS RegOpenKeyExW(HKEY key, const win::WCHAR* subKey, DWORD, REGSAM desired, HKEY* result) override {
    return OpenOrCreate(key, Wide(subKey), desired, false, result, nullptr);
  }
  LSTATUS RegOpenKeyExA(HKEY key, const win::CHAR* subKey, DWORD, REGSAM desired, HKEY* result) override {
    return OpenOrCreate(key, FromA(subKey), desired, false, result, nullptr);
  }
  LSTATUS RegCreateKeyExW(HKEY key, const win::WCHAR* subKey, DWORD, win::WCHAR*, DWORD, REGSAM desired, const void*,
                          HKEY* result, DWORD* disposition) override {
    if (!subKey) return win::ERROR_INVALID_PARAMETER;
    return OpenOrCreate(key, subKey, desired, true, result, disposition);
  }
  LSTATUS RegCreateKeyExA(HKEY key, const win::CHAR* subKey, DWORD, win::CHAR*, DWORD, REGSAM desired, const void*,
                          HKEY* result, DWORD* disposition) override {
    if (!subKey) return win::ERROR_INVALID_PARAMETER;
    return OpenOrCreate(key, FromA(subKey), desired, true, result, disposition);
  }

  LSTATUS RegQueryValueExW(HKEY key, const win::WCHAR* name, DWORD*, DWORD* type, win::BYTE* data,
                           DWORD* dataBytes) override {
    RegValue v;
    if (LSTATUS e = Query(key, Wide(name), v)) return e;
    return DeliverData(v, type, data, dataBytes);
  }
  LSTATUS RegQueryValueExA(HKEY key, const win::CHAR* name, DWORD*, DWORD* type, win::BYTE* data,
                           DWORD* dataBytes) override {
    RegValue v;
    if (LSTATUS e = Query(key, FromA(name), v)) return e;
    v.data = AnsiData(v);
    return DeliverData(v, type, data, dataBytes);
  }

  LSTATUS RegSetValueExW(HKEY key, const win::WCHAR* name, DWORD, DWORD type, const win::BYTE* data,
                         DWORD dataBytes) override {
    if (!data && dataBytes) return win::ERROR_NOACCESS;
    std::string bytes(reinterpret_cast<const char*>(data), data ? dataBytes : 0);
    return Set(key, Wide(name), type, bytes);
  }
  LSTATUS RegSetValueExA(HKEY key, const win::CHAR* name, DWORD, DWORD type, const win::BYTE* data,
                         DWORD dataBytes) override {
    if (!data && dataBytes) return win::ERROR_NOACCESS;
    std::string bytes(reinterpret_cast<const char*>(data), data ? dataBytes : 0);
    if (IsStringType(type)) bytes = text::ToUtf16Le(text::FromAnsi(bytes));
    return Set(key, FromA(name), type, bytes);
  }

  LSTATUS RegDeleteValueW(HKEY key, const win::WCHAR* name) override { return DeleteValue(key, Wide(name)); }
  LSTATUS RegDeleteValueA(HKEY key, const win::CHAR* name) override { return DeleteValue(key, FromA(name)); }

  LSTATUS RegDeleteKeyW(HKEY key, const win::WCHAR* subKey) override {
    if (!subKey) return win::ERROR_INVALID_PARAMETER;
    Target t;
    if (LSTATUS e = ResolveHandle(key, t)) return e;
    std::vector<std::wstring> names;
    if (LSTATUS e = SplitKeyPath(subKey, names)) return e;
    if (names.empty() && !(t.access & kDelete)) return win::ERROR_ACCESS_DENIED;
    return Guard([&] {
      std::vector<std::wstring> physical = PhysicalPath(*t.machine, t, names, 0);
      LSTATUS result = win::ERROR_SUCCESS;
      t.machine->Write([&](sqlite3* db) {
        KeyId target = 0;
        if ((result = Locate(db, t, physical, false, &target, nullptr))) return;
        if (regdb::IsHiveRoot(db, target) || regdb::HasSubkeys(db, target)) {
          result = win::ERROR_ACCESS_DENIED;
          return;
        }
        regdb::DeleteTree(db, target);
      });
      return result;
    });
  }

  LSTATUS RegEnumKeyW(HKEY key, DWORD index, win::WCHAR* name, DWORD nameUnits) override {
    Target t;
    if (LSTATUS e = ResolveHandle(key, t)) return e;
    if (!(t.access & win::KEY_ENUMERATE_SUB_KEYS)) return win::ERROR_ACCESS_DENIED;
    if (!name) return win::ERROR_INVALID_PARAMETER;
    return Guard([&] {
      LSTATUS result = win::ERROR_SUCCESS;
      std::optional<std::wstring> found;
      ReadTx(*t.machine, [&](sqlite3* db) {
        KeyId k = KeyOf(db, t);
        if (!k) {
          result = win::ERROR_KEY_DELETED;
          return;
        }
        found = regdb::SubkeyAt(db, k, index);
      });
      if (result) return result;
      if (!found) return static_cast<LSTATUS>(win::ERROR_NO_MORE_ITEMS);
      if (nameUnits < found->size() + 1) return static_cast<LSTATUS>(win::ERROR_MORE_DATA);
      std::copy(found->begin(), found->end(), name);
      name[found->size()] = 0;
      return static_cast<LSTATUS>(win::ERROR_SUCCESS);
    });
  }

  LSTATUS RegEnumValueW(HKEY key, DWORD index, win::WCHAR* name, DWORD* nameUnits, DWORD*, DWORD* type,
                        win::BYTE* data, DWORD* dataBytes) override {
    Target t;
    if (LSTATUS e = ResolveHandle(key, t)) return e;
    if (!(t.access & win::KEY_QUERY_VALUE)) return win::ERROR_ACCESS_DENIED;
    if (!name || !nameUnits) return win::ERROR_INVALID_PARAMETER;
    return Guard([&] {
      LSTATUS result = win::ERROR_SUCCESS;
      std::optional<RegValue> found;
      ReadTx(*t.machine, [&](sqlite3* db) {
        KeyId k = KeyOf(db, t);
        if (!k) {
          result = win::ERROR_KEY_DELETED;
          return;
        }
        found = regdb::ValueAt(db, k, index);
      });
      if (result) return result;
      if (!found) return static_cast<LSTATUS>(win::ERROR_NO_MORE_ITEMS);
      if (*nameUnits < found->name.size() + 1) return static_cast<LSTATUS>(win::ERROR_MORE_DATA);
      std::copy(found->name.begin(), found->name.end(), name);
      name[found->name.size()] = 0;
      *nameUnits = static_cast<DWORD>(found->name.size());
      return DeliverData(*found, type, data, dataBytes);
    });
  }

  LSTATUS RegFlushKey(HKEY key) override {
    Target t;
    if (LSTATUS e = ResolveHandle(key, t)) return e;
    return Guard([&] {
      LSTATUS result = win::ERROR_SUCCESS;
      KeyId mount = 0;
      ReadTx(*t.machine, [&](sqlite3* db) {
        KeyId k = KeyOf(db, t);
        if (!k) {
          result = win::ERROR_KEY_DELETED;
          return;
        }
        mount = regdb::HiveMountOf(db, k);
      });
      // machine.db is durable at every commit; a loaded hive also goes to its file.
      if (!result && mount) result = static_cast<LSTATUS>(FlushHive(*t.machine, mount));
      return result;
    });
  }

  LSTATUS RegCloseKey(HKEY key) override {
    if (key == win::HKEY_LOCAL_MACHINE || key == win::HKEY_USERS) return win::ERROR_SUCCESS;
    if (!LookupHandleAs<RegKeyObject>(key)) return win::ERROR_INVALID_HANDLE;
    return CloseHandle(key) ? win::ERROR_SUCCESS : static_cast<LSTATUS>(win::ERROR_INVALID_HANDLE);
  }

 private:
  template <class Fn>
  static LSTATUS Guard(Fn&& fn) {
    try {
      return fn();
    } catch (const std::exception&) {
      return win::ERROR_NOT_READY;
    }
  }

  // The physical path of handle + names in the view asked for (or the
  // caller's own).
  static std::vector<std::wstring> PhysicalPath(Machine& m, const Target& t, const std::vector<std::wstring>& names,
                                                REGSAM desired) {
    std::vector<std::wstring> logical = t.logical;
    logical.insert(logical.end(), names.begin(), names.end());
    if (t.root != RegRoot::Machine || !ShapeOf(m).x64) return logical;
    bool view32 = (desired & win::KEY_WOW64_32KEY) ||
                  (!(desired & win::KEY_WOW64_64KEY) && CallerIs32Bit(m));
    return view32 ? RedirectTo32(logical) : logical;
  }

  // Finds (or creates) the key at a physical path, starting from the
  // handle's own key when the path lies below it, so that a deleted key is
  // noticed (ERROR_KEY_DELETED).
  static LSTATUS Locate(sqlite3* db, const Target& t, const std::vector<std::wstring>& physical, bool create,
                        KeyId* out, bool* createdAny) {
    KeyId start;
    std::size_t from;
    if (t.key && SameStart(t.physical, physical)) {
      start = regdb::KeyExists(db, t.key) ? t.key : 0;
      if (!start) return win::ERROR_KEY_DELETED;
      from = t.physical.size();
    } else {
      start = regdb::RootKey(db, t.root);
      from = 0;
    }
    KeyId k = start;
    for (std::size_t i = from; i < physical.size(); ++i) {
      KeyId next = regdb::Child(db, k, physical[i]);
      if (!next) {
        if (!create) return win::ERROR_FILE_NOT_FOUND;
        // The hives straight under HKLM and HKU are made by the machine.
        if (i == 0) return win::ERROR_ACCESS_DENIED;
        next = regdb::CreateChild(db, k, physical[i], nullptr);
        if (createdAny) *createdAny = true;
      }
      k = next;
    }
    *out = k;
    return win::ERROR_SUCCESS;
  }

  static LSTATUS OpenOrCreate(HKEY key, const std::wstring& subKey, REGSAM desired, bool create, HKEY* result,
                              DWORD* disposition) {
    if (!result) return win::ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if ((desired & kViewFlags) == kViewFlags) return win::ERROR_INVALID_PARAMETER;
    Target t;
    if (LSTATUS e = ResolveHandle(key, t)) return e;
    std::vector<std::wstring> names;
    if (LSTATUS e = SplitKeyPath(subKey, names)) return e;
    return Guard([&] {
      auto object = std::make_shared<RegKeyObject>();
      object->machine = t.machine;
      object->root = t.root;
      object->logical = t.logical;
      object->logical.insert(object->logical.end(), names.begin(), names.end());
      object->physical = PhysicalPath(*t.machine, t, names, desired);
      object->access = GrantedAccess(desired);
      LSTATUS status = win::ERROR_SUCCESS;
      bool created = false;
      auto locate = [&](sqlite3* db) {
        status = Locate(db, t, object->physical, create, &object->key, &created);
      };
      if (create) {
        t.machine->Write(locate);
      } else {
        ReadTx(*t.machine, locate);
      }
      if (status) return status;
      if (disposition) *disposition = created ? win::REG_CREATED_NEW_KEY : win::REG_OPENED_EXISTING_KEY;
      *result = RegisterHandle(object);
      return static_cast<LSTATUS>(win::ERROR_SUCCESS);
    });
  }

  static LSTATUS Query(HKEY key, const std::wstring& name, RegValue& out) {
    Target t;
    if (LSTATUS e = ResolveHandle(key, t)) return e;
    if (!(t.access & win::KEY_QUERY_VALUE)) return win::ERROR_ACCESS_DENIED;
    return Guard([&] {
      LSTATUS result = win::ERROR_SUCCESS;
      ReadTx(*t.machine, [&](sqlite3* db) {
        KeyId k = KeyOf(db, t);
        if (!k) {
          result = win::ERROR_KEY_DELETED;
          return;
        }
        auto v = regdb::GetValue(db, k, name);
        if (!v) {
          result = win::ERROR_FILE_NOT_FOUND;
          return;
        }
        out = std::move(*v);
      });
      return result;
    });
  }

  static LSTATUS Set(HKEY key, const std::wstring& name, DWORD type, const std::string& bytes) {
    Target t;
    if (LSTATUS e = ResolveHandle(key, t)) return e;
    if (!(t.access & win::KEY_SET_VALUE)) return win::ERROR_ACCESS_DENIED;
    if (name.size() > kMaxValueName) return win::ERROR_INVALID_PARAMETER;
    return Guard([&] {
      LSTATUS result = win::ERROR_SUCCESS;
      t.machine->Write([&](sqlite3* db) {
        KeyId k = KeyOf(db, t);
        if (!k) {
          result = win::ERROR_KEY_DELETED;
          return;
        }
        if (!regdb::ParentOf(db, k)) {
          result = win::ERROR_ACCESS_DENIED;  // HKLM and HKU themselves hold no values
          return;
        }
        regdb::SetValue(db, k, name, type, bytes);
      });
      return result;
    });
  }

  static LSTATUS DeleteValue(HKEY key, const std::wstring& name) {
    Target t;
    if (LSTATUS e = ResolveHandle(key, t)) return e;
    if (!(t.access & win::KEY_SET_VALUE)) return win::ERROR_ACCESS_DENIED;
    return Guard([&] {
      LSTATUS result = win::ERROR_SUCCESS;
      t.machine->Write([&](sqlite3* db) {
        KeyId k = KeyOf(db, t);
        if (!k) {
          result = win::ERROR_KEY_DELETED;
        } else if (!regdb::DeleteValue(db, k, name)) {
          result = win::ERROR_FILE_NOT_FOUND;
        }
      });
      return result;
    });
  }
};

}  // namespace

template <>
RegistryApi& Api<RegistryApi>::Default() {
  static RealRegistryApi* api = new RealRegistryApi;  // lives until the process ends
  return *api;
}

}  // namespace zv::platform
