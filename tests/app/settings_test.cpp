// The settings file: profile semantics, atomic replacement, refused writes, the program-relative
// names and the window geometry keys.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "app/d_ini.h"
#include "app/profile_file.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class SettingsTest : public ::testing::Test {
 protected:
  TempFolder temp_{"orvane-settings"};
  const fs::path& folder_ = temp_.Root();
};

TEST_F(SettingsTest, ReadsMatchSectionsAndKeysIgnoringCase) {
  const fs::path path = folder_ / "orvane.ini";
  WriteFile(path,
            "; comment\n[context]\n  DEFAULT =  ACME_TREE \nDefault=second\n"
            "[Settings]\r\nMainForm.Width=900\r\nMainForm.Top=-4\nMainForm.Left=+7\n"
            "Bad=12x\nHuge=99999999999\nEmpty=\nXml Path=/tmp/a b.xml\n");
  const ProfileFile file(path);
  struct Case {
    const char* section;
    const char* key;
    const char* expected;
  };
  const Case cases[] = {
      {"Context", "Default", "ACME_TREE"},  // first match, blanks trimmed, case ignored
      {"CONTEXT", "default", "ACME_TREE"}, {"Settings", "xml path", "/tmp/a b.xml"},
      {"Settings", "Empty", ""},           {"Settings", "Missing", "fallback"},
      {"Nowhere", "Default", "fallback"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(file.ReadString(c.section, c.key, "fallback"), c.expected) << c.section << c.key;
  }
  EXPECT_EQ(file.ReadInteger("Settings", "MainForm.Width", 0), 900);
  EXPECT_EQ(file.ReadInteger("Settings", "MainForm.Top", 0), -4);
  EXPECT_EQ(file.ReadInteger("Settings", "MainForm.Left", 0), 7);
  EXPECT_EQ(file.ReadInteger("Settings", "Bad", -1), -1);
  EXPECT_EQ(file.ReadInteger("Settings", "Huge", -1), -1);
  EXPECT_EQ(file.ReadInteger("Settings", "Empty", -1), -1);
  EXPECT_EQ(file.ReadInteger("Settings", "Xml Path", 5), 5);

  // A byte-order mark before the first section is no part of its name.
  WriteFile(path, "\xEF\xBB\xBF[Context]\nDefault=ACME\n");
  EXPECT_EQ(file.ReadString("Context", "Default", "fallback"), "ACME");

  const ProfileFile absent(folder_ / "none" / "orvane.ini");
  EXPECT_EQ(absent.ReadString("Context", "Default", "x"), "x");
  EXPECT_FALSE(fs::exists(folder_ / "none"));
}

TEST_F(SettingsTest, WritesReplaceInPlaceAndKeepEverythingElse) {
  const fs::path path = folder_ / "config" / "orvane" / "orvane.ini";
  ProfileFile file(path);
  file.WriteString("Context", "Default", "ACME");  // creates folder and file
  file.WriteString("Settings", "Xml Path", "/tmp/x.xml");
  file.WriteString("context", "ACME", ".Sales.Acme");  // lands in the existing section
  file.WriteString("CONTEXT", "default", "OTHER");     // replaces, whatever the case
  file.WriteInteger("Settings", "MainForm.Top", -12);
  EXPECT_EQ(ReadFile(path),
            "[Context]\ndefault=OTHER\nACME=.Sales.Acme\n"
            "[Settings]\nXml Path=/tmp/x.xml\nMainForm.Top=-12\n");

  WriteFile(path, "; kept\n[A]\nk=1\n\n[B]\nj=2\n");
  file.WriteString("A", "n", "3");
  EXPECT_EQ(ReadFile(path), "; kept\n[A]\nk=1\nn=3\n\n[B]\nj=2\n");
  EXPECT_EQ(file.ReadString("B", "j", ""), "2");
}

TEST_F(SettingsTest, RefusedWriteThrowsAndLeavesTheOldFile) {
  // A folder that cannot be created (its parent is a file) refuses even root.
  WriteFile(folder_ / "blocker", "x");
  ProfileFile blocked(folder_ / "blocker" / "orvane" / "orvane.ini");
  try {
    blocked.WriteString("Context", "Default", "ACME");
    FAIL() << "the write was not refused";
  } catch (const SettingsWriteError& error) {
    EXPECT_STREQ(error.what(), "Unable to write to orvane.ini: Not a directory");
  }

  // A write that fails half-way: the previous file stays byte for byte, no temporary remains.
  const fs::path path = folder_ / "orvane.ini";
  const std::string before = "[Context]\nDefault=ACME\n";
  WriteFile(path, before);
  ProfileFile failing(path, [](int fd, std::string_view bytes) {
    return ::write(fd, bytes.data(), bytes.size() / 2) >= 0 && false;
  });
  EXPECT_THROW(failing.WriteString("Context", "Default", "OTHER"), SettingsWriteError);
  EXPECT_EQ(ReadFile(path), before);
  size_t count = 0;
  for (const auto& entry : fs::directory_iterator(folder_)) {
    count += entry.path().filename().string().rfind("orvane.ini", 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(count, 1u);

  // Values or names that would break the line structure are refused, not written.
  ProfileFile file(path);
  EXPECT_THROW(file.WriteString("Settings", "Xml Path", "/tmp/a\n[Context]\nDefault=x"),
               SettingsWriteError);
  EXPECT_THROW(file.WriteString("Settings", "a=b", "1"), SettingsWriteError);
  EXPECT_THROW(file.WriteString("Set]tings", "a", "1"), SettingsWriteError);
  EXPECT_THROW(file.WriteString("Settings", " ", "1"), SettingsWriteError);
  EXPECT_EQ(ReadFile(path), before);
}

TEST_F(SettingsTest, CrashBetweenWritesKeepsTheOldFileIntact) {
  const fs::path path = folder_ / "orvane.ini";
  ProfileFile file(path);
  file.WriteString("Context", "Default", "ACME");
  file.WriteString("Settings", "Xml Path", "/tmp/old.xml");
  const std::string before = ReadFile(path);

  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ProfileFile dying(path, [](int fd, std::string_view bytes) {
          static_cast<void>(::write(fd, bytes.data(), bytes.size() / 2));
          std::_Exit(3);
          return true;
        });
        dying.WriteString("Settings", "Xml Path", "/tmp/new-and-longer.xml");
      },
      ::testing::ExitedWithCode(3), "");

  EXPECT_EQ(ReadFile(path), before);
  EXPECT_EQ(file.ReadString("Settings", "Xml Path", ""), "/tmp/old.xml");
  // The next run writes over the debris.
  file.WriteString("Settings", "Xml Path", "/tmp/next.xml");
  EXPECT_EQ(file.ReadString("Settings", "Xml Path", ""), "/tmp/next.xml");
  EXPECT_EQ(file.ReadString("Context", "Default", ""), "ACME");
}

// A settings file that exists but cannot be read gives the defaults and is never replaced by a
// write, which would keep only the one key written. Root reads any file, so as root the check
// runs in a child that has become nobody; the file is nobody's own, mode 0200, in nobody's folder.
TEST_F(SettingsTest, UnreadableFileIsNeverWritten) {
  const fs::path path = folder_ / "orvane.ini";
  const std::string before = "[Context]\nDefault=ACME\nACME=.Sales.Acme\n";
  WriteFile(path, before);
  constexpr uid_t kNobody = 65534;
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(folder_.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
  }
  ASSERT_EQ(::chmod(path.c_str(), 0200), 0);
  EXPECT_EXIT(
      {
        if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
          std::_Exit(2);
        }
        ProfileFile file(path);
        if (file.ReadString("Context", "ACME", "default") != "default") {
          std::_Exit(3);
        }
        try {
          file.WriteString("Context", "Default", "OTHER");
        } catch (const SettingsWriteError& error) {
          std::fputs(error.what(), stderr);
          std::_Exit(0);
        }
        std::_Exit(4);
      },
      ::testing::ExitedWithCode(0), "^Unable to write to orvane.ini: Permission denied$");
  EXPECT_EQ(ReadFile(path), before);
}

