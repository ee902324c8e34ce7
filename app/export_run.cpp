#include "app/export_run.h"

#include <algorithm>
#include <unordered_set>

#include "directory/d_nw.h"
#include "directory/d_nw_list.h"
#include "directory/d_nw_read.h"
#include "directory/d_nw_search.h"
#include "directory/scoped_dir_handles.h"
#include "util/hooks.h"
#include "util/text.h"
#include "xmlexport/xml_save.h"

int TExportRun::TreeIndex(const TStringList& trees, std::string_view wanted,
                          std::string_view defaultTree) {
  for (const std::string_view name : {wanted, defaultTree}) {
    for (int i = 0; i < trees.Count(); ++i) {
      if (SameTextAscii(trees.Text(i), name)) {
        return i;
      }
    }
  }
  return -1;
}

std::optional<std::string> TExportRun::ChooseTree(const std::optional<std::string>& wanted,
                                                  ErrorMessageSink& messages) {
  TStringList trees;
  DSGetTreeNames(client_, trees);
  if (wanted) {
    for (const TStringList::Entry& tree : trees) {
      if (SameTextAscii(tree.text, *wanted)) {
        return tree.text;
      }
    }
    std::string known;
    for (const TStringList::Entry& tree : trees) {
      known += (known.empty() ? "" : ", ") + tree.text;
    }
    if (const std::string why = DSUnopenedTreeText(client_, *wanted); !why.empty()) {
      messages.ShowError("Tree \"" + *wanted + "\" cannot be reached: " + why);
    } else {
      messages.ShowError("Tree \"" + *wanted + "\" not found; the directory client knows " +
                         (known.empty() ? std::string("no tree") : known));
    }
    return std::nullopt;
  }
  // An export that names no tree means the primary one; another tree standing in for it would
  // export what was never asked for.
  for (const DirUnopenedConnection& connection : client_.DirClientUnopenedConnections()) {
    if (connection.primary) {
      for (const TStringList::Entry& tree : trees) {
        if (SameTextAscii(tree.text, connection.tree)) {
          return tree.text;  // served by another connection
        }
      }
      messages.ShowError("The default tree \"" + connection.tree +
                         "\" cannot be reached: " + connection.reason);
      return std::nullopt;
    }
  }
  if (std::string tree = DSGetDefaultTree(client_); !tree.empty()) {
    return tree;
  }
  if (!trees.Empty()) {
    return trees.Text(0);
  }
  if (const std::string why = DSUnopenedConnectionsText(client_); !why.empty()) {
    messages.ShowError(why);
    return std::nullopt;
  }
  messages.ShowError("The directory client is connected to no tree");
  return std::nullopt;
}

int32_t TExportRun::EnterTree(DirContext context, const std::string& tree) {
  const int32_t code = DSChangeCurrentTree(client_, context, tree);
  DSModifyContextFlags(client_, context, '+', kDirFlagTypeless);
  return code;
}

std::string TExportRun::StartContainer(DirContext context,
                                       const std::optional<std::string>& wanted) const {
  std::string base = wanted ? *wanted : MakeFullName(DSGetNameContext(client_, context));
  if (base.empty() || SameTextAscii(base, kRootName)) {
    base = kRootName;
  }
  return base;
}

int32_t TExportRun::Load(DirContext context, const std::string& container, RbsKind kind) {
  // Emptied first: the search lets window messages run, and a handler run meanwhile must not
  // mark names of the previous container.
  lists_.Fill(kind, [](TItemList& items) { items.Clear(); });
  TStringList found;
  const int32_t code = DSSearch(client_, context, container, std::string(RbsKindFilter(kind)),
                                kDirScopeSubtree, found);
  lists_.Fill(kind, [&found](TItemList& items) { items.SetLines(found); });
  // A container not found is an empty list, and a stopped search the user's choice; any other
  // failure leaves a list that looks whole but is not.
  if (code != kDirOk && code != kDirNoSuchEntry && code != kWorkStopped) {
    listFailures_[kind] = "Searching below " + MakeFullName(container) + " returned error " +
                          NWErrorText(client_, code);
  } else {
    listFailures_.erase(kind);
  }
  return code;
}

