#include "app/item_list.h"

#include "util/text.h"

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

void TItemList::MarkDependents(const TStringList& values) {
  for (const TStringList::Entry& value : values) {
    for (Item& item : items_) {
      if (SameTextAscii(item.line, value.text)) {
        item.checked = true;
        break;
      }
    }
  }
}
