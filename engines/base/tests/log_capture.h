// "BASE" and caller-tagged lines as the log writer puts them on the debugger
// output: the level mask is opened for the test and the text after the tag
// is returned.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "log/log.h"
#include "platform/base/debug_output.h"

namespace zv::testing {

class LogCapture {
 public:
  explicit LogCapture(std::uint32_t mask) : previous_(log::LevelMask()) { log::SetLevelMask(mask); }
  ~LogCapture() { log::SetLevelMask(previous_); }

  // "<tag> ---- <text>" of every line so far, without the time stamp and the
  // line end.
  std::vector<std::wstring> Lines() const {
    std::vector<std::wstring> lines;
    for (const auto& raw : capture_.Lines()) {
      std::wstring line = raw;
      auto marker = line.find(L"[mxred] ");
      if (marker != std::wstring::npos) line.erase(0, marker + 8);
      while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r')) line.pop_back();
      lines.push_back(line);
    }
    return lines;
  }

 private:
  std::uint32_t previous_;
  platform::DebugOutputCapture capture_;
};

}  // namespace zv::testing
