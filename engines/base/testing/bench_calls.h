// Timing and allocation counting for the engines' single-threaded
// benchmarks. Include it in exactly one source file of a benchmark program:
// it replaces the program's operator new and delete to count allocations.
// Owns nothing else; must not be used by tests or product code.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>

namespace zv::engines::bench {

// Allocations of the whole program so far (any thread).
inline std::atomic<std::size_t> allocations{0};
// Allocations per call of the last figure measured.
inline double allocationsPerCall = 0;

// The fastest of five batches of calls/5: other work on a shared machine
// only ever makes a batch slower.
template <class F>
double NsPerCall(int calls, F&& f) {
  f();  // warm-up
  const int batch = std::max(1, calls / 5);
  const std::size_t before = allocations;
  double best = 0;
  for (int round = 0; round < 5; ++round) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < batch; ++i) f();
    double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / batch;
    if (round == 0 || ns < best) best = ns;
  }
  allocationsPerCall = static_cast<double>(allocations - before) / (5.0 * batch);
  return best;
}

}  // namespace zv::engines::bench

void* operator new(std::size_t size) {
  zv::engines::bench::allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
