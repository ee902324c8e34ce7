// orvane-export on a live directory: the sample tree served by slapd (with a size limit of three,
// so every answer is paged) and by a 389 Directory Server, over ldap, ldaps and StartTLS, must give
// the very bytes the in-memory store gives for the same LDIF, documents, lists and failures alike;
// a server that is gone is a failure with nothing written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/export_command.h"
#include "cli/password_prompt.h"
#include "directory/client/dir_client.h"
#include "directory/client/dir_session.h"
#include "tests/client/ds389_server.h"
#include "tests/client/slapd_server.h"
#include "tests/support/delay_relay.h"
#include "tests/support/temp_folder.h"
#include "util/hooks.h"

namespace {

namespace fs = std::filesystem;

// A pseudo-terminal for a password prompt. Its far end stays open with it, so the terminal
// keeps its settings between prompts and after the prompting process has gone; both ends close
// with it, whichever way the test ends.
struct PseudoTerminal {
  PseudoTerminal() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
      return;
    name = ::ptsname(master);
    slave = ::open(name.c_str(), O_RDWR | O_NOCTTY);
  }
  ~PseudoTerminal() {
    if (slave >= 0)
      ::close(slave);
    if (master >= 0)
      ::close(master);
  }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  int master = -1;
  int slave = -1;  // -1 when the terminal could not be made
  std::string name;
};

const std::string kSampleTree = std::string(ORVANE_TEST_DATA) + "/../../samples/sample_tree.ldif";

// Beside the tree, a naming context that holds nothing yet answers every search below it with
// success, as some servers answer a paged search below a missing base.
SlapdServer& Server() {
  static SlapdServer server(kSampleTree, 3, false, "", 0, 0, "o=Corp");
  return server;
}

// The same tree and hollow context on a 389 Directory Server, whose manager binds with the same
// name and password.
Ds389Server& Ds389() {
  static Ds389Server server(kSampleTree, "", "o=Corp");
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
  // Logged in as the server's manager, with the password asked for.
  std::string AskingKeys() const {
    return "bind = " + std::string(SlapdServer::kManagerDn) + "\ntimeout = 5\n";
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
    DirSession client;
    const int status = RunExport(client, arguments, out, err);
    return {status, out.str(), err.str()};
  }

  TempFolder folder_{"orvane-live"};
  const fs::path& root_ = folder_.Root();
  std::string memory_;
  std::string live_;
};

TEST_F(LiveAgreementTest, TheServedTreeExportsByteForByteAsTheLoadedOne) {
  ASSERT_TRUE(Ds389().Running()) << Ds389().Error();
  const std::string trusted = LiveKeys() + "ca-file = " + Ds389().CaFile() + "\n";
  const struct {
    const char* label;
    std::string connections;
  } sources[] = {
      {"slapd", live_},
      {"389", Connections("389.ini", Ds389().Uri(), LiveKeys())},
      {"389 over ldaps", Connections("389s.ini", Ds389().LdapsUri(), trusted)},
      {"389 with StartTLS", Connections("389tls.ini", Ds389().Uri(), trusted + "starttls = yes\n")},
  };
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
      {"--base", ".Nope.Corp", "--all"},
      {"--tree", "other", "--all"},
  };
  for (const auto& source : sources) {
    SCOPED_TRACE(source.label);
    for (const std::vector<std::string>& arguments : cases) {
      SCOPED_TRACE(::testing::PrintToString(arguments));
      const Result loaded = Run(memory_, arguments);
      const Result served = Run(source.connections, arguments);
      EXPECT_EQ(served.status, loaded.status) << served.err;
      EXPECT_EQ(served.out, loaded.out);
      EXPECT_EQ(served.err, loaded.err);
    }
    // The comparison above is only worth something if the export found what the tree holds.
    const Result all = Run(source.connections, {"--all", "--list"});
    EXPECT_EQ(all.status, kExportDone) << all.err;
    size_t checked = 0;
    for (size_t at = all.out.find("\tx\t"); at != std::string::npos;
         at = all.out.find("\tx\t", at + 1)) {
      ++checked;
    }
    EXPECT_EQ(checked, 20u) << all.out;
  }
}

