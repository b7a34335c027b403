// Counts the heap allocations of each thread, for benchmarks that report
// allocations per notification. Replaces the program's global operator new
// and delete, so include it from exactly one source file of a benchmark.
// Must not: be linked into tests or programs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace zv::suite::testing {

// Allocations made so far by the calling thread.
inline thread_local std::uint64_t threadAllocations = 0;

}  // namespace zv::suite::testing

// Not inlined: the compiler would otherwise see malloc'd memory reach a
// delete expression and warn about a mismatch that is not one.
[[gnu::noinline]] void* operator new(std::size_t size) {
  ++zv::suite::testing::threadAllocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
