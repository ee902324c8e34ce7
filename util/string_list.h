#pragma once
// The string list every layer hands around: ordered texts, each with one attached number
// (trees, containers, objects, item names, search results, attribute value lines).
// A sorted list keeps its entries in ASCII-case-insensitive order and accepts duplicates.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TStringList {
 public:
  struct Entry {
    std::string text;
    int64_t number = 0;
  };

  TStringList() = default;
  explicit TStringList(bool sorted) : sorted_(sorted) {}

  // Adds an entry and returns its index: at the end, or in a sorted list after every entry
  // that compares equal or less (so equal texts keep the order they were added in).
  int Add(std::string text, int64_t number = 0);
  // Index of the first entry whose text equals `text` ignoring ASCII case; -1 when none.
  [[nodiscard]] int IndexOf(std::string_view text) const;
  // Removes the entry at `index`; an index out of range does nothing.
  void Delete(int index);
  void Clear() { entries_.clear(); }

  [[nodiscard]] int Count() const { return static_cast<int>(entries_.size()); }
  [[nodiscard]] bool Empty() const { return entries_.empty(); }
  // Entry access; `index` must be in [0, Count()).
  [[nodiscard]] const std::string& Text(int index) const { return At(index).text; }
  [[nodiscard]] int64_t Number(int index) const { return At(index).number; }
  void SetNumber(int index, int64_t number) { At(index).number = number; }

  [[nodiscard]] bool Sorted() const { return sorted_; }
  // Turning sorting on sorts the present entries (stably).
  void SetSorted(bool sorted);

  [[nodiscard]] const std::vector<Entry>& Entries() const { return entries_; }
  [[nodiscard]] std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
  [[nodiscard]] std::vector<Entry>::const_iterator end() const { return entries_.end(); }

  // The texts alone, in list order.
  [[nodiscard]] std::vector<std::string> Texts() const;

 private:
  [[nodiscard]] const Entry& At(int index) const { return entries_.at(static_cast<size_t>(index)); }
  [[nodiscard]] Entry& At(int index) { return entries_.at(static_cast<size_t>(index)); }

  std::vector<Entry> entries_;
  bool sorted_ = false;
};

// Ordering of sorted string lists: byte order after folding ASCII letters to upper case.
[[nodiscard]] int CompareTextAscii(std::string_view a, std::string_view b);
