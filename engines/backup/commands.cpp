// The BE_ commands of the backup engine (see backupengine.h).
//
// Owns: OnCommandInt and OnCommandString: the echo line, every command name
// (compared exactly, case-sensitively) and its result. The engine key is
// not looked at. Empty backup, protect and free paths are refused with a
// line: an empty backup folder would put backups in the drive roots, and an
// empty rule matches nothing.
// Must not: revise decisions already taken; rules act on later ones.
#include "engines/backup/backupengine.h"
#include "log/log.h"

namespace zv::engines {
namespace {

constexpr wchar_t kTag[] = L"BE";
constexpr std::uint32_t kEchoLevel = 0x8;

}  // namespace

int backupengine::OnCommandInt(int key, const std::wstring command, int value) {
  log::LogWrite(kEchoLevel, kTag, L"RPCListen_i %s , %d", command, value);
  if (command == L"BE_SET_ENGINEWORK") {
    if (value != 0) {
      SessionFitler();
    } else {
      EngineWork = 0;
    }
  } else if (command == L"BE_ADD_FREEPROCESSID") {
    SetProcessType(static_cast<win::DWORD>(value), kBackupProcessFree);
  } else if (command == L"BE_ADD_NORMALPROCESSID") {
    SetProcessType(static_cast<win::DWORD>(value), kBackupProcessNormal);
  } else if (command == L"BE_CLEARHASH") {
    {
      std::lock_guard lock(TouchedLock);
      TouchedPaths.clear();
    }
    std::lock_guard lock(ProcessLock);
    ProcessTable.clear();
  } else if (command == L"BE_CLEARSETTING") {
    {
      std::lock_guard lock(PathRuleLock);
      ProtectPaths.clear();
      FreePaths.clear();
      ProtectPathIndex.Clear();
      FreePathIndex.Clear();
    }
    std::lock_guard lock(ProcessRuleLock);
    FreeProcessNames.clear();
    FreeProcessNameIndex.Clear();
  } else if (command == L"BE_FREEPROCESS_LIST") {
    DumpFreeProcesses();
  } else if (command == L"BE_SET_SESSIONFILTER") {
    log::AppendLog(kSessionFilterLogPath, L",<SessionFilter Set> , Set= %d \n", value);
    SessionFilter = value != 0;
  }
  // "BE_SETTING_CLEAR" is accepted and changes nothing, like unknown names.
  return 1;
}

int backupengine::OnCommandString(int key, const std::wstring command, const std::wstring value) {
  log::LogWrite(kEchoLevel, kTag, L"RPCListen_s %s , %s", command, value);
  const bool isPathRule = command == L"BE_ADD_PROTECTPATH" || command == L"BE_ADD_PROTECTFILE" ||
                          command == L"BE_ADD_FREEPATH" || command == L"BE_ADD_FREEFILE" ||
                          command == L"BE_SET_BACKUPPATH";
  if (isPathRule && value.empty()) {
    log::LogWrite(1, kTag, L"<ERROR> %s with an empty path is ignored", command);
    return 1;
  }
  if (command == L"BE_ADD_PROTECTPATH" || command == L"BE_ADD_PROTECTFILE") {
    AddProtectPath(value);
    return 1;
  }
  if (command == L"BE_ADD_FREEPATH" || command == L"BE_ADD_FREEFILE") {
    AddFreePath(value);
    return 1;
  }
  if (command == L"BE_SET_BACKUPPATH") {
    SetBackupPath(value);
    AddFreePath(value);
    return 1;
  }
  if (command == L"BE_ADD_FREEPROCESSNAME") {
    AddFreeProcessName(value);
  } else if (command == L"BE_ADD_FREEPROCESSEXCEPTION") {
    AddFreeProcessException(value);
  } else if (command == L"BE_SET_DELETELOG") {
    SetDeleteLogPath(value);
  } else if (command == L"BE_WRITE_DELETELOGFULL") {
    WriteDeleteLogFull(value);
  }
  return 0;
}

}  // namespace zv::engines
