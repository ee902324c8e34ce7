// The string list: ordered texts with attached numbers, optionally kept sorted.
#include "util/string_list.h"

#include <algorithm>

namespace {

unsigned char FoldAscii(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return (byte >= 'a' && byte <= 'z') ? static_cast<unsigned char>(byte - 'a' + 'A') : byte;
}

}  // namespace

int CompareTextAscii(std::string_view a, std::string_view b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    const unsigned char x = FoldAscii(a[i]);
    const unsigned char y = FoldAscii(b[i]);
    if (x != y) {
      return x < y ? -1 : 1;
    }
  }
  if (a.size() == b.size()) {
    return 0;
  }
  return a.size() < b.size() ? -1 : 1;
}

int TStringList::Add(std::string text, int64_t number) {
  auto at = entries_.end();
  if (sorted_) {
    at = std::upper_bound(
        entries_.begin(), entries_.end(), text,
        [](const std::string& t, const Entry& e) { return CompareTextAscii(t, e.text) < 0; });
  }
  at = entries_.insert(at, Entry{std::move(text), number});
  return static_cast<int>(at - entries_.begin());
}

int TStringList::IndexOf(std::string_view text) const {
  if (sorted_) {
    const auto at = std::lower_bound(
        entries_.begin(), entries_.end(), text,
        [](const Entry& e, std::string_view t) { return CompareTextAscii(e.text, t) < 0; });
    if (at != entries_.end() && CompareTextAscii(at->text, text) == 0) {
      return static_cast<int>(at - entries_.begin());
    }
    return -1;
  }
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (CompareTextAscii(entries_[i].text, text) == 0) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

void TStringList::Delete(int index) {
  if (index < 0 || index >= Count()) {
    return;
  }
  entries_.erase(entries_.begin() + index);
}

void TStringList::SetSorted(bool sorted) {
  if (sorted && !sorted_) {
    std::stable_sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
      return CompareTextAscii(a.text, b.text) < 0;
    });
  }
  sorted_ = sorted;
}

std::vector<std::string> TStringList::Texts() const {
  std::vector<std::string> texts;
  texts.reserve(entries_.size());
  for (const Entry& e : entries_) {
    texts.push_back(e.text);
  }
  return texts;
}