std::optional<std::string> TExportRun::TakeUnreportedListFailure() {
  for (const auto& [kind, failure] : listFailures_) {
    if (std::find(reportedListFailures_.begin(), reportedListFailures_.end(), failure) ==
        reportedListFailures_.end()) {
      reportedListFailures_.push_back(failure);
      return failure;
    }
  }
  return std::nullopt;
}

void TExportRun::LoadAhead(DirContext context, const std::string& container,
                           std::span<const RbsKind> kinds) const {
  std::vector<std::string> filters;
  for (const RbsKind kind : kinds) {
    filters.emplace_back(RbsKindFilter(kind));
  }
  DSSearchAhead(client_, context, container, filters, kDirScopeSubtree);
}

int32_t TExportRun::LoadAll(DirContext context, const std::string& container) {
  LoadAhead(context, container, kRbsKinds);
  int32_t firstFailure = kDirOk;
  for (const RbsKind kind : kRbsKinds) {
    const int32_t code = Load(context, container, kind);
    if (firstFailure == kDirOk) {
      firstFailure = code;
    }
  }
  return firstFailure;
}

void TExportRun::CheckAll(RbsKind kind) {
  lists_.Mark(kind, [](TItemList& items) { items.CheckAll(); });
}

void TExportRun::UncheckAll(RbsKind kind) {
  lists_.Mark(kind, [](TItemList& items) { items.UncheckAll(); });
}

void TExportRun::MarkByText(RbsKind kind, std::string_view text) {
  lists_.Mark(kind, [text](TItemList& items) { items.MarkByText(text); });
}

std::vector<int> TExportRun::MarkDependents(RbsKind kind, const TStringList& names) {
  return lists_.MarkDependents(kind, names);
}

namespace {

// From this many checked modules, their books and tasks are found by one search per kind below
// the modules' common container instead of two searches per module: each of those is a round
// trip to a live server, which past a handful of modules costs more than the pages of every book
// and task below that container.
constexpr int64_t kModulesForOneSearch = 8;

// Whether `name` is `container` or a name below it, written as the same search writes both.
bool IsWithin(std::string_view name, std::string_view container) {
  for (;;) {
    if (SameTextAscii(name, container)) {
      return true;
    }
    const size_t part = FirstNamePart(name).size();
    if (part >= name.size()) {
      return false;
    }
    name.remove_prefix(part + 1);
  }
}

// The deepest container holding every one of `names` (written alike, none empty); "[Root]" when
// they share none.
std::string CommonContainer(const std::vector<std::string>& names) {
  std::string_view first = names.front();
  const bool complete = !first.empty() && first.front() == '.';
  if (complete) {
    first.remove_prefix(1);
  }
  std::string_view container =
      first.substr(std::min(first.size(), FirstNamePart(first).size() + 1));
  while (!container.empty() && !std::all_of(names.begin(), names.end(), [&](const std::string& n) {
    return IsWithin(StripLeadingDot(n), container);
  })) {
    const size_t part = FirstNamePart(container).size();
    container.remove_prefix(std::min(container.size(), part + 1));
  }
  if (container.empty()) {
    return std::string(kRootName);
  }
  return (complete ? "." : "") + std::string(container);
}

// The search of `kinds` below the common container of their checked lines, when those are most
// of the kinds' lines there: a filter naming thousands of objects costs the server a test of each
// name against each object it finds, more than the pages of the few unchecked besides. nullopt
// when they are not, or nothing is checked.
std::optional<ReadAheadScope> CheckedScope(const TExportListSet& lists,
                                           std::span<const RbsKind> kinds) {
  std::vector<std::string> checked;
  std::string filter;
  std::vector<const TItemList*> searched;
  for (const RbsKind kind : kinds) {
    const TItemList& list = lists.Of(kind);
    std::vector<std::string> lines = list.CheckedLines();
    if (lines.empty()) {
      continue;
    }
    filter += (filter.empty() ? "" : "#OR#") + std::string(RbsKindFilter(kind));
    searched.push_back(&list);
    checked.insert(checked.end(), std::make_move_iterator(lines.begin()),
                   std::make_move_iterator(lines.end()));
  }
  if (checked.empty()) {
    return std::nullopt;
  }
  std::string container = CommonContainer(checked);
  size_t below = 0;
  for (const TItemList* list : searched) {
    for (int i = 0; i < list->Count(); ++i) {
      below += container == kRootName ||
                       IsWithin(StripLeadingDot(list->Line(i)), StripLeadingDot(container))
                   ? 1
                   : 0;
    }
  }
  if (2 * checked.size() < below) {
    return std::nullopt;
  }
  return ReadAheadScope{std::move(container), std::move(filter)};
}

// DirReadAhead of the checked lines of `kind`, by the search of their kind when CheckedScope
// gives one.
void ReadCheckedAhead(DirClient& client, DirContext context, const TExportListSet& lists,
                      RbsKind kind, const std::vector<std::string>& attributeNames) {
  const std::vector<std::string> checked = lists.Of(kind).CheckedLines();
  if (checked.empty()) {
    return;
  }
  if (const auto scope = CheckedScope(lists, std::span(&kind, 1))) {
    DSReadAheadWithin(client, context, checked, attributeNames, scope->baseName, scope->filterText);
  } else {
    static_cast<void>(client.DirReadAhead(context, checked, attributeNames));
  }
}

}  // namespace

