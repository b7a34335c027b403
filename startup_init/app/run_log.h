// ZVVstIn's per-run log file: one file per run beside the program, named by
// the time of the run's first line; logs older than 30 days are removed
// when the first line is written.
//
// Owns: the log path (set by the first line, kept for the rest of the
// run), the line format "YYYY/MM/DD_hh:mm:ss - message" + CR LF in the
// ANSI code page, messages cut to 259 bytes at a character boundary, and
// the purge by the time stamp in the names.
// Must not: report a failure to write; the line is then lost.
#pragma once

#include <cstdint>
#include <string>

namespace zv::startup {

class RunLog {
 public:
  // `programPath`: the program's full DOS path (GetModuleFileNameW).
  explicit RunLog(std::wstring programPath) : programPath_(std::move(programPath)) {}

  void WriteLog(const std::wstring& message);
  // Removes the logs whose names carry a time more than 30 days before
  // `nowSeconds` (seconds since 1970).
  void PurgeOldLogs(std::int64_t nowSeconds);

  const std::wstring& Path() const { return path_; }

  // The message in the ANSI code page, at most `maxBytes` bytes, cut before
  // a character that would not fit whole.
  static std::string ToAnsiLine(const std::wstring& message, std::size_t maxBytes);

 private:
  // The program's path with everything from its last "." replaced by `tail`.
  std::wstring WithTail(const std::wstring& tail) const;
  std::wstring programPath_;
  std::wstring path_;
};

}  // namespace zv::startup