// A directory whose naming context has two parts, as most outside NDS trees do: the root lists
// the part above the context, and names below it resolve, browse and export as they do from the
// same LDIF loaded, where that part is made as well.
TEST_F(LiveAgreementTest, ANamingContextOfTwoPartsExportsAsTheLoadedTree) {
  std::ifstream in(std::string(ORVANE_TEST_DATA) + "/shop_tree.ldif");
  std::stringstream original;
  original << in.rdbuf();
  std::string ldif = original.str();
  const std::string top = "dn: o=Shop\nobjectClass: organization\no: Shop\n";
  ASSERT_NE(ldif.find(top), std::string::npos);
  ldif.replace(ldif.find(top), top.size(),
               "dn: dc=shop,dc=example\nobjectClass: domain\ndc: shop\n");
  for (size_t at = ldif.find(",o=Shop"); at != std::string::npos; at = ldif.find(",o=Shop", at))
    ldif.replace(at, 7, ",dc=shop,dc=example");
  const std::string path = (root_ / "shop.ldif").string();
  std::ofstream(path) << ldif;
  SlapdServer server(path, 3, false, "dc=shop,dc=example");
  ASSERT_TRUE(server.Running()) << server.Error();
  const auto connections = [&](const std::string& name, const std::string& source,
                               const std::string& keys) {
    const std::string file = (root_ / name).string();
    std::ofstream(file) << "[shop]\ntree = SHOP_TREE\nsource = " << source
                        << "\ncontext = Start.shop.example\nprimary = yes\n"
                        << keys;
    return file;
  };
  const std::string memory = connections("memory.ini", path, "");
  const std::string live = connections("live.ini", server.Uri(), "timeout = 5\n");
  const std::vector<std::string> cases[] = {
      {"--all"},
      {"--all", "--list"},
      {"--base", "shop.example", "--all"},
      {"--base", ".Start.Shop.Example", "--modules", "ModA", "--dependents", "--list"},
      {"--base", "example", "--all", "--list"},
      {"--base", "[Root]", "--all", "--list"},
      {"--base", "Nowhere.example", "--all"},
  };
  for (const std::vector<std::string>& arguments : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const Result loaded = Run(memory, arguments);
    const Result served = Run(live, arguments);
    const bool nowhere = arguments.size() > 1 && arguments[1] == "Nowhere.example";
    EXPECT_EQ(loaded.status, nowhere ? kExportFailed : kExportDone) << loaded.err;
    EXPECT_EQ(served.status, loaded.status) << served.err;
    EXPECT_EQ(served.out, loaded.out);
    EXPECT_EQ(served.err, loaded.err);
  }
  const Result all = Run(live, {"--base", "example", "--all", "--list"});
  EXPECT_NE(all.out.find("task\tx\tOutside.shop.example\n"), std::string::npos) << all.out;
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

// The sample tree spread over two servers, a module behind a referral: through the first server
// it exports as the whole tree loaded, the same identity bound on both; with the second gone,
// nothing is written and the failure names the part of the tree and its server.
TEST_F(LiveAgreementTest, ATreeSpreadOverTwoServersExportsWholeOrNotAtAll) {
  const std::string part = "cn=Print Services,cn=RBS Collection,ou=Services,o=Larkspur";
  SplitSlapd servers(kSampleTree, part);
  ASSERT_TRUE(servers.Running()) << servers.Error();
  const std::string split = Connections("split.ini", servers.Top().Uri(), LiveKeys(2));
  const std::vector<std::string> cases[] = {
      {"--all"},
      {"--all", "--list"},
      {"--modules", "print", "--roles", "print", "--dependents", "--list"},
      {"--base", "Print Services.RBS Collection.Services.Larkspur", "--all"},
      // The part's entries stand where its referral stands, in the tree's order.
      {"--base", "[Root]", "--all", "--list"},
  };
  for (const std::vector<std::string>& arguments : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const Result loaded = Run(memory_, arguments);
    const Result served = Run(split, arguments);
    EXPECT_EQ(loaded.status, kExportDone) << loaded.err;
    EXPECT_EQ(served.status, loaded.status) << served.err;
    EXPECT_EQ(served.out, loaded.out);
    EXPECT_EQ(served.err, loaded.err);
  }
  servers.Part().Stop();
  const fs::path target = root_ / "out.xml";
  for (const std::vector<std::string>& arguments : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    std::vector<std::string> written = arguments;
    written.insert(written.end(), {"-o", target.string()});
    const Result result = Run(split, written);
    EXPECT_EQ(result.status, kExportFailed);
    EXPECT_NE(result.err.find(servers.Part().Uri() + ": "), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(part), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(target));
  }
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

// A tree of a few hundred RBS objects that name one another in values, as installs leave them:
// under `modules` modules, 2 books and 30 tasks each; beside them 24 roles sharing the tasks out.
std::string ManyItemsTree(int modules) {
  std::ostringstream ldif;
  const std::string collection = "cn=RBS Collection,o=Wide";
  ldif << "dn: o=Wide\nobjectClass: organization\no: Wide\n\n"
       << "dn: " << collection << "\nobjectClass: rbsCollection2\ncn: RBS Collection\n\n";
  const auto role = [&](int r) { return "cn=Role " + std::to_string(r) + "," + collection; };
  const auto task = [&](int t) {
    return "cn=Task " + std::to_string(t) + ",cn=Module " + std::to_string(t / 30) + "," +
           collection;
  };
  for (int m = 0; m < modules; ++m) {
    const std::string module = "cn=Module " + std::to_string(m) + "," + collection;
    ldif << "dn: " << module << "\nobjectClass: rbsModule2\ncn: Module " << m
         << "\nrbsParameters: order=" << m << "\n\n";
    for (int b = 0; b < 2; ++b) {
      ldif << "dn: cn=Book " << b << "," << module << "\nobjectClass: rbsBook2\ncn: Book " << b
           << "\nrbsContentMembership: " << role((m + b) % 24) << "\n\n";
    }
    for (int t = m * 30; t < (m + 1) * 30; ++t) {
      ldif << "dn: " << task(t) << "\nobjectClass: rbsTask2\ncn: Task " << t
           << "\nrbsEntryPoint: org.wide.Task" << t << "\nrbsTaskRights: Surname;6\n"
           << "rbsContentMembership: " << role(t % 24) << "\n\n";
    }
  }
  for (int r = 0; r < 24; ++r) {
    ldif << "dn: " << role(r) << "\nobjectClass: rbsRole2\ncn: Role " << r << "\n";
    for (int t = r; t < modules * 30; t += 24)
      ldif << "rbsContent: " << task(t) << "\n";
    ldif << "\n";
  }
  return ldif.str();
}

// Across a network each request the export waits for costs a round trip: the document of a few
// hundred items and the marks of their dependents take a few turns beyond the lists', not one
// per item, and give the bytes the loaded tree gives. So they do with half the modules on a
// second server behind referrals, whose entries are not each a referred read.
TEST_F(LiveAgreementTest, ManyItemsCostAFewRoundTripsBeyondTheLists) {
  const std::string path = (root_ / "many.ldif").string();
  // More modules than slapd lets an anonymous connection hold requests waiting (100) for the
  // eight guesses at each module's name.
  constexpr int kModules = 16;
  constexpr int kTasks = 30 * kModules;
  std::ofstream(path) << ManyItemsTree(kModules);
  SlapdServer server(path);
  ASSERT_TRUE(server.Running()) << server.Error();
  std::vector<std::string> parts;
  for (int m = 0; m < kModules / 2; ++m)
    parts.push_back("cn=Module " + std::to_string(m) + ",cn=RBS Collection,o=Wide");
  SplitSlapd split(path, parts);
  ASSERT_TRUE(split.Running()) << split.Error();
  for (const SlapdServer* top : {&server, &split.Top()}) {
    SCOPED_TRACE(top == &server ? "one server" : "half the modules behind referrals");
    const std::string uri = top->Uri();
    // A hold long enough that requests sent together reach the server before its first answer
    // comes back, as across a network, even from the slower sanitizer build; on loopback the two
    // interleave into more turns.
    DelayRelay relay(uri, std::chrono::milliseconds(10));
    ASSERT_NE(relay.Port(), 0);
    const auto connections = [&](const std::string& name, const std::string& source,
                                 const std::string& keys) {
      const std::string file = (root_ / name).string();
      std::ofstream(file) << "[wide]\ntree = WIDE\nsource = " << source
                          << "\ncontext = Wide\nprimary = yes\n"
                          << keys;
      return file;
    };
    const std::string memory = connections("memory.ini", path, "");
    const std::string live = connections("live.ini", relay.Uri(), "timeout = 5\n");
    struct Case {
      std::vector<std::string> arguments;
      std::vector<std::string> lists;  // the same lists without the work measured
      size_t checked;                  // lines checked in the end
    };
    const Case cases[] = {
        {{"--all"}, {"--all", "--list"}, kModules + 2 * kModules + 24 + kTasks},
        {{"--roles", "Role", "--dependents", "--list"}, {"--roles", "Role", "--list"}, 24 + kTasks},
        {{"--modules", "Module", "--dependents", "--list"},
         {"--modules", "Module", "--list"},
         kModules + 2 * kModules + kTasks},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::PrintToString(c.arguments));
      relay.ResetTurns();
      const Result lists = Run(live, c.lists);
      const size_t listTurns = relay.Turns();
      relay.ResetTurns();
      const Result served = Run(live, c.arguments);
      const size_t turns = relay.Turns();
      const size_t splits = relay.Splits();
      const Result loaded = Run(memory, c.arguments);
      ASSERT_EQ(lists.status, kExportDone) << lists.err;
      EXPECT_EQ(served.status, kExportDone) << served.err;
      EXPECT_EQ(served.out, loaded.out);
      EXPECT_EQ(served.err, loaded.err);
      EXPECT_LE(turns, listTurns + 4) << "lists alone: " << listTurns;
      // Requests sent together leave together: a burst that reached the server in pieces would
      // cost a turn per piece wherever the sender is slowed between two requests. A read-ahead
      // sent just before a read of its own is the one piece allowed.
      EXPECT_LE(splits, 1u);
      // The agreement is only worth something if the work did what the tree asks for.
      const bool listing = c.arguments.back() == "--list";
      const std::string mark = listing ? "\tx\t" : "<id>";
      size_t found = 0;
      for (size_t at = served.out.find(mark); at != std::string::npos;
           at = served.out.find(mark, at + 1)) {
        ++found;
      }
      EXPECT_EQ(found, c.checked) << served.out.substr(0, 2000);
    }
  }
}

// A role's values may spell its tasks otherwise than their entries do, in letter case beyond
// ASCII too, which the server matches: each still marks its task.
TEST_F(LiveAgreementTest, ATaskNamedInAnotherSpellingIsStillMarked) {
  const std::string path = (root_ / "spelled.ldif").string();
  std::ofstream(path) << "dn: o=Wide\nobjectClass: organization\no: Wide\n\n"
                         "dn:: Y249w4RyZ2VyLG89V2lkZQ==\nobjectClass: rbsTask2\ncn:: w4RyZ2Vy\n\n"
                         "dn: cn=Plain,o=Wide\nobjectClass: rbsTask2\ncn: Plain\n\n"
                         "dn: cn=Idle,o=Wide\nobjectClass: rbsTask2\ncn: Idle\n\n"
                         "dn: cn=Role,o=Wide\nobjectClass: rbsRole2\ncn: Role\n"
                         "rbsContent:: Y249w6RyZ2VyLG89d2lkZQ==\n"  // cn=\u00e4rger,o=wide
                         "rbsContent: CN=PLAIN,O=WIDE\n";
  SlapdServer server(path);
  ASSERT_TRUE(server.Running()) << server.Error();
  const std::string live = (root_ / "spelled.ini").string();
  std::ofstream(live) << "[wide]\ntree = WIDE\nsource = " << server.Uri()
                      << "\ncontext = Wide\nprimary = yes\ntimeout = 5\n";
  const Result result = Run(live, {"--roles", "Role", "--dependents", "--list"});
  ASSERT_EQ(result.status, kExportDone) << result.err;
  for (const char* line : {"\tx\t\xc3\x84rger", "\tx\tPlain", "\t-\tIdle"}) {
    EXPECT_NE(result.out.find(line), std::string::npos) << line << " in\n" << result.out;
  }
}

// A NUL inside a string value reaches the document's check from either store and fails the
// export, instead of ending the value there.
TEST_F(LiveAgreementTest, AValueHoldingANulFailsTheExportFromEitherStore) {
  const std::string ldif = (root_ / "nul.ldif").string();
  // rbsParameters:: "k=a\0b;role=Admin"
  std::ofstream(ldif) << "dn: o=Shop\nobjectClass: organization\no: Shop\n\n"
                         "dn: cn=Nul,o=Shop\nobjectClass: rbsTask2\ncn: Nul\n"
                         "rbsParameters:: az1hAGI7cm9sZT1BZG1pbg==\n";
  SlapdServer server(ldif);
  ASSERT_TRUE(server.Running()) << server.Error();
  const std::string fault =
      "orvane-export: Cannot export rbsParameters of Nul.Shop, byte offset 3: U+0000 is not a "
      "character an XML document can hold\n";
  for (const std::string& source : {ldif, server.Uri()}) {
    SCOPED_TRACE(source);
    const std::string connections = (root_ / "nul.ini").string();
    std::ofstream(connections) << "[shop]\ntree = SHOP\nsource = " << source
                               << "\ncontext =\nprimary = yes\n"
                               << (source == ldif ? "" : LiveKeys());
    const Result result = Run(connections, {"--base", "Shop", "--all"});
    EXPECT_EQ(result.status, kExportFailed);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, fault);
  }
}

