// The backup engine's start of work (see backupengine.h).
//
// Owns: SessionFitler, which classifies every running process (with the
// session filter on, session-0 processes that no rule names become free)
// and then sets the work flag, and its lines in the session-filter log.
// Must not: look at touched paths (a running process whose image this
// session created is still made free by a name rule).
#include "engines/backup/backupengine.h"
#include "log/log.h"
#include "platform/processes/process_api.h"

namespace zv::engines {

void backupengine::SessionFitler() {
  constexpr std::uint32_t kLevel = 0x8;
  constexpr wchar_t kTag[] = L"BE";
  const std::vector<BackupSnapshotEntry> snapshot = TakeProcessSnapshot(SnapshotFill::ImagePaths);
  if (SessionFilter.load()) {
    for (const auto& entry : snapshot) {
      const int rule = GetFreeProcessByRule(entry.Name);
      if (rule == 2) {
        log::LogWrite(kLevel, kTag, L"[SessionFitler] Add FreeProcess Rule[%d] %s", entry.ProcessId, entry.Name);
        SetProcessType(entry.ProcessId, kBackupProcessFree);
      } else if (rule == 1) {
        log::LogWrite(kLevel, kTag, L"[SessionFitler]  FreeProcessException Process[%d] %s", entry.ProcessId,
                      entry.Name);
        SetProcessType(entry.ProcessId, kBackupProcessNormal);
      } else {
        win::DWORD session = 0;
        if (!platform::Processes::Get().ProcessIdToSessionId(entry.ProcessId, &session)) {
          session = 0;
          SetProcessType(entry.ProcessId, kBackupProcessNormal);
        } else if (session != 0) {
          SetProcessType(entry.ProcessId, kBackupProcessNormal);
        } else {
          SetProcessType(entry.ProcessId, kBackupProcessFree);
          log::AppendLog(kSessionFilterLogPath, L",<SessionFilter Free> ,Process = %s ,pid = %d \n ", entry.Name,
                         entry.ProcessId);
        }
        log::LogWrite(kLevel, kTag, L"[session %d] Process[%d] %s", session, entry.ProcessId, entry.Name);
      }
    }
  } else {
    for (const auto& entry : snapshot) {
      if (IsFreeProcessName(entry.Name)) {
        log::LogWrite(kLevel, kTag, L"be::start  Add_Free_Process %d", entry.ProcessId);
        SetProcessType(entry.ProcessId, kBackupProcessFree);
      } else {
        SetProcessType(entry.ProcessId, kBackupProcessNormal);
      }
    }
  }
  EngineWork = 1;
}

}  // namespace zv::engines