// Only a regular file is read or replaced: a FIFO in its place neither hangs the read nor is
// turned into a file, and neither is a folder.
TEST_F(SettingsTest, NonRegularFileGivesDefaultsAndRefusesWrites) {
  const fs::path path = folder_ / "orvane.ini";
  const std::pair<std::function<int()>, const char*> kinds[] = {
      {[&] { return ::mkfifo(path.c_str(), 0600); }, "Not a regular file"},
      {[&] { return ::mkdir(path.c_str(), 0700); }, "Is a directory"},
  };
  for (const auto& [make, reason] : kinds) {
    SCOPED_TRACE(reason);
    fs::remove_all(path);
    ASSERT_EQ(make(), 0);
    const fs::file_type kind = fs::symlink_status(path).type();
    ProfileFile file(path);
    EXPECT_EQ(file.ReadString("Context", "Default", "default"), "default");
    try {
      file.WriteString("Context", "Default", "ACME");
      ADD_FAILURE() << "the write was not refused";
    } catch (const SettingsWriteError& error) {
      EXPECT_EQ(error.what(), "Unable to write to orvane.ini: " + std::string(reason));
    }
    EXPECT_EQ(fs::symlink_status(path).type(), kind);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);
}

TEST(SettingsNames, FollowTheProgramFile) {
  struct Case {
    const char* program;
    const char* extension;
    const char* beside;
  };
  const Case cases[] = {
      {"/opt/orvane/orvane", "txt", "/opt/orvane/orvane.txt"},
      {"/opt/orvane/orvane", ".txt", "/opt/orvane/orvane.txt"},
      {"/opt/orvane/Orvane.exe", ".ini", "/opt/orvane/Orvane.ini"},
      {"/opt/my.tools/orvane.bin", "ini", "/opt/my.tools/orvane.ini"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FileBesideProgram(c.program, c.extension), c.beside) << c.program;
  }
  EXPECT_EQ(SettingsFileName("/opt/orvane/orvane"), "orvane.ini");
  EXPECT_EQ(SettingsFileName("/usr/local/bin/renamed"), "renamed.ini");
  EXPECT_EQ(fs::path(FileBesideProgram("txt")).parent_path(), ProgramFile().parent_path());
}

