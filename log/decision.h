// The lines written on one thread while it decides one driver message.
//
// Owns: DecisionLines, the collector a worker installs for the length of one
// decision, and the thread-local pointer to it that the log writers consult.
// While a collector is installed on a thread, every line that thread writes
// through LogWrite (also a line the level mask filters out), DebugWrite or
// AppendLog is offered to it as well. Lines of other threads (threads the
// engines start while deciding included) never reach it: the pointer is
// per thread and not inherited.
// Must not: change what the log sinks receive, or cost anything on a thread
// without a collector beyond reading the pointer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zv::log {

// What a collected line is.
inline constexpr std::uint32_t kLineFiltered = 0x1;  // LogWrite, not written: the level mask filtered it
inline constexpr std::uint32_t kLineDebug = 0x2;     // DebugWrite (no level)
inline constexpr std::uint32_t kLineFile = 0x4;      // AppendLog: "<file>: <text>"

struct DecisionLine {
  std::uint32_t level = 0;  // LogWrite's level; 0 for the other writers
  std::uint32_t flags = 0;  // kLine* bits
  std::wstring text;        // "<tag> ---- <text>" for LogWrite; no time stamp, no line end
};

class DecisionLines {
 public:
  void Clear() { lines_.clear(); }
  void Add(std::uint32_t level, std::uint32_t flags, std::wstring text) {
    lines_.push_back({level, flags, std::move(text)});
  }
  const std::vector<DecisionLine>& Lines() const { return lines_; }

 private:
  std::vector<DecisionLine> lines_;
};

namespace detail {
inline constinit thread_local DecisionLines* currentDecision = nullptr;
}  // namespace detail

// The collector of the calling thread, or null.
inline DecisionLines* CurrentDecision() { return detail::currentDecision; }

// Installs a collector on the calling thread for the life of the object.
class ScopedDecision {
 public:
  explicit ScopedDecision(DecisionLines& lines) : previous_(detail::currentDecision) {
    detail::currentDecision = &lines;
  }
  ~ScopedDecision() { detail::currentDecision = previous_; }
  ScopedDecision(const ScopedDecision&) = delete;
  ScopedDecision& operator=(const ScopedDecision&) = delete;

 private:
  DecisionLines* previous_;
};

}  // namespace zv::log
