// The backup engine's part of start-up and shutdown (see startup_backup.h).
//
// Owns: the engine pointer and the connections of its slots.
// Must not: free the engine while the process runs on; only a second run of
// the main routine in one process (tests) replaces it, after the first run
// has ended its workers.
#include "service/startup_backup.h"

#include <atomic>
#include <memory>
#include <vector>

#include <boost/signals2.hpp>

#include "driver_channel/port_client.h"
#include "driver_channel/signals.h"
#include "engines/backup/backupengine.h"

namespace zv::service {
namespace {

std::unique_ptr<engines::backupengine> g_engine;
std::atomic<engines::backupengine*> g_current{nullptr};
std::vector<boost::signals2::connection> g_connections;
std::atomic<bool> g_startThreads{true};

bool IsFreeProcess(win::DWORD processId) {
  engines::backupengine* engine = g_current.load(std::memory_order_acquire);
  return engine != nullptr && engine->HasProcessType(processId, engines::kBackupProcessFree);
}

}  // namespace

void SetBackupEngineThreads(bool start) { g_startThreads = start; }

engines::backupengine* BackupEngine() { return g_current.load(std::memory_order_acquire); }

void CreateBackupEngine(bool skipCommands) {
  if (g_engine) {
    // The main routine runs a second time in this process (tests only).
    for (auto& connection : g_connections) connection.disconnect();
    g_connections.clear();
    g_current = nullptr;
    g_engine.reset();
  }
  auto engine = std::make_unique<engines::backupengine>();
  engine->Initialize(g_startThreads.load());
  engines::backupengine* raw = engine.get();
  g_engine = std::move(engine);
  g_current.store(raw, std::memory_order_release);
  if (!skipCommands) {
    g_connections.push_back(channel::CommandSignalI.connect(
        [raw](int key, const std::wstring command, int value) { return raw->OnCommandInt(key, command, value); }));
    g_connections.push_back(
        channel::CommandSignalS.connect([raw](int key, const std::wstring command, const std::wstring text) {
          return raw->OnCommandString(key, command, text);
        }));
  }
  channel::SetFreeProcessTest(&IsFreeProcess);
}

void SubscribeBackupNotifications() {
  engines::backupengine* engine = BackupEngine();
  if (engine == nullptr) return;
  g_connections.push_back(channel::NotificationSignal.connect(
      [engine](channel::_MXRED_NOTIFICATION* n, channel::_MXRED_REPLY_MESSAGE* r) { engine->OnNotification(n, r); }));
}

void StartBackupWorkIfSet() {
  engines::backupengine* engine = BackupEngine();
  if (engine != nullptr && engine->Working()) engine->SessionFitler();
}

void ShutdownBackupEngine() {
  if (engines::backupengine* engine = BackupEngine()) engine->Shutdown();
}

}  // namespace zv::service
