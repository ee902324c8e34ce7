#pragma once
// The export's five item lists and what fills and marks them from the directory: the searches of
// the export pages and the two dependency marks. Plain C++: the window drives it through its list
// models, the command-line export through TExportLists.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "app/item_list.h"
#include "directory/client/dir_client.h"
#include "util/string_list.h"
#include "xmlexport/install_document.h"

// The kinds of RBS item, in the order of the export pages and of the install document.
enum class RbsKind { kModule, kCategory, kRole, kBook, kTask };
inline constexpr std::array<RbsKind, 5> kRbsKinds = {
    RbsKind::kModule, RbsKind::kCategory, RbsKind::kRole, RbsKind::kBook, RbsKind::kTask};

// The search filter text of a kind: "(Base Class=rbsModule2)" and so on.
[[nodiscard]] std::string_view RbsKindFilter(RbsKind kind);
// The kind as one lower-case word: "module", "category", "role", "book", "task".
[[nodiscard]] std::string_view RbsKindName(RbsKind kind);

// Appends to `found` the complete names of the items of `kind` in the subtree of `container`, in
// the order the directory returns them. Returns DSSearch's code; a failed search keeps the names
// it read.
[[nodiscard]] int32_t SearchRbsItems(DirContext context, const std::string& container, RbsKind kind,
                                     TStringList& found);

// Checks, in the list of `kind`, the first line equal to each of `names` (ASCII case ignored).
// The window routes it through its list models so that the views follow the marks.
using MarkDependentLines = std::function<void(RbsKind kind, const TStringList& names)>;

// For each checked module, in order: marks the books, then the tasks, found in the module's
// subtree. A module whose search fails marks what was read before the failure; a search the user
// stops marks what it found and ends the marking.
void CheckDependentBooks(DirContext context, const TItemList& modules,
                         const MarkDependentLines& mark);
// For each checked role, in order: marks the tasks its "rbsContent" names. A role whose values
// cannot be read marks nothing. Lets window messages run before each role and ends the marking
// there when the user has asked to stop; the values read are reported (ReportEntriesRead).
void CheckDependentTasks(DirContext context, const TItemList& roles,
                         const MarkDependentLines& mark);

// The checked lines of every kind's list, each in its list's order.
[[nodiscard]] XmlCheckedItems CheckedItemsOf(
    const std::function<const TItemList&(RbsKind kind)>& listOf);

// The five lists of one export, owned together: for a caller without a window.
class TExportLists {
 public:
  [[nodiscard]] TItemList& Of(RbsKind kind) { return lists_.at(Index(kind)); }
  [[nodiscard]] const TItemList& Of(RbsKind kind) const { return lists_.at(Index(kind)); }

  // Replaces every list with the items found below `container`, kind by kind. Returns 0, or the
  // code of the first failed search; every list keeps what its search read.
  [[nodiscard]] int32_t Load(DirContext context, const std::string& container);
  void CheckDependentBooks(DirContext context);
  void CheckDependentTasks(DirContext context);
  [[nodiscard]] XmlCheckedItems CheckedItems() const;

 private:
  static size_t Index(RbsKind kind) { return static_cast<size_t>(kind); }
  void MarkDependents(RbsKind kind, const TStringList& names) { Of(kind).MarkDependents(names); }

  std::array<TItemList, kRbsKinds.size()> lists_;
};
