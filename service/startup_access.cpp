// The access-control half of zvorx's start-up (see startup_access.h).
#include "service/startup_access.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "control/main_commands.h"
#include "driver_channel/signals.h"
#include "engines/access/acengine.h"

namespace zv::service {
namespace {

std::atomic<bool> g_runEngineThreads{true};

// Every engine start-up made: they live until the process ends, and stay
// reachable here once the command signals that use them are disconnected
// (the list itself is never destroyed, so also not at exit).
std::mutex g_enginesMutex;
std::vector<engines::acengine*>* const g_engines = new std::vector<engines::acengine*>;

void StartEngine(engines::acengine& engine) {
  if (g_runEngineThreads.load()) {
    engine.Start();
  } else {
    engine.CompilePathPatterns();
  }
}

// The device-access engine as control/ holds it. Only tests destroy it;
// they get its threads ended first.
class DeviceAccessSlots final : public control::EngineSlots {
 public:
  DeviceAccessSlots() : engine(engines::kDeviceAccessEngineKey) {}
  ~DeviceAccessSlots() override { engine.StopThreadsForTests(); }

  int OnCommandInt(int key, const std::wstring command, int value) override {
    return engine.OnCommandInt(key, command, value);
  }
  int OnCommandString(int key, const std::wstring command, const std::wstring text) override {
    return engine.OnCommandString(key, command, text);
  }
  int OnCommandIntString(int key, const std::wstring command, int value, const std::wstring text) override {
    return engine.OnCommandIntString(key, command, value, text);
  }
  void OnNotification(channel::_MXRED_NOTIFICATION* notification, channel::_MXRED_REPLY_MESSAGE* reply) override {
    engine.OnNotification(notification, reply);
  }

  engines::acengine engine;
};

}  // namespace

engines::acengine* StartAccessControlEngine(bool skipAccess) {
  auto* engine = new engines::acengine(engines::kAccessControlEngineKey);  // lives until the process ends
  {
    std::lock_guard lock(g_enginesMutex);
    g_engines->push_back(engine);
  }
  StartEngine(*engine);
  if (!skipAccess) {
    channel::CommandSignalI.connect([engine](int key, const std::wstring command, int value) {
      return engine->OnCommandInt(key, command, value);
    });
    channel::CommandSignalS.connect([engine](int key, const std::wstring command, const std::wstring text) {
      return engine->OnCommandString(key, command, text);
    });
    channel::CommandSignalIS.connect(
        [engine](int key, const std::wstring command, int value, const std::wstring text) {
          return engine->OnCommandIntString(key, command, value, text);
        });
    channel::NotificationSignal.connect([engine](channel::_MXRED_NOTIFICATION* n, channel::_MXRED_REPLY_MESSAGE* r) {
      engine->OnNotification(n, r);
    });
  }
  control::SetDeviceAccessEngineFactory([]() -> std::unique_ptr<control::EngineSlots> {
    auto slots = std::make_unique<DeviceAccessSlots>();
    StartEngine(slots->engine);
    return slots;
  });
  return engine;
}

void ReapplyAccessControlRules(engines::acengine* engine) {
  if (engine->Working()) engine->ApplyDefaultRules();
}

void SetAccessEngineThreads(bool run) { g_runEngineThreads.store(run); }

}  // namespace zv::service
