// The export tab's five searches, one per RBS kind, below the root of a generated tree, through
// DSSearch into string lists, as opening the tab runs them. Loading the tree is not measured.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/bench_client.h"
#include "bench/tree_generator.h"
#include "directory/d_nw_search.h"

namespace {

// The client with one connection to a generated tree of `entries` entries, and a search context
// as the window holds it. Loaded once per tree size.
struct LoadedTree {
  size_t entries = 0;
  size_t rbsObjects = 0;
  DirContext context = 0;
};

LoadedTree& Load(size_t entries) {
  static LoadedTree tree;
  if (tree.entries == entries) {
    return tree;
  }
  if (tree.entries != 0) {
    DirClientShutdown();
  }
  char pattern[] = "/tmp/orvane_search_bench_XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::abort();
  }
  const std::filesystem::path folder = pattern;
  GeneratedTreeShape shape;
  {
    std::ofstream ldif(folder / "tree.ldif", std::ios::binary);
    shape = WriteGeneratedTree({entries, 1}, ldif);
  }
  tree.context = StartBenchClient(folder, (folder / "tree.ldif").string());
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  tree.entries = entries;
  tree.rbsObjects = shape.RbsObjectCount();
  return tree;
}

void BM_ExportTabSearches(benchmark::State& state) {
  const LoadedTree& tree = Load(static_cast<size_t>(state.range(0)));
  MeasureExportSearches(state, tree.context, tree.rbsObjects);
}
BENCHMARK(BM_ExportTabSearches)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

// One filter text converted and put into a filter buffer, without searching: the share of the
// conversion in a search.
void BM_ConvertFilter(benchmark::State& state) {
  const LoadedTree& tree = Load(100'000);
  const std::string text =
      "(Base Class=rbsTask2) #AND# ((CN=Reset) #OR# #NOT# (Name#EQ#Reset)) #AND# (rbsTitle=x)";
  for (auto _ : state) {
    ClientFilterSink sink(tree.context);
    FilterConversion conversion(sink);
    benchmark::DoNotOptimize(ConvertFilter(text, conversion));
  }
}
BENCHMARK(BM_ConvertFilter);

}  // namespace

BENCHMARK_MAIN();
