// Stand-in declaration of the log writer until log/log.h is in the tree.
//
// Owns: nothing; it only declares zv::log::LogWrite as log/log.h will.
// Must not: define a writer. Removed once log/log.h lands.
#pragma once

#if __has_include("log/log.h")
#include "log/log.h"
#else
#include <cstdint>
namespace zv::log {
void LogWrite(std::uint32_t level, const wchar_t* tag, const wchar_t* format, ...);
}  // namespace zv::log
#endif
