// The threads an engine starts for itself (a thread group).
//
// Owns: the handles of the threads it started, under its own mutex; handles
// of threads that have ended are closed when the next thread starts.
// Must not: stop a thread (routines watch their own run flags) or be used
// to wait for a thread from inside that thread.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "platform/base/win32.h"

namespace zv::engines {

class EngineThreads {
 public:
  EngineThreads() = default;
  EngineThreads(const EngineThreads&) = delete;
  EngineThreads& operator=(const EngineThreads&) = delete;
  // Closes the handles; the threads themselves run on.
  ~EngineThreads();

  // Starts `routine` on a new thread through the platform's CreateThread.
  // False when the thread could not be created (the last error says why).
  bool Start(std::function<void()> routine);

  // Waits until every thread started so far has ended, and forgets them.
  void JoinAll();

  // Threads started and not yet seen ended.
  std::size_t Running();

 private:
  void CloseEndedLocked();

  std::mutex Lock;
  std::vector<win::HANDLE> Handles;
};

}  // namespace zv::engines
