// The block-driver functions: see block_driver_config.h and
// docs/services.md ("The block-driver functions").
#include "startup_init/block_drivers/block_driver_config.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>

#include "platform/base/clock.h"
#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/registry/registry_api.h"
#include "platform/processes/process_table.h"
#include "platform/services/service_manager_api.h"
#include "platform/system/ansi_calls.h"
#include "platform/system/wow64.h"

namespace zv::startup {
namespace {

using win::DWORD;

constexpr std::size_t kUrlRecordBytes = 16;
constexpr std::size_t kMaxUrls = 400;
constexpr std::size_t kUrlTextBytes = 14;
constexpr std::size_t kPortRecordBytes = 8;
constexpr std::size_t kMaxPorts = 100;
constexpr std::size_t kMaxPath = 260;

// A stop is followed for at most this many status queries, 1000 ms apart
// (30 s): a driver still stop-pending then counts as not stopped.
constexpr int kStopQueryLimit = 30;
constexpr DWORD kStopQueryIntervalMs = 1000;

const char* const kUrlService = "mxblkurl";
const char* const kPortService = "mxblkprt";

// The per-process tables. The functions are meant for one thread at a time;
// the lock only keeps a careless second thread from tearing a record.
struct Tables {
  std::mutex lock;
  unsigned char urls[kMaxUrls * kUrlRecordBytes] = {};
  std::size_t urlCount = 0;
  unsigned char ports[kMaxPorts * kPortRecordBytes] = {};
  std::size_t portCount = 0;
};

Tables& TheTables() {
  static Tables tables;
  return tables;
}

std::string ServiceKeyPath(const char* service) {
  return std::string("SYSTEM\\CurrentControlSet\\Services\\") + service;
}

// Opens the service key (it must exist), sets one value, closes. 1 when the
// key could be opened; the value write itself is not examined.
int WriteValue(const char* service, const char* name, DWORD type, const void* data, DWORD bytes) {
  auto& reg = platform::Registry::Get();
  win::HKEY key = nullptr;
  if (reg.RegOpenKeyExA(win::HKEY_LOCAL_MACHINE, ServiceKeyPath(service).c_str(), 0,
                        win::KEY_ALL_ACCESS | win::KEY_WOW64_64KEY, &key) != win::ERROR_SUCCESS) {
    return 0;
  }
  reg.RegSetValueExA(key, name, 0, type, static_cast<const win::BYTE*>(data), bytes);
  reg.RegCloseKey(key);
  return 1;
}

int WriteDword(const char* service, const char* name, DWORD value) {
  unsigned char le[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                         static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  return WriteValue(service, name, win::REG_DWORD, le, 4);
}

void PutLe32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// Closes the handles it is given when it goes.
struct ScHandles {
  win::SC_HANDLE manager = nullptr;
  win::SC_HANDLE service = nullptr;
  ~ScHandles() {
    auto& scm = platform::ServiceManager::Get();
    if (service) scm.CloseServiceHandle(service);
    if (manager) scm.CloseServiceHandle(manager);
  }
};

// 1 when the service starts or already runs.
int StartService(const char* name) {
  auto& scm = platform::ServiceManager::Get();
  ScHandles h;
  h.manager = scm.OpenSCManagerW(nullptr, L"ServicesActive", win::SC_MANAGER_ALL_ACCESS);
  if (!h.manager) return 0;
  h.service = scm.OpenServiceA(h.manager, name, win::SERVICE_ALL_ACCESS);
  if (!h.service) return 0;
  if (scm.StartServiceW(h.service, 0, nullptr)) return 1;
  return platform::GetLastError() == win::ERROR_SERVICE_ALREADY_RUNNING ? 1 : 0;
}

// Creates the driver service when it does not exist; an existing one is
// left as it is.
void CreateIfMissing(const char* name, const std::string& driverPath) {
  auto& scm = platform::ServiceManager::Get();
  ScHandles h;
  h.manager = scm.OpenSCManagerW(nullptr, L"ServicesActive", win::SC_MANAGER_ALL_ACCESS);
  if (!h.manager) return;
  h.service = scm.OpenServiceA(h.manager, name, win::SERVICE_ALL_ACCESS);
  if (h.service || platform::GetLastError() != win::ERROR_SERVICE_DOES_NOT_EXIST) return;
  h.service = scm.CreateServiceA(h.manager, name, name, win::SERVICE_ALL_ACCESS, win::SERVICE_KERNEL_DRIVER,
                                 win::SERVICE_DEMAND_START, win::SERVICE_ERROR_NORMAL, driverPath.c_str(), nullptr,
                                 nullptr, nullptr, nullptr, nullptr);
}

std::string Bounded(const std::string& s) { return s.size() < kMaxPath ? s : s.substr(0, kMaxPath - 1); }

// The folder of the program's image, without a trailing backslash, in the
// ANSI code page.
std::string ModuleFolderA() {
  std::wstring image;
  try {
    image = platform::CurrentProcessImage();
  } catch (const std::exception&) {
    return {};
  }
  std::size_t slash = image.find_last_of(L'\\');
  return text::ToAnsi(slash == std::wstring::npos ? std::wstring() : image.substr(0, slash));
}

using RedirectionSwitch = win::BOOL (*)(void**);
using RedirectionRevert = win::BOOL (*)(void*);

// Looks a redirection function up in kernel32, as a program that must also
// run where it is missing does.
platform::ProcAddress Kernel32Function(const char* name) {
  win::HMODULE kernel32 = platform::LoadLibraryW(L"kernel32.dll");
  if (!kernel32) return nullptr;
  platform::ProcAddress f = platform::GetProcAddress(kernel32, name);
  platform::FreeLibrary(kernel32);
  return f;
}

int StartDriver(const char* name, int is64) {
  if (StartService(name)) return 1;

  // A 32-bit program on a 64-bit machine would copy into SysWOW64: the
  // file system redirection is off on this thread from the copy until the
  // service has started.
  void* oldValue = nullptr;
  if (auto disable = reinterpret_cast<RedirectionSwitch>(Kernel32Function("Wow64DisableWow64FsRedirection"))) {
    disable(&oldValue);
  }

  char systemFolder[kMaxPath] = {};
  if (platform::GetSystemDirectoryA(systemFolder, kMaxPath) >= kMaxPath) systemFolder[0] = '\0';
  const std::string source = Bounded(ModuleFolderA() + "\\" + name + (is64 == 1 ? "_x64.sys" : "_x32.sys"));
  const std::string installed = Bounded(std::string(systemFolder) + "\\Drivers\\" + name + ".sys");
  platform::CopyFileA(source.c_str(), installed.c_str(), win::FALSE);
  CreateIfMissing(name, installed);
  const int answer = StartService(name);

  if (auto revert = reinterpret_cast<RedirectionRevert>(Kernel32Function("Wow64RevertWow64FsRedirection"))) {
    revert(oldValue);
  }
  return answer;
}

void StopDriver(const char* name, int remove) {
  auto& scm = platform::ServiceManager::Get();
  ScHandles h;
  h.manager = scm.OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS);
  if (!h.manager) return;
  h.service = scm.OpenServiceA(h.manager, name, win::SERVICE_ALL_ACCESS);
  if (!h.service) return;
  win::SERVICE_STATUS status{};
  if (scm.ControlService(h.service, win::SERVICE_CONTROL_STOP, &status)) {
    DWORD state = status.dwCurrentState;
    for (int i = 0; i < kStopQueryLimit && state == win::SERVICE_STOP_PENDING; ++i) {
      platform::Sleep(kStopQueryIntervalMs);
      if (!scm.QueryServiceStatus(h.service, &status)) break;
      state = status.dwCurrentState;
    }
    if (state != win::SERVICE_STOPPED) return;
  }
  if (remove == 1) scm.DeleteService(h.service);
}

}  // namespace
}  // namespace zv::startup

