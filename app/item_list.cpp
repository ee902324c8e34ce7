#include "app/item_list.h"

#include <algorithm>

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

int TItemList::IndexOf(std::string_view line) const {
  // Kept between calls: marking by dependency looks up a hundred thousand names, each of which
  // would otherwise allocate its folded copy.
  thread_local std::string folded;
  if (!indexed_) {
    firstIndex_.reserve(items_.size());
    for (size_t i = 0; i < items_.size(); ++i) {
      FoldInto(items_[i].line, folded);
      firstIndex_.try_emplace(folded, static_cast<int>(i));  // a later equal line keeps the first
    }
    indexed_ = true;
  }
  FoldInto(line, folded);
  const auto found = firstIndex_.find(folded);
  return found == firstIndex_.end() ? -1 : found->second;
}

std::vector<int> TItemList::MarkDependents(const TStringList& values, std::vector<int>* unmatched) {
  std::vector<int> newlyChecked;
  std::vector<int> missed;
  for (int at = 0; at < values.Count(); ++at) {
    const int index = IndexOf(values.Text(at));
    if (index < 0) {
      missed.push_back(at);
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
