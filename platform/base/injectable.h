// Swappable system-call layer.
//
// Owns: the process-wide current implementation of each platform interface.
// Code above platform/ reaches Windows-shaped calls only through
// Api<Interface>::Get(); tests install their own implementation with
// ScopedApi for the life of a scope. The real implementation of each
// interface defines Api<Interface>::Default() in its .cpp file.
// Must not: hold state of its own beyond the pointer.
#pragma once

#include <atomic>

namespace zv::platform {

template <class Interface>
class Api {
 public:
  static Interface& Get() {
    Interface* o = override_.load(std::memory_order_acquire);
    return o ? *o : Default();
  }
  static Interface* Exchange(Interface* replacement) { return override_.exchange(replacement); }

 private:
  static Interface& Default();
  static inline std::atomic<Interface*> override_{nullptr};
};

template <class Interface>
class ScopedApi {
 public:
  explicit ScopedApi(Interface& replacement) : previous_(Api<Interface>::Exchange(&replacement)) {}
  ~ScopedApi() { Api<Interface>::Exchange(previous_); }
  ScopedApi(const ScopedApi&) = delete;
  ScopedApi& operator=(const ScopedApi&) = delete;

 private:
  Interface* previous_;
};

}  // namespace zv::platform
