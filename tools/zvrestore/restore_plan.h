// The plan of a restore, made from the two deletion logs and the backup tree.
//
// Owns: the settings of a run and their safety checks (the backup folder is
// not the start-up program's mirror tree, nothing of the restore's own lies
// in a drive root or inside another), reading the logs, refusing and merging
// their lines, ordering the moves deepest first, and walking the backup tree
// of every drive letter.
// Must not: change any file (restore_steps.h carries the plan out).
#pragma once

#include <string>
#include <vector>

#include "tools/zvrestore/machine_path.h"
#include "tools/zvrestore/restore_report.h"

namespace zv::tools::restore {

inline constexpr wchar_t kDefaultBackupFolder[] = L"c:\\qd\\r\\";
inline constexpr wchar_t kDefaultDeleteLog[] = L"c:\\qd\\deletelog.dat";
inline constexpr wchar_t kDefaultProductFolder[] = L"C:\\Program Files\\ZV\\";
// The quarantine sits beside the backup folder under this name.
inline constexpr wchar_t kQuarantineName[] = L"quarantine";

struct RestoreSettings {
  MachinePath backupFolder;
  MachinePath fileLog;    // new files
  MachinePath folderLog;  // new folders: the file log followed by "_dir"
  MachinePath quarantine;
  MachinePath productFolder;  // holds the start-up program's mirror trees "R" and "R2"
};

// Settings from the option texts (empty: the default). False with the reason
// when a path does not parse or the layout is unsafe.
bool MakeSettings(const std::wstring& backupFolder, const std::wstring& deleteLog, const std::wstring& quarantine,
                  const std::wstring& productFolder, RestoreSettings& out, std::string& reason);

struct CopyBack {
  MachinePath backup;  // a file or folder of the backup tree
  MachinePath target;  // where it belongs on its drive
  bool folder = false;
};

struct RestorePlan {
  std::vector<MachinePath> moveAside;  // deepest first
  std::vector<CopyBack> copyBack;      // every folder before what it holds
};

// Reads the logs and the backup tree; what cannot be used goes to the report
// as refused or skipped.
RestorePlan MakePlan(const RestoreSettings& settings, RestoreReport& report);

// Lines of a deletion log (UTF-16LE, each ended by 0x000A). A missing log is
// no lines; false with the reason when it cannot be read.
bool ReadDeletionLog(const MachinePath& log, std::vector<std::wstring>& lines, bool& unterminated,
                     std::string& reason);

}  // namespace zv::tools::restore
