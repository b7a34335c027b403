// The diagnostic log writers of zvorx and their process-wide settings.
//
// Owns: the level mask, the output flags and the log-file path (plain
// process-wide values set by start-up and the MAIN set-log command), and
// the writers LogWrite, DebugWrite, AppendLog and LogProcessAndPath.
// A LogWrite line is written only when every bit of its level is in the
// mask and the output flags are non-zero; that test is inline, so a
// filtered line costs a comparison and never formats. Every writer produces
// each line in one write call and takes no lock of its own. Text and
// character values are escaped (AppendLogFormatV, format.h), so a caller's
// text never starts a line or reaches a console as a control character.
// A thread deciding a driver message may install a collector
// (log/decision.h): its lines, filtered ones included, are offered to it too.
// Must not: buffer between lines; every file sink opens and closes its file
// for each line.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "log/decision.h"
#include "log/format.h"
#include "platform/base/win32.h"

namespace zv::log {

// Output flags.
inline constexpr std::uint32_t kOutputDebugger = 0x1;  // OutputDebugStringW
inline constexpr std::uint32_t kOutputFile = 0x2;      // UTF-16LE append to the log-file path

namespace detail {
inline std::atomic<std::uint32_t> levelMask{1};
inline std::atomic<std::uint32_t> outputFlags{1};

// `enabled`: the level test passed (else the line only goes to the
// thread's decision collector).
void WriteLogLine(std::uint32_t level, bool enabled, std::wstring_view tag, std::wstring_view format,
                  std::span<const FormatArg> args);
void WriteDebugLine(std::wstring_view format, std::span<const FormatArg> args);
void WriteAppendLog(std::wstring_view path, std::wstring_view format, std::span<const FormatArg> args);
}  // namespace detail

inline void SetLevelMask(std::uint32_t mask) { detail::levelMask.store(mask, std::memory_order_relaxed); }
inline std::uint32_t LevelMask() { return detail::levelMask.load(std::memory_order_relaxed); }
inline void SetOutputFlags(std::uint32_t flags) { detail::outputFlags.store(flags, std::memory_order_relaxed); }
inline std::uint32_t OutputFlags() { return detail::outputFlags.load(std::memory_order_relaxed); }
void SetLogFilePath(std::wstring path);
std::wstring LogFilePath();

// Whether a line of this level would be written now.
inline bool LevelEnabled(std::uint32_t level) {
  return (level & detail::levelMask.load(std::memory_order_relaxed)) == level &&
         detail::outputFlags.load(std::memory_order_relaxed) != 0;
}

// "#<local time> [mxred] <tag> ---- <text>\r\n" to the sinks of the output
// flags; a line the level test filters out is still offered to the thread's
// decision collector, when it has one.
template <class... A>
inline void LogWrite(std::uint32_t level, std::wstring_view tag, std::wstring_view format, const A&... args) {
  const bool enabled = LevelEnabled(level);
  if (!enabled && detail::currentDecision == nullptr) return;
  if constexpr (sizeof...(A) == 0) {
    detail::WriteLogLine(level, enabled, tag, format, {});
  } else {
    const FormatArg captured[] = {FormatArg(args)...};
    detail::WriteLogLine(level, enabled, tag, format, captured);
  }
}

// "#<local time> <text>" to the debugger output, unfiltered, no line end added.
template <class... A>
void DebugWrite(std::wstring_view format, const A&... args) {
  if constexpr (sizeof...(A) == 0) {
    detail::WriteDebugLine(format, {});
  } else {
    const FormatArg captured[] = {FormatArg(args)...};
    detail::WriteDebugLine(format, captured);
  }
}

// "[y.m.d - h.m.s]:<text>" appended to a text file in the ANSI code page,
// each "\n" written as "\r\n"; the caller supplies the line end. A file that
// cannot be opened drops the line.
template <class... A>
void AppendLog(std::wstring_view path, std::wstring_view format, const A&... args) {
  if constexpr (sizeof...(A) == 0) {
    detail::WriteAppendLog(path, format, {});
  } else {
    const FormatArg captured[] = {FormatArg(args)...};
    detail::WriteAppendLog(path, format, captured);
  }
}

// Text-mode bytes of a line: ANSI code page, every "\n" as "\r\n".
std::string TextModeBytes(std::string_view ansi);

// The process-and-path trace, switched on by "WriteProcessAndPathLog=1" in
// section "Settings" of "ZVORXSettings.ini" beside the program. The switch is
// read once, on the first call; the trace file is named once, at the first
// trace line, by the local time of that moment and the process id.
class ProcessPathTrace {
 public:
  // Records that process `processId` created `path` (a folder when `folder`).
  void Log(win::DWORD processId, std::wstring_view path, bool folder);
  // The kept switch value: -1 until the first Log call reads it.
  int Setting() const { return setting_.load(std::memory_order_acquire); }
  // The trace file's path; empty until the first trace line.
  std::wstring FileName() const;
  // The program's own folder, with a trailing backslash.
  static std::wstring ProgramFolder();

 private:
  void WriteLine(std::wstring_view first, std::wstring_view second);

  std::once_flag settingOnce_;
  std::atomic<int> setting_{-1};
  std::once_flag nameOnce_;
  std::atomic<bool> named_{false};
  std::wstring fileName_;  // written once under nameOnce_
};

// The process-wide trace of zvorx.
ProcessPathTrace& ProcessAndPathTrace();

inline void LogProcessAndPath(win::DWORD processId, std::wstring_view path, bool folder) {
  ProcessAndPathTrace().Log(processId, path, folder);
}

}  // namespace zv::log
