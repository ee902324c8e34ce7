#include "tests/support/window_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>

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
