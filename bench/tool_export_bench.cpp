// orvane-export --all, the program as a user runs it, against a slapd holding the generated
// 100,000-entry tree (10,000 RBS objects), beside its yardstick: ldapsearch fetching the same
// entries with all their attributes by one paged subtree search. Both reach the server through one
// delay relay holding each chunk the benchmarks' argument (0, 5, 20 ms) each way. The program run
// is ORVANE_EXPORT when set, so that another build is measured in turn against the same server;
// else the one built beside this benchmark. The program's peak memory stands beside the size of
// the document it wrote. On loopback, the same export of the tree spread over two servers, half
// of its modules with their books and tasks behind referrals; and both figures again on a 389
// Directory Server, with the lists alone beside the export tab's five searches by ldapsearch.
// Loading the servers is not measured.
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

#include "bench/live_delays.h"
#include "bench/tree_generator.h"
#include "tests/client/ds389_server.h"
#include "tests/client/live_server_tools.h"
#include "tests/client/slapd_server.h"
#include "tests/support/delay_relay.h"

namespace {

namespace fs = std::filesystem;

struct ServedTree {
  fs::path folder;
  std::unique_ptr<SlapdServer> server;  // the one server, or
  std::unique_ptr<SplitSlapd> split;    // the two, or
  std::unique_ptr<Ds389Server> ds389;   // the one server of the other kind
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

enum class Served { kOneSlapd, kSplitSlapd, kDs389 };

// The tree on one slapd; split, the first half of its modules, with their books and tasks, on a
// second slapd behind referrals; or on one 389 Directory Server.
ServedTree& Tree(Served served = Served::kOneSlapd) {
  static ServedTree trees[3];
  ServedTree& tree = trees[static_cast<int>(served)];
  if (tree.relay)
    return tree;
  const fs::path& ldif = TreeLdif(tree.shape);
  tree.folder = ldif.parent_path() / std::to_string(static_cast<int>(served));
  fs::create_directories(tree.folder);
  std::string uri;
  if (served == Served::kDs389) {
    tree.ds389 = std::make_unique<Ds389Server>(ldif.string());
    if (!tree.ds389->Running()) {
      std::fprintf(stderr, "%s\n", tree.ds389->Error().c_str());
      std::abort();
    }
    uri = tree.ds389->Uri();
  } else if (served == Served::kSplitSlapd) {
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
    uri = tree.split->Top().Uri();
  } else {
    tree.server = std::make_unique<SlapdServer>(ldif.string());
    if (!tree.server->Running()) {
      std::fprintf(stderr, "%s\n", tree.server->Error().c_str());
      std::abort();
    }
    uri = tree.server->Uri();
  }
  tree.relay = std::make_unique<DelayRelay>(uri, std::chrono::milliseconds(0));
  if (tree.relay->Port() == 0)
    std::abort();
  std::ofstream(tree.folder / "connections.ini")
      << "[bench]\ntree = BENCH_TREE\nsource = " << tree.relay->Uri()
      << "\nprimary = yes\ntimeout = 120\n";
  return tree;
}

// Runs `args` once per iteration through the relay of `tree` at state.range(0) ms each way, its
// output in a file whose size becomes the "bytes" counter; the run fails when the program does.
// The program runs under time(1), whose count of the most memory it held is the "peak_kb"
// counter: a child of this process would count the pages it shares with it until its exec.
void MeasureProgram(benchmark::State& state, ServedTree& tree,
                    const std::vector<std::string>& args) {
  tree.relay->SetDelay(std::chrono::milliseconds(state.range(0)));
  tree.relay->ResetTurns();
  const fs::path output = tree.folder / "output";
  const fs::path peak = tree.folder / "peak";
  std::vector<std::string> timed = {"/usr/bin/time", "-f", "%M", "-o", peak.string()};
  timed.insert(timed.end(), args.begin(), args.end());
  for (auto _ : state) {
    fs::remove(output);
    if (live_server::Run(timed, output.string()) != 0) {
      // The output goes with the folder at exit: its end, where the program says why, is kept.
      const std::string said = live_server::ReadAll(output.string());
      state.SkipWithError(("failed: " + args[0] + ": " +
                           said.substr(said.size() - std::min<size_t>(said.size(), 300)))
                              .c_str());
      return;
    }
  }
  state.counters["bytes"] = static_cast<double>(fs::file_size(output));
  state.counters["peak_kb"] = std::atof(live_server::ReadAll(peak.string()).c_str());
  if (state.iterations() > 0) {
    state.counters["turns"] =
        static_cast<double>(tree.relay->Turns()) / static_cast<double>(state.iterations());
  }
}

// The program with `marks` (what it checks and prints) after its connections file.
void MeasureTheTool(benchmark::State& state, ServedTree& tree,
                    const std::vector<std::string>& marks) {
  const char* program = std::getenv("ORVANE_EXPORT");
  std::vector<std::string> args = {program != nullptr ? program : ORVANE_EXPORT_PROGRAM,
                                   "--connections", (tree.folder / "connections.ini").string()};
  args.insert(args.end(), marks.begin(), marks.end());
  MeasureProgram(state, tree, args);
}

void BM_ExportAllByTheTool(benchmark::State& state) {
  MeasureTheTool(state, Tree(), {"--all"});
}
BENCHMARK(BM_ExportAllByTheTool)->Apply(LiveDelays);

// The same lists without the document: the peak memory of the program without the rebuild.
void BM_ListAllByTheTool(benchmark::State& state) {
  MeasureTheTool(state, Tree(), {"--all", "--list"});
}
BENCHMARK(BM_ListAllByTheTool)->Apply(LoopbackOnly);

// The second server's cost: the referrals followed, their connections opened and bound, the
// part's entries fetched from it. The relay holds the top's chunks only, hence loopback.
void BM_ExportAllByTheToolAcrossTwoServers(benchmark::State& state) {
  MeasureTheTool(state, Tree(Served::kSplitSlapd), {"--all"});
}
BENCHMARK(BM_ExportAllByTheToolAcrossTwoServers)->Apply(LoopbackOnly);

// `pageSize`: 389 applies its size limit (500) to each page and refuses pages of 500 as well, so
// there the yardstick pages by 499, as the client settles on.
// `filter` and `attributes`: of every RBS object, all attributes, unless given.
void MeasureLdapsearch(benchmark::State& state, ServedTree& tree, int pageSize,
                       const std::string& filter =
                           "(|(objectClass=rbsModule2)(objectClass=rbsCategory2)"
                           "(objectClass=rbsRole2)(objectClass=rbsBook2)(objectClass=rbsTask2))",
                       const std::vector<std::string>& attributes = {}) {
  std::vector<std::string> args = {"/usr/bin/ldapsearch",
                                   "-LLL",
                                   "-x",
                                   "-H",
                                   tree.relay->Uri(),
                                   "-b",
                                   tree.shape.rbsCollectionDn,
                                   "-E",
                                   "pr=" + std::to_string(pageSize) + "/noprompt",
                                   filter};
  args.insert(args.end(), attributes.begin(), attributes.end());
  MeasureProgram(state, tree, args);
}

void BM_AllRbsObjectsByLdapsearch(benchmark::State& state) {
  MeasureLdapsearch(state, Tree(), 1000);
}
BENCHMARK(BM_AllRbsObjectsByLdapsearch)->Apply(LiveDelays);

// The same two on the other kind of server.
void BM_ExportAllByTheToolOn389(benchmark::State& state) {
  MeasureTheTool(state, Tree(Served::kDs389), {"--all"});
}
BENCHMARK(BM_ExportAllByTheToolOn389)->Apply(LiveDelays);

void BM_AllRbsObjectsByLdapsearchOn389(benchmark::State& state) {
  MeasureLdapsearch(state, Tree(Served::kDs389), 499);
}
BENCHMARK(BM_AllRbsObjectsByLdapsearchOn389)->Apply(LiveDelays);

// The lists alone on 389, beside the export tab's yardstick: its five searches by ldapsearch, one
// after another, names only.
void BM_ListAllByTheToolOn389(benchmark::State& state) {
  MeasureTheTool(state, Tree(Served::kDs389), {"--all", "--list"});
}
BENCHMARK(BM_ListAllByTheToolOn389)->Apply(LiveDelays);

void BM_ExportTabSearchesByLdapsearchOn389(benchmark::State& state) {
  ServedTree& tree = Tree(Served::kDs389);
  std::string searches;
  for (const char* kind : {"rbsModule2", "rbsCategory2", "rbsRole2", "rbsBook2", "rbsTask2"}) {
    searches += "/usr/bin/ldapsearch -LLL -x -H " + tree.relay->Uri() + " -b '" +
                tree.shape.rbsCollectionDn + "' -E pr=499/noprompt '(objectClass=" + kind +
                ")' 1.1 && ";
  }
  MeasureProgram(state, tree, {"/bin/sh", "-c", searches + "true"});
}
BENCHMARK(BM_ExportTabSearchesByLdapsearchOn389)->Apply(LiveDelays);

// Marking by dependency on 389: every role checked, then the tasks they name; its cost is the
// difference to the same lists with the roles checked alone, beside ldapsearch fetching the roles'
// rbsContent by one paged search. The same for the books and tasks of every module, beside the
// names of every book and task.
void BM_CheckDependentTasksByTheToolOn389(benchmark::State& state) {
  MeasureTheTool(state, Tree(Served::kDs389), {"--roles", "Role", "--dependents", "--list"});
}
BENCHMARK(BM_CheckDependentTasksByTheToolOn389)->Apply(LiveDelays);

void BM_CheckRolesByTheToolOn389(benchmark::State& state) {
  MeasureTheTool(state, Tree(Served::kDs389), {"--roles", "Role", "--list"});
}
BENCHMARK(BM_CheckRolesByTheToolOn389)->Apply(LiveDelays);

void BM_ContentOfAllRolesByLdapsearchOn389(benchmark::State& state) {
  MeasureLdapsearch(state, Tree(Served::kDs389), 499, "(objectClass=rbsRole2)", {"rbsContent"});
}
BENCHMARK(BM_ContentOfAllRolesByLdapsearchOn389)->Apply(LiveDelays);

void BM_CheckDependentBooksByTheToolOn389(benchmark::State& state) {
  MeasureTheTool(state, Tree(Served::kDs389), {"--modules", "Module", "--dependents", "--list"});
}
BENCHMARK(BM_CheckDependentBooksByTheToolOn389)->Apply(LiveDelays);

void BM_CheckModulesByTheToolOn389(benchmark::State& state) {
  MeasureTheTool(state, Tree(Served::kDs389), {"--modules", "Module", "--list"});
}
BENCHMARK(BM_CheckModulesByTheToolOn389)->Apply(LiveDelays);

void BM_NamesOfAllBooksAndTasksByLdapsearchOn389(benchmark::State& state) {
  MeasureLdapsearch(state, Tree(Served::kDs389), 499,
                    "(|(objectClass=rbsBook2)(objectClass=rbsTask2))", {"1.1"});
}
BENCHMARK(BM_NamesOfAllBooksAndTasksByLdapsearchOn389)->Apply(LiveDelays);

}  // namespace

BENCHMARK_MAIN();
