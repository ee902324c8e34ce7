// The directory client on a generated tree of 1,000,000 entries: how long the in-memory store
// takes to load it (from text and from its file) and how much memory it holds against the
// LDIF's size, and what a subtree search by base class returning 100,000 names and the listing of
// the 100,000-child container cost through the Dir* calls with 4096-byte buffers.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "bench/tree_generator.h"
#include "directory/client/dir_name.h"
#include "directory/client/dir_session.h"
#include "directory/client/memory_store.h"

namespace {

constexpr size_t kEntries = 1'000'000;

// Resident memory of the process in bytes.
size_t ResidentBytes() {
  malloc_trim(0);
  long pages = 0;
  long resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
      resident = 0;
    std::fclose(statm);
  }
  return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Makes the resident memory of now the process's peak (Linux: clear_refs 5).
void ResetPeakResidentBytes() {
  if (FILE* refs = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", refs);
    std::fclose(refs);
  }
}

// The highest resident memory of the process since the last reset, in bytes; 0 when unknown.
size_t PeakResidentBytes() {
  size_t kilobytes = 0;
  if (FILE* status = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, status) != nullptr) {
      if (std::sscanf(line, "VmHWM: %zu kB", &kilobytes) == 1)
        break;
    }
    std::fclose(status);
  }
  return kilobytes * 1024;
}

struct GeneratedTree {
  std::string ldif;
  GeneratedTreeShape shape;
};

const GeneratedTree& Tree() {
  static const GeneratedTree tree = [] {
    GeneratedTree generated;
    generated.ldif = GeneratedTreeLdif(TreeGeneratorOptions{kEntries, 1}, &generated.shape);
    return generated;
  }();
  return tree;
}

void BM_LoadTree(benchmark::State& state) {
  const GeneratedTree& tree = Tree();
  size_t storeBytes = 0;
  size_t residentGrowth = 0;
  for (auto _ : state) {
    state.PauseTiming();
    // Measured before the copy the store consumes: the store frees it when it has loaded.
    const size_t before = ResidentBytes();
    std::string text = tree.ldif;
    std::string error;
    state.ResumeTiming();
    auto store = MemoryStore::LoadText(std::move(text), "generated", error);
    state.PauseTiming();
    if (!store) {
      state.SkipWithError(error.c_str());
      return;
    }
    const size_t after = ResidentBytes();
    residentGrowth = after > before ? after - before : 0;
    storeBytes = store->MemoryBytes();
    store.reset();
    state.ResumeTiming();
  }
  const auto ldifBytes = static_cast<double>(tree.ldif.size());
  state.counters["ldif_MB"] = ldifBytes / 1e6;
  state.counters["store_MB"] = static_cast<double>(storeBytes) / 1e6;
  state.counters["rss_growth_MB"] = static_cast<double>(residentGrowth) / 1e6;
  state.counters["rss_per_ldif"] = static_cast<double>(residentGrowth) / ldifBytes;
}
BENCHMARK(BM_LoadTree)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same tree loaded from its file, as a connection loads it: read a piece at a time as it is
// checked, so the memory it takes is the store's alone.
void BM_LoadTreeFile(benchmark::State& state) {
  const GeneratedTree& tree = Tree();
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("orvane-bench-load-" + std::to_string(getpid()));
  std::ofstream(path, std::ios::binary) << tree.ldif;
  size_t residentGrowth = 0;
  size_t peakGrowth = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const size_t before = ResidentBytes();
    ResetPeakResidentBytes();
    std::string error;
    state.ResumeTiming();
    auto store = MemoryStore::LoadFile(path.string(), error);
    state.PauseTiming();
    if (!store) {
      state.SkipWithError(error.c_str());
      break;
    }
    const size_t after = ResidentBytes();
    residentGrowth = after > before ? after - before : 0;
    const size_t peak = PeakResidentBytes();
    peakGrowth = peak > before ? peak - before : 0;
    store.reset();
    state.ResumeTiming();
  }
  std::filesystem::remove(path);
  state.counters["peak_growth_MB"] = static_cast<double>(peakGrowth) / 1e6;
  const auto ldifBytes = static_cast<double>(tree.ldif.size());
  state.counters["rss_growth_MB"] = static_cast<double>(residentGrowth) / 1e6;
  state.counters["rss_per_ldif"] = static_cast<double>(residentGrowth) / ldifBytes;
}
BENCHMARK(BM_LoadTreeFile)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// A client started once on the generated tree, written to a temporary file with a connections
// file naming it, and its search context.
struct SearchClient {
  DirSession session;
  DirContext context = 0;
};

