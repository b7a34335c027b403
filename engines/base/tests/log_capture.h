// Lines the engine base logged during a test.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace zv::testing {

struct LoggedLine {
  std::uint32_t level;
  std::wstring tag;
  std::wstring text;
};

void RecordLogLine(std::uint32_t level, const wchar_t* tag, std::wstring text);
// Returns and forgets every line recorded so far.
std::vector<LoggedLine> TakeLoggedLines();

}  // namespace zv::testing
