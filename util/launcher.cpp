// The command launcher: what a command line hands to the desktop, and the Linux desktop opener.
#include "util/launcher.h"

#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "util/text.h"
#include "util/unique_fd.h"

extern char** environ;

namespace {

constexpr std::array<std::string_view, 15> kShellBuiltins = {
    "CD",  "COPY", "DEL", "DIR", "ECHO",     "MD",   "PATH", "PROMPT",
    "REM", "REN",  "RD",  "SET", "TRUENAME", "TYPE", "VER"};

DesktopOpenHook& Hook() {
  static DesktopOpenHook hook;
  return hook;
}

bool IsExistingFile(const std::string& name) {
  std::error_code error;
  // The system would stop reading a name at an embedded NUL and find some other file.
  return !name.empty() && name.find('\0') == std::string::npos &&
         std::filesystem::is_regular_file(name, error);
}

// Everything up to and including the last path separator; "" when there is none.
std::string PathPart(const std::string& file) {
  const size_t last = file.find_last_of("/\\:");
  return last == std::string::npos ? std::string() : file.substr(0, last + 1);
}

std::string Interpreter() {
  for (const char* name : {"comspec", "COMSPEC"}) {
    std::string value = EnvironmentValue(name);
    if (!value.empty()) {
      return value;
    }
  }
  return "/bin/sh";
}

// The executable `name` in the directories of PATH; "" when there is none.
std::string FindInPath(std::string_view name) {
  std::string rest = EnvironmentValue("PATH");
  std::string directory;
  while (!rest.empty()) {
    SplitAtFirstSafe(rest, ":", directory, rest);
    if (directory.empty()) {
      continue;
    }
    std::string candidate = directory + "/" + std::string(name);
    if (IsExistingFile(candidate) && access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return {};
}

int ShellResultOf(int error) {
  switch (error) {
    case ENOENT:
      return kShellFileNotFound;
    case ENOTDIR:
      return kShellPathNotFound;
    case EACCES:
    case EPERM:
      return kShellAccessDenied;
    default:
      return kShellOutOfMemory;
  }
}

// Starts `argv` (argv[0] the program's path) in `directory` without waiting for it: a middle
// child starts it and exits at once, so it is never left a zombie and outlives the caller. An
// exec or chdir failure comes back through a close-on-exec pipe; end of file means it started.
int StartDetached(const std::vector<std::string>& args, const std::string& directory) {
  std::vector<char*> argv;
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  const char* cwd = directory.empty() ? nullptr : directory.c_str();

  std::array<int, 2> fds{};
  if (pipe2(fds.data(), O_CLOEXEC) != 0) {
    return kShellOutOfMemory;
  }
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);

  const pid_t child = fork();
  if (child < 0) {
    return kShellOutOfMemory;
  }
  if (child == 0) {
    // Only async-signal-safe calls from here on.
    setsid();
    const pid_t grandchild = fork();
    if (grandchild == 0) {
      int error = 0;
      if (cwd != nullptr && chdir(cwd) != 0) {
        error = ENOTDIR;
      } else {
        execve(argv[0], argv.data(), environ);
        error = errno;
      }
      [[maybe_unused]] const ssize_t written = write(writeEnd.Get(), &error, sizeof error);
      _exit(127);
    }
    if (grandchild < 0) {
      const int error = errno;
      [[maybe_unused]] const ssize_t written = write(writeEnd.Get(), &error, sizeof error);
    }
    _exit(0);
  }
  writeEnd.Reset();
  int error = 0;
  ssize_t got = 0;
  do {
    got = read(readEnd.Get(), &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (got == static_cast<ssize_t>(sizeof error)) {
    return ShellResultOf(error);
  }
  return kShellOk;
}

std::string Absolute(const std::string& name) {
  std::error_code error;
  std::filesystem::path path = std::filesystem::absolute(name, error);
  return error ? name : path.string();
}

}  // namespace

void SetDesktopOpenHook(DesktopOpenHook hook) {
  Hook() = std::move(hook);
}

int DefaultDesktopOpen(const std::string& file, const std::string& parameters,
                       const std::string& directory, [[maybe_unused]] int showCommand) {
  if (file.empty()) {
    return kShellFileNotFound;
  }
  std::vector<std::string> args;
  if (IsExistingFile(file) && access(file.c_str(), X_OK) == 0) {
    // Resolved before the change of directory, so a relative name still finds the program.
    args.push_back(Absolute(file));
    if (parameters.starts_with("/C ")) {
      // A built-in command for the interpreter: POSIX shells take it after -c.
      args.emplace_back("-c");
      args.push_back(parameters.substr(3));
    } else {
      std::string rest = parameters;
      std::string word;
      while (!rest.empty()) {
        SplitAtFirstSafe(rest, " ", word, rest);
        if (!word.empty()) {
          args.push_back(word);
        }
      }
    }
  } else {
    std::string opener = FindInPath("xdg-open");
    if (opener.empty()) {
      return kShellNoAssociation;
    }
    std::error_code error;
    const bool local = std::filesystem::exists(file, error);
    args = {std::move(opener), local ? Absolute(file) : file};
  }
  return StartDetached(args, directory);
}

int OpenDocument(std::string_view commandLine) {
  return LaunchCommand(commandLine, kShowNormal);
}

int LaunchCommand(std::string_view commandLine, int showCommand) {
  std::string rest(commandLine);
  std::string file;
  std::string word;
  bool found = false;
  while (true) {
    SplitAtFirstSafe(rest, " ", word, rest);
    file = JoinWith(file, word, " ");
    found = IsExistingFile(file);
    if (found || word.empty()) {
      break;
    }
  }
  std::string parameters = rest;
  if (!found && IsShellBuiltin(file)) {
    file = Interpreter();
    parameters = "/C " + std::string(commandLine);
  }
  const std::string directory = IsExistingFile(file) ? PathPart(file) : std::string();
  const DesktopOpenHook& hook = Hook();
  return hook ? hook(file, parameters, directory, showCommand)
              : DefaultDesktopOpen(file, parameters, directory, showCommand);
}

bool IsShellBuiltin(std::string_view text) {
  return IsOneOfWords(text, kShellBuiltins, false);
}

std::string EnvironmentValue(std::string_view name) {
  const char* value = std::getenv(std::string(name).c_str());
  return value == nullptr ? std::string() : value;
}
