#include "cli/password_prompt.h"

#include <fcntl.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iterator>
#include <string_view>

#include "directory/client/connections.h"
#include "util/secrets.h"
#include "util/text.h"
#include "util/unique_fd.h"

namespace {

// The terminal whose echo is off, for the signal handler to put back: at most one prompt is open
// at a time.
int hiddenFd = -1;
termios hiddenSaved{};
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGQUIT};
struct sigaction previousActions[std::size(kEndingSignals)];

// Ctrl-C, Ctrl-\ or a kill while the password is typed: the terminal gets its echo back, then the
// signal ends the program as it would have without the prompt. Only async-signal-safe calls.
extern "C" void RestoreTerminalAndEnd(int signal) {
  const int saved = errno;
  if (hiddenFd >= 0) {
    ::tcsetattr(hiddenFd, TCSAFLUSH, &hiddenSaved);
    static_cast<void>(::write(hiddenFd, "\n", 1));
  }
  for (size_t i = 0; i < std::size(kEndingSignals); ++i) {
    if (kEndingSignals[i] == signal)
      ::sigaction(signal, &previousActions[i], nullptr);
  }
  sigset_t only;
  ::sigemptyset(&only);
  ::sigaddset(&only, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signal);
  errno = saved;
}

class Terminal {
 public:
  explicit Terminal(const std::string& path)
      : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)), openError_(errno) {}
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;
  ~Terminal() {
    if (echoOff_) {
      ::tcsetattr(fd_.Get(), TCSAFLUSH, &saved_);
      for (size_t i = 0; i < std::size(kEndingSignals); ++i) {
        ::sigaction(kEndingSignals[i], &previousActions[i], nullptr);
      }
      hiddenFd = -1;
    }
  }

  [[nodiscard]] bool IsOpen() const { return fd_.IsOpen(); }
  // Why the terminal could not be opened.
  [[nodiscard]] std::string OpenError() const { return std::strerror(openError_); }

  // Turns echo off until the terminal is closed, or a signal ends the program (SIGINT, SIGTERM
  // and SIGQUIT, unless ignored, put the terminal back first); the line end the user types still
  // shows.
  [[nodiscard]] bool HideInput() {
    if (::tcgetattr(fd_.Get(), &saved_) != 0) {
      return false;
    }
    hiddenSaved = saved_;
    hiddenFd = fd_.Get();
    struct sigaction restore {};
    restore.sa_handler = &RestoreTerminalAndEnd;
    ::sigemptyset(&restore.sa_mask);
    for (const int signal : kEndingSignals) {
      ::sigaddset(&restore.sa_mask, signal);
    }
    for (size_t i = 0; i < std::size(kEndingSignals); ++i) {
      ::sigaction(kEndingSignals[i], nullptr, &previousActions[i]);
      // A signal the caller ignores (a run under nohup) stays ignored.
      if (previousActions[i].sa_handler != SIG_IGN) {
        ::sigaction(kEndingSignals[i], &restore, nullptr);
      }
    }
    termios hidden = saved_;
    hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    hidden.c_lflag |= ECHONL;
    echoOff_ = ::tcsetattr(fd_.Get(), TCSAFLUSH, &hidden) == 0;
    if (!echoOff_) {
      for (size_t i = 0; i < std::size(kEndingSignals); ++i) {
        ::sigaction(kEndingSignals[i], &previousActions[i], nullptr);
      }
      hiddenFd = -1;
    }
    return echoOff_;
  }

  void Write(std::string_view text) const {
    while (!text.empty()) {
      const ssize_t written = ::write(fd_.Get(), text.data(), text.size());
      if (written < 0 && errno == EINTR) {
        continue;
      }
      if (written <= 0) {
        return;
      }
      text.remove_prefix(static_cast<size_t>(written));
    }
  }

  // One line without its line end; nullopt at the end of input before a line end.
  // The line is read into room made once, so that growing it leaves no copy of what was typed
  // in memory given back; a line that outgrows the room is wiped as it moves.
  [[nodiscard]] std::optional<std::string> ReadLine() const {
    constexpr size_t kRoom = 1024;
    std::string line;
    line.reserve(kRoom);
    for (;;) {
      char c = 0;
      const ssize_t got = ::read(fd_.Get(), &c, 1);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        WipeText(line);
        return std::nullopt;
      }
      if (c == '\n') {
        return line;
      }
      if (line.size() == line.capacity()) {
        std::string larger;
        larger.reserve(line.capacity() * 2);
        larger = line;
        WipeText(line);
        line = std::move(larger);
      }
      line.push_back(c);
    }
  }

 private:
  UniqueFd fd_;
  int openError_;
  termios saved_{};
  bool echoOff_ = false;
};

std::string Whose(const DirPasswordRequest& request) {
  return "bind " + request.bindDn + " on " + request.server;
}

DirPasswordAnswer Failure(std::string text) {
  return {std::nullopt, std::move(text)};
}

DirPasswordAnswer AskTerminal(const std::string& path, const DirPasswordRequest& request) {
  if (request.attempt > kTerminalAttempts) {
    return Failure(std::to_string(kTerminalAttempts) + " passwords for " + Whose(request) +
                   " were refused: " + request.previousError);
  }
  Terminal terminal(path);
  if (!terminal.IsOpen()) {
    return Failure("no password for " + Whose(request) + ": no terminal to ask on (" +
                   terminal.OpenError() + "); give --password-file FILE or set " +
                   kPasswordVariable);
  }
  if (!terminal.HideInput()) {
    const int error = errno;
    return Failure("no password for " + Whose(request) + ": " + path +
                   " cannot hide what is typed (" + std::strerror(error) + ")");
  }
  if (request.attempt > 1) {
    terminal.Write(EscapeControlText(request.previousError) + "\n");
  }
  // The server's words and the names come from elsewhere: the terminal must not obey them.
  terminal.Write(
      EscapeControlText("Password for " + Whose(request) + " (tree " + request.tree + "): "));
  std::optional<std::string> line = terminal.ReadLine();
  if (!line) {
    terminal.Write("\n");
    return Failure("no password for " + Whose(request) + ": the terminal gave none");
  }
  if (!line->empty() && line->back() == '\r') {
    line->pop_back();
  }
  return {std::move(line), ""};
}

}  // namespace

DirPasswordAnswer ExportPassword(const PasswordSources& sources,
                                 const DirPasswordRequest& request) {
  if (sources.passwordFile) {
    if (request.attempt > 1) {
      return Failure("the password in " + *sources.passwordFile + " was refused for " +
                     Whose(request) + ": " + request.previousError);
    }
    std::string error;
    std::optional<std::string> password = ReadPasswordFile(*sources.passwordFile, error);
    if (!password) {
      return Failure(error);
    }
    return {std::move(password), ""};
  }
  if (sources.environment) {
    if (request.attempt > 1) {
      return Failure(std::string("the password in ") + kPasswordVariable + " was refused for " +
                     Whose(request) + ": " + request.previousError);
    }
    return {sources.environment, ""};
  }
  return AskTerminal(sources.terminal, request);
}
