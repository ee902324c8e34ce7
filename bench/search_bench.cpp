// The export tab's five searches, one per RBS kind, below the root of a generated tree, through
// DSSearch into string lists, as opening the tab runs them, and the same searches over a container
// of namesakes. Loading the tree is not measured.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/bench_client.h"
#include "bench/tree_generator.h"
#include "directory/client/dir_session.h"
#include "directory/d_nw_search.h"

namespace {

// A client with one connection to a generated tree of `entries` entries, and a search context
// as the window holds it. Loaded once per tree.
struct LoadedTree {
  std::string tree;  // which tree, and of how many entries
  size_t rbsObjects = 0;
  DirSession session;
  DirContext context = 0;
};

// Starts the client on the LDIF that `write` writes, unless `tree` names the one it is on.
template <typename Write>
LoadedTree& LoadTree(const std::string& tree, Write write) {
  static LoadedTree loaded;
  if (loaded.tree == tree) {
    return loaded;
  }
  if (!loaded.tree.empty()) {
    loaded.session.DirClientShutdown();
  }
  char pattern[] = "/tmp/orvane_search_bench_XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::abort();
  }
  const std::filesystem::path folder = pattern;
  {
    std::ofstream ldif(folder / "tree.ldif", std::ios::binary);
    loaded.rbsObjects = write(ldif);
  }
  loaded.context = StartBenchClient(loaded.session, folder, (folder / "tree.ldif").string());
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  loaded.tree = tree;
  return loaded;
}

LoadedTree& Load(size_t entries) {
  return LoadTree("generated " + std::to_string(entries), [entries](std::ostream& ldif) {
    return WriteGeneratedTree({entries, 1}, ldif).RbsObjectCount();
  });
}

void BM_ExportTabSearches(benchmark::State& state) {
  LoadedTree& tree = Load(static_cast<size_t>(state.range(0)));
  MeasureExportSearches(tree.session, state, tree.context, tree.rbsObjects);
}
BENCHMARK(BM_ExportTabSearches)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

// Modules sharing one name under as many naming types, in one container: each name the search
// hands out is written typed but the first, which takes a look at the namesakes.
void BM_SearchNamesakes(benchmark::State& state) {
  const auto modules = static_cast<size_t>(state.range(0));
  LoadedTree& tree =
      LoadTree("namesakes " + std::to_string(modules), [modules](std::ostream& ldif) {
        ldif << "dn: o=X\nobjectClass: organization\n\n";
        for (size_t i = 0; i < modules; ++i) {
          ldif << "dn: t" << i << "=same,o=X\nobjectClass: rbsModule2\n\n";
        }
        return modules;
      });
  MeasureExportSearches(tree.session, state, tree.context, tree.rbsObjects);
}
BENCHMARK(BM_SearchNamesakes)
    ->Arg(10'000)
    ->Arg(20'000)
    ->Arg(40'000)
    ->Arg(70'000)
    ->Unit(benchmark::kMillisecond);

// One filter text converted and put into a filter buffer, without searching: the share of the
// conversion in a search.
void BM_ConvertFilter(benchmark::State& state) {
  LoadedTree& tree = Load(100'000);
  const std::string text =
      "(Base Class=rbsTask2) #AND# ((CN=Reset) #OR# #NOT# (Name#EQ#Reset)) #AND# (rbsTitle=x)";
  for (auto _ : state) {
    ClientFilterSink sink(tree.session, tree.context);
    FilterConversion conversion(sink);
    benchmark::DoNotOptimize(ConvertFilter(text, conversion));
  }
}
BENCHMARK(BM_ConvertFilter);

}  // namespace

BENCHMARK_MAIN();
