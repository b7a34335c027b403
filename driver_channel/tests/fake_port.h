// In-process fakes of the filter port, the completion port and threads for
// tests of the port client and of start-up.
//
// Owns: FakeDriver (FilterApi + CompletionPortApi: a driver that queues
// notifications into posted reads, records replies and commands, and can be
// unloaded so that pending reads complete with ERROR_INVALID_HANDLE) and
// FakeThreads (ThreadApi on std::thread; TerminateThread ends a thread at
// its next completion-port wait, the only blocking call the workers make).
// Must not: be linked into programs; tests only.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "driver_channel/records.h"
#include "platform/base/clock.h"
#include "platform/filter/filter_api.h"
#include "platform/base/handles.h"
#include "platform/threads/sync_api.h"

namespace zv::testing {

using namespace zv::win;

// Thrown inside a fake thread that TerminateThread reached.
struct FakeThreadTerminated {};

class FakeThreads;

class FakeThread : public platform::WaitableObject {
 public:
  bool TryAcquire() override {
    std::lock_guard lock(mutex);
    return done;
  }
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false;
  bool terminated = false;
  DWORD exitCode = STILL_ACTIVE;
  DWORD id = 0;
  std::thread thread;
};

inline thread_local FakeThread* tCurrentFakeThread = nullptr;

// Every fake wait registers its wake-up here so TerminateThread can reach it.
class WakeList {
 public:
  static WakeList& Get() {
    static WakeList list;
    return list;
  }
  void Add(std::condition_variable* cv, std::mutex* m) {
    std::lock_guard lock(mutex_);
    entries_.push_back({cv, m});
  }
  void Remove(std::condition_variable* cv) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [cv](auto& e) { return e.first == cv; });
  }
  void WakeAll() {
    std::lock_guard lock(mutex_);
    for (auto& [cv, m] : entries_) {
      std::lock_guard inner(*m);
      cv->notify_all();
    }
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::condition_variable*, std::mutex*>> entries_;
};

inline bool CurrentThreadTerminated() {
  FakeThread* t = tCurrentFakeThread;
  if (!t) return false;
  std::lock_guard lock(t->mutex);
  return t->terminated;
}

class FakeThreads : public platform::ThreadApi {
 public:
  ~FakeThreads() override { JoinAll(); }
  void JoinAll() {
    for (auto& t : all_) {
      if (t->thread.joinable()) t->thread.join();
    }
  }
  // CreateThread call number `n` (0-based) fails with `error`.
  void FailCreateAt(int n, DWORD error) {
    failAt_ = n;
    failError_ = error;
  }
  int Created() const { return static_cast<int>(all_.size()); }

