// Carrying a restore plan out: the moves aside, the copies back, and the
// purge of the quarantine and clearing of the backup tree and logs.
//
// Owns: the order of the steps and what makes each of them safe to repeat
// (every step first looks at what is there, so a second run, or a run after
// a kill, does only what is left), and the test hook that stops after a
// number of changes.
// Must not: read the logs or walk the backup tree (restore_plan.h), word
// the output (restore_report.h).
#pragma once

#include "platform/base/win32.h"
#include "tools/zvrestore/restore_plan.h"
#include "tools/zvrestore/restore_report.h"

namespace zv::tools::restore {

class Restorer {
 public:
  // stopAfter: stop once that many changes are made (negative: never).
  Restorer(const RestoreSettings& settings, RestoreReport& report, bool dryRun, int stopAfter = -1)
      : settings_(settings), report_(report), dryRun_(dryRun), budget_(stopAfter) {}

  // Moves aside, deepest first, then copies back, folders first. False when
  // the hook stopped it.
  bool Run(const RestorePlan& plan);
  // Empties the quarantine.
  void Purge();
  // Empties the backup tree and both logs.
  void Clear();

  bool stopped() const { return stopped_; }

 private:
  void MoveAside(const MachinePath& path);
  // Moves one entry into the quarantine; 0 or the error of the step that failed.
  win::DWORD MoveEntry(const MachinePath& from, const MachinePath& to, bool folder);
  win::DWORD MergeFolder(const MachinePath& from, const MachinePath& to);
  void CopyBackOne(const CopyBack& step);
  bool OwnFile(const MachinePath& path) const;
  // Counts a change; false once the hook's number is reached.
  bool Spend();

  const RestoreSettings& settings_;
  RestoreReport& report_;
  bool dryRun_;
  int budget_;
  bool stopped_ = false;
};

}  // namespace zv::tools::restore