TEST(SettingsNames, DocumentsAreFoundInstalledOrBesideTheProgram) {
  const TempFolder root;
  const fs::path installed = root.Root() / "usr" / "share" / "doc" / "orvane";
  fs::create_directories(installed);
  fs::create_directories(root.Root() / "usr" / "bin");
  fs::create_directories(root.Root() / "build" / "app");
  struct Case {
    fs::path program;
    fs::path document;
  };
  const Case cases[] = {
      // Installed: the document folder exists, so a missing document is named there as well.
      {root.Root() / "usr" / "bin" / "orvane", installed / "index.html"},
      // The build folder: beside the program.
      {root.Root() / "build" / "app" / "orvane", root.Root() / "build" / "app" / "index.html"},
      // A program in a folder called bin is not installed without the document folder.
      {root.Root() / "bin" / "orvane", root.Root() / "bin" / "index.html"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProgramDocument(c.program, "index.html"), c.document) << c.program;
  }
}

// A tree's name is its key unless the file would not read it back; the key that stands for it
// then does, and names that differ keep different keys.
TEST_F(SettingsTest, TreeKeysAreNamesTheFileReadsBack) {
  const std::pair<const char*, const char*> cases[] = {
      {"ACME_TREE", "ACME_TREE"}, {"My Tree", "My Tree"}, {"A=B", "A%3DB"},
      {"A%3DB", "A%253DB"},       {"50%", "50%25"},       {"[x]", "%5Bx%5D"},
      {" A B", "%20A%20B"},       {"A\nB", "A%0AB"},
  };
  ProfileFile file(folder_ / "orvane.ini");
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(TreeSettingsKey(cases[i].first), cases[i].second) << cases[i].first;
    file.WriteString("Context", TreeSettingsKey(cases[i].first), std::to_string(i));
  }
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(file.ReadString("Context", TreeSettingsKey(cases[i].first), ""), std::to_string(i))
        << cases[i].first;
  }
}