  HANDLE CreateThread(const void*, std::size_t, LPTHREAD_START_ROUTINE start, void* parameter, DWORD,
                      DWORD* threadId) override {
    if (calls_++ == failAt_) {
      platform::SetLastError(failError_);
      return nullptr;
    }
    auto t = std::make_shared<FakeThread>();
    t->id = 1000 + static_cast<DWORD>(all_.size());
    if (threadId) *threadId = t->id;
    FakeThread* raw = t.get();
    raw->thread = std::thread([raw, start, parameter] {
      tCurrentFakeThread = raw;
      DWORD code = 0;
      bool killed = false;
      try {
        code = start(parameter);
      } catch (const FakeThreadTerminated&) {
        killed = true;
      }
      std::lock_guard lock(raw->mutex);
      raw->exitCode = killed ? raw->exitCode : code;
      raw->done = true;
      raw->changed.notify_all();
    });
    all_.push_back(t);
    return platform::RegisterHandle(t);
  }
  BOOL TerminateThread(HANDLE h, DWORD exitCode) override {
    auto t = platform::LookupHandleAs<FakeThread>(h);
    if (!t) return FALSE;
    {
      std::lock_guard lock(t->mutex);
      if (t->done) return TRUE;
      t->terminated = true;
      t->exitCode = exitCode;
    }
    ++terminations;
    WakeList::Get().WakeAll();
    // Like Win32, the thread is gone when the call returns (it reaches its
    // completion wait at once in these tests).
    std::unique_lock lock(t->mutex);
    t->changed.wait_for(lock, std::chrono::seconds(5), [&] { return t->done; });
    return TRUE;
  }
  BOOL GetExitCodeThread(HANDLE h, DWORD* exitCode) override {
    auto t = platform::LookupHandleAs<FakeThread>(h);
    if (!t) return FALSE;
    std::lock_guard lock(t->mutex);
    *exitCode = t->done ? t->exitCode : STILL_ACTIVE;
    return TRUE;
  }
  DWORD SuspendThread(HANDLE) override { return 0xFFFFFFFF; }
  DWORD ResumeThread(HANDLE) override { return 0xFFFFFFFF; }
  DWORD GetCurrentThreadId() override { return tCurrentFakeThread ? tCurrentFakeThread->id : 1; }
  HANDLE CreateEventW(const void*, BOOL, BOOL, const WCHAR*) override { return nullptr; }
  BOOL SetEvent(HANDLE) override { return FALSE; }
  BOOL ResetEvent(HANDLE) override { return FALSE; }
  DWORD WaitForSingleObject(HANDLE h, DWORD ms) override {
    auto t = platform::LookupHandleAs<FakeThread>(h);
    if (!t) return WAIT_FAILED;
    std::unique_lock lock(t->mutex);
    auto ended = [&] { return t->done; };
    if (ms == INFINITE) {
      t->changed.wait(lock, ended);
    } else if (!t->changed.wait_for(lock, platform::CurrentClock().RealWaitFor(ms), ended)) {
      return WAIT_TIMEOUT;
    }
    return WAIT_OBJECT_0;
  }
  DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms) override {
    // Wait-all without a time-out is all the pool needs.
    if (!waitAll || ms != INFINITE) return WAIT_FAILED;
    for (DWORD i = 0; i < count; ++i) {
      if (WaitForSingleObject(handles[i], INFINITE) != WAIT_OBJECT_0) return WAIT_FAILED;
    }
    return WAIT_OBJECT_0;
  }

  std::atomic<int> terminations{0};

 private:
  std::vector<std::shared_ptr<FakeThread>> all_;
  int calls_ = 0;
  int failAt_ = -1;
  DWORD failError_ = 0;
};

struct Completion {
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  OVERLAPPED* overlapped = nullptr;
  DWORD error = 0;
};

class FakeCompletionPort : public platform::KernelObject {
 public:
  FakeCompletionPort() { WakeList::Get().Add(&changed, &mutex); }
  ~FakeCompletionPort() override { WakeList::Get().Remove(&changed); }
  void OnLastHandleClosed() override {
    std::lock_guard lock(mutex);
    closed = true;
    changed.notify_all();
  }
  void Post(const Completion& c) {
    std::lock_guard lock(mutex);
    queue.push_back(c);
    changed.notify_all();
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Completion> queue;
  bool closed = false;
};

struct PendingRead {
  channel::MXRED_MESSAGE* buffer;
  OVERLAPPED* overlapped;
};

class FakePort : public platform::KernelObject {
 public:
  void OnLastHandleClosed() override { closedByClient = true; }
  std::atomic<bool> closedByClient{false};
};

struct RecordedReply {
  ULONGLONG messageId;
  LONG status;
  BYTE allow;
  BYTE auxFlag;
  bool reservedZero;
};

// A driver with one port. Install it for both interfaces:
//   FakeDriver driver; ScopedApi<FilterApi> f(driver); ScopedApi<CompletionPortApi> c(driver);
class FakeDriver : public platform::FilterApi, public platform::CompletionPortApi {
 public:
  // ---- scripting -------------------------------------------------------
  std::vector<HRESULT> loadResults;  // consumed one per FilterLoad; S_OK when empty
  HRESULT unloadResult = S_OK;
  HRESULT connectResult = S_OK;
  DWORD completionError = 0;  // non-zero: CreateIoCompletionPort fails with it
  HRESULT sendResult = S_OK;
  // Result of FilterReplyMessage for a message id (S_OK when absent).
  std::map<ULONGLONG, HRESULT> replyResults;

