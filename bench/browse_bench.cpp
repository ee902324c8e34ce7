// The Start tab showing one large container: the window (offscreen) lists the generated tree's
// container of 100,000 users into its two sorted lists, with the message pump and busy cursor the
// program installs. The figure to keep under is 300 ms per showing.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <QListWidget>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "app/main_form.h"
#include "app/qt_hooks.h"
#include "bench/tree_generator.h"
#include "directory/client/dir_session.h"

namespace {

constexpr size_t kTreeEntries = 1'000'000;

class SilentDialogs : public FormDialogs {
 public:
  void ShowError(const std::string& text) override {
    std::fprintf(stderr, "error box: %s\n", text.c_str());
  }
  std::optional<std::string> ExecuteSave(const TSaveDialog& /*dialog*/) override {
    return std::nullopt;
  }
};

// The generated tree, a connections file whose tree opens at the large container, and a
// settings folder of its own; all in one temporary folder removed at the end of the run.
class BenchWindow {
 public:
  BenchWindow() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "orvane-browseb-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    folder_ = pattern;
    {
      std::ofstream ldif(folder_ / "tree.ldif");
      shape_ = WriteGeneratedTree({.entryCount = kTreeEntries, .seed = 1}, ldif);
    }
    std::ofstream(folder_ / "connections.ini")
        << "[bench]\ntree = BENCH_TREE\nsource = " << (folder_ / "tree.ldif").string()
        << "\ncontext = " << shape_.largeContainerName << "\nprimary = yes\n";
    session_.DirClientUseConnectionsFile((folder_ / "connections.ini").string());
    ::setenv("XDG_CONFIG_HOME", (folder_ / "config").c_str(), 1);
    InstallQtHooks();
    form_ = std::make_unique<TMainForm>(session_, dialogs_, folder_ / "bin" / "orvane");
    form_->show();
    QApplication::processEvents();
  }
  ~BenchWindow() {
    form_.reset();
    session_.DirClientShutdown();
    std::filesystem::remove_all(folder_);
  }
  BenchWindow(const BenchWindow&) = delete;
  BenchWindow& operator=(const BenchWindow&) = delete;

  [[nodiscard]] TMainForm& Form() { return *form_; }
  [[nodiscard]] int64_t Children() const {
    return static_cast<int64_t>(shape_.largeContainerChildren);
  }

 private:
  std::filesystem::path folder_;
  GeneratedTreeShape shape_;
  DirSession session_;  // outlives the window, which holds it
  SilentDialogs dialogs_;
  std::unique_ptr<TMainForm> form_;
};

// Made on first use and destroyed by main while the application object still exists: a window
// outliving it crashes at exit.
std::unique_ptr<BenchWindow>& WindowSlot() {
  static std::unique_ptr<BenchWindow> window;
  return window;
}

BenchWindow& Window() {
  std::unique_ptr<BenchWindow>& window = WindowSlot();
  if (!window) {
    window = std::make_unique<BenchWindow>();
  }
  return *window;
}

void BM_ShowLargeContainer(benchmark::State& state) {
  BenchWindow& window = Window();
  TMainForm& form = window.Form();
  for (auto _ : state) {
    form.GetContainerInfo();
    // The lists are painted as the user would see them before the figure is taken.
    QApplication::processEvents();
    benchmark::DoNotOptimize(form.ListBoxObjects->count());
  }
  if (form.ListBoxObjects->count() != window.Children()) {
    state.SkipWithError("the object list does not hold the whole container");
  }
  state.counters["entries"] = static_cast<double>(form.ListBoxObjects->count());
  state.SetItemsProcessed(state.iterations() * window.Children());
}
BENCHMARK(BM_ShowLargeContainer)->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  WindowSlot().reset();
  benchmark::Shutdown();
  return 0;
}