TEST(SettingsNames, ConfigurationFolderFollowsXdgConfigHome) {
  const char* savedXdg = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = savedXdg ? savedXdg : "";
  ::setenv("HOME", std::getenv("HOME") ? std::getenv("HOME") : "/root", 1);
  const fs::path home = std::getenv("HOME");

  ::setenv("XDG_CONFIG_HOME", "/srv/conf", 1);
  EXPECT_EQ(ConfigurationFolder(), fs::path("/srv/conf/orvane"));
  ::setenv("XDG_CONFIG_HOME", "relative/conf", 1);  // ignored: only absolute paths count
  EXPECT_EQ(ConfigurationFolder(), home / ".config" / "orvane");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(ConfigurationFolder(), home / ".config" / "orvane");
  ::setenv("XDG_CONFIG_HOME", "/srv/conf", 1);
  EXPECT_EQ(OpenSettingsFile("/x/y/orvane").Path(), fs::path("/srv/conf/orvane/orvane.ini"));

  if (savedXdg) {
    ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  } else {
    ::unsetenv("XDG_CONFIG_HOME");
  }
}

// A window that records what the geometry restore applies, in order.
class RecordingForm : public FormGeometry {
 public:
  std::string ComponentName() const override { return "MainForm"; }
  bool PlacesItself() const override { return placesItself; }
  int Top() const override { return top; }
  int Left() const override { return left; }
  int Width() const override { return width; }
  int Height() const override { return height; }
  void SetTop(int value) override { applied.push_back("Top=" + std::to_string(top = value)); }
  void SetLeft(int value) override { applied.push_back("Left=" + std::to_string(left = value)); }
  void SetWidth(int value) override { applied.push_back("Width=" + std::to_string(width = value)); }
  void SetHeight(int value) override {
    applied.push_back("Height=" + std::to_string(height = value));
  }

  bool placesItself = false;
  int top = 118, left = 299, width = 868, height = 691;
  std::vector<std::string> applied;
};

