// Handle table: see handles.h.
#include "platform/base/handles.h"

#include <mutex>
#include <unordered_map>

namespace zv::platform {
namespace {

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
  std::unordered_map<KernelObject*, int> openCounts;
  // Handle values are multiples of 4 as on Windows and never reused, so a
  // stale handle can never reach a newer object.
  std::uintptr_t next = 0x100;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // lives until the process ends
  return *table;
}

thread_local win::DWORD lastError = 0;

}  // namespace

win::HANDLE RegisterHandle(std::shared_ptr<KernelObject> object) {
  if (!object) return nullptr;
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  std::uintptr_t value = t.next;
  t.next += 4;
  ++t.openCounts[object.get()];
  t.objects.emplace(value, std::move(object));
  return reinterpret_cast<win::HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(win::HANDLE handle) {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == t.objects.end() ? nullptr : it->second;
}

win::BOOL CloseHandle(win::HANDLE handle) {
  std::shared_ptr<KernelObject> object;
  bool last = false;
  {
    HandleTable& t = Table();
    std::lock_guard lock(t.mutex);
    auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == t.objects.end()) {
      SetLastError(win::ERROR_INVALID_HANDLE);
      return win::FALSE;
    }
    object = std::move(it->second);
    t.objects.erase(it);
    auto count = t.openCounts.find(object.get());
    if (--count->second == 0) {
      t.openCounts.erase(count);
      last = true;
    }
  }
  if (last) object->OnLastHandleClosed();
  return win::TRUE;
}

win::DWORD GetLastError() { return lastError; }
void SetLastError(win::DWORD error) { lastError = error; }

}  // namespace zv::platform
