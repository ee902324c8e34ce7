#include "app/item_list.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <limits>

#include "util/text.h"

namespace {

// Each marking by dependency folds a hundred thousand names; the buffer is the caller's.
void FoldInto(std::string_view text, std::string& folded) {
  folded.resize(text.size());
  LowerAsciiInto(text, folded.data());
}

}  // namespace

void TItemList::SetLines(const TStringList& lines) {
  Clear();
  Reserve(lines.Count());
  for (const TStringList::Entry& entry : lines) {
    Add(entry.text);
  }
}

std::vector<std::string> TItemList::CheckedLines() const {
  std::vector<std::string> checked;
  for (const Item& item : items_) {
    if (item.checked) {
      checked.push_back(item.line);
    }
  }
  return checked;
}

void TItemList::CheckAll() {
  for (Item& item : items_) {
    item.checked = true;
  }
}

void TItemList::UncheckAll() {
  for (Item& item : items_) {
    item.checked = false;
  }
}

void TItemList::MarkByText(std::string_view text) {
  for (Item& item : items_) {
    item.checked = PosText(text, item.line) > 0;
  }
}

size_t TItemList::FoldedHash(std::string_view line) {
  // Kept between calls: marking by dependency looks up a hundred thousand names, each of which
  // would otherwise allocate its folded copy.
  thread_local std::string folded;
  FoldInto(line, folded);
  return std::hash<std::string_view>{}(folded);
}

void TItemList::BuildIndex() const {
  byFoldedHash_.reserve(items_.size());
  for (size_t i = 0; i < items_.size(); ++i) {
    byFoldedHash_.emplace_back(FoldedHash(items_[i].line), static_cast<int>(i));
  }
  // Equal hashes in list order, so that the first equal line is met first.
  std::sort(byFoldedHash_.begin(), byFoldedHash_.end());
  hashRangeBits_ = std::max(1, static_cast<int>(std::bit_width(items_.size())));
  const int shift = std::numeric_limits<size_t>::digits - hashRangeBits_;
  hashRangeStarts_.assign((size_t{1} << hashRangeBits_) + 1, 0);
  size_t at = 0;
  for (size_t range = 0; range + 1 < hashRangeStarts_.size(); ++range) {
    hashRangeStarts_[range] = static_cast<uint32_t>(at);
    while (at < byFoldedHash_.size() && (byFoldedHash_[at].first >> shift) == range) {
      ++at;
    }
  }
  hashRangeStarts_.back() = static_cast<uint32_t>(at);
  indexed_ = true;
}

std::pair<size_t, size_t> TItemList::HashRange(size_t hash) const {
  if (!indexed_) {
    BuildIndex();
  }
  const size_t range = hash >> (std::numeric_limits<size_t>::digits - hashRangeBits_);
  return {hashRangeStarts_[range], hashRangeStarts_[range + 1]};
}

size_t TItemList::FirstOfHash(size_t from, size_t to, size_t hash) const {
  while (from < to && byFoldedHash_[from].first != hash) {
    ++from;
  }
  return from;
}

int TItemList::FirstEqual(std::pair<size_t, size_t> range, size_t hash,
                          std::string_view line) const {
  for (size_t at = FirstOfHash(range.first, range.second, hash); at < range.second;
       at = FirstOfHash(at + 1, range.second, hash)) {
    const int index = byFoldedHash_[at].second;
    if (SameTextAscii(items_[static_cast<size_t>(index)].line, line)) {
      return index;
    }
  }
  return -1;
}

int TItemList::IndexOf(std::string_view line) const {
  const size_t hash = FoldedHash(line);
  return FirstEqual(HashRange(hash), hash, line);
}

std::vector<int> TItemList::MarkDependents(const TStringList& values, std::vector<int>* unmatched) {
  // Looked up in steps, each over all the values: a lookup is a chain of reads from memory far
  // larger than the caches, and the reads of one step, independent of each other, are waited
  // for together instead of one after another.
  const size_t count = static_cast<size_t>(values.Count());
  std::vector<size_t> hashes(count);
  std::vector<std::pair<size_t, size_t>> ranges(count);
  std::vector<int> found(count);
  for (size_t at = 0; at < count; ++at) {
    hashes[at] = FoldedHash(values.Text(static_cast<int>(at)));
  }
  for (size_t at = 0; at < count; ++at) {
    ranges[at] = HashRange(hashes[at]);
  }
  for (size_t at = 0; at < count; ++at) {
    const size_t first = FirstOfHash(ranges[at].first, ranges[at].second, hashes[at]);
    found[at] = first < ranges[at].second ? byFoldedHash_[first].second : -1;
  }
  std::vector<int> newlyChecked;
  std::vector<int> missed;
  for (size_t at = 0; at < count; ++at) {
    const std::string& value = values.Text(static_cast<int>(at));
    int index = found[at];
    // The first line of that hash may be another text: one of the rest may still be equal.
    if (index >= 0 && !SameTextAscii(items_[static_cast<size_t>(index)].line, value)) {
      index = FirstEqual(ranges[at], hashes[at], value);
    }
    if (index < 0) {
      missed.push_back(static_cast<int>(at));
    } else if (!items_[static_cast<size_t>(index)].checked) {
      items_[static_cast<size_t>(index)].checked = true;
      newlyChecked.push_back(index);
    }
  }
  if (unmatched != nullptr) {
    *unmatched = std::move(missed);
  }
  std::sort(newlyChecked.begin(), newlyChecked.end());
  return newlyChecked;
}

int TItemList::CheckedCount() const {
  return static_cast<int>(
      std::count_if(items_.begin(), items_.end(), [](const Item& item) { return item.checked; }));
}
