// ZVVstIn's launches: the product's programs started fire-and-forget, with
// a wait, or on a chosen desktop; windows closed by title; the [Run] lists
// and the delays of ZVLogOnDelay.ini. Part of the application object
// (vstin_app.h).
#include <cwchar>
#include <vector>

#include "platform/base/clock.h"
#include "platform/base/handles.h"
#include "platform/files/profile.h"
#include "platform/processes/program_api.h"
#include "platform/windows/window_api.h"
#include "startup_init/app/vstin_app.h"
#include "suite/support/zvgcode/zvgcode.h"
#include "suite/support/zvini/ini_file.h"

namespace zv::startup {

void CZVVstInApp::ExecWait(const std::wstring& commandLine) {
  Trace(L"WinExecWait " + commandLine);
  support::WinExecWait(commandLine.c_str());
}

void CZVVstInApp::ExecWide(const std::wstring& commandLine, unsigned show) {
  Trace(L"WinExecWide(" + std::to_wstring(show) + L") " + commandLine);
  support::WinExecWide(commandLine.c_str(), show);
}

int CZVVstInApp::LaunchOnDesktop(const std::wstring& commandLine, const wchar_t* workingFolder,
                                 const std::wstring& desktop, unsigned long* lastError) {
  std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
  line.push_back(L'\0');
  std::vector<wchar_t> desk(desktop.begin(), desktop.end());
  desk.push_back(L'\0');
  win::STARTUPINFOW si;
  si.cb = 68;  // the 32-bit structure's size
  si.lpDesktop = desk.data();
  si.dwFlags = win::STARTF_USESHOWWINDOW;
  si.wShowWindow = 6;  // SW_MINIMIZE
  win::PROCESS_INFORMATION pi;
  const win::BOOL created = platform::Programs::Get().CreateProcessW(
      nullptr, line.data(), nullptr, nullptr, win::TRUE, win::CREATE_NEW_CONSOLE | win::NORMAL_PRIORITY_CLASS,
      nullptr, workingFolder, &si, &pi);
  *lastError = platform::GetLastError();
  if (created) {
    platform::CloseHandle(pi.hThread);
    platform::CloseHandle(pi.hProcess);
  }
  Trace(L"LaunchOnDesktop " + desktop + L" " + commandLine + L" = " + std::to_wstring(created ? 1 : 0) +
        L" error " + std::to_wstring(*lastError));
  return created ? 1 : 0;
}

void CZVVstInApp::CloseWindowByTitle(const std::wstring& title) {
  auto& windows = platform::TopLevelWindows::Get();
  win::HWND window = windows.FindWindowW(nullptr, title.c_str());
  Trace(L"CloseWindowByTitle " + title + (window ? L" found" : L" not found"));
  if (window) windows.SendMessageW(window, win::WM_CLOSE, 0, 0);
}

void CZVVstInApp::CloseProductWindows() {
  wchar_t title[support::kSizelessUnits] = L"VMQ_Client";
  const std::wstring client = productFolder_ + L"VMQClient.ini";
  {
    support::CINIFile ini(client.c_str(), 0);
    ini.GetString(L"INSTANCE", L"WINDOWTITLE", title);
  }
  CloseWindowByTitle(title);
  CloseWindowByTitle(L"Test_TaskRelay");
  CloseWindowByTitle(L"IDS_CAPTION_QDMXCNTT");
}

void CZVVstInApp::RunListFromIni(const std::wstring& iniPath) {
  Trace(L"RunListFromIni " + iniPath);
  for (int n = 0;; ++n) {
    wchar_t value[260] = {};
    platform::GetPrivateProfileStringW(L"Run", std::to_wstring(n).c_str(), L"", value, 260, iniPath.c_str());
    if (value[0] == L'\0') break;
    ExecWide(value, 5);
  }
}

// Seconds as a decimal number: leading blanks and a sign, then digits up
// to the first other character (no digits: 0). Negative values count as 0
// and large ones are held at kMaxDelaySeconds.
static std::int64_t DelaySeconds(const std::wstring& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == L' ' || text[i] == L'\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'-' || text[i] == L'+')) negative = text[i++] == L'-';
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + (text[i] - L'0');
    if (value > kMaxDelaySeconds) value = kMaxDelaySeconds + 1;
  }
  if (negative) return 0;
  return value > kMaxDelaySeconds ? kMaxDelaySeconds : value;
}

void CZVVstInApp::DelayFromSettings(const std::wstring& section) {
  const std::wstring file = productFolder_ + L"ZVLogOnDelay.ini";
  wchar_t delay[260] = {};
  platform::GetPrivateProfileStringW(section.c_str(), L"DELAY", L"0", delay, 260, file.c_str());
  if (std::wstring(delay) != L"1") return;
  wchar_t second[260] = {};
  platform::GetPrivateProfileStringW(section.c_str(), L"SECOND", L"0", second, 260, file.c_str());
  const std::int64_t ms = DelaySeconds(second) * 1000;
  Trace(L"DelayFromSettings " + section + L" " + std::to_wstring(ms) + L" ms");
  platform::Sleep(static_cast<win::DWORD>(ms));
}

void CZVVstInApp::StartBeforeLogonGroup(int firstRun) {
  Trace(L"StartBeforeLogonGroup");
  CloseProductWindows();
  platform::Sleep(500);
  ExecWide(productFolder_ + L"VMQCnt.exe", 0);
  ExecWide(productFolder_ + L"ZVAMCnt.exe" + L" /run" + (firstRun != 1 ? L" /norequest" : L""), 0);
  if (IsCloseRequested() == 0) {
    ExecWide(productFolder_ + L"TaskRelay.exe", 0);
    ExecWide(productFolder_ + L"ZVMXCnt.exe /run /beforelogon", 0);
  }
}

// At least 15 launches; after them it goes on until one succeeds, but no
// further than kMainUserLaunchBound launches in all.
void CZVVstInApp::LaunchMainUserWithRetry() {
  int attempt = 0, result = 0;
  while (attempt < 15 || result != 1) {
    if (attempt >= kMainUserLaunchBound) {
      log_.WriteLog(L"Running ZVMainUser.exe stopped after " + std::to_wstring(attempt) + L" launches");
      Trace(L"LaunchMainUserWithRetry gave up");
      return;
    }
    log_.WriteLog(L"Running ZVMainUser.exe");
    platform::Sleep(1000);
    unsigned long error = 0;
    result = LaunchOnDesktop(productFolder_ + L"ZVMainUser.exe /run /usersession", nullptr, L"WinSta0\\Default",
                             &error);
    log_.WriteLog(L"Running ZVMainUser.exe Result(" + std::to_wstring(result) + L")");
    platform::Sleep(1000);
    ++attempt;
  }
}

}  // namespace zv::startup
