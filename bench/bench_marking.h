#pragma once
// Marking by dependency as the export path does it, timed for the benchmarks of the in-memory and
// the live store alike: every role's tasks, and every module's books and tasks, from lists
// already loaded with the generated tree's RBS objects.
#include <benchmark/benchmark.h>

#include "app/export_lists.h"
#include "app/export_run.h"
#include "bench/tree_generator.h"
#include "directory/client/dir_client.h"

// The timed loop of "Check Dependent Tasks" with only every role checked, each run one operation
// of `client`, as a click in the window is; the run is marked failed unless every role of `shape`
// stays checked and some task is marked.
void MeasureDependentTasksOfAllRoles(benchmark::State& state, DirClient& client, DirContext context,
                                     TExportRun& run, TExportLists& lists,
                                     const GeneratedTreeShape& shape);

// The same for "Check Dependent Books & Tasks" with only every module checked; failed unless every
// book and task of `shape` is marked.
void MeasureDependentBooksOfAllModules(benchmark::State& state, DirClient& client,
                                       DirContext context, TExportRun& run, TExportLists& lists,
                                       const GeneratedTreeShape& shape);
