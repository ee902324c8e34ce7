// Listing one large container through the client into the window's two sorted lists (the
// containers, and every entry with its class), and the bare listing without lists for
// comparison. The tree is a flat LDIF written at start: one organisation, one container of N
// entries in an order that is not sorted, one entry in a hundred itself a container.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "directory/client/dir_client.h"
#include "directory/d_nw_list.h"
#include "util/string_list.h"

namespace {

constexpr int kLargestContainer = 100'000;
constexpr int kContainerEvery = 100;
constexpr const char* kBigContainer = ".People.Bench";

// A leaf name whose order differs from the order of creation, as real names do: a letter
// that cycles fast, then the number.
std::string ChildName(int i) {
  std::string digits = std::to_string(i);
  return std::string(1, static_cast<char>('a' + (i * 7) % 26)) +
         std::string(6 - digits.size(), '0') + digits;
}

std::string FlatTreeLdif(int children) {
  std::string ldif = "version: 1\n\ndn: o=Bench\nobjectClass: organization\n\n";
  ldif += "dn: ou=People,o=Bench\nobjectClass: organizationalUnit\n\n";
  for (int i = 0; i < children; ++i) {
    const bool container = i % kContainerEvery == 0;
    ldif += (container ? "dn: ou=" : "dn: cn=") + ChildName(i) + ",ou=People,o=Bench\n";
    ldif += container ? "objectClass: organizationalUnit\n\n" : "objectClass: inetOrgPerson\n\n";
  }
  return ldif;
}

// The client, started once on the generated tree for every benchmark of the run.
class BenchTree {
 public:
  BenchTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orvane-listb-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    folder_ = pattern;
    std::ofstream(folder_ / "tree.ldif") << FlatTreeLdif(kLargestContainer);
    std::ofstream(folder_ / "connections.ini")
        << "[bench]\ntree = BENCH_TREE\nsource = " << (folder_ / "tree.ldif").string()
        << "\ncontext = Bench\nprimary = yes\n";
    DirClientUseConnectionsFile((folder_ / "connections.ini").string());
    if (const uint16_t code = DirClientInit(0, 0); code != kDirConnectionOk) {
      std::fprintf(stderr, "client start-up failed: %s\n", NWstrerror(code).c_str());
      std::exit(1);
    }
    if (DirCreateContext(context_) != kDirOk) {
      std::fprintf(stderr, "no context\n");
      std::exit(1);
    }
  }
  ~BenchTree() {
    static_cast<void>(DirFreeContext(context_));
    DirClientShutdown();
    DirClientUseConnectionsFile("");
    std::filesystem::remove_all(folder_);
  }
  BenchTree(const BenchTree&) = delete;
  BenchTree& operator=(const BenchTree&) = delete;

  [[nodiscard]] DirContext Context() const { return context_; }

 private:
  std::filesystem::path folder_;
  DirContext context_ = 0;
};

BenchTree& Tree() {
  static BenchTree tree;
  return tree;
}

// What the window does when it shows a container: both lists sorted, object lines with classes.
void BM_ListIntoSortedLists(benchmark::State& state) {
  const DirContext context = Tree().Context();
  int64_t entries = 0;
  for (auto _ : state) {
    TStringList containers(true);
    TStringList objects(true);
    DSListContainer(context, kBigContainer, &containers, &objects, "", true);
    entries = objects.Count();
    benchmark::DoNotOptimize(containers.Count());
  }
  if (entries != kLargestContainer) {
    state.SkipWithError("the listing did not return every entry");
  }
  state.SetItemsProcessed(state.iterations() * entries);
  state.counters["entries"] = static_cast<double>(entries);
}
BENCHMARK(BM_ListIntoSortedLists)->Unit(benchmark::kMillisecond);

// The listing alone: the client's batches and the state machine, no list kept.
void BM_ListOnly(benchmark::State& state) {
  const DirContext context = Tree().Context();
  for (auto _ : state) {
    DSListContainer(context, kBigContainer, nullptr, nullptr, "", true);
  }
  state.SetItemsProcessed(state.iterations() * kLargestContainer);
}
BENCHMARK(BM_ListOnly)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
