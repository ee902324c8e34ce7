// Marking by dependency on the generated 1,000,000-entry tree (100,000 RBS objects: 400 modules,
// 10,000 roles, 69,600 tasks) through TExportRun over TExportLists, as orvane-export marks: every
// role's tasks, and every module's books and tasks.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/export_lists.h"
#include "app/export_run.h"
#include "bench/bench_client.h"
#include "bench/tree_generator.h"
#include "directory/client/dir_session.h"

namespace {

struct LoadedTree {
  LoadedTree() {
    char pattern[] = "/tmp/orvane_marking_bench_XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      std::abort();
    }
    const std::filesystem::path folder = pattern;
    {
      std::ofstream ldif(folder / "tree.ldif", std::ios::binary);
      shape = WriteGeneratedTree({1'000'000, 1}, ldif);
    }
    context = StartBenchClient(session, folder, (folder / "tree.ldif").string());
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    if (run.LoadAll(context, "[Root]") != 0) {
      std::abort();
    }
  }
  GeneratedTreeShape shape;
  DirSession session;
  DirContext context = 0;
  TExportLists lists;
  TExportRun run{session, lists};
};

LoadedTree& Tree() {
  static LoadedTree tree;
  return tree;
}

int CheckedCount(const TItemList& items) {
  return static_cast<int>(items.CheckedLines().size());
}

// Each run starts from the same marks: only the `from` kind checked.
void Reset(TExportRun& run, RbsKind from) {
  for (const RbsKind kind : kRbsKinds) {
    run.UncheckAll(kind);
  }
  run.CheckAll(from);
}

void BM_CheckDependentTasksOfAllRoles(benchmark::State& state) {
  LoadedTree& tree = Tree();
  for (auto _ : state) {
    state.PauseTiming();
    Reset(tree.run, RbsKind::kRole);
    state.ResumeTiming();
    tree.run.CheckDependentTasks(tree.context);
  }
  const int tasks = CheckedCount(tree.lists.Of(RbsKind::kTask));
  if (CheckedCount(tree.lists.Of(RbsKind::kRole)) != static_cast<int>(tree.shape.roleCount) ||
      tasks == 0) {
    state.SkipWithError("the roles were not all checked, or marked no task");
  }
  state.counters["roles"] = static_cast<double>(tree.shape.roleCount);
  state.counters["tasks"] = tasks;
}
BENCHMARK(BM_CheckDependentTasksOfAllRoles)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_CheckDependentBooksOfAllModules(benchmark::State& state) {
  LoadedTree& tree = Tree();
  for (auto _ : state) {
    state.PauseTiming();
    Reset(tree.run, RbsKind::kModule);
    state.ResumeTiming();
    tree.run.CheckDependentBooks(tree.context);
  }
  if (CheckedCount(tree.lists.Of(RbsKind::kBook)) != static_cast<int>(tree.shape.bookCount) ||
      CheckedCount(tree.lists.Of(RbsKind::kTask)) != static_cast<int>(tree.shape.taskCount)) {
    state.SkipWithError("not every book and task below the modules was marked");
  }
  state.counters["modules"] = static_cast<double>(tree.shape.moduleCount);
}
BENCHMARK(BM_CheckDependentBooksOfAllModules)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
