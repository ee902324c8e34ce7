// The client set-up, the export searches and the document rebuild shared by the benchmarks.
#include "bench/bench_client.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "directory/client/dir_client.h"
#include "directory/d_nw.h"
#include "directory/d_nw_search.h"
#include "xmlexport/directory_attributes.h"

DirContext StartBenchClient(DirClient& client, const std::filesystem::path& folder,
                            const std::string& source, const std::string& extraKeys) {
  const std::filesystem::path connections = folder / "connections.ini";
  std::ofstream(connections) << "[bench]\ntree = BENCH_TREE\nsource = " << source
                             << "\nprimary = yes\n"
                             << extraKeys;
  client.DirClientUseConnectionsFile(connections.string());
  DirContext context = 0;
  if (client.DirClientInit(0, 0) != kDirConnectionOk ||
      client.DirCreateContext(context) != kDirOk) {
    throw std::runtime_error("the client did not start on " + source);
  }
  DSModifyContextFlags(client, context, '+', kDirFlagTypeless);
  if (DSSetRootContext(client, context) != kDirOk) {
    throw std::runtime_error("the client did not start on " + source);
  }
  return context;
}

bool RunExportSearches(DirClient& client, DirContext context, std::array<TStringList, 5>& results) {
  // As the export tab does: the five announced, so that a live server gets them together.
  DSSearchAhead(client, context, "[Root]", {kExportFilters.begin(), kExportFilters.end()},
                kDirScopeSubtree);
  for (size_t kind = 0; kind < kExportFilters.size(); ++kind) {
    if (DSSearch(client, context, "[Root]", kExportFilters[kind], kDirScopeSubtree,
                 results[kind]) != kDirOk) {
      return false;
    }
  }
  return true;
}

void MeasureExportSearches(DirClient& client, benchmark::State& state, DirContext context,
                           size_t expected) {
  size_t found = 0;
  for (auto _ : state) {
    std::array<TStringList, 5> results;
    if (!RunExportSearches(client, context, results)) {
      state.SkipWithError("search failed");
      return;
    }
    found = 0;
    for (const TStringList& kind : results) {
      found += static_cast<size_t>(kind.Count());
    }
    benchmark::DoNotOptimize(results);
  }
  if (found != expected) {
    state.SkipWithError("the searches did not find every RBS object once");
  }
  state.counters["results"] = static_cast<double>(found);
}

XmlCheckedItems ExportSearchItems(DirClient& client, DirContext context, size_t perKind) {
  std::array<TStringList, 5> results;
  if (!RunExportSearches(client, context, results)) {
    throw std::runtime_error("an export search failed");
  }
  XmlCheckedItems items;
  std::vector<std::string>* lists[] = {&items.modules, &items.categories, &items.roles,
                                       &items.books, &items.tasks};
  for (size_t kind = 0; kind < results.size(); ++kind) {
    const size_t take = std::min(perKind, static_cast<size_t>(results[kind].Count()));
    for (size_t i = 0; i < take; ++i) {
      lists[kind]->push_back(results[kind].Text(static_cast<int>(i)));
    }
  }
  return items;
}

size_t CheckedItemCount(const XmlCheckedItems& items) {
  return items.modules.size() + items.categories.size() + items.roles.size() + items.books.size() +
         items.tasks.size();
}

void MeasureInstallDocumentRebuild(DirClient& client, benchmark::State& state, DirContext context,
                                   const XmlCheckedItems& items) {
  const DirectoryAttributeSource source(client, context);
  size_t lines = 0;
  for (auto _ : state) {
    // Each rebuild of the window is an operation of its own: what a live store learnt of the
    // entries in the one before is not there to help it.
    client.DirClientBeginOperation();
    const std::vector<std::string> document = BuildInstallDocument(source, items);
    lines = document.size();
    benchmark::DoNotOptimize(lines);
  }
  state.counters["items"] = static_cast<double>(CheckedItemCount(items));
  state.counters["lines"] = static_cast<double>(lines);
}
