// A check list of the export tab with 100,000 lines, offscreen: filling it and showing it, and
// marking it by a pattern with the change painted. The view is set up as the window sets up its
// five lists.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QListView>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/item_list.h"
#include "app/qt_item_list_model.h"
#include "util/string_list.h"

namespace {

constexpr int kLines = 100'000;

std::vector<std::string> Lines() {
  std::vector<std::string> lines;
  lines.reserve(kLines);
  for (int i = 0; i < kLines; ++i) {
    lines.push_back("Task " + std::to_string(i) + ".Module " + std::to_string(i % 97) +
                    ".RBS Collection.Services.Larkspur");
  }
  return lines;
}

struct ShownList {
  ShownList() {
    view.setUniformItemSizes(true);
    view.setModel(&model);
    view.resize(842, 522);
    view.show();
    QApplication::processEvents();
  }
  void Fill(const std::vector<std::string>& lines) {
    model.Fill([&lines](TItemList& items) {
      items.Clear();
      items.Reserve(static_cast<int>(lines.size()));
      for (const std::string& line : lines) {
        items.Add(line);
      }
    });
  }
  // Lays out and paints what the last change left to do.
  void Paint() {
    QApplication::processEvents();
    view.viewport()->repaint();
  }
  TItemListModel model;
  QListView view;
};

void BM_FillAndShow100k(benchmark::State& state) {
  const std::vector<std::string> lines = Lines();
  ShownList list;
  for (auto _ : state) {
    list.Fill(lines);
    list.Paint();
  }
  state.SetItemsProcessed(state.iterations() * kLines);
}
BENCHMARK(BM_FillAndShow100k)->Unit(benchmark::kMillisecond);

void BM_PatternMarking100k(benchmark::State& state) {
  ShownList list;
  list.Fill(Lines());
  list.Paint();
  // Alternating patterns, so every run changes marks: about one line in ten, then all lines.
  const std::string patterns[] = {"module 7", "larkspur"};
  size_t next = 0;
  for (auto _ : state) {
    const std::string& text = patterns[next++ % 2];
    list.model.Mark([&text](TItemList& items) { items.MarkByText(text); });
    list.Paint();
  }
  state.SetItemsProcessed(state.iterations() * kLines);
}
BENCHMARK(BM_PatternMarking100k)->Unit(benchmark::kMillisecond);

// Marking by dependency as Check Dependent Tasks does it for 10,000 roles: seven names a role,
// the window's messages let run every 100 roles. Arg 1 reports only the lines checked, arg 0 the
// whole list at each role, as every other kind of marking does.
void BM_DependentMarking100k(benchmark::State& state) {
  const bool onlyChecked = state.range(0) != 0;
  const std::vector<std::string> lines = Lines();
  ShownList list;
  list.Fill(lines);
  list.Paint();
  constexpr int kRoles = 10'000;
  constexpr int kNamesPerRole = 7;
  std::vector<TStringList> roles(kRoles);
  for (int r = 0; r < kRoles; ++r) {
    for (int n = 0; n < kNamesPerRole; ++n) {
      roles[static_cast<size_t>(r)].Add(lines[static_cast<size_t>((r * 7919 + n) % kLines)]);
    }
  }
  for (auto _ : state) {
    state.PauseTiming();
    list.model.Mark([](TItemList& items) { items.UncheckAll(); });
    list.Paint();
    state.ResumeTiming();
    for (int r = 0; r < kRoles; ++r) {
      const TStringList& names = roles[static_cast<size_t>(r)];
      if (onlyChecked) {
        list.model.MarkDependents(names);
      } else {
        list.model.Mark([&names](TItemList& items) { items.MarkDependents(names); });
      }
      if (r % 100 == 99) {
        list.Paint();
      }
    }
    list.Paint();
  }
  state.SetItemsProcessed(state.iterations() * kRoles);
}
BENCHMARK(BM_DependentMarking100k)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
  QApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
