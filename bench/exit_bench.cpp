// How long the program lingers once its window has closed: the real program, offscreen, on the
// generated 1,000,000-entry tree opened at its container of 100,000 users, closed as soon as its
// message loop runs (--quit-after-start). The figure is the time from the settings file's last
// replacement, the last thing the window does as it closes, to the end of the process; the one to
// keep under is 300 ms.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "bench/tree_generator.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The generated tree and a connections file that opens it at the large container, in a folder of
// their own that is the program's configuration folder; removed at the end of the run.
class BenchFolder {
 public:
  BenchFolder() {
    std::string pattern = (fs::temp_directory_path() / "orvane-exitb-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    root_ = pattern;
    fs::create_directories(Settings());
    GeneratedTreeShape shape;
    {
      std::ofstream ldif(root_ / "tree.ldif");
      shape = WriteGeneratedTree({.entryCount = 1'000'000, .seed = 1}, ldif);
    }
    std::ofstream(Settings() / "connections.ini")
        << "[bench]\ntree = BENCH_TREE\nsource = " << (root_ / "tree.ldif").string()
        << "\ncontext = " << shape.largeContainerName << "\nprimary = yes\n";
  }
  ~BenchFolder() { fs::remove_all(root_); }
  BenchFolder(const BenchFolder&) = delete;
  BenchFolder& operator=(const BenchFolder&) = delete;

  [[nodiscard]] fs::path Config() const { return root_ / "config"; }
  [[nodiscard]] fs::path Settings() const { return Config() / "orvane"; }

 private:
  fs::path root_;
};

// One run of the program: the time from the settings file's last replacement to the process's
// end; nullopt (with `error` set) when the run failed.
std::optional<double> LingerAfterClose(const BenchFolder& folder, std::string& error) {
  const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (watch < 0 || ::inotify_add_watch(watch, folder.Settings().c_str(), IN_MOVED_TO) < 0) {
    error = "inotify: " + std::string(std::strerror(errno));
    return std::nullopt;
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::setenv("XDG_CONFIG_HOME", folder.Config().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::execl(ORVANE_PROGRAM, ORVANE_PROGRAM, "--quit-after-start", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const int ended = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
  if (child < 0 || ended < 0) {
    error = "cannot start or watch " ORVANE_PROGRAM;
    ::close(watch);
    return std::nullopt;
  }
  std::optional<Clock::time_point> lastWrite;
  Clock::time_point exit;
  for (;;) {
    std::array<pollfd, 2> waits{{{watch, POLLIN, 0}, {ended, POLLIN, 0}}};
    if (::poll(waits.data(), waits.size(), 120'000) <= 0) {
      error = "the program neither wrote its settings nor ended within 120 s";
      ::kill(child, SIGKILL);
      break;
    }
    const Clock::time_point now = Clock::now();
    if (waits[0].revents & POLLIN) {
      alignas(inotify_event) std::array<char, 4096> events{};
      while (::read(watch, events.data(), events.size()) > 0) {
        lastWrite = now;
      }
    }
    if (waits[1].revents & POLLIN) {
      exit = now;
      break;
    }
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(ended);
  ::close(watch);
  if (!error.empty()) {
    return std::nullopt;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error = "the program ended with status " + std::to_string(status);
    return std::nullopt;
  }
  if (!lastWrite) {
    error = "the program never wrote its settings";
    return std::nullopt;
  }
  return std::chrono::duration<double>(exit - *lastWrite).count();
}

void BM_ExitAfterWindowCloses(benchmark::State& state) {
  static const BenchFolder folder;
  for (auto _ : state) {
    std::string error;
    const std::optional<double> linger = LingerAfterClose(folder, error);
    if (!linger) {
      state.SkipWithError(error.c_str());
      break;
    }
    state.SetIterationTime(*linger);
  }
}
BENCHMARK(BM_ExitAfterWindowCloses)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
