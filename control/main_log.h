// The MAIN engine's view of the log writer: the level mask it sets and the
// one line it writes.
//
// Owns: nothing; forwards to log/.
// Must not: keep log state of its own once the log writer is present.
#pragma once

#include <cstdint>
#include <string>

#if __has_include("log/log.h")
#include "log/log.h"

namespace zv::control {
inline void SetLogLevelMask(std::uint32_t mask) { log::SetLevelMask(mask); }
inline std::uint32_t LogLevelMask() { return log::LevelMask(); }
template <class... A>
void WriteMainLog(std::uint32_t level, const wchar_t* tag, const wchar_t* format, const A&... args) {
  log::LogWrite(level, tag, format, args...);
}
}  // namespace zv::control

#else
// Until the log writer lands in this tree: the mask only, and lines that
// pass it go to the debugger output unformatted.
#include <atomic>

#include "platform/debug_output.h"

namespace zv::control {
namespace detail {
inline std::atomic<std::uint32_t> fallbackMask{1};
}
inline void SetLogLevelMask(std::uint32_t mask) { detail::fallbackMask.store(mask, std::memory_order_relaxed); }
inline std::uint32_t LogLevelMask() { return detail::fallbackMask.load(std::memory_order_relaxed); }
inline std::wstring FallbackText(const std::wstring& s) { return s; }
inline std::wstring FallbackText(int v) { return std::to_wstring(v); }
// Each %s or %d takes the next argument in turn.
template <class... A>
void WriteMainLog(std::uint32_t level, const wchar_t* tag, const wchar_t* format, const A&... args) {
  if ((level & LogLevelMask()) != level) return;
  std::wstring values[] = {FallbackText(args)..., L""};
  std::wstring line = std::wstring(tag) + L" ---- ";
  std::size_t next = 0;
  for (const wchar_t* p = format; *p; ++p) {
    if (p[0] == L'%' && (p[1] == L's' || p[1] == L'd') && next < sizeof...(A)) {
      line += values[next++];
      ++p;
    } else {
      line += *p;
    }
  }
  platform::OutputDebugStringW(line);
}
}  // namespace zv::control
#endif
