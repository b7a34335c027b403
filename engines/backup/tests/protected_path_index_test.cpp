// IsProtectedPath against the plain walk over the protect and free sets, on
// random rule sets and paths: the longest contained entry of each set, a
// free entry winning at equal length.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

#include "engines/backup/tests/engine_fixture.h"

namespace zv::engines::testing {
namespace {

std::wstring RandomPath(std::mt19937& random) {
  static const wchar_t* kParts[] = {L"a", L"B", L"ab", L"b.txt", L"x"};
  std::wstring path = random() % 4 == 0 ? L"" : (random() % 2 ? L"C:" : L"\\\\?\\c:");
  int depth = static_cast<int>(random() % 4);
  for (int i = 0; i < depth; ++i) path += std::wstring(L"\\") + kParts[random() % 5];
  return path;
}

std::size_t LongestContained(const std::set<std::wstring>& entries, const std::wstring& key) {
  std::size_t longest = 0;
  for (const std::wstring& entry : entries) {
    if (entry.size() > longest && entry.size() <= key.size() && key.find(entry) != std::wstring::npos) {
      longest = entry.size();
    }
  }
  return longest;
}

TEST_F(BackupEngineTest, ProtectedPathsMatchTheWalkOnRandomRules) {
  std::mt19937 random(12082026);
  for (int round = 0; round < 60; ++round) {
    Int(L"BE_CLEARSETTING", 0);
    const int rules = std::uniform_int_distribution<int>(0, 20)(random);
    for (int i = 0; i < rules; ++i) {
      std::wstring path = RandomPath(random);
      if (path.empty()) continue;
      if (random() % 2) {
        engine_->AddProtectPath(path);
      } else {
        engine_->AddFreePath(path);
      }
    }
    const auto protect = engine_->ProtectPathsCopy();
    const auto free = engine_->FreePathsCopy();
    for (int probe = 0; probe < 40; ++probe) {
      const std::wstring path = RandomPath(random);
      bool expected = false;
      if (!path.empty()) {
        const std::wstring key = NormalizeBackupRulePath(path);
        const std::size_t longest = LongestContained(protect, key);
        expected = longest != 0 && LongestContained(free, key) < longest;
      }
      EXPECT_EQ(engine_->IsProtectedPath(path), expected) << path;
    }
  }
}

}  // namespace
}  // namespace zv::engines::testing
