// The restore plan: settings, deletion-log lines, backup tree; see
// restore_plan.h.
#include "tools/zvrestore/restore_plan.h"

#include <algorithm>
#include <map>

#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"
#include "tools/zvrestore/file_steps.h"

namespace zv::tools::restore {
namespace {

std::string U8(const std::wstring& s) { return text::ToUtf8(s); }

bool Overlap(const MachinePath& a, const MachinePath& b) { return a.Within(b) || b.Within(a); }

}  // namespace

bool MakeSettings(const std::wstring& backupFolder, const std::wstring& deleteLog, const std::wstring& quarantine,
                  const std::wstring& productFolder, RestoreSettings& out, std::string& reason) {
  std::string why;
  if (!ParseFolder(backupFolder.empty() ? kDefaultBackupFolder : backupFolder, out.backupFolder, why)) {
    return reason = "backup folder: " + why, false;
  }
  if (!ParseFolder(deleteLog.empty() ? kDefaultDeleteLog : deleteLog, out.fileLog, why)) {
    return reason = "deletion log: " + why, false;
  }
  if (!ParseFolder(productFolder.empty() ? kDefaultProductFolder : productFolder, out.productFolder, why)) {
    return reason = "product folder: " + why, false;
  }
  if (out.backupFolder.IsRoot()) return reason = "the backup folder is a drive root", false;
  if (out.fileLog.IsRoot()) return reason = "the deletion log is a drive root", false;
  out.folderLog = out.fileLog;
  out.folderLog.parts.back() += L"_dir";
  if (quarantine.empty()) {
    out.quarantine = out.backupFolder.Parent().Child(kQuarantineName);
  } else if (!ParseFolder(quarantine, out.quarantine, why)) {
    return reason = "quarantine: " + why, false;
  }
  if (out.quarantine.IsRoot()) return reason = "the quarantine is a drive root", false;

  // The start-up program restores its own folder snapshots from these trees;
  // taking one for the backup tree would copy its snapshots over the drives
  // (and a walk of the product folder would read "R" as a drive letter).
  for (const wchar_t* mirror : {L"R", L"R2"}) {
    MachinePath tree = out.productFolder.Child(mirror);
    if (Overlap(out.backupFolder, tree)) {
      return reason = "the backup folder " + U8(out.backupFolder.Text()) + " is or holds the mirror tree " +
                      U8(tree.Text()) + " of the start-up program",
             false;
    }
  }
  if (Overlap(out.quarantine, out.backupFolder)) {
    return reason = "the quarantine and the backup folder lie inside one another", false;
  }
  for (const MachinePath* log : {&out.fileLog, &out.folderLog}) {
    if (log->Within(out.backupFolder) || log->Within(out.quarantine)) {
      return reason = "the deletion log lies inside the backup folder or the quarantine", false;
    }
  }
  return true;
}

bool ReadDeletionLog(const MachinePath& log, std::vector<std::wstring>& lines, bool& unterminated,
                     std::string& reason) {
  lines.clear();
  unterminated = false;
  PathProbe probe = Probe(log);
  if (probe.state == PathState::Absent) return true;
  if (probe.state != PathState::File) {
    return reason = probe.state == PathState::Folder ? "it is a folder" : "a link or an unreadable folder on the way",
           false;
  }
  auto& files = platform::Files::Get();
  win::HANDLE file = files.CreateFileW(log.Text().c_str(), win::GENERIC_READ, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr,
                                       win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == win::INVALID_HANDLE_VALUE) {
    return reason = "cannot open it (error " + std::to_string(platform::GetLastError()) + ")", false;
  }
  std::string bytes;
  char buffer[65536];
  bool ok = true;
  while (true) {
    win::DWORD got = 0;
    if (!files.ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      ok = false;
      reason = "cannot read it (error " + std::to_string(platform::GetLastError()) + ")";
      break;
    }
    if (got == 0) break;
    bytes.append(buffer, got);
  }
  platform::CloseHandle(file);
  if (!ok) return false;
  std::wstring units = text::FromUtf16Le(bytes.data(), bytes.size() & ~std::size_t{1});
  std::size_t start = 0;
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (units[i] != L'\n') continue;
    lines.push_back(units.substr(start, i - start));
    start = i + 1;
  }
  unterminated = start < units.size() || (bytes.size() & 1);
  return true;
}

