// The backup engine's part of zvorx's start-up and shutdown.
//
// Owns: the one backup engine of the process, its subscriptions to the
// dispatch signals, the port workers' free-process test, the start of its
// work when the work flag is already set, and its end at shutdown (a final
// write of the deletion logs and the join of its threads; the object itself
// is never freed, because the control thread and in service mode the
// workers may still call it).
// Must not: touch the access-control engine's half of start-up.
#pragma once

namespace zv::engines {
class backupengine;
}

namespace zv::service {

// Creates the engine and runs Initialize; unless `skipCommands`, subscribes
// OnCommandInt to CommandSignalI, then OnCommandString to CommandSignalS.
// The port workers then ask it which processes are free.
void CreateBackupEngine(bool skipCommands);
// Subscribes OnNotification to NotificationSignal (also with "-skipbe").
void SubscribeBackupNotifications();
// Runs SessionFitler when the engine's work flag is already set.
void StartBackupWorkIfSet();
// The engine's end at shutdown (backupengine::Shutdown).
void ShutdownBackupEngine();

// The engine of this process; null before CreateBackupEngine.
engines::backupengine* BackupEngine();

// Whether Initialize starts the engine's threads (default true). Tests of
// the main routine on a virtual clock turn them off: a virtual clock never
// blocks, so periodic threads would spin and add to its sleep total.
void SetBackupEngineThreads(bool start);

}  // namespace zv::service
