// Stand-by defaults of the platform interfaces for test programs that link
// code using an interface whose real implementation is not linked in. Every
// test installs its own fake with ScopedApi; reaching one of these means a
// test forgot to, and it aborts. The definitions are weak, so a real
// implementation linked into the same program takes precedence.
// Include from exactly one test source of a test program.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "platform/file_api.h"
#include "platform/process_api.h"

namespace zv::platform {

template <>
__attribute__((weak)) FileApi& Api<FileApi>::Default() {
  std::fputs("no FileApi installed in this test\n", stderr);
  std::abort();
}

template <>
__attribute__((weak)) ProcessApi& Api<ProcessApi>::Default() {
  std::fputs("no ProcessApi installed in this test\n", stderr);
  std::abort();
}

}  // namespace zv::platform
