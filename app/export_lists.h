#pragma once
// The export's five item lists: the kinds of RBS item, their search filters, and the set of five
// lists an export marks. Plain C++: the window keeps its lists in its list models, the
// command-line export in TExportLists; both reach them through TExportListSet.
#include <array>
#include <functional>
#include <string_view>

#include "app/item_list.h"
#include "util/string_list.h"

// The kinds of RBS item, in the order of the export pages and of the install document.
enum class RbsKind { kModule, kCategory, kRole, kBook, kTask };
inline constexpr std::array<RbsKind, 5> kRbsKinds = {
    RbsKind::kModule, RbsKind::kCategory, RbsKind::kRole, RbsKind::kBook, RbsKind::kTask};

// The search filter text of a kind: "(Base Class=rbsModule2)" and so on.
[[nodiscard]] std::string_view RbsKindFilter(RbsKind kind);
// The kind as one lower-case word: "module", "category", "role", "book", "task".
[[nodiscard]] std::string_view RbsKindName(RbsKind kind);

// Where an export keeps its five lists. Every change goes through Fill or Mark, so that a
// holder that shows the lists (the window's models) can follow it.
class TExportListSet {
 public:
  TExportListSet() = default;
  TExportListSet(const TExportListSet&) = delete;
  TExportListSet& operator=(const TExportListSet&) = delete;
  virtual ~TExportListSet() = default;

  [[nodiscard]] virtual const TItemList& Of(RbsKind kind) const = 0;
  // Runs `edit`, which may add or remove lines, on the list of `kind`.
  virtual void Fill(RbsKind kind, const std::function<void(TItemList&)>& edit) = 0;
  // Runs `mark`, which changes check marks only, on the list of `kind`.
  virtual void Mark(RbsKind kind, const std::function<void(TItemList&)>& mark) = 0;
  // TItemList::MarkDependents on the list of `kind`: a holder that shows the list hears of the
  // lines it checked only, not of the whole list, as marking by dependency does it once per
  // module or role. Returns the positions in `values` of those that equal no line.
  virtual std::vector<int> MarkDependents(RbsKind kind, const TStringList& values) = 0;
};

// The five lists of one export, owned together: for a caller without a window.
class TExportLists : public TExportListSet {
 public:
  [[nodiscard]] const TItemList& Of(RbsKind kind) const override { return lists_.at(Index(kind)); }
  void Fill(RbsKind kind, const std::function<void(TItemList&)>& edit) override {
    edit(lists_.at(Index(kind)));
  }
  void Mark(RbsKind kind, const std::function<void(TItemList&)>& mark) override {
    mark(lists_.at(Index(kind)));
  }
  std::vector<int> MarkDependents(RbsKind kind, const TStringList& values) override {
    std::vector<int> unmatched;
    static_cast<void>(lists_.at(Index(kind)).MarkDependents(values, &unmatched));
    return unmatched;
  }

 private:
  static size_t Index(RbsKind kind) { return static_cast<size_t>(kind); }

  std::array<TItemList, kRbsKinds.size()> lists_;
};
