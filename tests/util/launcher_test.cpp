// What the launcher hands to the desktop, through a recording hook, and the Linux opener.
#include "util/launcher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Call {
  std::string file, parameters, directory;
  int show = 0;
};

class LauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("orvane-launcher-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(root_ / "Tool Dir");
    SetDesktopOpenHook([this](const std::string& file, const std::string& parameters,
                              const std::string& directory, int show) {
      calls_.push_back({file, parameters, directory, show});
      return 42;
    });
  }
  void TearDown() override {
    SetDesktopOpenHook({});
    unsetenv("comspec");
    unsetenv("COMSPEC");
    fs::remove_all(root_);
  }
  std::string Touch(const std::string& relative) {
    const fs::path path = root_ / relative;
    std::ofstream(path) << "#!/bin/sh\n";
    return path.string();
  }
  Call Launch(const std::string& commandLine, int show = kShowNormal) {
    calls_.clear();
    EXPECT_EQ(LaunchCommand(commandLine, show), 42);
    EXPECT_EQ(calls_.size(), 1U);
    return calls_.empty() ? Call{} : calls_.front();
  }

  fs::path root_;
  std::vector<Call> calls_;
};

TEST_F(LauncherTest, ShortestRunOfWordsNamingAFileIsTheFile) {
  const std::string dir = (root_ / "Tool Dir").string() + "/";
  const std::string tool = Touch("Tool Dir/tool.sh");
  const std::string shortName = Touch("a");
  Touch("a b");

  Call call = Launch(tool + " -x --y");
  EXPECT_EQ(call.file, tool);
  EXPECT_EQ(call.parameters, "-x --y");
  EXPECT_EQ(call.directory, dir);
  EXPECT_EQ(call.show, kShowNormal);

  call = Launch(shortName + " b c", 3);  // "a" exists before "a b" is tried
  EXPECT_EQ(call.file, shortName);
  EXPECT_EQ(call.parameters, "b c");
  EXPECT_EQ(call.directory, root_.string() + "/");
  EXPECT_EQ(call.show, 3);

  // A directory is not a file: the run goes on past it.
  call = Launch(root_.string() + " x");
  EXPECT_EQ(call.file, root_.string() + " x");
  EXPECT_EQ(call.directory, "");
}

TEST_F(LauncherTest, NamesOfNothingGoAsCollected) {
  struct Case {
    const char* line;
    const char* file;
    const char* parameters;
  };
  const Case cases[] = {
      {"https://www.example.com/orvane", "https://www.example.com/orvane", ""},
      {"dir C:\\", "dir C:\\", ""},  // not a built-in: the collected text is two words
      {" ver", "", "ver"},           // a leading blank gives an empty file
      {"", "", ""},
      {"no such  thing here", "no such", "thing here"},  // two blanks end the collection
  };
  for (const Case& c : cases) {
    const Call call = Launch(c.line);
    EXPECT_EQ(call.file, c.file) << c.line;
    EXPECT_EQ(call.parameters, c.parameters) << c.line;
    EXPECT_EQ(call.directory, "") << c.line;
  }
}

TEST_F(LauncherTest, BuiltinWordsRunTheInterpreter) {
  EXPECT_TRUE(IsShellBuiltin("ver"));
  EXPECT_TRUE(IsShellBuiltin("TrueName"));
  EXPECT_FALSE(IsShellBuiltin("dir C:\\"));
  EXPECT_FALSE(IsShellBuiltin(""));

  const std::string shell = Touch("my shell");
  setenv("comspec", shell.c_str(), 1);
  Call call = Launch("VeR");
  EXPECT_EQ(call.file, shell);
  EXPECT_EQ(call.parameters, "/C VeR");
  EXPECT_EQ(call.directory, root_.string() + "/");

  unsetenv("comspec");
  setenv("COMSPEC", "/bin/sh", 1);
  EXPECT_EQ(EnvironmentValue("COMSPEC"), "/bin/sh");
  EXPECT_EQ(Launch("echo").file, "/bin/sh");
  unsetenv("COMSPEC");
  EXPECT_EQ(EnvironmentValue("COMSPEC"), "");
  call = Launch("cd");
  EXPECT_EQ(call.file, "/bin/sh");
  EXPECT_EQ(call.parameters, "/C cd");

  // A file of a built-in's name is opened as that file.
  Touch("ver");
  const fs::path saved = fs::current_path();
  fs::current_path(root_);
  call = Launch("ver");
  fs::current_path(saved);
  EXPECT_EQ(call.file, "ver");
  EXPECT_EQ(call.parameters, "");
  EXPECT_EQ(call.directory, "");
}

// The real opener: a program starts detached in its directory with its parameters.
class DefaultOpenerTest : public LauncherTest {
 protected:
  void SetUp() override {
    LauncherTest::SetUp();
    SetDesktopOpenHook({});
  }
  // The file's contents once the started process has written them (or "" after 20 s).
  static std::string WaitForFile(const fs::path& path) {
    for (int i = 0; i < 2000; ++i) {
      std::ifstream in(path);
      std::stringstream text;
      text << in.rdbuf();
      if (text.str().ends_with("\n")) {
        return text.str();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
  }
};

TEST_F(DefaultOpenerTest, StartsProgramsAndReportsFailures) {
  const fs::path script = root_ / "Tool Dir" / "record.sh";
  std::ofstream(script) << "#!/bin/sh\nprintf '%s|' \"$PWD\" \"$@\" > out.tmp && mv out.tmp out\n"
                           "echo >> out\n";
  fs::permissions(script, fs::perms::owner_all);
  EXPECT_EQ(OpenDocument(script.string() + " one  two"), kShellOk);
  EXPECT_EQ(WaitForFile(root_ / "Tool Dir" / "out"), (root_ / "Tool Dir").string() + "|one|two|\n");

  const std::string marker = (root_ / "ran").string();
  EXPECT_GT(DefaultDesktopOpen("/bin/sh", "/C echo ok > '" + marker + "'", "/", 1), 32);
  EXPECT_EQ(WaitForFile(marker), "ok\n");

  EXPECT_EQ(DefaultDesktopOpen("", "", "", 1), kShellFileNotFound);
  EXPECT_EQ(DefaultDesktopOpen(script.string(), "", (root_ / "missing").string(), 1),
            kShellPathNotFound);
  const std::string saved = EnvironmentValue("PATH");
  setenv("PATH", root_.c_str(), 1);  // no xdg-open there
  EXPECT_EQ(DefaultDesktopOpen("https://www.example.com/", "", "", 1), kShellNoAssociation);
  setenv("PATH", saved.c_str(), 1);
}

}  // namespace
