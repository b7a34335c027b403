// The steps of a restore; see restore_steps.h.
#include "tools/zvrestore/restore_steps.h"

#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"
#include "tools/zvrestore/file_steps.h"

namespace zv::tools::restore {
namespace {

platform::FileApi& Api() { return platform::Files::Get(); }

std::string U8(const std::wstring& s) { return text::ToUtf8(s); }

std::string ErrorText(win::DWORD e) { return "error " + std::to_string(e); }

std::string Unusable(const PathProbe& probe) {
  if (probe.state == PathState::Link) return U8(probe.where.Text()) + " is a link, left alone";
  return U8(probe.where.Text()) + " cannot be read (" + ErrorText(probe.error) + "), left alone";
}

constexpr win::DWORD kKeepOut = win::FILE_ATTRIBUTE_READONLY | win::FILE_ATTRIBUTE_HIDDEN | win::FILE_ATTRIBUTE_SYSTEM;

}  // namespace

bool Restorer::Spend() {
  if (budget_ < 0) return true;
  if (budget_ == 0) stopped_ = true;
  else --budget_;
  return !stopped_;
}

bool Restorer::OwnFile(const MachinePath& path) const {
  return path.Within(settings_.backupFolder) || path.Within(settings_.quarantine) ||
         path.Within(settings_.fileLog) || path.Within(settings_.folderLog);
}

bool Restorer::Run(const RestorePlan& plan) {
  for (const MachinePath& path : plan.moveAside) {
    if (stopped_) return false;
    MoveAside(path);
  }
  for (const CopyBack& step : plan.copyBack) {
    if (stopped_) return false;
    CopyBackOne(step);
  }
  return !stopped_;
}

void Restorer::MoveAside(const MachinePath& path) {
  const MachinePath to = path.MirroredUnder(settings_.quarantine);
  PathProbe probe = Probe(path);
  if (probe.state == PathState::Absent) {
    PathProbe there = Probe(to);
    report_.Done(path.Text(), there.state == PathState::Absent ? "not present" : "already in the quarantine");
    return;
  }
  if (probe.state == PathState::Link || probe.state == PathState::Unreachable) {
    report_.Skipped(path.Text(), Unusable(probe));
    return;
  }
  const bool folder = probe.state == PathState::Folder;
  // Files inside a new folder are never listed, and a folder renamed in from
  // outside the protected paths holds what existed before the session.
  std::vector<FolderEntry> inside;
  win::DWORD error = 0;
  if (folder && ListFolder(path, inside, error) && !inside.empty()) {
    report_.Note(U8(path.Text()) + " holds " + std::to_string(inside.size()) +
                 " entries that no log lists (made inside it, or older than the session if the folder was "
                 "renamed in): they move with it");
  }
  if (dryRun_) {
    report_.MovedAside(path.Text(), to.Text());
    return;
  }
  PathProbe parent = Probe(to.Parent());
  if (parent.state == PathState::Link || parent.state == PathState::Unreachable) {
    report_.Skipped(path.Text(), "quarantine: " + Unusable(parent));
    return;
  }
  if (parent.state == PathState::Absent) {
    int made = Api().SHCreateDirectoryExW(nullptr, to.Parent().Text().c_str(), nullptr);
    if (made != 0 && made != int(win::ERROR_ALREADY_EXISTS)) {
      report_.Skipped(path.Text(), "cannot make its quarantine folder (" + ErrorText(win::DWORD(made)) + ")");
      return;
    }
  }
  win::DWORD e = MoveEntry(path, to, folder);
  if (stopped_) return;
  if (e) report_.Skipped(path.Text(), "cannot move it aside (" + ErrorText(e) + ")");
  else report_.MovedAside(path.Text(), to.Text());
}

win::DWORD Restorer::MoveEntry(const MachinePath& from, const MachinePath& to, bool folder) {
  MachinePath free = to;
  for (int n = 2;; ++n) {
    PathProbe there = Probe(free);
    if (there.state == PathState::Link || there.state == PathState::Unreachable) return win::ERROR_ACCESS_DENIED;
    if (there.state == PathState::Absent) break;
    // Into a folder already there (a run stopped half-way, a drive of its own).
    if (folder && there.state == PathState::Folder) return MergeFolder(from, free);
    // A name taken by something else (an earlier session's, never purged): keep both.
    free = to.Parent().Child(to.parts.back() + L" (" + std::to_wstring(n) + L")");
  }
  if (!Spend()) return 0;
  if (Api().MoveFileExW(from.Text().c_str(), free.Text().c_str(), folder ? 0 : win::MOVEFILE_COPY_ALLOWED)) return 0;
  win::DWORD e = platform::GetLastError();
  if (folder && e == win::ERROR_NOT_SAME_DEVICE) return MergeFolder(from, free);
  return e;
}

win::DWORD Restorer::MergeFolder(const MachinePath& from, const MachinePath& to) {
  if (Probe(to).state == PathState::Absent) {
    if (!Spend()) return 0;
    platform::SecurityDescriptor security;
    win::DWORD e = MakeFolder(to, CarriedSecurity(from, security) ? &security : nullptr);
    if (e) return e;
  }
  std::vector<FolderEntry> entries;
  win::DWORD e = 0;
  if (!ListFolder(from, entries, e)) return e;
  win::DWORD first = 0;
  for (const FolderEntry& entry : entries) {
    MachinePath child = from.Child(entry.name);
    if (entry.IsLink()) {
      report_.Skipped(child.Text(), "a link, left alone");
      first = first ? first : win::ERROR_DIR_NOT_EMPTY;
      continue;
    }
    e = MoveEntry(child, to.Child(entry.name), entry.IsFolder());
    if (stopped_) return 0;
    if (e && !first) first = e;
  }
  if (first) return first;
  if (!Spend()) return 0;
  if (!Api().RemoveDirectoryW(from.Text().c_str())) return platform::GetLastError();
  return 0;
}

void Restorer::CopyBackOne(const CopyBack& step) {
  const std::wstring target = step.target.Text();
  if (OwnFile(step.target)) {
    report_.Skipped(target, "it lies in the backup folder, the quarantine or a deletion log");
    return;
  }
  PathProbe probe = Probe(step.target);
  if (probe.state == PathState::Link || probe.state == PathState::Unreachable) {
    report_.Skipped(target, Unusable(probe));
    return;
  }
  if (step.folder) {
    if (probe.state == PathState::Folder) return;
    if (probe.state == PathState::File) {
      report_.Skipped(target, "a file stands where the folder belongs");
      return;
    }
    if (!dryRun_) {
      PathProbe parent = Probe(step.target.Parent());
      if (parent.state != PathState::Folder) {
        report_.Skipped(target, "its parent folder is missing");
        return;
      }
      if (!Spend()) return;
      platform::SecurityDescriptor security;
      win::DWORD e = MakeFolder(step.target, CarriedSecurity(step.backup, security) ? &security : nullptr);
      if (e) {
        report_.Skipped(target, "cannot create the folder (" + ErrorText(e) + ")");
        return;
      }
    }
    report_.FolderMade(target);
    return;
  }

  if (probe.state == PathState::Folder) {
    report_.Skipped(target, "a folder stands where the file belongs");
    return;
  }
  win::DWORD wanted = Api().GetFileAttributesW(step.backup.Text().c_str());
  if (wanted == win::INVALID_FILE_ATTRIBUTES) {
    report_.Skipped(target, "its backup cannot be read (" + ErrorText(platform::GetLastError()) + ")");
    return;
  }
  if (probe.state == PathState::File && probe.attributes == wanted && SameContent(step.backup, step.target)) {
    report_.Done(target, "already as backed up");
    return;
  }
  if (dryRun_) {
    report_.Restored(target);
    return;
  }
  if (probe.state == PathState::Absent && Probe(step.target.Parent()).state != PathState::Folder) {
    report_.Skipped(target, "its parent folder is missing");
    return;
  }
  if (!Spend()) return;
  if (probe.state == PathState::File && (probe.attributes & kKeepOut)) {
    Api().SetFileAttributesW(target.c_str(), win::FILE_ATTRIBUTE_NORMAL);
  }
  if (!Api().CopyFileW(step.backup.Text().c_str(), target.c_str(), win::FALSE)) {
    report_.Skipped(target, "cannot copy the backup back (" + ErrorText(platform::GetLastError()) + ")");
    return;
  }
  Api().SetFileAttributesW(target.c_str(), wanted);
  report_.Restored(target);
}

void Restorer::Purge() {
  PathProbe probe = Probe(settings_.quarantine);
  if (probe.state == PathState::Absent) {
    report_.Note("no quarantine " + U8(settings_.quarantine.Text()));
    return;
  }
  if (probe.state != PathState::Folder) {
    report_.Skipped(settings_.quarantine.Text(), probe.state == PathState::File ? "not a folder" : Unusable(probe));
    return;
  }
  if (!dryRun_) {
    if (win::DWORD e = EmptyFolder(settings_.quarantine)) {
      report_.Skipped(settings_.quarantine.Text(), "not emptied (" + ErrorText(e) + ")");
      return;
    }
  }
  report_.Purged(settings_.quarantine.Text());
}

void Restorer::Clear() {
  PathProbe tree = Probe(settings_.backupFolder);
  if (tree.state == PathState::Folder) {
    win::DWORD e = dryRun_ ? 0 : EmptyFolder(settings_.backupFolder);
    if (e) report_.Skipped(settings_.backupFolder.Text(), "not emptied (" + ErrorText(e) + ")");
    else report_.Cleared(settings_.backupFolder.Text());
  } else if (tree.state != PathState::Absent) {
    report_.Skipped(settings_.backupFolder.Text(), tree.state == PathState::File ? "not a folder" : Unusable(tree));
  }
  for (const MachinePath* log : {&settings_.fileLog, &settings_.folderLog}) {
    PathProbe probe = Probe(*log);
    if (probe.state == PathState::Absent) continue;
    if (probe.state != PathState::File) {
      report_.Skipped(log->Text(), probe.state == PathState::Folder ? "not a file" : Unusable(probe));
      continue;
    }
    if (!dryRun_) {
      win::HANDLE file = Api().CreateFileW(log->Text().c_str(), win::GENERIC_WRITE, win::FILE_SHARE_READ, nullptr,
                                           win::TRUNCATE_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == win::INVALID_HANDLE_VALUE) {
        report_.Skipped(log->Text(), "not emptied (" + ErrorText(platform::GetLastError()) + ")");
        continue;
      }
      platform::CloseHandle(file);
    }
    report_.Cleared(log->Text());
  }
}

}  // namespace zv::tools::restore
