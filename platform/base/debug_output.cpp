// Debugger output and console: see debug_output.h.
#include "platform/base/debug_output.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "platform/base/text.h"

namespace zv::platform {
namespace {

std::mutex captureMutex;  // guards the two capture stacks
DebugOutputCapture* debugCapture = nullptr;
ConsoleCapture* consoleCapture = nullptr;

bool EchoWhileCaptured() {
  static const bool echo = std::getenv("ZV_ECHO_CAPTURED") != nullptr;
  return echo;
}

void WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void OutputDebugStringW(std::wstring_view text) {
  {
    std::lock_guard lock(captureMutex);
    if (debugCapture) {
      debugCapture->Add(text);
      if (!EchoWhileCaptured()) return;
    }
  }
  std::string line = text::ToUtf8(text);
  if (line.empty() || line.back() != '\n') line += '\n';
  WriteAll(STDERR_FILENO, line);
}

void OutputDebugStringW(const win::WCHAR* text) { OutputDebugStringW(std::wstring_view(text ? text : L"")); }

void ConsoleWrite(std::string_view text) {
  {
    std::lock_guard lock(captureMutex);
    if (consoleCapture) {
      consoleCapture->Add(text);
      if (!EchoWhileCaptured()) return;
    }
  }
  WriteAll(STDOUT_FILENO, text);
}

DebugOutputCapture::DebugOutputCapture() {
  std::lock_guard lock(captureMutex);
  previous_ = debugCapture;
  debugCapture = this;
}

DebugOutputCapture::~DebugOutputCapture() {
  std::lock_guard lock(captureMutex);
  debugCapture = previous_;
}

std::vector<std::wstring> DebugOutputCapture::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

void DebugOutputCapture::Add(std::wstring_view text) {
  std::lock_guard lock(mutex_);
  lines_.emplace_back(text);
}

ConsoleCapture::ConsoleCapture() {
  std::lock_guard lock(captureMutex);
  previous_ = consoleCapture;
  consoleCapture = this;
}

ConsoleCapture::~ConsoleCapture() {
  std::lock_guard lock(captureMutex);
  consoleCapture = previous_;
}

std::string ConsoleCapture::Text() const {
  std::lock_guard lock(mutex_);
  return text_;
}

void ConsoleCapture::Add(std::string_view text) {
  std::lock_guard lock(mutex_);
  text_.append(text);
}

}  // namespace zv::platform
