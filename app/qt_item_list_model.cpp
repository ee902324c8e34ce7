#include "app/qt_item_list_model.h"

#include <vector>

void TItemListModel::Fill(const std::function<void(TItemList&)>& edit) {
  beginResetModel();
  edit(items_);
  endResetModel();
}

void TItemListModel::Mark(const std::function<void(TItemList&)>& mark) {
  mark(items_);
  if (items_.Count() > 0) {
    emit dataChanged(index(0), index(items_.Count() - 1), {Qt::CheckStateRole});
  }
}

std::vector<int> TItemListModel::MarkDependents(const TStringList& values) {
  // A view measures every row of a changed range to find what to repaint, so a range over the
  // whole list, once per module or role, would cost the list's length each time.
  std::vector<int> unmatched;
  const std::vector<int> rows = items_.MarkDependents(values, &unmatched);
  for (size_t first = 0; first < rows.size();) {
    size_t last = first;
    while (last + 1 < rows.size() && rows[last + 1] == rows[last] + 1) {
      ++last;
    }
    emit dataChanged(index(rows[first]), index(rows[last]), {Qt::CheckStateRole});
    first = last + 1;
  }
  return unmatched;
}

int TItemListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : items_.Count();
}

QVariant TItemListModel::data(const QModelIndex& index, int role) const {
  if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
    return {};
  }
  if (role == Qt::DisplayRole) {
    return QString::fromStdString(items_.Line(index.row()));
  }
  if (role == Qt::CheckStateRole) {
    return items_.Checked(index.row()) ? Qt::Checked : Qt::Unchecked;
  }
  return {};
}

bool TItemListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::CheckStateRole ||
      !checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
    return false;
  }
  items_.SetChecked(index.row(), value.toInt() == Qt::Checked);
  emit dataChanged(index, index, {Qt::CheckStateRole});
  return true;
}

Qt::ItemFlags TItemListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) {
    return Qt::NoItemFlags;
  }
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable |
         Qt::ItemNeverHasChildren;
}
