#include "app/item_list.h"

#include "util/text.h"

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