RestorePlan MakePlan(const RestoreSettings& settings, RestoreReport& report) {
  RestorePlan plan;

  // New files and folders of both logs, merged by their case-blind key.
  std::map<std::wstring, MachinePath> listed;
  for (const MachinePath* log : {&settings.fileLog, &settings.folderLog}) {
    std::vector<std::wstring> lines;
    bool unterminated = false;
    std::string reason;
    std::string name = U8(log->Text());
    if (!ReadDeletionLog(*log, lines, unterminated, reason)) {
      report.Refused(name, reason);
      continue;
    }
    if (unterminated) report.Refused(name + " (end)", "a last line without its line feed");
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::wstring& line = lines[i];
      if (line.empty()) continue;
      std::string where = name + " line " + std::to_string(i + 1) + " \"" + U8(line) + "\"";
      MachinePath path;
      if (std::any_of(line.begin(), line.end(), [](wchar_t c) { return c < 32; })) {
        report.Refused(where, "a control character");
        continue;
      }
      if (!ParseLogLine(line, path, reason)) {
        report.Refused(where, reason);
        continue;
      }
      if (!DriveExists(path.drive)) {
        report.Refused(where, std::string("no drive ") + char(path.drive) + ": on this machine");
        continue;
      }
      if (Overlap(path, settings.backupFolder) || Overlap(path, settings.quarantine) ||
          settings.fileLog.Within(path) || settings.folderLog.Within(path)) {
        report.Refused(where, "it is or holds the backup folder, the quarantine or a deletion log");
        continue;
      }
      listed.emplace(path.Key(), path);
    }
  }
  for (auto& [key, path] : listed) plan.moveAside.push_back(path);
  std::stable_sort(plan.moveAside.begin(), plan.moveAside.end(),
                   [](const MachinePath& a, const MachinePath& b) { return a.parts.size() > b.parts.size(); });

  // Every drive letter under the backup folder, each tree parents first.
  PathProbe root = Probe(settings.backupFolder);
  if (root.state == PathState::Absent) {
    report.Note("no backup folder " + U8(settings.backupFolder.Text()) + ": nothing to copy back");
    return plan;
  }
  if (root.state != PathState::Folder) {
    report.Skipped(settings.backupFolder.Text(), "not a folder reached without links");
    return plan;
  }
  std::vector<FolderEntry> drives;
  win::DWORD error = 0;
  if (!ListFolder(settings.backupFolder, drives, error)) {
    report.Skipped(settings.backupFolder.Text(), "cannot be listed (error " + std::to_string(error) + ")");
    return plan;
  }
  for (const FolderEntry& drive : drives) {
    MachinePath tree = settings.backupFolder.Child(drive.name);
    wchar_t letter = drive.name.size() == 1 ? text::AsciiUpper(drive.name[0]) : 0;
    if (drive.IsLink()) {
      report.Skipped(tree.Text(), "a link, left alone");
      continue;
    }
    if (!drive.IsFolder() || letter < L'A' || letter > L'Z') {
      report.Skipped(tree.Text(), "not a drive-letter folder");
      continue;
    }
    if (!DriveExists(letter)) {
      report.Skipped(tree.Text(), std::string("no drive ") + char(letter) + ": on this machine");
      continue;
    }
    // Depth-first walk, each folder before its content.
    std::vector<std::pair<MachinePath, MachinePath>> pending;  // backup folder, target folder
    MachinePath target;
    target.drive = letter;
    pending.emplace_back(tree, target);
    while (!pending.empty()) {
      auto [folder, on] = pending.back();
      pending.pop_back();
      std::vector<FolderEntry> entries;
      if (!ListFolder(folder, entries, error)) {
        report.Skipped(folder.Text(), "cannot be listed (error " + std::to_string(error) + ")");
        continue;
      }
      std::vector<std::pair<MachinePath, MachinePath>> below;
      for (const FolderEntry& entry : entries) {
        MachinePath backup = folder.Child(entry.name);
        MachinePath original = on.Child(entry.name);
        if (entry.IsLink()) {
          report.Skipped(backup.Text(), "a link in the backup tree, left alone");
          continue;
        }
        plan.copyBack.push_back({backup, original, entry.IsFolder()});
        if (entry.IsFolder()) below.emplace_back(backup, original);
      }
      pending.insert(pending.end(), below.rbegin(), below.rend());
    }
  }
  return plan;
}

}  // namespace zv::tools::restore
