#pragma once
// What the benchmarks of the client share: a client (each benchmark makes its own) started on one
// connection with a search context as the window holds it, the export tab's five searches, the
// checked items they give, and the install document rebuilt from those items through the directory.
#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <filesystem>
#include <string>

#include "directory/client/dir_client.h"
#include "util/string_list.h"
#include "xmlexport/install_document.h"

// The base-class filters of the export tab's five searches: modules, categories, roles, property
// books, tasks (the order of XmlCheckedItems).
inline constexpr std::array<const char*, 5> kExportFilters = {
    "(Base Class=rbsModule2)", "(Base Class=rbsCategory2)", "(Base Class=rbsRole2)",
    "(Base Class=rbsBook2)",   "(Base Class=rbsTask2)",
};

// Writes `folder`/connections.ini with one primary connection "bench" to `source` (an LDIF file
// or an ldap:// address) and the lines of `extraKeys` ("key = value\n" each), starts the client on
// it (`client`, not started yet) and returns a context with typeless names and the name context
// [Root], the window's search context. Throws std::runtime_error when the client or the context
// does not start.
[[nodiscard]] DirContext StartBenchClient(DirClient& client, const std::filesystem::path& folder,
                                          const std::string& source,
                                          const std::string& extraKeys = "");

// The five export searches below [Root] of `context`, the names of kind k in `results[k]`
// (appended); false as soon as one fails.
[[nodiscard]] bool RunExportSearches(DirClient& client, DirContext context,
                                     std::array<TStringList, 5>& results);

// The timed loop of the five export searches; the run is marked failed when a search fails or
// the searches together do not find `expected` names.
void MeasureExportSearches(DirClient& client, benchmark::State& state, DirContext context,
                           size_t expected);

// Up to `perKind` names of each kind in the order the export searches find them, as checked
// items. Throws std::runtime_error when a search fails.
[[nodiscard]] XmlCheckedItems ExportSearchItems(DirClient& client, DirContext context,
                                                size_t perKind);

[[nodiscard]] size_t CheckedItemCount(const XmlCheckedItems& items);

// The timed loop of rebuilding the install document of `items`, read through a
// DirectoryAttributeSource on `context`, as showing the XML page does.
void MeasureInstallDocumentRebuild(DirClient& client, benchmark::State& state, DirContext context,
                                   const XmlCheckedItems& items);
