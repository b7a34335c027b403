// The MAIN engine: the service's own commands (log level, driver unload,
// file-log path, creation of the device-access engine) and their handlers.
//
// Owns: the three MAIN handlers (integer, string, integer-and-string), their
// subscription at start-up, the stored file-log path and flag, and the
// create-once device-access engine with its four subscriptions. Names are
// compared exactly (case-sensitive, whole string); only engine key 0 acts.
// The device-access engine itself comes from a factory that the
// access-control engine installs; this file only decides when to create it
// and where it subscribes.
// Must not: know engine internals, or report anything to the RPC caller
// (every handler returns 0, every call still returns 99).
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace zv::channel {
struct _MXRED_NOTIFICATION;
struct _MXRED_REPLY_MESSAGE;
}  // namespace zv::channel

namespace zv::control {

inline constexpr int kMainEngineKey = 0;

// The MAIN handlers, as subscribed to CommandSignalI, CommandSignalS and
// CommandSignalIS.
int MainCommandInt(int key, const std::wstring command, int value);
int MainCommandString(int key, const std::wstring command, const std::wstring text);
int MainCommandIntString(int key, const std::wstring command, int value, const std::wstring text);

// Subscribes the three MAIN handlers, in this order: CommandSignalI,
// CommandSignalS, CommandSignalIS. Start-up calls it once.
void SubscribeMainCommandHandlers();

// File-log settings kept by "MAIN_ENGINE_SETFILELOG" (no writer uses them).
std::wstring FileLogPath();
int FileLogSet();

// The handler slots an engine offers to the dispatch signals.
class EngineSlots {
 public:
  virtual ~EngineSlots() = default;
  virtual int OnCommandInt(int key, const std::wstring command, int value) = 0;
  virtual int OnCommandString(int key, const std::wstring command, const std::wstring text) = 0;
  virtual int OnCommandIntString(int key, const std::wstring command, int value, const std::wstring text) = 0;
  virtual void OnNotification(channel::_MXRED_NOTIFICATION* notification, channel::_MXRED_REPLY_MESSAGE* reply) = 0;
};

// Creates the device-access engine (engine key 3) and runs its start step;
// null when it cannot be created.
using DeviceAccessEngineFactory = std::function<std::unique_ptr<EngineSlots>()>;
void SetDeviceAccessEngineFactory(DeviceAccessEngineFactory factory);

// The device-access engine once "MAIN_ENGINE_CREATEDEVICEACCESS" created
// it; it lives until the process ends.
EngineSlots* DeviceAccessEngine();

// Tests only: puts the MAIN state back to its start values and forgets the
// device-access engine (the caller has disconnected its slots first).
void ResetMainEngineForTests();

}  // namespace zv::control
