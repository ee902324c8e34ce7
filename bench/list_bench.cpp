// Listing one large container through the client into the window's two sorted lists (the
// containers, and every entry with its class), and the bare listing without lists for
// comparison. The tree is the generated benchmark tree whose large container holds 100,000
// users, in the generator's order, which is not the sorted one.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/tree_generator.h"
#include "directory/client/dir_session.h"
#include "directory/d_nw_list.h"
#include "util/string_list.h"

namespace {

constexpr size_t kTreeEntries = 1'000'000;

// A client, started once on the generated tree for every benchmark of the run.
class BenchTree {
 public:
  BenchTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orvane-listb-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    folder_ = pattern;
    {
      std::ofstream ldif(folder_ / "tree.ldif");
      shape_ = WriteGeneratedTree({.entryCount = kTreeEntries, .seed = 1}, ldif);
    }
    container_ = MakeFullName(shape_.largeContainerName);
    std::ofstream(folder_ / "connections.ini")
        << "[bench]\ntree = BENCH_TREE\nsource = " << (folder_ / "tree.ldif").string()
        << "\nprimary = yes\n";
    session_.DirClientUseConnectionsFile((folder_ / "connections.ini").string());
    if (const uint16_t code = session_.DirClientInit(0, 0); code != kDirConnectionOk) {
      std::fprintf(stderr, "client start-up failed: %s\n", session_.NWstrerror(code).c_str());
      std::exit(1);
    }
    if (session_.DirCreateContext(context_) != kDirOk) {
      std::fprintf(stderr, "no context\n");
      std::exit(1);
    }
  }
  ~BenchTree() {
    static_cast<void>(session_.DirFreeContext(context_));
    session_.DirClientShutdown();
    std::filesystem::remove_all(folder_);
  }
  BenchTree(const BenchTree&) = delete;
  BenchTree& operator=(const BenchTree&) = delete;

  [[nodiscard]] DirClient& Client() { return session_; }
  [[nodiscard]] DirContext Context() const { return context_; }
  // The large container in display form, and how many entries it holds.
  [[nodiscard]] const std::string& Container() const { return container_; }
  [[nodiscard]] int64_t Children() const {
    return static_cast<int64_t>(shape_.largeContainerChildren);
  }

 private:
  std::filesystem::path folder_;
  GeneratedTreeShape shape_;
  std::string container_;
  DirSession session_;
  DirContext context_ = 0;
};

BenchTree& Tree() {
  static BenchTree tree;
  return tree;
}

// What the window does when it shows a container: both lists sorted, object lines with classes.
void BM_ListIntoSortedLists(benchmark::State& state) {
  BenchTree& tree = Tree();
  int64_t entries = 0;
  for (auto _ : state) {
    TStringList containers(true);
    TStringList objects(true);
    DSListContainer(tree.Client(), tree.Context(), tree.Container(), &containers, &objects, "",
                    true);
    entries = objects.Count();
    benchmark::DoNotOptimize(containers.Count());
  }
  if (entries != tree.Children()) {
    state.SkipWithError("the listing did not return every entry");
  }
  state.SetItemsProcessed(state.iterations() * entries);
  state.counters["entries"] = static_cast<double>(entries);
}
BENCHMARK(BM_ListIntoSortedLists)->Unit(benchmark::kMillisecond);

// The listing alone: the client's batches and the state machine, no list kept.
void BM_ListOnly(benchmark::State& state) {
  BenchTree& tree = Tree();
  for (auto _ : state) {
    DSListContainer(tree.Client(), tree.Context(), tree.Container(), nullptr, nullptr, "", true);
  }
  state.SetItemsProcessed(state.iterations() * tree.Children());
}
BENCHMARK(BM_ListOnly)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
