#include "tests/support/window_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <thread>

WindowTestFolder::WindowTestFolder() : TempConfigFolder("orvane-window") {
  std::filesystem::create_directories(Root() / "bin");
}

VirtualDisplay::VirtualDisplay() {
  // Xvfb writes the display number it took to `ready` once it accepts clients.
  std::array<int, 2> ready{};
  if (::pipe(ready.data()) != 0) {
    error_ = "no pipe for Xvfb";
    return;
  }
  ::fcntl(ready[0], F_SETFD, FD_CLOEXEC);
  const std::string readyFd = std::to_string(ready[1]);
  server_ = ::fork();
  if (server_ == 0) {
    const int quiet = ::open("/dev/null", O_WRONLY);
    ::dup2(quiet, STDOUT_FILENO);
    ::dup2(quiet, STDERR_FILENO);
    ::execlp("Xvfb", "Xvfb", "-displayfd", readyFd.c_str(), "-screen", "0", "1280x1024x24",
             "-nolisten", "tcp", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(ready[1]);
  std::string number;
  if (server_ < 0) {
    error_ = "cannot fork for Xvfb";
  } else {
    pollfd wait{ready[0], POLLIN, 0};
    char c = 0;
    while (::poll(&wait, 1, 20000) == 1 && ::read(ready[0], &c, 1) == 1 && c != '\n') {
      number += c;
    }
    if (number.empty()) {
      error_ = "Xvfb did not start (is the xvfb package installed?)";
    }
  }
  ::close(ready[0]);
  if (error_.empty()) {
    ::setenv("DISPLAY", (":" + number).c_str(), 1);
  }
}

VirtualDisplay::~VirtualDisplay() {
  if (server_ > 0) {
    ::kill(server_, SIGTERM);
    ::waitpid(server_, nullptr, 0);
  }
}

WindowManager::WindowManager() {
  // openbox runs its --startup command once it manages the screen.
  const std::filesystem::path ready = folder_.Root() / "ready";
  const std::string startup = "touch " + ready.string();
  manager_ = ::fork();
  if (manager_ == 0) {
    const int quiet = ::open("/dev/null", O_WRONLY);
    ::dup2(quiet, STDOUT_FILENO);
    ::dup2(quiet, STDERR_FILENO);
    ::execlp("openbox", "openbox", "--sm-disable", "--startup", startup.c_str(),
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (manager_ < 0) {
    error_ = "cannot fork for openbox";
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!std::filesystem::exists(ready)) {
    if (::waitpid(manager_, nullptr, WNOHANG) == manager_) {
      manager_ = -1;
      error_ = "openbox ended at start (is the openbox package installed?)";
      return;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      error_ = "openbox did not start within 20 s";
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

WindowManager::~WindowManager() {
  if (manager_ > 0) {
    ::kill(manager_, SIGTERM);
    ::waitpid(manager_, nullptr, 0);
  }
}
