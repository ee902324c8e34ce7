#include "tests/app/window_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "directory/client/dir_client.h"
#include "directory/d_nw.h"

namespace fs = std::filesystem;

WindowTestFolder::WindowTestFolder() {
  std::string pattern = (fs::temp_directory_path() / "orvane-window-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a folder below " + fs::temp_directory_path().string());
  }
  root_ = pattern;
  fs::create_directories(root_ / "bin");
  ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
}

WindowTestFolder::~WindowTestFolder() {
  DirClientShutdown();
  DirClientUseConnectionsFile("");
  ForgetClientConnection();
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

void WindowTestFolder::Write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
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