// Without a password file in the connections file the password comes from --password-file,
// else ORVANE_PASSWORD; one the server refuses fails the run, saying where it came from.
TEST_F(LiveAgreementTest, AnAskedPasswordComesFromTheOptionOrTheVariable) {
  const std::string asking = Connections("asking.ini", Server().Uri(), AskingKeys());
  const std::string right = (root_ / "password").string();
  const std::string wrong = (root_ / "wrong").string();
  std::ofstream(wrong) << "not it\n";
  ASSERT_EQ(::chmod(wrong.c_str(), 0600), 0);
  const std::string loose = (root_ / "loose").string();
  std::ofstream(loose) << SlapdServer::kManagerPassword;
  ASSERT_EQ(::chmod(loose.c_str(), 0644), 0);
  struct Case {
    const char* label;
    std::vector<std::string> arguments;
    std::optional<std::string> variable;
    std::string fault;  // empty: the export succeeds
  };
  const Case cases[] = {
      {"option", {"--password-file", right}, std::nullopt, ""},
      {"variable", {}, SlapdServer::kManagerPassword, ""},
      {"the option wins", {"--password-file=" + right}, "not it", ""},
      {"refused option",
       {"--password-file", wrong},
       SlapdServer::kManagerPassword,
       "the password in " + wrong + " was refused for bind cn=Manager on " + Server().Uri()},
      {"refused variable", {}, "not it", "the password in ORVANE_PASSWORD was refused"},
      {"empty variable", {}, "", "The password is empty."},
      {"loose file",
       {"--password-file", loose},
       std::nullopt,
       loose + ": the password file has mode 0644"},
  };
  const Result expected = Run(live_, {"--all", "--list"});
  ASSERT_EQ(expected.status, kExportDone) << expected.err;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.variable) {
      ::setenv(kPasswordVariable, c.variable->c_str(), 1);
    } else {
      ::unsetenv(kPasswordVariable);
    }
    std::vector<std::string> arguments = c.arguments;
    arguments.insert(arguments.end(), {"--all", "--list"});
    const Result result = Run(asking, arguments);
    ::unsetenv(kPasswordVariable);
    if (c.fault.empty()) {
      EXPECT_EQ(result.status, kExportDone) << result.err;
      EXPECT_EQ(result.out, expected.out);
    } else {
      EXPECT_EQ(result.status, kExportFailed);
      EXPECT_EQ(result.out, "");
      EXPECT_NE(result.err.find(c.fault), std::string::npos) << result.err;
    }
  }
}

