// Saving: the closing lines of an edited document, CR LF line ends, and a failed write that
// leaves the previous file as it was.
#include "xmlexport/xml_save.h"
#include "tests/support/temp_folder.h"
#include "util/atomic_file.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A fresh folder per test, removed afterwards.
class XmlSave : public ::testing::Test {
 protected:
  // Every entry of the folder, so that a left-behind temporary file shows.
  [[nodiscard]] std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TempFolder temp_{"orvane-xmlsave"};
  const fs::path& folder_ = temp_.Root();
};

TEST_F(XmlSave, EditedDocumentsGetTheClosingLines) {
  const std::pair<Lines, Lines> cases[] = {
      {{"<install>", "", "", "</install>"}, {"<install>", "", "", "</install>"}},
      {{}, {"", "</install>"}},
      {{"<Install>", "</install>"}, {"<Install>", "</install>", "", "</install>"}},
      {{" <install>"}, {" <install>", "", "</install>"}},
      {{"<install> ", "x"}, {"<install> ", "x", "", "</install>"}},
  };
  for (const auto& [before, after] : cases) {
    Lines lines = before;
    EXPECT_EQ(CloseEditedDocument(lines), before != after);
    EXPECT_EQ(lines, after);
  }
}

TEST_F(XmlSave, WritesEveryLineWithCrLfAndReplacesTheOldFile) {
  const fs::path file = folder_ / "install.xml";
  WriteFile(file, "old and longer than the new document");
  Lines lines = {"<install>", "", "\t<a>\xE9\n</a>", "", "</install>"};
  const XmlSaveResult result = SaveXmlDocument(file.string(), lines);
  EXPECT_FALSE(result.error);
  EXPECT_FALSE(result.closingAppended);
  EXPECT_EQ(ReadFile(file), "<install>\r\n\r\n\t<a>\xE9\n</a>\r\n\r\n</install>\r\n");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"install.xml"}));

  Lines empty;
  const XmlSaveResult closed = SaveXmlDocument(file.string(), empty);
  EXPECT_TRUE(closed.closingAppended);
  EXPECT_EQ(ReadFile(file), "\r\n</install>\r\n");
}

TEST_F(XmlSave, NewFilesGetTheUmaskModeAndReplacedFilesKeepTheirsAndTheirOwner) {
  const fs::path fresh = folder_ / "fresh.xml";
  const mode_t oldMask = umask(022);
  ASSERT_TRUE(ReplaceFileAtomically(fresh.string(), "x").Succeeded());
  umask(oldMask);
  struct stat info {};
  ASSERT_EQ(stat(fresh.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);

  ASSERT_EQ(chmod(fresh.c_str(), 0640), 0);
  ASSERT_TRUE(ReplaceFileAtomically(fresh.string(), "y").Succeeded());
  ASSERT_EQ(stat(fresh.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadFile(fresh), "y");
  // And its owner, where the caller may give it one: root may.
  if (geteuid() == 0) {
    ASSERT_EQ(chown(fresh.c_str(), 12345, 23456), 0);
    ASSERT_EQ(chmod(fresh.c_str(), 02640), 0);
    ASSERT_TRUE(ReplaceFileAtomically(fresh.string(), "z").Succeeded());
    ASSERT_EQ(stat(fresh.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 12345u);
    EXPECT_EQ(info.st_gid, 23456u);
    EXPECT_EQ(info.st_mode & 07777, 02640u);
  }
}

TEST_F(XmlSave, SymbolicLinkKeepsPointingAtTheSavedFile) {
  const fs::path real = folder_ / "real.xml";
  const fs::path link = folder_ / "link.xml";
  WriteFile(real, "old");
  fs::create_symlink(real, link);
  ASSERT_TRUE(ReplaceFileAtomically(link.string(), "new").Succeeded());
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFile(real), "new");
}

// Only a regular file is replaced, or a new one created: a device node, FIFO or folder in the
// target's place stays what it was, and the message gives the reason after the file name.
TEST_F(XmlSave, UnwritableTargetsReportTheFileAndTheReasonAndLeaveNothingBehind) {
  const fs::path folderTarget = folder_ / "a folder";
  fs::create_directory(folderTarget);
  const fs::path fifo = folder_ / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const fs::path device = folder_ / "null";  // the null device's numbers, made where only root may
  const bool haveDevice = mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  WriteFile(folder_ / "file", "x");
  std::vector<std::pair<std::string, std::string>> targets = {
      {(folder_ / "missing" / "install.xml").string(), "No such file or directory"},
      {(folder_ / "file" / "install.xml").string(), "Not a directory"},
      {folderTarget.string(), "Is a directory"},
      {fifo.string(), "Not a regular file"},
      {"", "No such file or directory"},
  };
  if (haveDevice) {
    targets.emplace_back(device.string(), "Not a regular file");
  }
  for (const auto& [target, reason] : targets) {
    Lines lines = {"<install>", "</install>"};
    EXPECT_EQ(SaveXmlDocument(target, lines).error.value_or("saved"),
              "Cannot create file " + target + ": " + reason);
  }
  std::vector<std::string> left = {"a folder", "fifo", "file"};
  if (haveDevice) {
    left.push_back("null");
    EXPECT_TRUE(fs::is_character_file(device));
  }
  EXPECT_EQ(Entries(), left);
  EXPECT_TRUE(fs::is_empty(folderTarget));
  EXPECT_TRUE(fs::is_fifo(fifo));
}

TEST_F(XmlSave, ReadOnlyTargetIsNotReplaced) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "the superuser may write any file";
  }
  const fs::path file = folder_ / "locked.xml";
  WriteFile(file, "old");
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  Lines lines = {"<install>", "</install>"};
  EXPECT_EQ(SaveXmlDocument(file.string(), lines).error.value_or("saved"),
            "Cannot create file " + file.string() + ": Permission denied");
  EXPECT_EQ(ReadFile(file), "old");
}

// A write that the system stops part-way (here by a file size limit, as a full disk would)
// must leave the previous document whole.
TEST_F(XmlSave, WriteFailingPartWayLeavesThePreviousFileIntact) {
  const fs::path file = folder_ / "install.xml";
  const std::string previous = "<install>\r\n\r\n\r\n</install>\r\n";
  WriteFile(file, previous);
  Lines lines = {"<install>"};
  for (int i = 0; i < 1000; ++i) {
    lines.push_back("     <id>item " + std::to_string(i) + "</id>");
  }
  lines.push_back("</install>");

  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const XmlSaveResult result = SaveXmlDocument(file.string(), lines);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  std::signal(SIGXFSZ, oldHandler);

  ASSERT_TRUE(result.error);
  EXPECT_EQ(*result.error, "Cannot create file " + file.string() + ": File too large");
  EXPECT_EQ(ReadFile(file), previous);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"install.xml"}));

  // Under the limit the same save goes through.
  ASSERT_FALSE(SaveXmlDocument(file.string(), lines).error);
  EXPECT_EQ(ReadFile(file), XmlFileText(lines));
}

}  // namespace
