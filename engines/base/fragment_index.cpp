// Fragment index: insertion and the selections that need no caller test.
// Owns nothing beyond fragment_index.h; must not lock.
#include "engines/base/fragment_index.h"

namespace zv::engines {

std::uint32_t FragmentIndex::Insert(std::wstring_view text) {
  std::uint32_t node = 0;
  for (wchar_t unit : text) {
    std::uint32_t child = Child(node, unit);
    if (child == kNone) {
      child = static_cast<std::uint32_t>(nodes_.size());
      Node added;
      added.Unit = unit;
      added.NextSibling = nodes_[node].FirstChild;
      nodes_.push_back(added);
      nodes_[node].FirstChild = child;
    }
    node = child;
  }
  if (nodes_[node].Id == kNone) {
    nodes_[node].Id = static_cast<std::uint32_t>(texts_.size());
    texts_.emplace_back(text);
  }
  return nodes_[node].Id;
}

void FragmentIndex::Clear() {
  nodes_.assign(1, Node{});
  texts_.clear();
}

std::uint32_t FragmentIndex::FirstInsertedContained(std::wstring_view path) const {
  std::uint32_t best = kNone;
  ForEachContained(path, [&](std::uint32_t id) {
    if (id < best) best = id;
  });
  return best;
}

std::size_t FragmentIndex::LongestContained(std::wstring_view path) const {
  std::size_t longest = 0;
  ForEachContained(path, [&](std::uint32_t id) {
    if (texts_[id].size() > longest) longest = texts_[id].size();
  });
  return longest;
}

}  // namespace zv::engines
