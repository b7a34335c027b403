// The MAIN engine's view of the log writer: the level mask it sets and the
// one line it writes.
//
// Owns: nothing; forwards to log/.
// Must not: keep log state of its own.
#pragma once

#include <cstdint>

#include "log/log.h"

namespace zv::control {

inline void SetLogLevelMask(std::uint32_t mask) { log::SetLevelMask(mask); }
inline std::uint32_t LogLevelMask() { return log::LevelMask(); }
template <class... A>
void WriteMainLog(std::uint32_t level, const wchar_t* tag, const wchar_t* format, const A&... args) {
  log::LogWrite(level, tag, format, args...);
}

}  // namespace zv::control
