#include "bench/bench_marking.h"

namespace {

int CheckedCount(const TItemList& items) {
  return static_cast<int>(items.CheckedLines().size());
}

// One run's start, not timed: only the `from` kind checked, and a new operation of the client so
// that nothing read by the last run is reused.
void Reset(benchmark::State& state, DirClient& client, TExportRun& run, RbsKind from) {
  state.PauseTiming();
  for (const RbsKind kind : kRbsKinds) {
    run.UncheckAll(kind);
  }
  run.CheckAll(from);
  client.DirClientBeginOperation();
  state.ResumeTiming();
}

}  // namespace

void MeasureDependentTasksOfAllRoles(benchmark::State& state, DirClient& client, DirContext context,
                                     TExportRun& run, TExportLists& lists,
                                     const GeneratedTreeShape& shape) {
  for (auto _ : state) {
    Reset(state, client, run, RbsKind::kRole);
    run.CheckDependentTasks(context);
  }
  const int tasks = CheckedCount(lists.Of(RbsKind::kTask));
  if (CheckedCount(lists.Of(RbsKind::kRole)) != static_cast<int>(shape.roleCount) || tasks == 0) {
    state.SkipWithError("the roles were not all checked, or marked no task");
  }
  state.counters["roles"] = static_cast<double>(shape.roleCount);
  state.counters["tasks"] = tasks;
}

void MeasureDependentBooksOfAllModules(benchmark::State& state, DirClient& client,
                                       DirContext context, TExportRun& run, TExportLists& lists,
                                       const GeneratedTreeShape& shape) {
  for (auto _ : state) {
    Reset(state, client, run, RbsKind::kModule);
    run.CheckDependentBooks(context);
  }
  if (CheckedCount(lists.Of(RbsKind::kBook)) != static_cast<int>(shape.bookCount) ||
      CheckedCount(lists.Of(RbsKind::kTask)) != static_cast<int>(shape.taskCount)) {
    state.SkipWithError("not every book and task below the modules was marked");
  }
  state.counters["modules"] = static_cast<double>(shape.moduleCount);
}
