// The cost of the benchmark data itself: how long generating a tree of 10k, 100k and 1M entries
// takes and how large its LDIF is, so that load figures elsewhere can be read against it.
#include <benchmark/benchmark.h>

#include <ostream>
#include <streambuf>

#include "bench/tree_generator.h"

namespace {

// Counts the bytes and drops them: the figure is the generator's, not the memory's.
class CountingBuffer : public std::streambuf {
 public:
  [[nodiscard]] size_t Count() const { return count_; }

 protected:
  std::streamsize xsputn(const char*, std::streamsize n) override {
    count_ += static_cast<size_t>(n);
    return n;
  }
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof()))
      ++count_;
    return traits_type::not_eof(c);
  }

 private:
  size_t count_ = 0;
};

void BM_GenerateTreeToStream(benchmark::State& state) {
  const TreeGeneratorOptions options{static_cast<size_t>(state.range(0)), 1};
  size_t bytes = 0;
  GeneratedTreeShape shape;
  for (auto _ : state) {
    CountingBuffer buffer;
    std::ostream out(&buffer);
    shape = WriteGeneratedTree(options, out);
    bytes = buffer.Count();
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["ldif_MB"] = static_cast<double>(bytes) / 1e6;
  state.counters["bytes_per_entry"] =
      static_cast<double>(bytes) / static_cast<double>(shape.entryCount);
  state.counters["rbs_objects"] = static_cast<double>(shape.RbsObjectCount());
  state.counters["large_container"] = static_cast<double>(shape.largeContainerChildren);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_GenerateTreeToStream)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond);

// The form the client benchmark uses: the whole text in one string.
void BM_GenerateTreeToString(benchmark::State& state) {
  const TreeGeneratorOptions options{static_cast<size_t>(state.range(0)), 1};
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = GeneratedTreeLdif(options);
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["ldif_MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_GenerateTreeToString)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
