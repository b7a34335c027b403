// The log writers: see log.h.
#include "log/log.h"

#include <ctime>
#include <cwchar>

#include "platform/base/clock.h"
#include "platform/base/debug_output.h"
#include "platform/files/file_api.h"
#include "platform/base/handles.h"
#include "platform/processes/process_api.h"
#include "platform/files/profile.h"
#include "platform/base/text.h"

namespace zv::log {
namespace {

std::mutex pathMutex;
std::wstring logFilePath;  // guarded by pathMutex

// Serialises the UTF-16 file sink within the process: seeking to the end and
// writing are two calls, and two threads between them would overwrite each
// other's lines.
std::mutex fileSinkMutex;

// "#YYYY-mm-dd HH:MM:SS " of the local time; nothing when it cannot be had.
void AppendStamp(std::wstring& out) {
  std::tm tm{};
  if (!platform::CurrentClock().LocalTm(tm)) return;
  wchar_t buffer[128];
  std::size_t n = std::wcsftime(buffer, 128, L"#%Y-%m-%d %H:%M:%S ", &tm);
  out.append(buffer, n);
}

void AppendToLogFile(std::wstring_view line) {
  std::wstring path = LogFilePath();
  std::string bytes = text::ToUtf16Le(line);
  std::lock_guard lock(fileSinkMutex);
  platform::FileApi& files = platform::Files::Get();
  win::HANDLE file = files.CreateFileW(path.c_str(), win::GENERIC_READ | win::GENERIC_WRITE,
                                       win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr, win::OPEN_ALWAYS,
                                       win::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == win::INVALID_HANDLE_VALUE || file == nullptr) return;
  files.SetFilePointerEx(file, 0, nullptr, win::FILE_END);
  win::DWORD written = 0;
  files.WriteFile(file, bytes.data(), static_cast<win::DWORD>(bytes.size()), &written, nullptr);
  files.FlushFileBuffers(file);
  platform::CloseHandle(file);
}

// At most 260 bytes of ANSI text, never ending inside a UTF-8 sequence.
std::string TraceText(std::wstring_view text) {
  constexpr std::size_t kLimit = 260;
  std::string ansi = text::ToAnsi(text);
  if (ansi.size() <= kLimit) return ansi;
  std::size_t cut = kLimit;
  if (text::AnsiCodePage() == 65001) {
    while (cut > 0 && (static_cast<unsigned char>(ansi[cut]) & 0xC0) == 0x80) --cut;
  }
  ansi.resize(cut);
  return ansi;
}

// A collected line without the line ends and blanks its writer put last.
std::wstring TrimLineEnd(std::wstring text) {
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
  return text;
}

}  // namespace

void SetLogFilePath(std::wstring path) {
  std::lock_guard lock(pathMutex);
  logFilePath = std::move(path);
}

std::wstring LogFilePath() {
  std::lock_guard lock(pathMutex);
  return logFilePath;
}

std::string TextModeBytes(std::string_view ansi) {
  std::string out;
  out.reserve(ansi.size() + 8);
  for (char c : ansi) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

namespace detail {

void WriteLogLine(std::uint32_t level, bool enabled, std::wstring_view tag, std::wstring_view format,
                  std::span<const FormatArg> args) {
  std::wstring line;
  line.reserve(160);
  if (enabled) AppendStamp(line);
  line += L"[mxred] ";
  const std::size_t tagStart = line.size();
  line += tag;
  line += L" ---- ";
  AppendLogFormatV(line, format, args);
  if (DecisionLines* decision = CurrentDecision()) {
    decision->Add(level, enabled ? 0 : kLineFiltered, line.substr(tagStart));
  }
  if (!enabled) return;
  line += L"\r\n";
  const std::uint32_t flags = OutputFlags();
  if (flags & kOutputDebugger) platform::OutputDebugStringW(std::wstring_view(line));
  if (flags & kOutputFile) AppendToLogFile(line);
}

void WriteDebugLine(std::wstring_view format, std::span<const FormatArg> args) {
  std::wstring line;
  AppendStamp(line);
  const std::size_t textStart = line.size();
  AppendLogFormatV(line, format, args);
  if (DecisionLines* decision = CurrentDecision()) decision->Add(0, kLineDebug, TrimLineEnd(line.substr(textStart)));
  platform::OutputDebugStringW(std::wstring_view(line));
}

void WriteAppendLog(std::wstring_view path, std::wstring_view format, std::span<const FormatArg> args) {
  win::SYSTEMTIME st;
  platform::GetLocalTime(&st);
  std::wstring text = Format(L"[%d.%d.%d - %d.%d.%d]:", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                             st.wSecond);
  const std::size_t textStart = text.size();
  AppendLogFormatV(text, format, args);
  if (DecisionLines* decision = CurrentDecision()) {
    decision->Add(0, kLineFile, std::wstring(path) + L": " + TrimLineEnd(text.substr(textStart)));
  }
  platform::Files::Get().AppendToFile(std::wstring(path), TextModeBytes(text::ToAnsi(text)));
}

}  // namespace detail

// ---- Process-and-path trace ---------------------------------------------------

std::wstring ProcessPathTrace::ProgramFolder() {
  win::WCHAR buffer[1024] = {};
  win::DWORD n = platform::Processes::Get().GetModuleFileNameW(nullptr, buffer, 1024);
  std::wstring path(buffer, n < 1024 ? n : 1023);
  std::size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring ProcessPathTrace::FileName() const {
  return named_.load(std::memory_order_acquire) ? fileName_ : std::wstring();
}

void ProcessPathTrace::Log(win::DWORD processId, std::wstring_view path, bool folder) {
  std::call_once(settingOnce_, [this] {
    std::wstring ini = ProgramFolder() + L"ZVORXSettings.ini";
    auto value = platform::GetPrivateProfileIntW(L"Settings", L"WriteProcessAndPathLog", 0, ini.c_str());
    setting_.store(static_cast<int>(value), std::memory_order_release);
  });
  if (Setting() != 1) return;

  platform::ProcessApi& processes = platform::Processes::Get();
  win::HANDLE process =
      processes.OpenProcess(win::PROCESS_QUERY_INFORMATION | win::PROCESS_VM_READ, win::FALSE, processId);
  if (process == nullptr) {
    WriteLine(L"Failed to open process.", L"");
    return;
  }
  win::WCHAR module[win::MAX_PATH] = {};
  win::DWORD n = processes.K32GetModuleFileNameExW(process, nullptr, module, win::MAX_PATH);
  if (n == 0) {
    WriteLine(L"Failed to get module filename.", L"");
  } else {
    WriteLine(folder ? L"New Folder" : L"New File", L"");
    WriteLine(std::wstring_view(module, n < win::MAX_PATH ? n : win::MAX_PATH - 1), path);
  }
  platform::CloseHandle(process);
}

void ProcessPathTrace::WriteLine(std::wstring_view first, std::wstring_view second) {
  // The first line names the file for the life of the process, also when
  // several threads write their first line at once.
  std::call_once(nameOnce_, [this] {
    win::SYSTEMTIME st;
    platform::GetLocalTime(&st);
    fileName_ = Format(L"%sZVORX.exe_%04d%02d%02d_%02d%02d%02d_%d.log", ProgramFolder(), st.wYear, st.wMonth,
                       st.wDay, st.wHour, st.wMinute, st.wSecond, platform::Processes::Get().GetCurrentProcessId());
    named_.store(true, std::memory_order_release);
  });
  win::SYSTEMTIME now;
  platform::GetLocalTime(&now);
  const std::string firstText = TraceText(first), secondText = TraceText(second);
  const FormatArg args[] = {now.wYear,   now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                            platform::Processes::Get().GetCurrentProcessId(), firstText, secondText};
  std::string line;
  AppendLogFormatNarrowV(line, "%04d/%02d/%02d_%02d:%02d:%02d(%d) - (%s)_(%s)\n", args);
  platform::Files::Get().AppendToFile(fileName_, TextModeBytes(line));
}

ProcessPathTrace& ProcessAndPathTrace() {
  static ProcessPathTrace* trace = new ProcessPathTrace;  // lives until the process ends
  return *trace;
}

}  // namespace zv::log
