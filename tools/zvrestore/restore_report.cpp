// The restore tool's output lines and summary; see restore_report.h.
#include "tools/zvrestore/restore_report.h"

#include "platform/base/text.h"

namespace zv::tools::restore {
namespace {

std::string U8(const std::wstring& s) { return text::ToUtf8(s); }

}  // namespace

void RestoreReport::Restored(const std::wstring& target) {
  ++restored_;
  Add((dryRun_ ? "would restore " : "restored ") + U8(target));
}

void RestoreReport::FolderMade(const std::wstring& folder) {
  ++folders_;
  Add((dryRun_ ? "would create folder " : "created folder ") + U8(folder));
}

void RestoreReport::MovedAside(const std::wstring& from, const std::wstring& to) {
  ++moved_;
  Add((dryRun_ ? "would move aside " : "moved aside ") + U8(from) + " -> " + U8(to));
}

void RestoreReport::Done(const std::wstring& path, const std::string& why) {
  ++done_;
  Add("unchanged " + U8(path) + ": " + why);
}

void RestoreReport::Skipped(const std::wstring& path, const std::string& why) {
  ++skipped_;
  Add("skipped " + U8(path) + ": " + why);
}

void RestoreReport::Refused(const std::string& where, const std::string& why) {
  ++refused_;
  Add("refused " + where + ": " + why);
}

void RestoreReport::Note(const std::string& text) { Add("note: " + text); }

void RestoreReport::Purged(const std::wstring& what) { Add((dryRun_ ? "would purge " : "purged ") + U8(what)); }

void RestoreReport::Cleared(const std::wstring& what) { Add((dryRun_ ? "would clear " : "cleared ") + U8(what)); }

std::string RestoreReport::Summary() const {
  return std::string(dryRun_ ? "plan: " : "summary: ") + std::to_string(restored_) + " restored, " +
         std::to_string(folders_) + " folders created, " + std::to_string(moved_) + " moved aside, " +
         std::to_string(done_) + " unchanged, " + std::to_string(skipped_) + " skipped, " +
         std::to_string(refused_) + " refused";
}

void RestoreReport::Print(std::ostream& out) const {
  for (const std::string& line : lines_) out << line << "\n";
  out << Summary() << "\n";
}

}  // namespace zv::tools::restore
