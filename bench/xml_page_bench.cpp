// The XML page against orvane-export on the generated 1,000,000-entry tree with its 69,600 tasks
// checked: the window (offscreen, with the program's message pump) showing the page until it is
// painted, the tool's path building the same document and its file text, and how long after an
// Esc the window's build gives up, sent at points along the build.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTextDocument>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "app/export_lists.h"
#include "app/export_run.h"
#include "app/main_form.h"
#include "app/qt_hooks.h"
#include "app/qt_item_list_model.h"
#include "app/work_monitor.h"
#include "bench/tree_generator.h"
#include "directory/client/dir_session.h"
#include "directory/d_nw.h"
#include "directory/message_sink.h"

namespace {

using Clock = std::chrono::steady_clock;

class SilentDialogs : public FormDialogs {
 public:
  void ShowError(const std::string& text) override {
    std::fprintf(stderr, "error box: %s\n", text.c_str());
  }
  std::optional<std::string> ExecuteSave(const TSaveDialog& /*dialog*/) override {
    return std::nullopt;
  }
};

class StderrMessages : public ErrorMessageSink {
 public:
  void ShowError(const std::string& text) override {
    std::fprintf(stderr, "error: %s\n", text.c_str());
  }
};

// The tree, the window browsing its RBS collection with every task of the export tab checked,
// and the tool's lists and run on the same client, loaded and marked alike.
class BenchWindow {
 public:
  BenchWindow() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "orvane-xmlpageb-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    folder_ = pattern;
    {
      std::ofstream ldif(folder_ / "tree.ldif");
      shape_ = WriteGeneratedTree({.entryCount = 1'000'000, .seed = 1}, ldif);
    }
    std::ofstream(folder_ / "connections.ini")
        << "[bench]\ntree = BENCH_TREE\nsource = " << (folder_ / "tree.ldif").string()
        << "\ncontext = " << shape_.rbsCollectionName << "\nprimary = yes\n";
    session_.DirClientUseConnectionsFile((folder_ / "connections.ini").string());
    ::setenv("XDG_CONFIG_HOME", (folder_ / "config").c_str(), 1);
    InstallQtHooks();
    form_ = std::make_unique<TMainForm>(session_, dialogs_, folder_ / "bin" / "orvane");
    form_->resize(1000, 750);
    form_->show();
    QApplication::processEvents();
    form_->PageControl1->setCurrentWidget(form_->TabSheetExp);
    form_->ItemsOf(form_->CheckListBoxTasks).Mark([](TItemList& items) { items.CheckAll(); });
    QApplication::processEvents();

    if (session_.DirCreateContext(toolContext_) != kDirOk) {
      std::exit(1);
    }
    DSModifyContextFlags(session_, toolContext_, '+', kDirFlagTypeless);
    if (tool_.LoadAll(toolContext_, form_->CurrentCtx) != kDirOk) {
      std::exit(1);
    }
    tool_.CheckAll(RbsKind::kTask);
  }
  ~BenchWindow() {
    form_.reset();
    static_cast<void>(session_.DirFreeContext(toolContext_));
    session_.DirClientShutdown();
    std::filesystem::remove_all(folder_);
  }
  BenchWindow(const BenchWindow&) = delete;
  BenchWindow& operator=(const BenchWindow&) = delete;

  [[nodiscard]] TMainForm& Form() { return *form_; }
  [[nodiscard]] int64_t Tasks() const { return static_cast<int64_t>(shape_.taskCount); }

  // Shows the XML page afresh, which builds the document, and paints it.
  void ShowXmlPage() {
    form_->PageControlExp->setCurrentWidget(form_->TabSheetExportTasks);
    QApplication::processEvents();
    form_->PageControlExp->setCurrentWidget(form_->TabSheetXml);
    QApplication::processEvents();
  }

  // The document as orvane-export builds and writes it; empty when it could not be.
  std::string ToolText() {
    session_.DirClientBeginOperation();
    StderrMessages messages;
    return tool_.FileText(tool_.BuildDocument(toolContext_), messages).value_or("");
  }

 private:
  std::filesystem::path folder_;
  GeneratedTreeShape shape_;
  DirSession session_;  // outlives the window, which holds it
  SilentDialogs dialogs_;
  std::unique_ptr<TMainForm> form_;
  DirContext toolContext_ = 0;
  TExportLists lists_;
  TExportRun tool_{session_, lists_};
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

void BM_ToolDocument(benchmark::State& state) {
  BenchWindow& window = Window();
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = window.ToolText().size();
  }
  if (bytes == 0) {
    state.SkipWithError("the tool built no document");
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  state.counters["tasks"] = static_cast<double>(window.Tasks());
}
BENCHMARK(BM_ToolDocument)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_WindowXmlPage(benchmark::State& state) {
  BenchWindow& window = Window();
  for (auto _ : state) {
    window.ShowXmlPage();
  }
  const QPlainTextEdit& view = *window.Form().MemoXml;
  const int lines = view.document()->lineCount();
  if (lines < window.Tasks()) {
    state.SkipWithError("the page does not show the document");
  }
  state.counters["lines"] = lines;
}
BENCHMARK(BM_WindowXmlPage)->Unit(benchmark::kMillisecond)->Iterations(2);

// Esc sent from another thread (as the window system delivers it, whatever the window is busy
// with) the given thousandths of the unstopped build's time after the page was chosen; the
// figure is the time from Esc to the page's handler given up.
void BM_WindowXmlPageStop(benchmark::State& state) {
  BenchWindow& window = Window();
  TMainForm& form = window.Form();
  const auto begun = Clock::now();
  window.ShowXmlPage();
  const auto whole = Clock::now() - begun;
  const auto wait = whole * state.range(0) / 1000;
  double worst = 0;
  int stopped = 0;
  for (auto _ : state) {
    form.PageControlExp->setCurrentWidget(form.TabSheetExportTasks);
    QApplication::processEvents();
    std::atomic<Clock::time_point> sent{};
    std::thread esc([&] {
      std::this_thread::sleep_for(wait);
      sent = Clock::now();
      QCoreApplication::postEvent(form.MemoXml,
                                  new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
    });
    form.PageControlExp->setCurrentWidget(form.TabSheetXml);
    QApplication::processEvents();
    const auto ended = Clock::now();
    esc.join();
    QApplication::processEvents();
    const double latency = std::chrono::duration<double>(ended - sent.load()).count();
    stopped += form.WorkMonitor->StopRequested() ? 1 : 0;
    state.SetIterationTime(latency > 0 ? latency : 0);
    worst = std::max(worst, latency);
  }
  state.counters["stopped"] = stopped;
  state.counters["worst_s"] = worst;
  state.counters["build_s"] = std::chrono::duration<double>(whole).count();
}
BENCHMARK(BM_WindowXmlPageStop)
    ->Arg(100)
    ->Arg(500)
    ->Arg(800)
    ->Arg(950)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

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
