// orvane-export --all, the program as a user runs it, against a slapd holding the generated
// 100,000-entry tree (10,000 RBS objects), beside its yardstick: ldapsearch fetching the same
// entries with all their attributes by one paged subtree search. Both reach the server through one
// delay relay holding each chunk the benchmarks' argument (0, 5, 20 ms) each way. The program run
// is ORVANE_EXPORT when set, so that another build is measured in turn against the same server;
// else the one built beside this benchmark. Loading the server is not measured.
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
  std::unique_ptr<SlapdServer> server;
  std::unique_ptr<DelayRelay> relay;
  GeneratedTreeShape shape;
};

ServedTree& Tree() {
  static ServedTree tree;
  if (tree.server)
    return tree;
  char pattern[] = "/tmp/orvane_tool_export_bench_XXXXXX";
  if (mkdtemp(pattern) == nullptr)
    std::abort();
  tree.folder = pattern;
  {
    std::ofstream ldif(tree.folder / "tree.ldif", std::ios::binary);
    tree.shape = WriteGeneratedTree({100'000, 1}, ldif);
  }
  tree.server = std::make_unique<SlapdServer>((tree.folder / "tree.ldif").string());
  if (!tree.server->Running()) {
    std::fprintf(stderr, "%s\n", tree.server->Error().c_str());
    std::abort();
  }
  const std::string uri = tree.server->Uri();
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

// Runs `args` once per iteration through the relay at state.range(0) ms each way, its output in
// a file whose size becomes the "bytes" counter; the run fails when the program does.
void MeasureProgram(benchmark::State& state, const std::vector<std::string>& args) {
  ServedTree& tree = Tree();
  tree.relay->SetDelay(std::chrono::milliseconds(state.range(0)));
  tree.relay->ResetTurns();
  const fs::path output = tree.folder / "output";
  for (auto _ : state) {
    fs::remove(output);
    if (live_server::Run(args, output.string()) != 0) {
      state.SkipWithError(("failed: " + args[0] + "; see " + output.string()).c_str());
      return;
    }
  }
  state.counters["bytes"] = static_cast<double>(fs::file_size(output));
  if (state.iterations() > 0) {
    state.counters["turns"] =
        static_cast<double>(tree.relay->Turns()) / static_cast<double>(state.iterations());
  }
}

void Delays(benchmark::internal::Benchmark* benchmark) {
  benchmark->ArgName("delay_ms")->Arg(0)->Arg(5)->Arg(20);
  benchmark->Unit(benchmark::kMillisecond)->UseRealTime();
}

void BM_ExportAllByTheTool(benchmark::State& state) {
  const char* program = std::getenv("ORVANE_EXPORT");
  const std::string connections = (Tree().folder / "connections.ini").string();
  MeasureProgram(state, {program != nullptr ? program : ORVANE_EXPORT_PROGRAM, "--connections",
                         connections, "--all"});
}
BENCHMARK(BM_ExportAllByTheTool)->Apply(Delays);

void BM_AllRbsObjectsByLdapsearch(benchmark::State& state) {
  std::vector<std::string> args = kLdapsearchRbsObjects;
  args.insert(args.begin() + 3, {"-H", Tree().relay->Uri(), "-b", Tree().shape.rbsCollectionDn});
  MeasureProgram(state, args);
}
BENCHMARK(BM_AllRbsObjectsByLdapsearch)->Apply(Delays);

}  // namespace

BENCHMARK_MAIN();
