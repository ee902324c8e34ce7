// Marking by dependency on the generated 1,000,000-entry tree (100,000 RBS objects: 400 modules,
// 10,000 roles, 69,600 tasks) through TExportRun over TExportLists, as orvane-export marks: every
// role's tasks, and every module's books and tasks.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/bench_client.h"
#include "bench/bench_marking.h"
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

void BM_CheckDependentTasksOfAllRoles(benchmark::State& state) {
  LoadedTree& tree = Tree();
  MeasureDependentTasksOfAllRoles(state, tree.session, tree.context, tree.run, tree.lists,
                                  tree.shape);
}
BENCHMARK(BM_CheckDependentTasksOfAllRoles)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_CheckDependentBooksOfAllModules(benchmark::State& state) {
  LoadedTree& tree = Tree();
  MeasureDependentBooksOfAllModules(state, tree.session, tree.context, tree.run, tree.lists,
                                    tree.shape);
}
BENCHMARK(BM_CheckDependentBooksOfAllModules)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
