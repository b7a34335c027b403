// ZVVstIn's first-boot detection (uptime, the stored boot time and the
// log-off stamp) and the two checks of a boot's first run: the wait for
// the new-user deletion and the restart for a new domain user. Part of the
// application object (vstin_app.h).
#include <cwchar>

#include "platform/base/clock.h"
#include "platform/base/handles.h"
#include "platform/files/file_api.h"
#include "platform/files/profile.h"
#include "platform/registry/registry_api.h"
#include "startup_init/app/vstin_app.h"

namespace zv::startup {
namespace {

constexpr const wchar_t* kCurrentVersionKey = L"Software\\Microsoft\\Windows\\CurrentVersion";

std::uint32_t NowLow32() { return static_cast<std::uint32_t>(platform::CurrentClock().UtcSeconds()); }

std::wstring Format(const wchar_t* format, auto... args) {
  wchar_t buffer[260];
  std::swprintf(buffer, 260, format, args...);
  return buffer;
}

// The CurrentVersion key for reading and writing; null when it cannot be
// opened (the stored values then count as 0 and nothing is written).
win::HKEY OpenCurrentVersion() {
  win::HKEY key = nullptr;
  if (platform::Registry::Get().RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, kCurrentVersionKey, 0,
                                              win::KEY_QUERY_VALUE | win::KEY_SET_VALUE,
                                              &key) != win::ERROR_SUCCESS) {
    return nullptr;
  }
  return key;
}

std::uint32_t ReadDword(const wchar_t* name) {
  win::HKEY key = OpenCurrentVersion();
  if (!key) return 0;
  std::uint32_t value = 0;
  win::DWORD type = 0, size = sizeof value;
  auto& reg = platform::Registry::Get();
  if (reg.RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<win::BYTE*>(&value), &size) !=
          win::ERROR_SUCCESS ||
      type != win::REG_DWORD) {
    value = 0;
  }
  reg.RegCloseKey(key);
  return value;
}

void WriteDword(const wchar_t* name, std::uint32_t value) {
  win::HKEY key = OpenCurrentVersion();
  if (!key) return;
  auto& reg = platform::Registry::Get();
  reg.RegSetValueExW(key, name, 0, win::REG_DWORD, reinterpret_cast<const win::BYTE*>(&value), sizeof value);
  reg.RegCloseKey(key);
}

}  // namespace

int CZVVstInApp::ReadFirstBootValue() { return static_cast<int>(ReadDword(L"FirstBoot")); }

// The uptime is taken from the 64-bit tick count, so a machine up for more
// than 49.7 days is never taken for a fresh boot. The time of day is read
// together with it, so the settings read and the log line between them
// cannot shift the boot time by a second.
std::uint32_t CZVVstInApp::ComputeBootTime() {
  const std::uint64_t dwSecounds = platform::GetTickCount64() / 1000;
  const std::uint32_t now = NowLow32();
  const std::wstring settings = moduleFolder_ + L"\\ZVVstInSettings.ini";
  const win::UINT nOverTime = platform::GetPrivateProfileIntW(L"Settings", L"OverTime", 120, settings.c_str());
  log_.WriteLog(Format(L"dwSecounds = (%llu) nOverTime = (%d)", static_cast<unsigned long long>(dwSecounds),
                       static_cast<int>(nOverTime)));
  if (dwSecounds > nOverTime) return 0;
  return now - static_cast<std::uint32_t>(dwSecounds);
}

std::uint32_t CZVVstInApp::ReadLogOffTime() {
  const std::wstring file = SystemFolder() + L"\\LogOff.dat";
  auto& files = platform::Files::Get();
  std::uint32_t result = 0;
  win::HANDLE h = files.CreateFileW(file.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                                    win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != win::INVALID_HANDLE_VALUE) {
    result = NowLow32();
    unsigned char bytes[4];
    win::DWORD got = 0;
    if (files.ReadFile(h, bytes, 4, &got, nullptr)) {
      for (win::DWORD i = 0; i < got; ++i) {
        result = (result & ~(0xFFu << (8 * i))) | (static_cast<std::uint32_t>(bytes[i]) << (8 * i));
      }
    }
    platform::CloseHandle(h);
  }
  files.DeleteFileW(file.c_str());
  return result;
}

int CZVVstInApp::DetectFirstBoot() {
  Trace(L"DetectFirstBoot");
  const std::uint32_t dwBootTimeChecked = ComputeBootTime();
  int bFirstRun = 1;
  if (dwBootTimeChecked == 0) {
    bFirstRun = 0;
    log_.WriteLog(L"bFirstRun = FALSE");
  } else {
    const std::uint32_t dwBootTimeLoaded = ReadDword(L"ComputerBootTime");
    const std::uint32_t dwCheckValue = dwBootTimeChecked - dwBootTimeLoaded;
    if (dwBootTimeLoaded != 0 && dwCheckValue + 59u <= 118u) bFirstRun = 0;
    log_.WriteLog(Format(L"dwBootTimeLoaded = %d dwBootTimeChecked = %d dwCheckValue = %d",
                         static_cast<int>(dwBootTimeLoaded), static_cast<int>(dwBootTimeChecked),
                         static_cast<int>(dwCheckValue)));
  }
  log_.WriteLog(Format(L"bFirstRun = %d", bFirstRun));
  if (NowLow32() - ReadLogOffTime() < 30u) {
    bFirstRun = 0;
  } else if (bFirstRun == 1) {
    WriteDword(L"ComputerBootTime", dwBootTimeChecked);
  }
  WriteDword(L"FirstBoot", static_cast<std::uint32_t>(bFirstRun));
  Trace(L"DetectFirstBoot = " + std::to_wstring(bFirstRun));
  return bFirstRun;
}

void CZVVstInApp::WaitUntilNewUserDeleted() {
  Trace(L"WaitUntilNewUserDeleted");
  const std::wstring file = productFolder_ + L"ZVNewUserDelete.ini";
  log_.WriteLog(L"Start WaitUntilNewUserDeleted");
  log_.WriteLog(file);
  const int total = static_cast<int>(
      platform::GetPrivateProfileIntW(L"Settings", L"DelayTotalSeconds", 60, file.c_str()));
  int i = 0;
  while (true) {
    const win::UINT end = platform::GetPrivateProfileIntW(L"End", L"End", 0, file.c_str());
    platform::Sleep(1000);
    log_.WriteLog(L"Delay WaitUntilNewUserDeleted");
    if (end != 0 || ++i >= total) break;
  }
  platform::WritePrivateProfileStringW(L"End", L"End", L"0", file.c_str());
}

void CZVVstInApp::RebootForNewADUser() {
  Trace(L"RebootForNewADUser");
  const std::wstring file = productFolder_ + L"ZVNewADUser.ini";
  const win::UINT isNew = platform::GetPrivateProfileIntW(L"Setting", L"New", 0, file.c_str());
  platform::WritePrivateProfileStringW(L"Setting", L"New", nullptr, file.c_str());
  if (isNew != 1) return;
  if (platform::GetPrivateProfileIntW(L"Setting", L"RebootWhenNewADUser", 0, file.c_str()) != 1) return;
  const int delay = static_cast<int>(platform::GetPrivateProfileIntW(L"Setting", L"Delay", 10, file.c_str()));
  ExecWide(Format(L"shutdown.exe -r -t %d", delay), 0);
}

}  // namespace zv::startup
