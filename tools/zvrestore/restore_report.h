// What a restore did, or would do: one line per step and a summary.
//
// Owns: the wording of the tool's output and its counts.
// Must not: touch files or decide anything.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace zv::tools::restore {

class RestoreReport {
 public:
  explicit RestoreReport(bool dryRun) : dryRun_(dryRun) {}

  void Restored(const std::wstring& target);
  void FolderMade(const std::wstring& folder);
  void MovedAside(const std::wstring& from, const std::wstring& to);
  // Left alone for a reason that needs no attention (already done, absent).
  void Done(const std::wstring& path, const std::string& why);
  // Left alone for a reason that needs attention (a link, an error).
  void Skipped(const std::wstring& path, const std::string& why);
  // A log line or option that is not used at all.
  void Refused(const std::string& where, const std::string& why);
  void Note(const std::string& text);
  void Purged(const std::wstring& what);
  void Cleared(const std::wstring& what);

  int restored() const { return restored_; }
  int movedAside() const { return moved_; }
  // Steps that need attention: skips with a reason and refusals.
  int problems() const { return skipped_ + refused_; }
  const std::vector<std::string>& lines() const { return lines_; }
  std::string Summary() const;
  void Print(std::ostream& out) const;

 private:
  void Add(const std::string& line) { lines_.push_back(line); }
  bool dryRun_;
  int restored_ = 0;
  int folders_ = 0;
  int moved_ = 0;
  int done_ = 0;
  int skipped_ = 0;
  int refused_ = 0;
  std::vector<std::string> lines_;
};

}  // namespace zv::tools::restore