void TExportRun::CheckDependentBooks(DirContext context) {
  const TItemList& modules = lists_.Of(RbsKind::kModule);
  const int64_t total = modules.CheckedCount();
  int64_t done = 0;
  ReportItemsDone(done, total, "modules");
  TStringList found;
  if (total >= kModulesForOneSearch) {
    const std::vector<std::string> checked = modules.CheckedLines();
    std::unordered_set<std::string> keys;
    for (const std::string& module : checked) {
      keys.insert(UpperAscii(StripLeadingDot(module)));
    }
    const std::string container = CommonContainer(checked);
    for (const RbsKind kind : {RbsKind::kBook, RbsKind::kTask}) {
      found.Clear();
      const int32_t code = DSSearch(client_, context, container, std::string(RbsKindFilter(kind)),
                                    kDirScopeSubtree, found);
      // Those below a checked module: a name above it has a part more than the module's.
      TStringList below;
      for (const TStringList::Entry& entry : found) {
        std::string_view rest = entry.text;
        if (!rest.empty() && rest.front() == '.') {
          rest.remove_prefix(1);
        }
        for (size_t part = FirstNamePart(rest).size(); part < rest.size();
             part = FirstNamePart(rest).size()) {
          rest.remove_prefix(part + 1);
          if (keys.contains(UpperAscii(rest))) {
            below.Add(entry.text, entry.number);
            break;
          }
        }
      }
      MarkDependents(kind, below);
      if (code == kWorkStopped) {
        return;
      }
    }
    ReportItemsDone(total, total, "modules");
    return;
  }
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
      const int32_t code = DSSearch(client_, context, module, std::string(RbsKindFilter(kind)),
                                    kDirScopeSubtree, found);
      // A stopped search marks what it found; the searches after it do not run.
      MarkDependents(kind, found);
      if (code == kWorkStopped) {
        return;
      }
    }
    ReportItemsDone(++done, total, "modules");
  }
}

