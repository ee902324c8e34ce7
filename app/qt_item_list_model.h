#pragma once
// A check list on screen: a list model over one TItemList, so a list view shows its lines with
// check boxes and the user's clicks change its marks.
#include <QAbstractListModel>
#include <functional>

#include "app/item_list.h"

class TItemListModel : public QAbstractListModel {
 public:
  using QAbstractListModel::QAbstractListModel;

  [[nodiscard]] const TItemList& Items() const { return items_; }
  // Runs `edit`, which may add or remove lines, and resets the views.
  void Fill(const std::function<void(TItemList&)>& edit);
  // Runs `mark`, which changes check marks only, and reports every line's mark changed.
  void Mark(const std::function<void(TItemList&)>& mark);
  // TItemList::MarkDependents, reporting the marks of the lines it checked, a run of adjacent
  // lines at a time.
  // Returns the positions in `values` of those that equal no line.
  std::vector<int> MarkDependents(const TStringList& values);

  [[nodiscard]] int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  [[nodiscard]] Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  TItemList items_;
};
