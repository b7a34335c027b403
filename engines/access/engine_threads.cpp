// The threads an engine starts for itself (see engine_threads.h).
#include "engines/access/engine_threads.h"

#include <memory>
#include <utility>

#include "platform/base/handles.h"
#include "platform/threads/sync_api.h"

namespace zv::engines {
namespace {

win::DWORD RunRoutine(void* parameter) {
  std::unique_ptr<std::function<void()>> routine(static_cast<std::function<void()>*>(parameter));
  (*routine)();
  return 0;
}

}  // namespace

EngineThreads::~EngineThreads() {
  for (win::HANDLE h : Handles) platform::CloseHandle(h);
}

bool EngineThreads::Start(std::function<void()> routine) {
  auto owned = std::make_unique<std::function<void()>>(std::move(routine));
  std::lock_guard lock(Lock);
  CloseEndedLocked();
  win::DWORD threadId = 0;
  win::HANDLE h = platform::Threads::Get().CreateThread(nullptr, 0, RunRoutine, owned.get(), 0, &threadId);
  if (h == nullptr) return false;
  owned.release();  // the thread owns it now
  Handles.push_back(h);
  return true;
}

void EngineThreads::JoinAll() {
  std::vector<win::HANDLE> handles;
  {
    std::lock_guard lock(Lock);
    handles.swap(Handles);
  }
  auto& threads = platform::Threads::Get();
  for (win::HANDLE h : handles) {
    threads.WaitForSingleObject(h, win::INFINITE);
    platform::CloseHandle(h);
  }
}

std::size_t EngineThreads::Running() {
  std::lock_guard lock(Lock);
  CloseEndedLocked();
  return Handles.size();
}

void EngineThreads::CloseEndedLocked() {
  auto& threads = platform::Threads::Get();
  std::erase_if(Handles, [&threads](win::HANDLE h) {
    win::DWORD code = 0;
    if (!threads.GetExitCodeThread(h, &code) || code == win::STILL_ACTIVE) return false;
    platform::CloseHandle(h);
    return true;
  });
}

}  // namespace zv::engines
