// The filter library's real implementation is not linked into this test
// program; every test installs its own FilterApi. Weak, so a real one wins.
#include <cstdio>
#include <cstdlib>

#include "platform/filter_api.h"

namespace zv::platform {
template <>
__attribute__((weak)) FilterApi& Api<FilterApi>::Default() {
  std::fputs("no FilterApi installed in this test\n", stderr);
  std::abort();
}
}  // namespace zv::platform
