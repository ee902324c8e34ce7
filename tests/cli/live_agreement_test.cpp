// orvane-export on a live directory: the sample tree served by slapd (with a size limit of three,
// so every answer is paged) must give the very bytes the in-memory store gives for the same LDIF,
// documents, lists and failures alike; a server that is gone is a failure with nothing written.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/export_command.h"
#include "tests/client/slapd_server.h"
#include "tests/support/temp_folder.h"
#include "util/hooks.h"

namespace {

namespace fs = std::filesystem;

const std::string kSampleTree = std::string(ORVANE_TEST_DATA) + "/../../samples/sample_tree.ldif";

SlapdServer& Server() {
  static SlapdServer server(kSampleTree);
  return server;
}

struct Result {
  int status;
  std::string out;
  std::string err;
};

class LiveAgreementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Server().Running()) << Server().Error();
    const fs::path password = root_ / "password";
    std::ofstream(password) << SlapdServer::kManagerPassword;
    ASSERT_EQ(::chmod(password.c_str(), 0600), 0);
    memory_ = Connections("memory.ini", kSampleTree, "");
    live_ = Connections("live.ini", Server().Uri(), LiveKeys());
  }

  // A connections file for the sample tree read from `source`.
  std::string Connections(const std::string& name, const std::string& source,
                          const std::string& keys) {
    const std::string path = (root_ / name).string();
    std::ofstream(path) << "[larkspur]\ntree = LARKSPUR_TREE\nsource = " << source
                        << "\ncontext = Services.Larkspur\nprimary = yes\n"
                        << keys;
    return path;
  }
  // Logged in as the server's manager.
  std::string LiveKeys(int timeout = 5) const {
    return "bind = " + std::string(SlapdServer::kManagerDn) +
           "\npassword-file = " + (root_ / "password").string() +
           "\ntimeout = " + std::to_string(timeout) + "\n";
  }
  static Result Run(const std::string& connections, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--connections", connections});
    std::ostringstream out;
    std::ostringstream err;
    const int status = RunExport(arguments, out, err);
    return {status, out.str(), err.str()};
  }

  TempFolder folder_{"orvane-live"};
  const fs::path& root_ = folder_.Root();
  std::string memory_;
  std::string live_;
};

TEST_F(LiveAgreementTest, TheServedTreeExportsByteForByteAsTheLoadedOne) {
  const std::vector<std::string> cases[] = {
      {"--all"},
      {"--all", "--list"},
      {"--modules", "user", "--roles", "help", "--dependents"},
      {"--modules", "user", "--roles", "help", "--dependents", "--list"},
      // The whole tree from the root, the task outside the collection included.
      {"--base", "[Root]", "--all"},
      {"--base", "[Root]", "--tasks", "legacy", "--list"},
      {"--base", "Print Services.RBS Collection.Services.Larkspur", "--all"},
      {"--base", "Nowhere.Larkspur", "--all"},
      {"--tree", "other", "--all"},
  };
  for (const std::vector<std::string>& arguments : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const Result loaded = Run(memory_, arguments);
    const Result served = Run(live_, arguments);
    EXPECT_EQ(served.status, loaded.status) << served.err;
    EXPECT_EQ(served.out, loaded.out);
    EXPECT_EQ(served.err, loaded.err);
  }
  // The comparison above is only worth something if the export found what the tree holds.
  const Result all = Run(live_, {"--all", "--list"});
  EXPECT_EQ(all.status, kExportDone) << all.err;
  size_t checked = 0;
  for (size_t at = all.out.find("\tx\t"); at != std::string::npos;
       at = all.out.find("\tx\t", at + 1)) {
    ++checked;
  }
  EXPECT_EQ(checked, 20u) << all.out;
}

TEST_F(LiveAgreementTest, AServerThatIsGoneFailsTheExportAndWritesNothing) {
  SlapdServer server(kSampleTree);
  ASSERT_TRUE(server.Running()) << server.Error();
  const std::string connections = Connections("gone.ini", server.Uri(), LiveKeys());
  ASSERT_EQ(Run(connections, {"--list"}).status, kExportDone);
  server.Stop();
  const fs::path target = root_ / "out.xml";
  const Result result = Run(connections, {"--all", "-o", target.string()});
  EXPECT_EQ(result.status, kExportFailed);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err.rfind("orvane-export: ", 0), 0u) << result.err;
  EXPECT_FALSE(fs::exists(target));
}

// The server stops answering once the document's reads have begun: after the read that finds
// it lost and one reconnect, the export gives up at once instead of waiting out a timeout for
// every remaining read.
TEST_F(LiveAgreementTest, AServerLostDuringTheReadsFailsTheExportWithinTwoTimeouts) {
  SlapdServer server(kSampleTree);
  ASSERT_TRUE(server.Running()) << server.Error();
  const std::string connections = Connections("lost.ini", server.Uri(), LiveKeys(1));
  // The busy cursor is shown once more for the document than for the lists alone: the server
  // is stopped at that showing.
  int shown = 0;
  SetBusyCursorHook({[&] { return ++shown; }, [](ScreenCursor) {}});
  ASSERT_EQ(Run(connections, {"--all", "--list"}).status, kExportDone);
  const int beforeDocument = shown;
  shown = 0;
  std::chrono::steady_clock::time_point stopped;
  SetBusyCursorHook({[&] {
                       if (++shown == beforeDocument + 1) {
                         server.Pause();
                         stopped = std::chrono::steady_clock::now();
                       }
                       return shown;
                     },
                     [](ScreenCursor) {}});
  const fs::path target = root_ / "out.xml";
  Result result;
  const bool inTime = FinishesWithin(
      std::chrono::seconds(10),
      [&] {
        result = Run(connections, {"--all", "-o", target.string()});
      },
      [&] { server.Stop(); });
  const auto took = std::chrono::steady_clock::now() - stopped;
  SetBusyCursorHook({});
  server.Resume();
  ASSERT_TRUE(inTime) << "still exporting 10 s after the server stopped";
  EXPECT_GT(shown, beforeDocument);
  EXPECT_LT(took, std::chrono::milliseconds(3500));
  EXPECT_EQ(result.status, kExportFailed);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find(server.Uri() + ": "), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("no answer within 1 s"), std::string::npos) << result.err;
  EXPECT_FALSE(fs::exists(target));
}

}  // namespace
