#pragma once
// One RBS item list: the complete names found for one kind of item, in the order found, each
// with a check mark, and the ways of marking them. Plain C++, shared by the window and the
// command-line export.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/string_list.h"

class TItemList {
 public:
  void Clear() {
    items_.clear();
    ForgetIndex();
  }
  void Add(std::string line) {
    items_.push_back(Item{std::move(line), false});
    ForgetIndex();
  }
  void Reserve(int count) { items_.reserve(static_cast<size_t>(count > 0 ? count : 0)); }
  // Replaces every line with those of `lines`, in their order, all unchecked.
  void SetLines(const TStringList& lines);

  [[nodiscard]] int Count() const { return static_cast<int>(items_.size()); }
  // `index` must be in [0, Count()).
  [[nodiscard]] const std::string& Line(int index) const { return At(index).line; }
  [[nodiscard]] bool Checked(int index) const { return At(index).checked; }
  void SetChecked(int index, bool checked) { At(index).checked = checked; }
  // How many lines are checked.
  [[nodiscard]] int CheckedCount() const;
  // The checked lines, in the list's order.
  [[nodiscard]] std::vector<std::string> CheckedLines() const;

  void CheckAll();
  void UncheckAll();
  // Checks every line that contains `text` (ASCII case ignored, no wildcards) and unchecks every
  // other; an empty text is contained in no line.
  void MarkByText(std::string_view text);
  // The index of the first line equal to `line` (ASCII case ignored); -1 when there is none.
  [[nodiscard]] int IndexOf(std::string_view line) const;
  // For each value, checks the first line equal to it (ASCII case ignored); never unchecks.
  // Returns the indices it checked that were unchecked before, ascending, so that a view need
  // only be told of those; `unmatched`, when given, gets the positions in `values` of those that
  // equal no line, ascending.
  std::vector<int> MarkDependents(const TStringList& values, std::vector<int>* unmatched = nullptr);

 private:
  struct Item {
    std::string line;
    bool checked;
  };
  [[nodiscard]] const Item& At(int index) const { return items_.at(static_cast<size_t>(index)); }
  [[nodiscard]] Item& At(int index) { return items_.at(static_cast<size_t>(index)); }

  void ForgetIndex() {
    if (indexed_) {
      byFoldedHash_ = {};
      hashRangeStarts_ = {};
      indexed_ = false;
    }
  }
  // The hash that byFoldedHash_ sorts by: of the line with ASCII letters folded.
  [[nodiscard]] static size_t FoldedHash(std::string_view line);
  void BuildIndex() const;
  // Where the lines of `hash` may stand in byFoldedHash_: [first, second).
  [[nodiscard]] std::pair<size_t, size_t> HashRange(size_t hash) const;
  // The first position in [from, to) of byFoldedHash_ holding `hash`; `to` when there is none.
  [[nodiscard]] size_t FirstOfHash(size_t from, size_t to, size_t hash) const;
  // The first line in `range`, of `hash`, that equals `line` (ASCII case ignored); -1 when there
  // is none.
  [[nodiscard]] int FirstEqual(std::pair<size_t, size_t> range, size_t hash,
                               std::string_view line) const;

  std::vector<Item> items_;
  // Marking by dependency looks up tens of thousands of names in lists as long, so each line's
  // folded hash and index, sorted, is kept from the first lookup until the lines change, with
  // where each range of hashes (by their top bits, as many ranges as lines) starts. A lookup
  // then reads one range start and about one pair, where a node-based map chased four pointers
  // into memory as large as the lines: the lookups were a sixth of marking a large tree, nearly
  // all of it waiting on memory. Built inside const lookups; the lists belong to one thread.
  mutable std::vector<std::pair<size_t, int>> byFoldedHash_;
  mutable std::vector<uint32_t> hashRangeStarts_;
  mutable int hashRangeBits_ = 0;
  mutable bool indexed_ = false;
};