// A script run without a controlling terminal, nor the option nor the variable, fails at once
// and says how to give the password.
TEST_F(LiveAgreementTest, WithoutTerminalTheRunSaysHowToGiveThePassword) {
  const std::string asking = Connections("asking.ini", Server().Uri(), AskingKeys());
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipeFds[0]);
    ::setsid();  // a new session has no controlling terminal
    ::unsetenv(kPasswordVariable);
    const Result result = Run(asking, {"--all"});
    const std::string report = std::to_string(result.status) + "|" + result.out + "|" + result.err;
    static_cast<void>(::write(pipeFds[1], report.data(), report.size()));
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  std::string report;
  char chunk[4096];
  for (ssize_t got; (got = ::read(pipeFds[0], chunk, sizeof chunk)) > 0;) {
    report.append(chunk, static_cast<size_t>(got));
  }
  ::close(pipeFds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(report.rfind("1||orvane-export: ", 0), 0u) << report;
  EXPECT_NE(report.find("no password for bind cn=Manager on " + Server().Uri() +
                        ": no terminal to ask on"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("give --password-file FILE or set ORVANE_PASSWORD"), std::string::npos)
      << report;
}

// On a terminal the password is typed without echo, asked again with the server's reason after
// a refusal, and the terminal is left as it was.
TEST_F(LiveAgreementTest, ATerminalIsAskedAgainAfterARefusal) {
  const PseudoTerminal pty;
  ASSERT_GE(pty.slave, 0);
  const int master = pty.master;
  const int slave = pty.slave;
  const std::string& terminal = pty.name;
  std::string shown;
  std::thread typist([&] {
    const std::string prompt = "(tree LARKSPUR_TREE): ";
    size_t from = 0;
    for (const std::string line : {"not it\n", "secret\n"}) {
      // Typed only once its prompt is there: the prompt discards what was typed before it.
      size_t at = 0;
      while ((at = shown.find(prompt, from)) == std::string::npos) {
        char chunk[256];
        const ssize_t got = ::read(master, chunk, sizeof chunk);
        if (got <= 0) {
          return;
        }
        shown.append(chunk, static_cast<size_t>(got));
      }
      from = at + prompt.size();
      static_cast<void>(::write(master, line.data(), line.size()));
    }
  });
  PasswordSources sources;
  sources.terminal = terminal;
  std::vector<int> attempts;
  DirSession client;
  client.DirClientSetPasswordProvider([&](const DirPasswordRequest& request) {
    attempts.push_back(request.attempt);
    return ExportPassword(sources, request);
  });
  client.DirClientUseConnectionsFile(Connections("asking.ini", Server().Uri(), AskingKeys()));
  const uint16_t code = client.DirClientInit(0, 0);
  typist.join();
  EXPECT_EQ(code, kDirConnectionOk) << client.NWstrerror(code);
  EXPECT_EQ(attempts, (std::vector<int>{1, 2}));
  EXPECT_NE(
      shown.find("Password for bind cn=Manager on " + Server().Uri() + " (tree LARKSPUR_TREE): "),
      std::string::npos)
      << shown;
  EXPECT_NE(shown.find("Invalid credentials"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("not it"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("secret"), std::string::npos) << shown;
  termios after{};
  ASSERT_EQ(::tcgetattr(slave, &after), 0);
  EXPECT_NE(after.c_lflag & ECHO, 0u);
}

// Ctrl-C, Ctrl-\\ or a kill while the password is typed: the terminal gets its echo back and the
// run ends by that signal.
TEST(PasswordPromptTest, ASignalAtThePromptLeavesTheTerminalEchoing) {
  const struct {
    int signal;
    const char* typed;  // what the user types for it; nullptr: the signal is sent
  } cases[] = {{SIGINT, "\x03"}, {SIGQUIT, "\x1c"}, {SIGTERM, nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(strsignal(c.signal));
    const PseudoTerminal pty;
    ASSERT_GE(pty.slave, 0);
    const int master = pty.master;
    const int slave = pty.slave;
    const std::string& terminal = pty.name;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // The terminal becomes the session's, so that what is typed on it signals the prompt.
      ::setsid();
      const int controlling = ::open(terminal.c_str(), O_RDWR);
      const rlimit noCore{0, 0};
      ::setrlimit(RLIMIT_CORE, &noCore);
      PasswordSources sources;
      sources.terminal = terminal;
      DirPasswordRequest request;
      request.bindDn = "cn=Manager";
      request.server = "ldap://127.0.0.1:1";
      request.tree = "T";
      request.attempt = 1;
      static_cast<void>(ExportPassword(sources, request));
      ::close(controlling);
      ::_exit(0);
    }
    std::string shown;
    while (shown.find("(tree T): ") == std::string::npos) {
      char chunk[256];
      const ssize_t got = ::read(master, chunk, sizeof chunk);
      if (got <= 0)
        break;
      shown.append(chunk, static_cast<size_t>(got));
    }
    termios during{};
    ASSERT_EQ(::tcgetattr(slave, &during), 0);
    EXPECT_EQ(during.c_lflag & ECHO, 0u) << shown;
    if (c.typed != nullptr) {
      static_cast<void>(::write(master, c.typed, 1));
    } else {
      ::kill(child, c.signal);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), c.signal);
    termios after{};
    ASSERT_EQ(::tcgetattr(slave, &after), 0);
    EXPECT_NE(after.c_lflag & ECHO, 0u);
  }
}

}  // namespace