SearchClient& Searching() {
  static SearchClient searching;
  static const bool started = [] {
    DirClient& client = searching.session;
    const GeneratedTree& tree = Tree();
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("orvane-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "tree.ldif", std::ios::binary) << tree.ldif;
    std::ofstream(dir / "connections.ini")
        << "[bench]\ntree = BENCH\nsource = " << (dir / "tree.ldif").string()
        << "\nprimary = yes\n";
    client.DirClientUseConnectionsFile((dir / "connections.ini").string());
    const uint16_t code = client.DirClientInit(0, 0);
    std::filesystem::remove_all(dir);
    if (code != 0) {
      std::fprintf(stderr, "client start failed: %s\n", client.NWstrerror(code).c_str());
      std::exit(1);
    }
    DirContext created = 0;
    if (client.DirCreateContext(created) != kDirOk ||
        client.DirSetContextValue(created, kDirKeyFlags, 0x01u | 0x02u | 0x04u | 0x10u) != kDirOk ||
        client.DirSetContextValue(created, kDirKeyNameContext, std::string("[Root]")) != kDirOk) {
      std::exit(1);
    }
    searching.context = created;
    return true;
  }();
  static_cast<void>(started);
  return searching;
}

// Reads every name of every batch, as the search and listing layers do.
size_t DrainBatch(DirClient& client, DirContext context, DirBuffer buffer) {
  uint32_t count = 0;
  if (client.DirGetObjectCount(context, buffer, count) != kDirOk)
    return 0;
  std::string name;
  uint32_t attributes = 0;
  DirObjectInfo info;
  for (uint32_t i = 0; i < count; ++i) {
    if (client.DirGetObjectName(context, buffer, name, attributes, info) != kDirOk)
      return i;
  }
  return count;
}

void BM_SearchByBaseClass(benchmark::State& state) {
  const GeneratedTree& tree = Tree();
  SearchClient& searching = Searching();
  DirClient& client = searching.session;
  const DirContext context = searching.context;
  const std::string base =
      "." + FormatDirName(ParseLdapDn(tree.shape.organisationDn).value_or(DirName()), {}, true);
  size_t found = 0;
  for (auto _ : state) {
    DirBuffer filterBuffer = 0;
    DirBuffer result = 0;
    DirFilter filter = 0;
    (void)client.DirAllocBuffer(4096, filterBuffer);
    (void)client.DirAllocBuffer(4096, result);
    (void)client.DirInitBuffer(context, kDirOperationSearchFilter, filterBuffer);
    (void)client.DirAllocFilter(filter);
    (void)client.DirAddFilterToken(filter, kFilterOpen, {}, 0);
    (void)client.DirAddFilterToken(filter, kFilterBaseClass, {}, 0);
    (void)client.DirAddFilterToken(filter, kFilterAttribute, tree.shape.userBaseClass, 20);
    (void)client.DirAddFilterToken(filter, kFilterClose, {}, 0);
    (void)client.DirAddFilterToken(filter, kFilterEnd, {}, 0);
    if (client.DirPutFilter(context, filterBuffer, filter, nullptr) != kDirOk) {
      state.SkipWithError("filter refused");
      return;
    }
    found = 0;
    int32_t handle = -1;
    do {
      if (client.DirSearch(context, base, 2, 0, filterBuffer, DirTimeStamp{}, 0, 0, nullptr, handle,
                           0, nullptr, result) != kDirOk) {
        break;
      }
      found += DrainBatch(client, context, result);
    } while (handle != -1);
    (void)client.DirFreeBuffer(filterBuffer);
    (void)client.DirFreeBuffer(result);
  }
  if (found != tree.shape.largeContainerChildren)
    state.SkipWithError("wrong number of names");
  state.counters["names"] = static_cast<double>(found);
}
BENCHMARK(BM_SearchByBaseClass)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ListLargeContainer(benchmark::State& state) {
  const GeneratedTree& tree = Tree();
  SearchClient& searching = Searching();
  DirClient& client = searching.session;
  const DirContext context = searching.context;
  DirContext listing = 0;
  (void)client.DirDuplicateContext(context, listing);
  (void)client.DirSetContextValue(listing, kDirKeyNameContext, tree.shape.largeContainerName);
  const std::string base = "." + tree.shape.largeContainerName;
  size_t found = 0;
  for (auto _ : state) {
    DirBuffer result = 0;
    (void)client.DirAllocBuffer(4096, result);
    found = 0;
    int32_t handle = -1;
    do {
      if (client.DirListSubordinates(listing, base, handle, result) != kDirOk)
        break;
      found += DrainBatch(client, listing, result);
    } while (handle != -1);
    (void)client.DirFreeBuffer(result);
  }
  if (found != tree.shape.largeContainerChildren)
    state.SkipWithError("wrong number of names");
  state.counters["names"] = static_cast<double>(found);
  (void)client.DirFreeContext(listing);
}
BENCHMARK(BM_ListLargeContainer)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