TEST_F(SettingsTest, GeometryKeysStoreOnlyChangesAndPutASavedWindowBack) {
  const fs::path path = folder_ / "orvane.ini";
  ProfileFile file(path);
  RecordingForm closedAtCorner;
  closedAtCorner.top = 0;
  closedAtCorner.left = 0;
  SaveFormGeometry(file, "Settings", closedAtCorner);
  // While a key is missing, 0 is not even written.
  EXPECT_EQ(ReadFile(path), "[Settings]\nMainForm.Width=868\nMainForm.Height=691\n");

  RecordingForm moved;
  moved.top = 40;
  moved.left = 50;
  SaveFormGeometry(file, "", moved);  // empty section: the component name
  EXPECT_EQ(file.ReadInteger("MainForm", "MainForm.Top", 0), 40);
  SaveFormGeometry(file, "Settings", moved);
  EXPECT_EQ(ReadFile(path),
            "[Settings]\nMainForm.Width=868\nMainForm.Height=691\nMainForm.Top=40\n"
            "MainForm.Left=50\n[MainForm]\nMainForm.Top=40\nMainForm.Left=50\n"
            "MainForm.Width=868\nMainForm.Height=691\n");

  struct Restore {
    const char* settings;
    std::vector<std::string> applied;
  };
  const std::vector<Restore> restores = {
      // Beside a saved size, a 0 or missing corner is the screen's edge the window was closed at;
      // what is no number is ignored.
      {"MainForm.Top=0\nMainForm.Left=abc\nMainForm.Width=1000\nMainForm.Height=700\n",
       {"Width=1000", "Height=700", "Top=0"}},
      {"MainForm.Width=1000\nMainForm.Height=700\n",
       {"Width=1000", "Height=700", "Left=0", "Top=0"}},
      {"MainForm.Top=-20\nMainForm.Left=-8\nMainForm.Width=1000\nMainForm.Height=700\n",
       {"Width=1000", "Height=700", "Left=-8", "Top=-20"}},
      // Without a saved size a 0 keeps the designed place.
      {"MainForm.Top=5\nMainForm.Left=6\nMainForm.Width=7\n", {"Width=7", "Left=6", "Top=5"}},
      {"MainForm.Top=0\nMainForm.Left=0\nMainForm.Width=7\nMainForm.Height=0\n", {"Width=7"}},
      {"", {}},
  };
  for (const Restore& restore : restores) {
    WriteFile(path, std::string("[Settings]\n") + restore.settings);
    RecordingForm restored;
    RestoreFormGeometry(file, "Settings", restored);
    EXPECT_EQ(restored.applied, restore.applied) << restore.settings;
  }

  RecordingForm centred;
  centred.placesItself = true;
  RestoreFormGeometry(file, "Settings", centred);
  EXPECT_TRUE(centred.applied.empty());

  // A refused save is swallowed.
  WriteFile(folder_ / "blocker", "x");
  ProfileFile blocked(folder_ / "blocker" / "orvane.ini");
  EXPECT_NO_THROW(SaveFormGeometry(blocked, "Settings", moved));
}

TEST(FitOnScreenTest, MovesAndShrinksAWindowOntoTheScreen) {
  struct Case {
    ScreenRect window;
    ScreenRect screen;
    ScreenRect fitted;
  };
  constexpr int kMax = std::numeric_limits<int>::max();
  constexpr int kMin = std::numeric_limits<int>::min();
  const std::vector<Case> cases = {
      {{299, 118, 868, 691}, {0, 0, 1280, 1024}, {299, 118, 868, 691}},
      {{0, 0, 1280, 1024}, {0, 0, 1280, 1024}, {0, 0, 1280, 1024}},
      {{1, 0, 1280, 1024}, {0, 0, 1280, 1024}, {0, 0, 1280, 1024}},
      {{-50, -20, 868, 691}, {0, 0, 1280, 1024}, {0, 0, 868, 691}},
      {{1000, 900, 868, 691}, {0, 0, 1280, 1024}, {412, 333, 868, 691}},
      {{3000, -50, 2000, 1500}, {0, 0, 1280, 1024}, {0, 0, 1280, 1024}},
      // A second screen right of the first, and one whose work area starts below a panel.
      {{1000, 100, 868, 691}, {1280, 0, 1920, 1080}, {1280, 100, 868, 691}},
      {{100, 0, 868, 691}, {0, 24, 1280, 1000}, {100, 24, 868, 691}},
      {{kMax, kMax, kMax, kMax}, {0, 0, 1280, 1024}, {0, 0, 1280, 1024}},
      {{kMin, kMin, 0, -5}, {0, 0, 1280, 1024}, {0, 0, 1, 1}},
      {{10, 10, 100, 100}, {0, 0, 0, 0}, {0, 0, 1, 1}},
  };
  for (const Case& c : cases) {
    const ScreenRect fitted = FitOnScreen(c.window, c.screen);
    EXPECT_EQ(std::vector<int>({fitted.left, fitted.top, fitted.width, fitted.height}),
              std::vector<int>({c.fitted.left, c.fitted.top, c.fitted.width, c.fitted.height}))
        << c.window.left << "," << c.window.top << " " << c.window.width << "x" << c.window.height;
  }
}

}  // namespace
