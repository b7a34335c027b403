// Weak stand-ins for platform layers these test programs link but never
// call (the log writers' file and process calls). The real definitions,
// where linked, take precedence; a stand-in that is reached aborts.
#include <cstdlib>

#include "platform/file_api.h"
#include "platform/process_api.h"

namespace zv::platform {

template <>
[[gnu::weak]] FileApi& Api<FileApi>::Default() {
  std::abort();
}

template <>
[[gnu::weak]] ProcessApi& Api<ProcessApi>::Default() {
  std::abort();
}

}  // namespace zv::platform
