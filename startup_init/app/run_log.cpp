// The per-run log: see run_log.h.
#include "startup_init/app/run_log.h"

#include <cstdio>

#include "platform/base/clock.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"

namespace zv::startup {
namespace {

constexpr std::int64_t kPurgeAgeSeconds = 2592000;  // 30 days
constexpr std::size_t kLineBytes = 259;             // a 260-byte buffer with its terminator

win::SYSTEMTIME LocalTimeAt(std::int64_t seconds) {
  win::SYSTEMTIME t{};
  platform::LocalTimeOf(seconds * 1000, t);
  return t;
}

std::wstring NameStamp(const win::SYSTEMTIME& t) {
  wchar_t buffer[64];
  std::swprintf(buffer, 64, L"_%04d%02d%02d_%02d%02d%02d.log", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond);
  return buffer;
}

}  // namespace

std::wstring RunLog::WithTail(const std::wstring& tail) const {
  std::size_t dot = programPath_.find_last_of(L'.');
  std::size_t slash = programPath_.find_last_of(L'\\');
  if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return programPath_ + tail;
  return programPath_.substr(0, dot) + tail;
}

std::string RunLog::ToAnsiLine(const std::wstring& message, std::size_t maxBytes) {
  std::string out;
  for (std::size_t i = 0; i < message.size();) {
    std::size_t units = 1;
    wchar_t c = message[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < message.size() && message[i + 1] >= 0xDC00 &&
        message[i + 1] <= 0xDFFF) {
      units = 2;
    }
    std::string piece = text::ToAnsi(std::wstring_view(message).substr(i, units));
    if (out.size() + piece.size() > maxBytes) break;
    out += piece;
    i += units;
  }
  return out;
}

void RunLog::PurgeOldLogs(std::int64_t nowSeconds) {
  const std::wstring cutoff = text::AsciiLowerCopy(WithTail(NameStamp(LocalTimeAt(nowSeconds - kPurgeAgeSeconds))));
  std::size_t slash = programPath_.find_last_of(L'\\');
  const std::wstring folder = slash == std::wstring::npos ? std::wstring() : programPath_.substr(0, slash);
  auto& files = platform::Files::Get();
  win::WIN32_FIND_DATAW data;
  const std::wstring pattern = WithTail(L"_*.log");
  win::HANDLE find = files.FindFirstFileW(pattern.c_str(), &data);
  if (find == win::INVALID_HANDLE_VALUE) return;
  do {
    if (data.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY) continue;
    const std::wstring path = folder + L"\\" + data.cFileName;
    if (cutoff > text::AsciiLowerCopy(path)) {
      files.SetFileAttributesW(path.c_str(), win::FILE_ATTRIBUTE_NORMAL);
      files.DeleteFileW(path.c_str());
    }
  } while (files.FindNextFileW(find, &data));
  files.FindClose(find);
}

void RunLog::WriteLog(const std::wstring& message) {
  const std::int64_t now = platform::CurrentClock().UtcSeconds();
  const win::SYSTEMTIME t = LocalTimeAt(now);
  if (path_.empty()) {
    PurgeOldLogs(now);
    path_ = WithTail(NameStamp(t));
  }
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d/%02d/%02d_%02d:%02d:%02d - ", t.wYear, t.wMonth, t.wDay, t.wHour,
                t.wMinute, t.wSecond);
  platform::Files::Get().AppendToFile(path_, stamp + ToAnsiLine(message, kLineBytes) + "\r\n");
}

}  // namespace zv::startup
