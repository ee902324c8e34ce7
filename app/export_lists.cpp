#include "app/export_lists.h"

#include "directory/d_nw_read.h"
#include "directory/d_nw_search.h"
#include "util/hooks.h"

std::string_view RbsKindFilter(RbsKind kind) {
  switch (kind) {
    case RbsKind::kModule:
      return "(Base Class=rbsModule2)";
    case RbsKind::kCategory:
      return "(Base Class=rbsCategory2)";
    case RbsKind::kRole:
      return "(Base Class=rbsRole2)";
    case RbsKind::kBook:
      return "(Base Class=rbsBook2)";
    case RbsKind::kTask:
      break;
  }
  return "(Base Class=rbsTask2)";
}

std::string_view RbsKindName(RbsKind kind) {
  switch (kind) {
    case RbsKind::kModule:
      return "module";
    case RbsKind::kCategory:
      return "category";
    case RbsKind::kRole:
      return "role";
    case RbsKind::kBook:
      return "book";
    case RbsKind::kTask:
      break;
  }
  return "task";
}

int32_t SearchRbsItems(DirContext context, const std::string& container, RbsKind kind,
                       TStringList& found) {
  return DSSearch(context, container, std::string(RbsKindFilter(kind)), kDirScopeSubtree, found);
}

void CheckDependentBooks(DirContext context, const TItemList& modules,
                         const MarkDependentLines& mark) {
  TStringList found;
  // Count() is asked anew each time: in the window the searches let messages run, and a reload
  // meanwhile may shorten the list.
  for (int i = 0; i < modules.Count(); ++i) {
    if (!modules.Checked(i)) {
      continue;
    }
    // Copied for the same reason: a reload may replace the line while the search runs.
    const std::string module = modules.Line(i);
    for (const RbsKind kind : {RbsKind::kBook, RbsKind::kTask}) {
      found.Clear();
      const int32_t code = SearchRbsItems(context, module, kind, found);
      // A stopped search marks what it found; the searches after it do not run.
      mark(kind, found);
      if (code == kWorkStopped) {
        return;
      }
    }
  }
}

void CheckDependentTasks(DirContext context, const TItemList& roles,
                         const MarkDependentLines& mark) {
  TStringList named;
  for (int i = 0; i < roles.Count(); ++i) {
    if (!roles.Checked(i)) {
      continue;
    }
    if (!ContinueAfterMessages()) {
      return;
    }
    const std::string role = roles.Line(i);
    named.Clear();
    static_cast<void>(ReadAttributeValues(context, role, "rbsContent", named));
    ReportEntriesRead(named.Count());
    mark(RbsKind::kTask, named);
  }
}

XmlCheckedItems CheckedItemsOf(const std::function<const TItemList&(RbsKind kind)>& listOf) {
  XmlCheckedItems items;
  items.modules = listOf(RbsKind::kModule).CheckedLines();
  items.categories = listOf(RbsKind::kCategory).CheckedLines();
  items.roles = listOf(RbsKind::kRole).CheckedLines();
  items.books = listOf(RbsKind::kBook).CheckedLines();
  items.tasks = listOf(RbsKind::kTask).CheckedLines();
  return items;
}

int32_t TExportLists::Load(DirContext context, const std::string& container) {
  int32_t firstFailure = kDirOk;
  TStringList found;
  for (const RbsKind kind : kRbsKinds) {
    found.Clear();
    const int32_t code = SearchRbsItems(context, container, kind, found);
    if (firstFailure == kDirOk) {
      firstFailure = code;
    }
    Of(kind).SetLines(found);
  }
  return firstFailure;
}

void TExportLists::CheckDependentBooks(DirContext context) {
  ::CheckDependentBooks(
      context, Of(RbsKind::kModule),
      [this](RbsKind kind, const TStringList& names) { MarkDependents(kind, names); });
}

void TExportLists::CheckDependentTasks(DirContext context) {
  ::CheckDependentTasks(
      context, Of(RbsKind::kRole),
      [this](RbsKind kind, const TStringList& names) { MarkDependents(kind, names); });
}

XmlCheckedItems TExportLists::CheckedItems() const {
  return CheckedItemsOf([this](RbsKind kind) -> const TItemList& { return Of(kind); });
}
