// The fragment index against the plain walks the engines used before it:
// on random sets of short texts over a small alphabet (so that texts
// overlap, repeat and contain each other) every selection must pick the same
// text as the walk in its own order.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engines/base/fragment_index.h"

namespace zv::engines {
namespace {

std::wstring RandomText(std::mt19937& random, std::size_t maxUnits) {
  static const wchar_t kUnits[] = {L'a', L'b', L'\\', L'C'};
  std::size_t units = std::uniform_int_distribution<std::size_t>(0, maxUnits)(random);
  std::wstring text;
  for (std::size_t i = 0; i < units; ++i) text += kUnits[random() % 4];
  return text;
}

bool Contains(const std::wstring& path, const std::wstring& text) { return path.find(text) != std::wstring::npos; }

TEST(FragmentIndex, SelectionsMatchTheWalksOnRandomSets) {
  std::mt19937 random(20261208);
  for (int round = 0; round < 300; ++round) {
    FragmentIndex index;
    std::map<std::wstring, std::uint32_t, std::greater<>> descending;  // text -> type, first insert wins
    std::vector<std::wstring> inserted;                                 // duplicates kept
    std::vector<std::uint32_t> types;                                   // by id
    const int count = std::uniform_int_distribution<int>(0, 40)(random);
    for (int i = 0; i < count; ++i) {
      std::wstring text = RandomText(random, round % 10 == 0 ? 3 : 6);
      const std::uint32_t type = 1u << (random() % 4);
      if (index.Insert(text) == types.size()) types.push_back(type);
      descending.emplace(text, type);
      inserted.push_back(text);
    }
    ASSERT_EQ(index.Size(), descending.size());

    for (int probe = 0; probe < 40; ++probe) {
      const std::wstring path = RandomText(random, 14);
      const std::uint32_t mask = 1u << (random() % 4);

      // First contained text in descending order.
      std::wstring expected = L"<none>";
      for (const auto& [text, type] : descending) {
        if (text.size() <= path.size() && Contains(path, text)) {
          expected = text;
          break;
        }
      }
      std::uint32_t id = index.GreatestContained(path);
      EXPECT_EQ(id == FragmentIndex::kNone ? L"<none>" : index.Text(id), expected) << path;

      // Last contained text in ascending order among those of the mask.
      expected = L"<none>";
      for (auto it = descending.rbegin(); it != descending.rend(); ++it) {
        if ((it->second & mask) != 0 && Contains(path, it->first)) expected = it->first;
      }
      id = index.GreatestContained(path, [&](std::uint32_t rule) { return (types[rule] & mask) != 0; });
      EXPECT_EQ(id == FragmentIndex::kNone ? L"<none>" : index.Text(id), expected) << path;

      // First contained entry in insertion order.
      expected = L"<none>";
      for (const auto& text : inserted) {
        if (Contains(path, text)) {
          expected = text;
          break;
        }
      }
      id = index.FirstInsertedContained(path);
      EXPECT_EQ(id == FragmentIndex::kNone ? L"<none>" : index.Text(id), expected) << path;

      // Longest contained entry.
      std::size_t longest = 0;
      for (const auto& text : inserted) {
        if (text.size() > longest && Contains(path, text)) longest = text.size();
      }
      EXPECT_EQ(index.LongestContained(path), longest) << path;
    }
  }
}

TEST(FragmentIndex, IdsFollowFirstInsertionAndClearForgetsEverything) {
  FragmentIndex index;
  EXPECT_EQ(index.Insert(L"b\\"), 0u);
  EXPECT_EQ(index.Insert(L"a"), 1u);
  EXPECT_EQ(index.Insert(L"b\\"), 0u);
  EXPECT_EQ(index.Insert(L""), 2u);
  // The empty text is in every path, the empty path included.
  EXPECT_EQ(index.FirstInsertedContained(L""), 2u);
  EXPECT_EQ(index.FirstInsertedContained(L"xa"), 1u);
  EXPECT_EQ(index.LongestContained(L"xb\\a"), 2u);
  index.Clear();
  EXPECT_EQ(index.Size(), 0u);
  EXPECT_EQ(index.FirstInsertedContained(L"xb\\a"), FragmentIndex::kNone);
  EXPECT_EQ(index.Insert(L"a"), 0u);
}

}  // namespace
}  // namespace zv::engines
