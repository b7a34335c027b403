// The debugger output stream and the console.
//
// Owns: OutputDebugStringW (a person running a program in a terminal sees
// each string on standard error, as UTF-8) and the console writer (8-bit
// lines on standard output). Tests capture either stream with a scoped
// capture; while a capture is active the text still reaches the terminal
// only when ZV_ECHO_CAPTURED is set.
// Must not: format or filter; callers pass finished text.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/win32.h"

namespace zv::platform {

void OutputDebugStringW(const win::WCHAR* text);
void OutputDebugStringW(std::wstring_view text);
void ConsoleWrite(std::string_view text);

// Collects every debugger-output string (or console text) written by any
// thread while it lives. Captures nest; the innermost one receives.
class DebugOutputCapture {
 public:
  DebugOutputCapture();
  ~DebugOutputCapture();
  DebugOutputCapture(const DebugOutputCapture&) = delete;
  DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;
  std::vector<std::wstring> Lines() const;
  void Add(std::wstring_view text);

 private:
  mutable std::mutex mutex_;
  std::vector<std::wstring> lines_;
  DebugOutputCapture* previous_;
};

class ConsoleCapture {
 public:
  ConsoleCapture();
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;
  std::string Text() const;
  void Add(std::string_view text);

 private:
  mutable std::mutex mutex_;
  std::string text_;
  ConsoleCapture* previous_;
};

}  // namespace zv::platform
