// The MAIN engine commands: see main_commands.h.
#include "control/main_commands.h"

#include <mutex>

#include "control/main_log.h"
#include "driver_channel/signals.h"
#include "platform/base/debug_output.h"
#include "platform/filter/filter_api.h"

namespace zv::control {
namespace {

constexpr wchar_t kDefaultFileLogPath[] = L"c:\\windows\\zv\\zvorx\\msglog.txt";

struct MainState {
  std::mutex mutex;  // file-log values
  std::wstring fileLogPath = kDefaultFileLogPath;
  int fileLogSet = 1;

  std::mutex createMutex;  // one device-access engine, whoever asks at once
  DeviceAccessEngineFactory factory;
  EngineSlots* deviceAccess = nullptr;  // owned for the life of the process
};

MainState& State() {
  static MainState* state = new MainState();
  return *state;
}

void CreateDeviceAccessEngine() {
  MainState& s = State();
  std::lock_guard lock(s.createMutex);
  if (s.deviceAccess) return;
  platform::OutputDebugStringW(L"MAIN_ENGINE_CREATEDEVICEACCESS");
  if (!s.factory) return;
  std::unique_ptr<EngineSlots> engine = s.factory();
  if (!engine) return;
  EngineSlots* e = engine.release();
  s.deviceAccess = e;
  // Each lands behind every slot connected before it.
  channel::CommandSignalI.connect([e](int key, const std::wstring command, int value) {
    return e->OnCommandInt(key, command, value);
  });
  channel::CommandSignalS.connect([e](int key, const std::wstring command, const std::wstring text) {
    return e->OnCommandString(key, command, text);
  });
  channel::CommandSignalIS.connect([e](int key, const std::wstring command, int value, const std::wstring text) {
    return e->OnCommandIntString(key, command, value, text);
  });
  channel::NotificationSignal.connect([e](channel::_MXRED_NOTIFICATION* n, channel::_MXRED_REPLY_MESSAGE* r) {
    e->OnNotification(n, r);
  });
}

}  // namespace

int MainCommandInt(int key, const std::wstring command, int value) {
  if (key != kMainEngineKey) return 0;
  if (command == L"MAIN_ENGINE_SETLOG") {
    SetLogLevelMask(static_cast<std::uint32_t>(value));
  } else if (command == L"MAIN_ENGINE_UNLOAD") {
    platform::Filters::Get().FilterUnload(L"ZVORX");
  }
  return 0;
}

int MainCommandString(int key, const std::wstring command, const std::wstring text) {
  if (key != kMainEngineKey) return 0;
  if (command == L"MAIN_ENGINE_SETFILELOG") {
    MainState& s = State();
    std::lock_guard lock(s.mutex);
    s.fileLogPath = text;
    s.fileLogSet = 1;
  } else if (command == L"MAIN_ENGINE_CREATEDEVICEACCESS") {
    CreateDeviceAccessEngine();
  }
  return 0;
}

int MainCommandIntString(int key, const std::wstring command, int value, const std::wstring text) {
  WriteMainLog(1, L"MAIN", L"RPCListen_is %s ,%d, %s", command, value, text);
  if (key != kMainEngineKey) return 0;
  // "MAIN_ENGINE_CREATE": the engines are created at start-up; nothing to do.
  return 0;
}

void SubscribeMainCommandHandlers() {
  channel::CommandSignalI.connect(&MainCommandInt);
  channel::CommandSignalS.connect(&MainCommandString);
  channel::CommandSignalIS.connect(&MainCommandIntString);
}

std::wstring FileLogPath() {
  MainState& s = State();
  std::lock_guard lock(s.mutex);
  return s.fileLogPath;
}

int FileLogSet() {
  MainState& s = State();
  std::lock_guard lock(s.mutex);
  return s.fileLogSet;
}

void SetDeviceAccessEngineFactory(DeviceAccessEngineFactory factory) {
  MainState& s = State();
  std::lock_guard lock(s.createMutex);
  s.factory = std::move(factory);
}

EngineSlots* DeviceAccessEngine() {
  MainState& s = State();
  std::lock_guard lock(s.createMutex);
  return s.deviceAccess;
}

void ResetMainEngineForTests() {
  MainState& s = State();
  {
    std::lock_guard lock(s.createMutex);
    delete s.deviceAccess;
    s.deviceAccess = nullptr;
    s.factory = nullptr;
  }
  std::lock_guard lock(s.mutex);
  s.fileLogPath = kDefaultFileLogPath;
  s.fileLogSet = 1;
}

}  // namespace zv::control
