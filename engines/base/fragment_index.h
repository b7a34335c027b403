// Fragment index: a set of texts (rule keys, name fragments, folders) that
// answers "which of them occur in this path" in time that depends on the
// path, not on how many texts there are.
//
// Owns: a trie of the texts keyed by UTF-16 code units, walked from every
// position of the path (so a text is found wherever it occurs, as a
// substring test finds it), and the texts themselves by id. Ids are given
// in first-insertion order; inserting a text again keeps its id.
// Must not: lock (the owner's mutex guards it), lower-case or normalise
// (callers insert and search texts already in their compared form), or
// choose between matches (the selections below and the callers do).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zv::engines {

class FragmentIndex {
 public:
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;

  FragmentIndex() { Clear(); }

  // The text's id; a text already present keeps its first id.
  std::uint32_t Insert(std::wstring_view text);
  void Clear();
  std::size_t Size() const { return texts_.size(); }
  const std::wstring& Text(std::uint32_t id) const { return texts_[id]; }

  // Calls visit(id) for every occurrence of an indexed text in `path` (a
  // text occurring twice is visited twice; the empty text once). Cost: the
  // sum over the path's positions of the longest indexed text starting
  // there, at most the path's length squared, whatever the number of texts.
  template <class Visit>
  void ForEachContained(std::wstring_view path, Visit&& visit) const {
    if (nodes_[0].Id != kNone) visit(nodes_[0].Id);
    for (std::size_t start = 0; start < path.size(); ++start) {
      std::uint32_t node = 0;
      for (std::size_t at = start; at < path.size(); ++at) {
        node = Child(node, path[at]);
        if (node == kNone) break;
        if (nodes_[node].Id != kNone) visit(nodes_[node].Id);
      }
    }
  }

  // Selections in the orders the engines' rule walks use. Each returns the
  // id of the chosen text, kNone when no text (satisfying `accept`) occurs.
  // The greatest in UTF-16 code-unit order.
  template <class Accept>
  std::uint32_t GreatestContained(std::wstring_view path, Accept&& accept) const {
    std::uint32_t best = kNone;
    ForEachContained(path, [&](std::uint32_t id) {
      if ((best == kNone || texts_[best] < texts_[id]) && accept(id)) best = id;
    });
    return best;
  }
  std::uint32_t GreatestContained(std::wstring_view path) const {
    return GreatestContained(path, [](std::uint32_t) { return true; });
  }
  // The first inserted.
  std::uint32_t FirstInsertedContained(std::wstring_view path) const;
  // The length of the longest text that occurs; 0 when none does (or only
  // the empty text).
  std::size_t LongestContained(std::wstring_view path) const;

 private:
  struct Node {
    wchar_t Unit = 0;
    std::uint32_t FirstChild = kNone;
    std::uint32_t NextSibling = kNone;
    std::uint32_t Id = kNone;
  };

  std::uint32_t Child(std::uint32_t node, wchar_t unit) const {
    for (std::uint32_t child = nodes_[node].FirstChild; child != kNone; child = nodes_[child].NextSibling) {
      if (nodes_[child].Unit == unit) return child;
    }
    return kNone;
  }

  std::vector<Node> nodes_;  // nodes_[0] is the root (the empty text)
  std::vector<std::wstring> texts_;
};

}  // namespace zv::engines
