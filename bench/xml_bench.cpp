// Rebuilding the install document for every RBS object of a generated tree (10,000 of them in a
// tree of 100,000 entries), read through the real client, as showing the XML page does; the
// assembly alone, with the reads answered from memory and the lines only counted; and saving the
// result.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

#include "bench/bench_client.h"
#include "bench/tree_generator.h"
#include "directory/client/dir_session.h"
#include "xmlexport/directory_attributes.h"
#include "xmlexport/install_document.h"
#include "xmlexport/xml_save.h"

namespace {

namespace fs = std::filesystem;

// The generated tree loaded into the client, with a search context on it and every RBS object
// the export searches find checked. Built once for all benchmarks of the run.
class GeneratedTree {
 public:
  GeneratedTree() {
    std::string pattern = (fs::temp_directory_path() / "orvane-xmlbench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("no temporary folder");
    }
    dir_ = pattern;
    GeneratedTreeShape shape;
    {
      std::ofstream ldif(dir_ / "tree.ldif", std::ios::binary);
      shape = WriteGeneratedTree({100'000, 1}, ldif);
    }
    context_ = StartBenchClient(session_, dir_, (dir_ / "tree.ldif").string());
    items_ = ExportSearchItems(session_, context_, SIZE_MAX);
    if (CheckedItemCount(items_) != shape.RbsObjectCount()) {
      throw std::runtime_error("the generated tree's RBS objects were not all found");
    }
  }
  ~GeneratedTree() {
    static_cast<void>(session_.DirFreeContext(context_));
    session_.DirClientShutdown();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  GeneratedTree(const GeneratedTree&) = delete;
  GeneratedTree& operator=(const GeneratedTree&) = delete;

  [[nodiscard]] DirClient& Client() { return session_; }
  [[nodiscard]] DirContext Context() const { return context_; }
  [[nodiscard]] const XmlCheckedItems& Items() const { return items_; }
  [[nodiscard]] size_t ItemCount() const { return CheckedItemCount(items_); }
  [[nodiscard]] const fs::path& Folder() const { return dir_; }

 private:
  fs::path dir_;
  DirSession session_;
  DirContext context_ = 0;
  XmlCheckedItems items_;
};

GeneratedTree& Tree() {
  static GeneratedTree tree;
  return tree;
}

void BM_RebuildInstallDocument(benchmark::State& state) {
  GeneratedTree& tree = Tree();
  MeasureInstallDocumentRebuild(tree.Client(), state, tree.Context(), tree.Items());
}
BENCHMARK(BM_RebuildInstallDocument)->Unit(benchmark::kMillisecond);

// Every read answered from what an earlier read returned, so that the assembly's own share of
// the rebuild shows apart from the directory's.
class ReplayedAttributes : public XmlAttributeSource {
 public:
  explicit ReplayedAttributes(const XmlAttributeSource& source) : source_(source) {}

  int32_t ReadValues(const std::string& objectName, const std::string& attributeName,
                     TStringList& values) const override {
    auto [slot, fresh] = values_.try_emplace({objectName, attributeName});
    if (fresh) {
      slot->second.code = source_.ReadValues(objectName, attributeName, slot->second.values);
    }
    for (const TStringList::Entry& entry : slot->second.values) {
      values.Add(entry.text);
    }
    return slot->second.code;
  }
  int32_t ReadText(const std::string& objectName, const std::string& attributeName,
                   std::string& text) const override {
    auto [slot, fresh] = texts_.try_emplace({objectName, attributeName});
    if (fresh) {
      slot->second.code = source_.ReadText(objectName, attributeName, slot->second.text);
    }
    text = slot->second.text;
    return slot->second.code;
  }

 private:
  using Key = std::pair<std::string, std::string>;
  struct Values {
    int32_t code = 0;
    TStringList values;
  };
  struct Text {
    int32_t code = 0;
    std::string text;
  };
  const XmlAttributeSource& source_;
  mutable std::map<Key, Values> values_;
  mutable std::map<Key, Text> texts_;
};

// Counts the document's bytes and keeps nothing, so that neither the reads nor the storing of
// 250,000 lines is in the figure.
class CountingSink : public XmlLineSink {
 public:
  void AppendLine(std::string_view text) override { bytes += text.size() + 2; }
  size_t bytes = 0;
};

void BM_AssembleInstallDocumentWithoutDirectory(benchmark::State& state) {
  GeneratedTree& tree = Tree();
  const DirectoryAttributeSource directory(tree.Client(), tree.Context());
  const ReplayedAttributes source(directory);
  CountingSink warmUp;  // the first pass does the reads the others replay
  XmlInstallWriter(source, warmUp).WriteDocument(tree.Items());
  for (auto _ : state) {
    CountingSink sink;
    XmlInstallWriter(source, sink).WriteDocument(tree.Items());
    benchmark::DoNotOptimize(sink.bytes);
  }
  state.counters["items"] = static_cast<double>(tree.ItemCount());
}
BENCHMARK(BM_AssembleInstallDocumentWithoutDirectory)->Unit(benchmark::kMillisecond);

void BM_SaveInstallDocument(benchmark::State& state) {
  GeneratedTree& tree = Tree();
  const DirectoryAttributeSource source(tree.Client(), tree.Context());
  const std::vector<std::string> document = BuildInstallDocument(source, tree.Items());
  const std::string file = (tree.Folder() / "install.xml").string();
  for (auto _ : state) {
    std::vector<std::string> lines = document;
    if (SaveXmlDocument(file, lines).error) {
      state.SkipWithError("the document could not be saved");
      break;
    }
  }
  state.counters["bytes"] = static_cast<double>(fs::file_size(file));
}
BENCHMARK(BM_SaveInstallDocument)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
