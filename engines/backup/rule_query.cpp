// The backup engine's decision for file opens: protect and free rules, the
// backup copy, mirrored folders and the recording of new files and folders.
//
// Owns: QueryRule, QueryRuleDir, IsProtectedPath, BackupCopy,
// BECreateDirecotry, the unparsable-path test and the recording of new
// files and folders (deletion-log line, touched kind, process-and-path trace).
// Must not: write the reply, hold an engine mutex while copying, creating
// folders or logging, or take a path as absent unless the file calls say it
// is not found.
#include <shared_mutex>
#include <vector>

#include "driver_channel/records.h"
#include "engines/backup/backupengine.h"
#include "log/log.h"
#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"

namespace zv::engines {
namespace {

// Decision codes of QueryRule (logged by OnNotification, never sent).
constexpr std::uint32_t kBackedUp = 0;           // copied, or the copy failed for good
constexpr std::uint32_t kNewFileOrListing = 1;   // a new file recorded, or a folder listed
constexpr std::uint32_t kAlreadyTouched = 3;
constexpr std::uint32_t kNotProtected = 4;
constexpr std::uint32_t kNoChangeAccess = 8;
constexpr std::uint32_t kUnparsable = 0x10;
constexpr std::uint32_t kFreeProcess = 0x20;
constexpr std::uint32_t kAttributeChange = 0x40;
constexpr std::uint32_t kFolderSeen = 0x100;
constexpr std::uint32_t kFolderMirrored = 0x200;
constexpr std::uint32_t kFolderCreated = 0x400;
constexpr std::uint32_t kDeniedEarlier = 0x800;

constexpr win::DWORD kDeleteDirectoryAccess = 0x110080;
constexpr win::DWORD kAttributeWriteAccess = 0x130196;

bool IsDeleteAccess(win::DWORD access) { return access == 0x10000 || access == 0x10080; }

bool IsRenameAccess(win::DWORD access) {
  switch (access) {
    case 0x110080:
    case 0x1020080:
    case 0x60080:
    case 0x1130089:
    case 0x117019F:
    case 0x130080:
    case 0x130089:
    case 0x17019F:
      return true;
    default:
      return false;
  }
}

// Win32 error of a path the file calls cannot find.
bool IsNotFound(win::DWORD error) { return error == win::ERROR_FILE_NOT_FOUND || error == win::ERROR_PATH_NOT_FOUND; }

// Whether one of the backslash-separated components of `text` is ".", ".."
// or empty.
bool HasRelativeOrEmptyPart(std::wstring_view text) {
  std::size_t start = 0;
  while (true) {
    std::size_t end = text.find(L'\\', start);
    std::wstring_view part = text.substr(start, end == std::wstring_view::npos ? std::wstring_view::npos : end - start);
    if (part.empty() || part == L"." || part == L"..") return true;
    if (end == std::wstring_view::npos) return false;
    start = end + 1;
  }
}

}  // namespace

bool HasRelativeOrEmptyComponent(const std::wstring& directory, const std::wstring& name) {
  // The directory part starts with its separator ("\dir\sub"), or is empty
  // in a volume's root; its components come before the last one's.
  if (!directory.empty()) {
    if (directory.front() != L'\\') return true;
    if (HasRelativeOrEmptyPart(std::wstring_view(directory).substr(1))) return true;
  }
  return HasRelativeOrEmptyPart(name);
}

std::uint32_t backupengine::QueryRule(const channel::_MXRED_NOTIFICATION& n, const channel::_MXRED_REPLY_MESSAGE& reply) {
  if (reply.Allow == 0) return kDeniedEarlier;

  const win::DWORD access = n.DesiredAccess;
  const bool bCO = n.Param1 != 0;
  const bool bWA = (access & 0x6) != 0;
  const bool bDA = IsDeleteAccess(access);
  const bool bRA = IsRenameAccess(access);
  bool bDF = n.Param3 == 1;
  const bool bLD = (access & 0x1) != 0;
  // The texts of one query, reused by the next one on this thread.
  thread_local std::wstring reported;
  thread_local PathMatch match;
  thread_local RedirectPaths paths;
  SourcePathInto(n, reported);
  const std::uint32_t processType = GetProcessType(n.ProcessId);
  log::LogWrite(2, L"BE", L"[ALLINFO] DA =%x bCO=%d bWA=%d bDA=%d bRA=%d bDF=%d bLD=%d path=%s ,processtype =%d", access,
                int(bCO), int(bWA), int(bDA), int(bRA), int(bDF), int(bLD), reported, processType);

  if (processType & kBackupProcessFree) return kFreeProcess;
  if (bDF && bLD && !bCO) return kNewFileOrListing;
  if (!bCO && !bDF && !bWA && !bDA && !bRA) return kNoChangeAccess;

  PathSearch search = PathConverter.SearchDevicePath(reported, match);
  if (search == PathSearch::Error) log::LogWrite(2, L"BE", L"Parse Error %s", reported);
  if (search != PathSearch::Match) return kUnparsable;
  if (HasRelativeOrEmptyComponent(match.Directory, match.Name)) {
    log::LogWrite(2, L"BE", L"<ERROR> path with a relative or empty component ignored: %s", reported);
    return kUnparsable;
  }
  MakeRedirectPathString(match, paths);
  const std::wstring& dosPath = paths.DosPath;
  if (!IsProtectedPath(dosPath)) return kNotProtected;

  // A file's attributes are read once per open: the tests below and the
  // copy use the same answer (and its error).
  win::DWORD attributes = win::INVALID_FILE_ATTRIBUTES;
  win::DWORD attributesError = win::ERROR_SUCCESS;
  if (!bDF) {
    attributes = platform::Files::Get().GetFileAttributesW(dosPath.c_str());
    if (attributes == win::INVALID_FILE_ATTRIBUTES) attributesError = platform::GetLastError();
    if (attributes != win::INVALID_FILE_ATTRIBUTES && (attributes & win::FILE_ATTRIBUTE_DIRECTORY)) bDF = true;
    if (ContainsAsciiNoCase(match.Name, L".lnk")) bDF = false;
  }
  log::LogWrite(2, L"BE", L"DA =%x bCO=%d bWA=%d bDA=%d bRA=%d bDF=%d bLD=%d path=%s ", access, int(bCO), int(bWA),
                int(bDA), int(bRA), int(bDF), int(bLD), dosPath);

  if (bDF) return QueryRuleDir(dosPath, paths.BackupFile, bCO, access, n.ProcessId);
  if (IsTouched(dosPath, kTouchBackedUp | kTouchNewFile)) return kAlreadyTouched;

  // Here bDF was false from the start, so the attributes above were read.
  if (access == kAttributeWriteAccess && !bCO) {
    if (attributes == win::INVALID_FILE_ATTRIBUTES && IsNotFound(attributesError)) RecordNewFile(n.ProcessId, dosPath);
    return kAttributeChange;
  }

  win::DWORD copied = BackupCopyOf(dosPath, attributes, attributesError, paths.BackupFile, paths.BackupFolder);
  log::LogWrite(2, L"BE", L"Process = %d , BackupS = %s result= %d", n.ProcessId, dosPath, copied);
  if (copied == win::ERROR_FILE_NOT_FOUND) {
    RecordNewFile(n.ProcessId, dosPath);
    return kNewFileOrListing;
  }
  MarkTouched(dosPath, kTouchBackedUp);
  return kBackedUp;
}

std::uint32_t backupengine::QueryRuleDir(const std::wstring& dosPath, const std::wstring& backupFile, bool create,
                                         win::DWORD access, win::DWORD processId) {
  std::uint32_t result = kFolderSeen;
  if (access == kDeleteDirectoryAccess) {
    log::LogWrite(128, L"BE", L"[QueryRuleDir]Delete Directory %s ", dosPath);
    BECreateDirecotry(dosPath, backupFile, true);
    result = kFolderMirrored;
  }
  if (create && platform::Files::Get().GetFileAttributesW(dosPath.c_str()) == win::INVALID_FILE_ATTRIBUTES &&
      IsNotFound(platform::GetLastError())) {
    log::LogWrite(128, L"BE", L"[QueryRuleDir]Create New Directory %s ", dosPath);
    RecordNewFolder(processId, dosPath);
    result = kFolderCreated;
  }
  return result;
}

void backupengine::RecordNewFile(win::DWORD processId, const std::wstring& path) {
  QueueDeleteLogLine(path, true);
  MarkTouched(path, kTouchNewFile);
  log::LogProcessAndPath(processId, path, false);
}

void backupengine::RecordNewFolder(win::DWORD processId, const std::wstring& path) {
  // Everything written below a folder made in this session goes with it.
  AddFreePath(path);
  QueueDeleteLogLine(path, false);
  MarkTouched(path, kTouchNewFolder);
  log::LogProcessAndPath(processId, path, true);
}

bool backupengine::IsProtectedPath(std::wstring_view dosPath) {
  if (dosPath.empty()) return false;
  thread_local std::wstring key;
  NormalizeBackupRulePathInto(dosPath, key);
  std::shared_lock lock(PathRuleLock);
  // The longest entry of each set that the key holds; 0 when none does.
  std::size_t protect = ProtectPathIndex.LongestContained(key);
  if (protect == 0) return false;
  return FreePathIndex.LongestContained(key) < protect;
}

win::DWORD backupengine::BackupCopy(const std::wstring& source, const std::wstring& backupFile,
                                    const std::wstring& backupFolder) {
  const win::DWORD attributes = platform::Files::Get().GetFileAttributesW(source.c_str());
  const win::DWORD error = attributes == win::INVALID_FILE_ATTRIBUTES ? platform::GetLastError() : win::ERROR_SUCCESS;
  return BackupCopyOf(source, attributes, error, backupFile, backupFolder);
}

win::DWORD backupengine::BackupCopyOf(const std::wstring& source, win::DWORD attributes, win::DWORD attributesError,
                                      const std::wstring& backupFile, const std::wstring& backupFolder) {
  auto& files = platform::Files::Get();
  if (attributes == win::INVALID_FILE_ATTRIBUTES) {
    // Only a path that is not there is new; any other failure (access,
    // name, a busy machine) is a copy that could not be made.
    if (IsNotFound(attributesError)) return win::ERROR_FILE_NOT_FOUND;
    return attributesError ? attributesError : win::ERROR_ACCESS_DENIED;
  }
  if (backupFile.empty() || backupFolder.empty()) return win::ERROR_BAD_PATHNAME;
  if (files.GetFileAttributesW(backupFolder.c_str()) == win::INVALID_FILE_ATTRIBUTES) {
    BECreateDirecotry(source, backupFolder, false);
  }
  if (files.CopyFileW(source.c_str(), backupFile.c_str(), win::TRUE)) return 0;
  win::DWORD error = platform::GetLastError();
  // The source was there a moment ago: a copy that finds nothing is not a
  // new file (a missing backup folder, or a source removed meanwhile).
  if (IsNotFound(error)) return win::ERROR_PATH_NOT_FOUND;
  return error ? error : win::ERROR_ACCESS_DENIED;
}

void backupengine::BECreateDirecotry(const std::wstring& source, const std::wstring& newFolder, bool keepFull) {
  std::wstring securitySource = source;
  if (!keepFull) {
    std::size_t slash = securitySource.rfind(L'\\');
    if (slash != std::wstring::npos) securitySource.resize(slash);
    // A file in a drive's root: the root folder, not the volume.
    if (!securitySource.empty() && securitySource.back() == L':') securitySource += L'\\';
  }
  log::LogWrite(8, L"BE", L"BECreateDirecotry %s,%s ", securitySource, newFolder);

  auto& files = platform::Files::Get();
  constexpr platform::SECURITY_INFORMATION kCarried = platform::GROUP_SECURITY_INFORMATION |
                                                      platform::DACL_SECURITY_INFORMATION |
                                                      platform::SACL_SECURITY_INFORMATION;
  win::DWORD needed = 0;
  platform::SecurityDescriptor descriptor;
  bool read = false;
  files.GetFileSecurityW(securitySource.c_str(), kCarried, nullptr, 0, &needed);
  if (needed != 0) {
    std::vector<unsigned char> buffer(std::size_t{needed} * 2);
    win::DWORD size = static_cast<win::DWORD>(buffer.size());
    read = files.GetFileSecurityW(securitySource.c_str(), kCarried, buffer.data(), size, &needed) &&
           platform::ParseSecurityDescriptor(buffer.data(), size, descriptor);
  }
  files.SHCreateDirectoryExW(nullptr, newFolder.c_str(), read ? &descriptor : nullptr);
}

}  // namespace zv::engines
