// The backup engine's decision for renames.
//
// Owns: QueryRename and the backup paths of a rename target. The only place
// where the engine writes the reply: it denies moving an existing protected
// folder.
// Must not: copy the rename's source (opens with a rename access do that),
// hold an engine mutex while copying or logging, or take a target as absent
// unless the file calls say it is not found.
#include "driver_channel/records.h"
#include "engines/backup/backupengine.h"
#include "log/log.h"
#include "platform/base/handles.h"
#include "platform/files/file_api.h"

namespace zv::engines {
namespace {

// Result codes of QueryRename (not used by the caller).
constexpr std::uint32_t kRenameDone = 1;
constexpr std::uint32_t kRenameUnparsable = 16;
constexpr std::uint32_t kRenameFreeProcess = 32;
constexpr std::uint32_t kRenameTargetBackedUp = 120;

constexpr wchar_t kLongPathPrefix[] = L"\\\\?\\";
// "\\?\X:" in front of the directory part of a target.
constexpr std::size_t kDosPrefixUnits = 6;

}  // namespace

RenameBackupPaths MakeRenameBackupPath(const std::wstring& target, const std::wstring& backupRoot) {
  RenameBackupPaths out;
  std::size_t slash = target.rfind(L'\\');
  if (slash == std::wstring::npos || slash < kDosPrefixUnits || backupRoot.empty()) return out;
  out.BackupFolder = kLongPathPrefix + backupRoot + target[4] + target.substr(kDosPrefixUnits, slash - kDosPrefixUnits);
  out.BackupFile = out.BackupFolder + L"\\" + target.substr(slash + 1);
  return out;
}

std::uint32_t backupengine::QueryRename(const channel::_MXRED_NOTIFICATION& n, channel::_MXRED_REPLY_MESSAGE& reply) {
  if (HasProcessType(n.ProcessId, kBackupProcessFree)) return kRenameFreeProcess;
  // An earlier engine denied the rename: nothing moves, so nothing is new.
  if (reply.Allow == 0) return kRenameDone;

  const std::wstring reportedSource = n.SourcePath();
  const std::wstring reportedTarget = n.TargetPath();
  PathMatch source, target;
  PathSearch sourceSearch = PathConverter.SearchDevicePath(reportedSource, source);
  PathSearch targetSearch = PathConverter.SearchDosPath(reportedTarget, target);
  if (sourceSearch == PathSearch::Error) log::LogWrite(2, L"BE", L"Parse Error %s", reportedSource);
  if (targetSearch == PathSearch::Error) log::LogWrite(2, L"BE", L"Parse Error %s", reportedTarget);
  if (sourceSearch != PathSearch::Match || targetSearch != PathSearch::Match) return kRenameUnparsable;
  if (HasRelativeOrEmptyComponent(source.Directory, source.Name) ||
      HasRelativeOrEmptyComponent(target.Directory, target.Name)) {
    log::LogWrite(1, L"BE", L"<ERROR> rename with a relative or empty component ignored: %s to %s", reportedSource,
                  reportedTarget);
    return kRenameUnparsable;
  }

  const std::wstring sourcePath = MakeRedirectPathString(source).DosPath;
  const std::wstring targetPath = kLongPathPrefix + target.Whole.substr(4);
  auto& files = platform::Files::Get();
  const win::DWORD attributes = files.GetFileAttributesW(sourcePath.c_str());
  const bool createdHere = IsTouched(sourcePath, kTouchNewFile);
  log::LogWrite(1, L"BE", L"[QueryRename] attr=%x,CN=%d %s to %s  ", attributes, int(createdHere), sourcePath,
                targetPath);

  if (attributes != win::INVALID_FILE_ATTRIBUTES && (attributes & win::FILE_ATTRIBUTE_DIRECTORY)) {
    if (createdHere) {
      bool protectedTarget = IsProtectedPath(targetPath);
      if (protectedTarget) {
        log::LogWrite(1, L"BE", L"[QueryRename] new Folder %s to %s", sourcePath, targetPath);
        RecordNewFolder(n.ProcessId, targetPath);
      }
      log::LogWrite(4, L"BE", L"[QueryRename] protectpath  %d = %s", int(protectedTarget), targetPath);
      return kRenameDone;
    }
    bool protectedTarget = false;
    if (IsProtectedPath(sourcePath)) {
      log::LogWrite(4, L"BE", L"[QueryRename] exist Folder %s", sourcePath);
      reply.Allow = 0;
      reply.AuxFlag = 0;
    } else {
      protectedTarget = IsProtectedPath(targetPath);
      if (protectedTarget) {
        log::LogWrite(1, L"BE", L"[QueryRename] 2017 new Folder %s to %s", sourcePath, targetPath);
        RecordNewFolder(n.ProcessId, targetPath);
      }
    }
    log::LogWrite(4, L"BE", L"[QueryRename] 2017 protectpath  %d = %s", int(protectedTarget), targetPath);
    return kRenameDone;
  }

  if (!IsProtectedPath(targetPath) || IsTouched(targetPath, kTouchBackedUp | kTouchNewFile)) return kRenameDone;
  const bool targetAbsent = files.GetFileAttributesW(targetPath.c_str()) == win::INVALID_FILE_ATTRIBUTES &&
                            (platform::GetLastError() == win::ERROR_FILE_NOT_FOUND ||
                             platform::GetLastError() == win::ERROR_PATH_NOT_FOUND);
  if (n.Param1 != 0 && !targetAbsent) {
    RenameBackupPaths backup = MakeRenameBackupPath(targetPath, BackupRootCopy());
    win::DWORD copied = BackupCopy(targetPath, backup.BackupFile, backup.BackupFolder);
    if (copied == 0 || copied == win::ERROR_FILE_EXISTS) {
      log::LogWrite(4, L"BE", L"[QueryRename] success !! BackupFile= %s  targetpath = %s", targetPath,
                    backup.BackupFile);
    } else if (copied != win::ERROR_FILE_NOT_FOUND) {
      // Counted as done all the same: the rename goes on and is not retried.
      log::LogWrite(1, L"BE", L"<ERROR> (ERROR:%d)=[QueryRename] BackupFile= %s  targetpath = %s", copied, targetPath,
                    backup.BackupFile);
    }
    if (copied != win::ERROR_FILE_NOT_FOUND) {
      MarkTouched(targetPath, kTouchBackedUp);
      return kRenameTargetBackedUp;
    }
    log::LogWrite(4, L"BE", L"[QueryRename] Fail BackupFiles= %s  targetpath = %s", targetPath, backup.BackupFile);
  }
  // Without replace an existing target makes the rename fail: it stays the
  // original, and is not new.
  if (!targetAbsent && n.Param1 == 0) return kRenameDone;
  log::LogWrite(4, L"BE", L"[QueryRename] rename target files in Protectpath %s  ", targetPath);
  RecordNewFile(n.ProcessId, targetPath);
  return kRenameDone;
}

}  // namespace zv::engines