  // ---- what happened ---------------------------------------------------
  std::vector<std::wstring> calls;  // "FilterLoad(ZVORX)", "FilterUnload(ZVORX)", "FilterSendMessage(2,153)"
  std::atomic<int> getMessageCalls{0};

  std::vector<std::wstring> Calls() {
    std::lock_guard lock(mutex_);
    return calls;
  }

  // ---- driver side -----------------------------------------------------
  // Waits for a posted read, fills it and completes it; returns the message id.
  ULONGLONG Inject(const channel::_MXRED_NOTIFICATION& n) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !pending_.empty(); });
    PendingRead read = pending_.front();
    pending_.pop_front();
    ULONGLONG id = ++nextId_;
    read.buffer->ReplyLength = channel::kReplySize;
    read.buffer->MessageId = id;
    read.buffer->Notification = n;
    auto cp = completion_;
    lock.unlock();
    cp->Post({channel::kMessageReadSize, 0, read.overlapped, 0});
    return id;
  }
  // Completes one pending read with a failure (the buffer is given up).
  void FailOneRead(DWORD error) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !pending_.empty(); });
    PendingRead read = pending_.front();
    pending_.pop_front();
    auto cp = completion_;
    lock.unlock();
    cp->Post({0, 0, read.overlapped, error});
  }
  // The driver goes away: the port is dead and every pending read fails.
  void Unload() {
    std::unique_lock lock(mutex_);
    dead_ = true;
    std::deque<PendingRead> reads;
    reads.swap(pending_);
    auto cp = completion_;
    lock.unlock();
    for (auto& r : reads) cp->Post({0, 0, r.overlapped, ERROR_INVALID_HANDLE});
  }
  std::optional<RecordedReply> WaitReply(ULONGLONG id, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, limit, [&] { return replies_.count(id) != 0; })) return std::nullopt;
    return replies_[id];
  }
  bool HasReply(ULONGLONG id) {
    std::lock_guard lock(mutex_);
    return replies_.count(id) != 0;
  }
  // Waits until `n` reads are pending.
  bool WaitPending(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return pending_.size() >= n; });
  }
  std::size_t Pending() {
    std::lock_guard lock(mutex_);
    return pending_.size();
  }
  std::shared_ptr<FakePort> Port() { return port_; }

  // ---- FilterApi -------------------------------------------------------
  HRESULT FilterLoad(const WCHAR* name) override {
    std::lock_guard lock(mutex_);
    calls.push_back(std::wstring(L"FilterLoad(") + name + L")");
    if (loadResults.empty()) return S_OK;
    HRESULT hr = loadResults.front();
    loadResults.erase(loadResults.begin());
    return hr;
  }
  HRESULT FilterUnload(const WCHAR* name) override {
    {
      std::lock_guard lock(mutex_);
      calls.push_back(std::wstring(L"FilterUnload(") + name + L")");
    }
    bool connected;
    {
      std::lock_guard lock(mutex_);
      connected = completion_ != nullptr;
    }
    if (connected) Unload();
    return unloadResult;
  }
  HRESULT FilterConnectCommunicationPort(const WCHAR* name, DWORD, const void*, WORD, const void*,
                                         HANDLE* port) override {
    std::lock_guard lock(mutex_);
    calls.push_back(std::wstring(L"FilterConnectCommunicationPort(") + name + L")");
    if (FAILED(connectResult)) return connectResult;
    port_ = std::make_shared<FakePort>();
    *port = platform::RegisterHandle(port_);
    return S_OK;
  }
  HRESULT FilterGetMessage(HANDLE port, void* buffer, DWORD size, OVERLAPPED* overlapped) override {
    ++getMessageCalls;
    std::lock_guard lock(mutex_);
    if (dead_ || !platform::LookupHandleAs<FakePort>(port)) return HR_INVALID_HANDLE;
    if (size != channel::kMessageReadSize || !overlapped ||
        reinterpret_cast<char*>(overlapped) != static_cast<char*>(buffer) + channel::kMessageReadSize) {
      return E_INVALIDARG;
    }
    pending_.push_back({static_cast<channel::MXRED_MESSAGE*>(buffer), overlapped});
    changed_.notify_all();
    return HR_IO_PENDING;
  }
  HRESULT FilterReplyMessage(HANDLE port, const void* reply, DWORD size) override {
    std::lock_guard lock(mutex_);
    if (size != channel::kReplySize) return E_INVALIDARG;
    channel::_MXRED_REPLY_MESSAGE r;
    std::memcpy(&r, reply, sizeof(r));
    bool zero = std::all_of(std::begin(r.Reserved), std::end(r.Reserved), [](BYTE b) { return b == 0; });
    replies_[r.MessageId] = {r.MessageId, r.Status, r.Allow, r.AuxFlag, zero};
    changed_.notify_all();
    auto it = replyResults.find(r.MessageId);
    return it == replyResults.end() ? S_OK : it->second;
  }
  HRESULT FilterSendMessage(HANDLE port, const void* in, DWORD size, void*, DWORD, DWORD* returned) override {
    std::lock_guard lock(mutex_);
    channel::MXRED_COMMAND c{};
    std::memcpy(&c, in, std::min<std::size_t>(size, sizeof(c)));
    calls.push_back(L"FilterSendMessage(" + std::to_wstring(c.Command) + L"," + std::to_wstring(c.Argument) + L")");
    if (returned) *returned = 0;
    return sendResult;
  }
  HRESULT FilterGetDosName(const WCHAR*, WCHAR*, DWORD) override { return E_FAIL; }

  // ---- CompletionPortApi -----------------------------------------------
  HANDLE CreateIoCompletionPort(HANDLE file, HANDLE, ULONG_PTR, DWORD concurrency) override {
    if (completionError) {
      platform::SetLastError(completionError);
      return nullptr;
    }
    std::lock_guard lock(mutex_);
    completion_ = std::make_shared<FakeCompletionPort>();
    concurrency_ = concurrency;
    return platform::RegisterHandle(completion_);
  }
  BOOL GetQueuedCompletionStatus(HANDLE h, DWORD* bytes, ULONG_PTR* key, OVERLAPPED** overlapped,
                                 DWORD) override {
    *overlapped = nullptr;
    auto cp = platform::LookupHandleAs<FakeCompletionPort>(h);
    if (!cp) {
      platform::SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    std::unique_lock lock(cp->mutex);
    cp->changed.wait(lock, [&] { return !cp->queue.empty() || cp->closed || CurrentThreadTerminated(); });
    if (CurrentThreadTerminated()) throw FakeThreadTerminated{};
    if (cp->queue.empty()) {
      platform::SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    Completion c = cp->queue.front();
    cp->queue.pop_front();
    *bytes = c.bytes;
    *key = c.key;
    *overlapped = c.overlapped;
    if (c.error) {
      platform::SetLastError(c.error);
      return FALSE;
    }
    return TRUE;
  }
  BOOL PostQueuedCompletionStatus(HANDLE h, DWORD bytes, ULONG_PTR key, OVERLAPPED* overlapped) override {
    auto cp = platform::LookupHandleAs<FakeCompletionPort>(h);
    if (!cp) return FALSE;
    cp->Post({bytes, key, overlapped, 0});
    return TRUE;
  }
  DWORD Concurrency() const { return concurrency_; }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<PendingRead> pending_;
  std::map<ULONGLONG, RecordedReply> replies_;
  std::shared_ptr<FakePort> port_;
  std::shared_ptr<FakeCompletionPort> completion_;
  ULONGLONG nextId_ = 0;
  bool dead_ = false;
  DWORD concurrency_ = 0;
};

inline channel::_MXRED_NOTIFICATION MakeNotification(BYTE kind, DWORD pid, std::wstring_view path = L"") {
  channel::_MXRED_NOTIFICATION n;
  std::memset(&n, 0, sizeof(n));
  n.Kind = kind;
  n.ProcessId = pid;
  n.SetPath(path);
  return n;
}

}  // namespace zv::testing