using zv::startup::TheTables;

extern "C" {

int MXBLKURLSetDefaultStatusIsBlocking(int flag) {
  return zv::startup::WriteDword(zv::startup::kUrlService, "DefaultIsDenyURL", static_cast<zv::win::DWORD>(flag));
}

int MXBLKURLSetDebugTextOutputStatus(int flag) {
  return zv::startup::WriteDword(zv::startup::kUrlService, "DebugTextOutput", static_cast<zv::win::DWORD>(flag));
}

int MXBLKURLClearExceptionURLTextList(void) {
  auto& t = TheTables();
  std::lock_guard lock(t.lock);
  t.urlCount = 0;
  std::memset(t.urls, 0, sizeof t.urls);
  return 1;
}

int MXBLKURLAddExceptionURLTextA(const char* url) {
  if (!url) return 0;
  auto& t = TheTables();
  std::lock_guard lock(t.lock);
  if (t.urlCount >= zv::startup::kMaxUrls) return 0;
  unsigned char* record = t.urls + t.urlCount * zv::startup::kUrlRecordBytes;
  std::memset(record, 0, zv::startup::kUrlRecordBytes);
  std::memcpy(record, url, strnlen(url, zv::startup::kUrlTextBytes));
  ++t.urlCount;
  return 1;
}

int MXBLKURLAddExceptionURLTextW(const wchar_t* url) {
  if (!url) return 0;
  std::string ansi = zv::text::ToAnsi(url);
  if (ansi.size() > zv::startup::kUrlTextBytes) {
    std::size_t cut = zv::startup::kUrlTextBytes;
    // In a multi-byte code page (UTF-8) a character is not split.
    if (zv::text::AnsiCodePage() == 65001) {
      while (cut > 0 && (static_cast<unsigned char>(ansi[cut]) & 0xC0) == 0x80) --cut;
    }
    ansi.resize(cut);
  }
  return MXBLKURLAddExceptionURLTextA(ansi.c_str());
}

int MXBLKURLSaveBlockURLSettings(void) {
  auto& t = TheTables();
  std::lock_guard lock(t.lock);
  zv::startup::WriteDword(zv::startup::kUrlService, "ExceptURLCount", static_cast<zv::win::DWORD>(t.urlCount));
  return zv::startup::WriteValue(zv::startup::kUrlService, "ExceptURLList", zv::win::REG_BINARY, t.urls,
                                 static_cast<zv::win::DWORD>(t.urlCount * zv::startup::kUrlRecordBytes));
}

int MXBLKURLAddExceptionPort(unsigned first, unsigned second) {
  auto& t = TheTables();
  std::lock_guard lock(t.lock);
  if (t.portCount >= zv::startup::kMaxPorts) return 0;
  unsigned char* record = t.ports + t.portCount * zv::startup::kPortRecordBytes;
  zv::startup::PutLe32(record, first);
  zv::startup::PutLe32(record + 4, second);
  ++t.portCount;
  return 1;
}

int MXBLKURLSaveBlockPortSettings(void) {
  auto& t = TheTables();
  std::lock_guard lock(t.lock);
  zv::startup::WriteDword(zv::startup::kPortService, "BlockPortCount", static_cast<zv::win::DWORD>(t.portCount));
  return zv::startup::WriteValue(zv::startup::kPortService, "BlockPortList", zv::win::REG_BINARY, t.ports,
                                 static_cast<zv::win::DWORD>(t.portCount * zv::startup::kPortRecordBytes));
}

int MXBLKURLStartURLDriver(int is64) { return zv::startup::StartDriver(zv::startup::kUrlService, is64); }
int MXBLKURLStartPortDriver(int is64) { return zv::startup::StartDriver(zv::startup::kPortService, is64); }

int MXBLKURLStopURLDriver(int remove) {
  zv::startup::StopDriver(zv::startup::kUrlService, remove);
  return 1;
}

int MXBLKURLStopPortDriver(int remove) {
  zv::startup::StopDriver(zv::startup::kPortService, remove);
  return 1;
}

}  // extern "C"