void TExportRun::CheckDependentTasks(DirContext context) {
  const TItemList& roles = lists_.Of(RbsKind::kRole);
  const int64_t total = roles.CheckedCount();
  int64_t done = 0;
  ReportItemsDone(done, total, "roles");
  // The task lines are found ignoring letter case, so the names in the roles' values serve as the
  // values spell them, and their entries, as many as the tasks, are not looked up. A name that
  // is some list's line that way names that line's entry; one that is none may be a task spelled
  // otherwise (another case outside ASCII, other spaces), so its role is read again with the
  // entries' own spelling.
  ScopedDirContext asWritten(client_);
  const bool spellingSkipped = asWritten.Duplicate(context) == kDirOk;
  if (spellingSkipped) {
    DSModifyContextFlags(client_, asWritten.Get(), '+', kDirFlagNamesAsWritten);
  }
  const DirContext first = spellingSkipped ? asWritten.Get() : context;
  // A value that names no task may name a line of another kind: property books are the usual
  // ones, so they are tried first.
  const auto isOtherLine = [&](const std::string& text) {
    return lists_.Of(RbsKind::kBook).IndexOf(text) >= 0 ||
           std::any_of(kRbsKinds.begin(), kRbsKinds.end(), [&](RbsKind kind) {
             return kind != RbsKind::kTask && kind != RbsKind::kBook &&
                    lists_.Of(kind).IndexOf(text) >= 0;
           });
  };
  std::vector<std::string> again;
  TStringList named;
  const auto markNamedBy = [&](DirContext through, const std::string& role) {
    named.Clear();
    static_cast<void>(ReadAttributeValues(client_, through, role, "rbsContent", named));
    ReportEntriesRead(named.Count());
    const std::vector<int> unmatched = MarkDependents(RbsKind::kTask, named);
    return !std::all_of(unmatched.begin(), unmatched.end(),
                        [&](int at) { return isOtherLine(named.Text(at)); });
  };
  // Asked for together: read one after another, each role is a round trip to a live server.
  ReadCheckedAhead(client_, first, lists_, RbsKind::kRole, {"rbsContent"});
  for (int i = 0; i < roles.Count(); ++i) {
    if (!roles.Checked(i)) {
      continue;
    }
    if (!ContinueAfterMessages()) {
      return;
    }
    const std::string role = roles.Line(i);
    if (markNamedBy(first, role) && spellingSkipped) {
      again.push_back(role);
    }
    ReportItemsDone(++done, total, "roles");
  }
  if (again.empty()) {
    return;
  }
  static_cast<void>(client_.DirReadAhead(context, again, {"rbsContent"}));
  for (const std::string& role : again) {
    if (!ContinueAfterMessages()) {
      return;
    }
    static_cast<void>(markNamedBy(context, role));
  }
}

XmlCheckedItems TExportRun::CheckedItems() const {
  XmlCheckedItems items;
  items.modules = lists_.Of(RbsKind::kModule).CheckedLines();
  items.categories = lists_.Of(RbsKind::kCategory).CheckedLines();
  items.roles = lists_.Of(RbsKind::kRole).CheckedLines();
  items.books = lists_.Of(RbsKind::kBook).CheckedLines();
  items.tasks = lists_.Of(RbsKind::kTask).CheckedLines();
  return items;
}

TExportDocument TExportRun::BuildDocument(DirContext context, XmlLineSink* into) const {
  const XmlCheckedItems items = CheckedItems();
  // Checked whole, the kinds below a container are brought by one search of them all.
  const DirectoryAttributeSource source(client_, context, CheckedScope(lists_, kRbsKinds));
  XmlDocumentLines lines;
  XmlInstallWriter writer(source, into != nullptr ? *into : lines);
  writer.WriteDocument(items);
  TExportDocument document;
  document.stopped = writer.Stopped();
  document.items =
      static_cast<int64_t>(items.modules.size() + items.categories.size() + items.roles.size() +
                           items.books.size() + items.tasks.size());
  document.lines = lines.TakeLines();
  document.firstFailure = source.FirstFailure();
  document.lostServer = source.LostServer();
  document.textFault = writer.FirstTextFault();
  return document;
}

std::optional<std::string> TExportRun::UnsavableBecause(const TExportDocument& document) const {
  // Built from a list that lacks part of the tree, the document lacks it too.
  if (!listFailures_.empty()) {
    return "The XML document is incomplete. " + listFailures_.begin()->second;
  }
  // Cut where the server was lost, without its closing lines: saved, it would pass for a whole
  // document.
  if (const auto& lost = document.lostServer) {
    return "The XML document is incomplete. " + FailedReadText(*lost) + " returned error " +
           NWErrorText(client_, lost->code);
  }
  // U+FFFD stands where the value could not go in; that is not the directory's text.
  if (const auto& fault = document.textFault) {
    return XmlTextFaultText(*fault);
  }
  return std::nullopt;
}

std::optional<std::string> TExportRun::FileText(const TExportDocument& document,
                                                ErrorMessageSink& messages) const {
  if (!MayWriteFile(document, messages)) {
    return std::nullopt;
  }
  return XmlFileText(document.lines);
}

bool TExportRun::MayWriteFile(const TExportDocument& document, ErrorMessageSink& messages) const {
  // Without a view to show it in, a document that may lack values is not written at all.
  if (const auto& failure = document.firstFailure) {
    NWErrorBox(client_, messages, failure->code, FailedReadText(*failure));
    return false;
  }
  if (const auto& fault = document.textFault) {
    messages.ShowError("Cannot export " + XmlTextFaultText(*fault));
    return false;
  }
  return true;
}
