// The live store against the server's own command-line client, on one slapd loaded with a
// generated tree of 1,000,000 entries (100,000 RBS objects): the export tab's five searches
// through DSSearch, the same five searches by ldapsearch -LLL for names only (1.1), both paged
// past the server's size limit; the directory reads of 1,000 checked tasks one by one (every
// attribute of each, and its XML info stream); the rebuild of the document for 1,000 and 10,000
// checked items of the five kinds beside one paged ldapsearch of the five kinds' RBS attributes
// below the collection; and marking by dependency (every role's tasks, every module's books and
// tasks) through the export path beside one paged ldapsearch of what it needs (the roles'
// content, the names of the books and tasks). Loading the server is not measured. Client and
// ldapsearch reach the server through one delay relay, its hold each way the benchmarks'
// argument (0, 5, 20 ms), so each figure sits beside its yardstick across the same network;
// "turns" counts the request/answer turns of one iteration.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_client.h"
#include "bench/bench_marking.h"
#include "bench/live_delays.h"
#include "bench/tree_generator.h"
#include "directory/client/dir_session.h"
#include "tests/client/live_server_tools.h"
#include "tests/client/slapd_server.h"
#include "tests/support/delay_relay.h"

namespace {

constexpr size_t kEntries = 1'000'000;
// The objectClass values behind the client's base-class filters, in kExportFilters' order.
constexpr const char* kLdapFilters[] = {
    "(objectClass=rbsModule2)", "(objectClass=rbsCategory2)", "(objectClass=rbsRole2)",
    "(objectClass=rbsBook2)",   "(objectClass=rbsTask2)",
};
// The checked items of the rebuild: this many of each of the five kinds, 1,000 in all (the tree
// has at least 400 of the rarest kind, modules).
constexpr size_t kCheckedPerKind = 200;
// The large rebuild: up to this many of each kind, tasks making up the rest of 10,000.
constexpr size_t kLargeCheckedPerKind = 2'000;
constexpr size_t kLargeChecked = 10'000;

struct LiveTree {
  std::unique_ptr<SlapdServer> server;
  std::unique_ptr<DelayRelay> relay;  // what the client and ldapsearch connect to
  DirSession session;                 // ends before the relay and the server do
  GeneratedTreeShape shape;
  DirContext context = 0;
  std::vector<std::string> tasks;  // typeless complete names, for the reads
  XmlCheckedItems checked;         // kCheckedPerKind of each kind, for the rebuild
  XmlCheckedItems largeChecked;    // kLargeChecked items, for the large rebuild
  TExportLists lists;              // every RBS object, for the marking
  TExportRun run{session, lists};
};

// The first `perKind` items of each kind of `found`; `total`, when given, is made up with tasks.
XmlCheckedItems FirstOfEach(const XmlCheckedItems& found, size_t perKind, size_t total = 0) {
  XmlCheckedItems items = found;
  for (auto* list : {&items.modules, &items.categories, &items.roles, &items.books, &items.tasks})
    list->resize(std::min(list->size(), perKind));
  if (total > CheckedItemCount(items)) {
    const size_t tasks = items.tasks.size() + total - CheckedItemCount(items);
    items.tasks.assign(
        found.tasks.begin(),
        found.tasks.begin() + static_cast<std::ptrdiff_t>(std::min(tasks, found.tasks.size())));
  }
  return items;
}

// Runs ldapsearch -LLL -x -H <the server> with `args` after them, its output thrown away; false
// when it cannot be started or fails.
bool RunLdapsearch(const LiveTree& tree, std::vector<std::string> args) {
  args.insert(args.begin(), {"/usr/bin/ldapsearch", "-LLL", "-x", "-H", tree.relay->Uri()});
  return live_server::Run(args, "/dev/null") == 0;
}

LiveTree& Tree() {
  static LiveTree tree;
  if (tree.server)
    return tree;
  char pattern[] = "/tmp/orvane_ldap_bench_XXXXXX";
  if (mkdtemp(pattern) == nullptr)
    std::abort();
  const std::filesystem::path folder = pattern;
  {
    std::ofstream ldif(folder / "tree.ldif", std::ios::binary);
    tree.shape = WriteGeneratedTree({kEntries, 1}, ldif);
  }
  tree.server = std::make_unique<SlapdServer>((folder / "tree.ldif").string());
  if (!tree.server->Running()) {
    std::fprintf(stderr, "%s\n", tree.server->Error().c_str());
    std::abort();
  }
  const std::string uri = tree.server->Uri();
  tree.relay = std::make_unique<DelayRelay>(uri, std::chrono::milliseconds(0));
  if (tree.relay->Port() == 0)
    std::abort();
  tree.context = StartBenchClient(tree.session, folder, tree.relay->Uri(), "timeout = 120\n");
  const XmlCheckedItems found = ExportSearchItems(tree.session, tree.context, kLargeChecked);
  tree.tasks = FirstOfEach(found, 1000).tasks;
  tree.checked = FirstOfEach(found, kCheckedPerKind);
  tree.largeChecked = FirstOfEach(found, kLargeCheckedPerKind, kLargeChecked);
  if (tree.tasks.size() != 1000 || CheckedItemCount(tree.checked) != 5 * kCheckedPerKind ||
      CheckedItemCount(tree.largeChecked) != kLargeChecked ||
      tree.run.LoadAll(tree.context, "[Root]") != kDirOk) {
    std::abort();
  }
  // A server just loaded answers its first reads of each entry many times slower than later
  // ones; every RBS object is read once, so that no benchmark pays for coming first.
  if (!RunLdapsearch(
          tree, {"-b", tree.shape.rbsCollectionDn, "-E", "pr=1000/noprompt", "(objectClass=*)"})) {
    std::abort();
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return tree;
}

// The tree with the relay holding chunks state.range(0) ms each way, its turns counted afresh.
LiveTree& TreeAt(const benchmark::State& state) {
  LiveTree& tree = Tree();
  tree.relay->SetDelay(std::chrono::milliseconds(state.range(0)));
  tree.relay->ResetTurns();
  return tree;
}

// The turns of one iteration since TreeAt.
void CountTurns(benchmark::State& state, const LiveTree& tree) {
  if (state.iterations() > 0) {
    state.counters["turns"] =
        static_cast<double>(tree.relay->Turns()) / static_cast<double>(state.iterations());
  }
}

void BM_ExportTabSearchesThroughTheClient(benchmark::State& state) {
  LiveTree& tree = TreeAt(state);
  MeasureExportSearches(tree.session, state, tree.context, tree.shape.RbsObjectCount());
  CountTurns(state, tree);
}
BENCHMARK(BM_ExportTabSearchesThroughTheClient)->Apply(LiveDelays);

// ldapsearch writes every name to a pipe-less sink; it pages as the client does.
void BM_ExportTabSearchesByLdapsearch(benchmark::State& state) {
  LiveTree& tree = TreeAt(state);
  for (auto _ : state) {
    for (const char* filter : kLdapFilters) {
      if (!RunLdapsearch(tree, {"-b", "", "-E", "pr=1000/noprompt", filter, "1.1"})) {
        state.SkipWithError("ldapsearch failed");
        return;
      }
    }
  }
  CountTurns(state, tree);
}
BENCHMARK(BM_ExportTabSearchesByLdapsearch)->Apply(LiveDelays);

// What rebuilding the document asks of the directory for 1,000 checked tasks: every attribute
// of each (values as records) and its XML info stream.
void BM_ReadsFor1000CheckedItems(benchmark::State& state) {
  LiveTree& tree = TreeAt(state);
  DirBuffer buffer = 0;
  if (tree.session.DirAllocBuffer(64512, buffer) != kDirOk)
    std::abort();
  std::vector<uint8_t> record(64512);
  size_t values = 0;
  for (auto _ : state) {
    tree.session.DirClientBeginOperation();
    values = 0;
    for (const std::string& name : tree.tasks) {
      int32_t handle = -1;
      do {
        if (tree.session.DirRead(tree.context, "." + name, 1, 1, 0, handle, buffer) != kDirOk) {
          state.SkipWithError("read failed");
          return;
        }
        uint32_t count = 0;
        (void)tree.session.DirGetAttributeCount(tree.context, buffer, count);
        for (uint32_t a = 0; a < count; ++a) {
          std::string attribute;
          uint32_t valueCount = 0;
          uint32_t syntax = 0;
          (void)tree.session.DirGetAttributeName(tree.context, buffer, attribute, valueCount,
                                                 syntax);
          for (uint32_t v = 0; v < valueCount; ++v) {
            uint32_t size = 0;
            (void)tree.session.DirComputeValueSize(tree.context, buffer, syntax, size);
            (void)tree.session.DirGetValue(tree.context, buffer, syntax, record);
            ++values;
          }
        }
      } while (handle != -1);
      int fd = -1;
      if (tree.session.DirOpenStream(tree.context, "." + name, "rbsXMLInfo", 1, fd) == kDirOk) {
        char bytes[4096];
        while (read(fd, bytes, sizeof bytes) > 0) {
        }
        close(fd);
      }
    }
  }
  (void)tree.session.DirFreeBuffer(buffer);
  state.counters["items"] = static_cast<double>(tree.tasks.size());
  state.counters["values"] = static_cast<double>(values);
  CountTurns(state, tree);
}
BENCHMARK(BM_ReadsFor1000CheckedItems)->Apply(LiveDelays);

// The install document rebuilt for 1,000 checked items of the five kinds through the real
// writer and attribute source, as showing the XML page does on a live tree; xml_bench's
// BM_RebuildInstallDocument is the same on the in-memory store.
void BM_RebuildInstallDocumentFor1000CheckedItems(benchmark::State& state) {
  LiveTree& tree = TreeAt(state);
  MeasureInstallDocumentRebuild(tree.session, state, tree.context, tree.checked);
  CountTurns(state, tree);
}
BENCHMARK(BM_RebuildInstallDocumentFor1000CheckedItems)->Apply(LiveDelays);

void BM_RebuildInstallDocumentFor10000CheckedItems(benchmark::State& state) {
  LiveTree& tree = TreeAt(state);
  MeasureInstallDocumentRebuild(tree.session, state, tree.context, tree.largeChecked);
  CountTurns(state, tree);
}
BENCHMARK(BM_RebuildInstallDocumentFor10000CheckedItems)->Apply(LiveDelays);

// One paged ldapsearch below the collection for `attributes` of what `filter` finds: the
// yardstick of a run that needs those values of those entries.
void MeasureLdapsearch(benchmark::State& state, const std::string& filter,
                       const std::vector<std::string>& attributes) {
  LiveTree& tree = TreeAt(state);
  std::vector<std::string> args = {"-b", tree.shape.rbsCollectionDn, "-E", "pr=1000/noprompt",
                                   filter};
  args.insert(args.end(), attributes.begin(), attributes.end());
  for (auto _ : state) {
    if (!RunLdapsearch(tree, args)) {
      state.SkipWithError("ldapsearch failed");
      return;
    }
  }
  CountTurns(state, tree);
}

// The rebuilds' yardstick: the RBS attributes the document holds, of every object of the checked
// kinds (all five, in both rebuilds).
void BM_RbsAttributesOfTheCheckedKindsByLdapsearch(benchmark::State& state) {
  MeasureLdapsearch(state,
                    "(|(objectClass=rbsModule2)(objectClass=rbsCategory2)(objectClass=rbsRole2)"
                    "(objectClass=rbsBook2)(objectClass=rbsTask2))",
                    {"rbsParameters", "rbsTargetObjectType", "rbsEntryPoint",
                     "rbsContentMembership", "rbsPageMembership", "rbsXMLInfo", "rbsTaskRights"});
}
BENCHMARK(BM_RbsAttributesOfTheCheckedKindsByLdapsearch)->Apply(LiveDelays);

void BM_CheckDependentTasksOfAllRoles(benchmark::State& state) {
  LiveTree& tree = TreeAt(state);
  MeasureDependentTasksOfAllRoles(state, tree.session, tree.context, tree.run, tree.lists,
                                  tree.shape);
  CountTurns(state, tree);
}
BENCHMARK(BM_CheckDependentTasksOfAllRoles)->Apply(LiveDelays);

void BM_ContentOfAllRolesByLdapsearch(benchmark::State& state) {
  MeasureLdapsearch(state, "(objectClass=rbsRole2)", {"rbsContent"});
}
BENCHMARK(BM_ContentOfAllRolesByLdapsearch)->Apply(LiveDelays);

void BM_CheckDependentBooksOfAllModules(benchmark::State& state) {
  LiveTree& tree = TreeAt(state);
  MeasureDependentBooksOfAllModules(state, tree.session, tree.context, tree.run, tree.lists,
                                    tree.shape);
  CountTurns(state, tree);
}
BENCHMARK(BM_CheckDependentBooksOfAllModules)->Apply(LiveDelays);

// Marking a module's books and tasks needs only their names.
void BM_NamesOfAllBooksAndTasksByLdapsearch(benchmark::State& state) {
  MeasureLdapsearch(state, "(|(objectClass=rbsBook2)(objectClass=rbsTask2))", {"1.1"});
}
BENCHMARK(BM_NamesOfAllBooksAndTasksByLdapsearch)->Apply(LiveDelays);

}  // namespace

BENCHMARK_MAIN();
