// Link stand-ins for platform and log pieces that are not in the tree yet:
// a recording LogWrite (only while log/log.h is missing) and weak default
// implementations that fail loudly if a test forgets to install its fake.
#include "engines/base/tests/log_capture.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/file_api.h"
#include "platform/filter_api.h"
#include "platform/process_api.h"

namespace zv::testing {

namespace {
std::mutex& CaptureMutex() {
  static std::mutex m;
  return m;
}
std::vector<LoggedLine>& Captured() {
  static std::vector<LoggedLine> lines;
  return lines;
}
}  // namespace

void RecordLogLine(std::uint32_t level, const wchar_t* tag, std::wstring text) {
  std::lock_guard lock(CaptureMutex());
  Captured().push_back({level, tag ? tag : L"", std::move(text)});
}

std::vector<LoggedLine> TakeLoggedLines() {
  std::lock_guard lock(CaptureMutex());
  return std::exchange(Captured(), {});
}

}  // namespace zv::testing

#if !__has_include("log/log.h")
namespace zv::log {
// Windows wide formats: %s takes a wide string.
void LogWrite(std::uint32_t level, const wchar_t* tag, const wchar_t* format, ...) {
  std::wstring host;
  for (const wchar_t* p = format; *p; ++p) {
    host += *p;
    if (*p == L'%' && p[1] == L's') host += L'l';
  }
  std::vector<wchar_t> buffer(4096);
  va_list args;
  va_start(args, format);
  std::vswprintf(buffer.data(), buffer.size(), host.c_str(), args);
  va_end(args);
  zv::testing::RecordLogLine(level, tag, buffer.data());
}
}  // namespace zv::log
#endif

namespace zv::platform {
template <>
__attribute__((weak)) ProcessApi& Api<ProcessApi>::Default() {
  std::abort();
}
template <>
__attribute__((weak)) FilterApi& Api<FilterApi>::Default() {
  std::abort();
}
template <>
__attribute__((weak)) FileApi& Api<FileApi>::Default() {
  std::abort();
}
}  // namespace zv::platform
