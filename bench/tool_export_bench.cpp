// orvane-export --all, the program as a user runs it, against a slapd holding the generated
// 100,000-entry tree (10,000 RBS objects), beside its yardstick: ldapsearch fetching the same
// entries with all their attributes by one paged subtree search. Both reach the server through one
// delay relay holding each chunk the benchmarks' argument (0, 5, 20 ms) each way. The program run
// is ORVANE_EXPORT when set, so that another build is measured in turn against the same server;
// else the one built beside this benchmark. The program's peak memory stands beside the size of
// the document it wrote. On loopback, the same export of the tree spread over two servers, half
// of its modules with their books and tasks behind referrals. Loading the servers is not measured.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/tree_generator.h"
#include "tests/client/live_server_tools.h"
#include "tests/client/slapd_server.h"
#include "tests/support/delay_relay.h"

namespace {

namespace fs = std::filesystem;

struct ServedTree {
  fs::path folder;
  std::unique_ptr<SlapdServer> server;  // the one server, or
  std::unique_ptr<SplitSlapd> split;    // the two
  std::unique_ptr<DelayRelay> relay;    // to the one server, or to the top of the two
  GeneratedTreeShape shape;
};

// The generated tree's LDIF, written once for both trees, in a folder removed at exit.
const fs::path& TreeLdif(GeneratedTreeShape& shape) {
  static struct Written {
    fs::path ldif;
    GeneratedTreeShape shape;
    ~Written() {
      std::error_code ignored;
      fs::remove_all(ldif.parent_path(), ignored);
    }
  } written;
  if (written.ldif.empty()) {
    char pattern[] = "/tmp/orvane_tool_export_bench_XXXXXX";
    if (mkdtemp(pattern) == nullptr)
      std::abort();
    written.ldif = fs::path(pattern) / "tree.ldif";
    std::ofstream ldif(written.ldif, std::ios::binary);
    written.shape = WriteGeneratedTree({100'000, 1}, ldif);
  }
  shape = written.shape;
  return written.ldif;
}

// The tree on one server; with `split`, the first half of its modules, with their books and
// tasks, on a second server behind referrals.
ServedTree& Tree(bool split = false) {
  static ServedTree trees[2];
  ServedTree& tree = trees[split ? 1 : 0];
  if (tree.relay)
    return tree;
  const fs::path& ldif = TreeLdif(tree.shape);
  tree.folder = ldif.parent_path() / (split ? "split" : "one");
  fs::create_directories(tree.folder);
  SlapdServer* top = nullptr;
  if (split) {
    std::vector<std::string> parts;
    for (size_t m = 1; m <= tree.shape.moduleCount / 2; ++m) {
      const std::string number = std::to_string(m);
      parts.push_back("cn=Module" + std::string(4 - std::min<size_t>(4, number.size()), '0') +
                      number + "," + tree.shape.rbsCollectionDn);
    }
    tree.split = std::make_unique<SplitSlapd>(ldif.string(), parts);
    if (!tree.split->Running()) {
      std::fprintf(stderr, "%s\n", tree.split->Error().c_str());
      std::abort();
    }
    top = &tree.split->Top();
  } else {
    tree.server = std::make_unique<SlapdServer>(ldif.string());
    if (!tree.server->Running()) {
      std::fprintf(stderr, "%s\n", tree.server->Error().c_str());
      std::abort();
    }
    top = tree.server.get();
  }
  const std::string uri = top->Uri();
  tree.relay = std::make_unique<DelayRelay>("127.0.0.1", std::stoi(uri.substr(uri.rfind(':') + 1)),
                                            std::chrono::milliseconds(0));
  if (tree.relay->Port() == 0)
    std::abort();
  std::ofstream(tree.folder / "connections.ini")
      << "[bench]\ntree = BENCH_TREE\nsource = " << tree.relay->Uri()
      << "\nprimary = yes\ntimeout = 120\n";
  return tree;
}

// The same entries the export holds, every attribute of each.
const std::vector<std::string> kLdapsearchRbsObjects = {
    "/usr/bin/ldapsearch",
    "-LLL",
    "-x",
    "-E",
    "pr=1000/noprompt",
    "(|(objectClass=rbsModule2)(objectClass=rbsCategory2)(objectClass=rbsRole2)"
    "(objectClass=rbsBook2)(objectClass=rbsTask2))"};

// Runs `args` once per iteration through the relay of `tree` at state.range(0) ms each way, its
// output in
// a file whose size becomes the "bytes" counter, the most memory the program held the "peak_kb"
// one; the run fails when the program does.
void MeasureProgram(benchmark::State& state, ServedTree& tree,
                    const std::vector<std::string>& args) {
  tree.relay->SetDelay(std::chrono::milliseconds(state.range(0)));
  tree.relay->ResetTurns();
  const fs::path output = tree.folder / "output";
  long peakKilobytes = 0;
  for (auto _ : state) {
    fs::remove(output);
    if (live_server::Run(args, output.string(), &peakKilobytes) != 0) {
      state.SkipWithError(("failed: " + args[0] + "; see " + output.string()).c_str());
      return;
    }
  }
  state.counters["bytes"] = static_cast<double>(fs::file_size(output));
  state.counters["peak_kb"] = static_cast<double>(peakKilobytes);
  if (state.iterations() > 0) {
    state.counters["turns"] =
        static_cast<double>(tree.relay->Turns()) / static_cast<double>(state.iterations());
  }
}

void Delays(benchmark::internal::Benchmark* benchmark) {
  benchmark->ArgName("delay_ms")->Arg(0)->Arg(5)->Arg(20);
  benchmark->Unit(benchmark::kMillisecond)->UseRealTime();
}

void MeasureTheTool(benchmark::State& state, ServedTree& tree) {
  const char* program = std::getenv("ORVANE_EXPORT");
  MeasureProgram(state, tree,
                 {program != nullptr ? program : ORVANE_EXPORT_PROGRAM, "--connections",
                  (tree.folder / "connections.ini").string(), "--all"});
}

void BM_ExportAllByTheTool(benchmark::State& state) {
  MeasureTheTool(state, Tree());
}
BENCHMARK(BM_ExportAllByTheTool)->Apply(Delays);

// The second server's cost: the referrals followed, their connections opened and bound, the
// part's entries fetched from it. The relay holds the top's chunks only, hence loopback.
void BM_ExportAllByTheToolAcrossTwoServers(benchmark::State& state) {
  MeasureTheTool(state, Tree(true));
}
BENCHMARK(BM_ExportAllByTheToolAcrossTwoServers)
    ->ArgName("delay_ms")
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_AllRbsObjectsByLdapsearch(benchmark::State& state) {
  ServedTree& tree = Tree();
  std::vector<std::string> args = kLdapsearchRbsObjects;
  args.insert(args.begin() + 3, {"-H", tree.relay->Uri(), "-b", tree.shape.rbsCollectionDn});
  MeasureProgram(state, tree, args);
}
BENCHMARK(BM_AllRbsObjectsByLdapsearch)->Apply(Delays);

}  // namespace

BENCHMARK_MAIN();
