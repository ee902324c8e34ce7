// The connection-and-contexts layer against the real client, started on small LDIF trees that
// the tests write themselves.
#include "directory/d_nw.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/test_client.h"
#include "util/hooks.h"

namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;

class RecordingSink : public ErrorMessageSink {
 public:
  void ShowError(const std::string& text) override { shown.push_back(text); }
  std::vector<std::string> shown;
};

constexpr const char* kAcmeLdif =
    "dn: o=Acme\nobjectClass: organization\no: Acme\n\n"
    "dn: ou=Sales,o=Acme\nobjectClass: organizationalUnit\nou: Sales\n\n"
    "dn: cn=Admin,ou=Sales,o=Acme\nobjectClass: inetOrgPerson\ncn: Admin\nsn: Admin\n\n"
    "dn: cn=Box,o=Acme\nobjectClass: organizationalUnit\ncn: Box\n\n"
    "dn: cn=Inner,cn=Box,o=Acme\nobjectClass: organizationalUnit\ncn: Inner\n";

constexpr const char* kOtherLdif =
    "dn: o=Other\nobjectClass: organization\no: Other\n\n"
    "dn: cn=Guest,o=Other\nobjectClass: inetOrgPerson\ncn: Guest\nsn: Guest\n";

// A client of the test's own, started on connections the test describes.
class DirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Write("acme.ldif", kAcmeLdif);
    Write("other.ldif", kOtherLdif);
  }

  void Write(const std::string& name, const std::string& text) const { folder_.Write(name, text); }
  [[nodiscard]] std::string Source(const std::string& name) const {
    return (folder_.Root() / name).string();
  }
  // Restarts the client on `connections` (the text of a connections file).
  void UseConnections(const std::string& connections) { connections_.Use(folder_, connections); }
  [[nodiscard]] std::string TwoTrees() const {
    return "[acme]\ntree = ACME_TREE\nsource = " + Source("acme.ldif") +
           "\ncontext = Sales.Acme\nuser = Admin.Sales.Acme\nprimary = yes\n\n"
           "[other]\ntree = OTHER_TREE\nsource = " +
           Source("other.ldif") + "\ncontext =\nuser = Guest.Other\n";
  }
  // A started client and one context with typeless names.
  [[nodiscard]] DirContext StartedContext() {
    RecordingSink sink;
    EXPECT_EQ(InitNetWare(client_, sink), 0);
    EXPECT_THAT(sink.shown, ::testing::IsEmpty());
    DirContext context = 0;
    EXPECT_EQ(client_.DirCreateContext(context), kDirOk);
    DSModifyContextFlags(client_, context, '+', kDirFlagTypeless);
    return context;
  }

  TempFolder folder_{"orvane-dnw"};
  ClientConnections connections_;
  DirSession& client_ = connections_.Client();
};

TEST_F(DirectoryTest, InitNetWareStartsTheClientOnce) {
  UseConnections(TwoTrees());
  RecordingSink sink;
  EXPECT_EQ(ClientConnection(client_), kNoClientConnection);
  EXPECT_EQ(InitNetWare(client_, sink), 0);
  EXPECT_NE(ClientConnection(client_), kNoClientConnection);

  const DirConnectionHandle opened = ClientConnection(client_);

  // The open connection is kept: the connections file is not read again.
  Write("connections.ini", "[broken\n");
  EXPECT_EQ(InitNetWare(client_, sink), 0);
  EXPECT_EQ(ClientConnection(client_), opened);
  EXPECT_THAT(sink.shown, ::testing::IsEmpty());

  // Shutting the client down ends the connection with it: the next start reads the file again,
  // and this time it is broken.
  client_.DirClientShutdown();
  EXPECT_EQ(ClientConnection(client_), kNoClientConnection);
  EXPECT_EQ(InitNetWare(client_, sink), kDirConfigMalformed);
  EXPECT_EQ(ClientConnection(client_), kNoClientConnection);
  EXPECT_EQ(sink.shown.size(), 1u);
}

TEST_F(DirectoryTest, InitNetWareFailureShowsOneBoxAndCanBeRetried) {
  UseConnections("[broken\n");
  RecordingSink sink;
  const uint16_t code = InitNetWare(client_, sink);
  EXPECT_NE(code, 0);
  EXPECT_NE(code, kDirClientNotStarted);
  EXPECT_EQ(ClientConnection(client_), kNoClientConnection);
  ASSERT_EQ(sink.shown.size(), 1u);
  EXPECT_EQ(sink.shown[0], "Could not find server/tree connection. InitNetWare returned error " +
                               NWErrorText(client_, code));
  // The client names what is wrong with the file; that text follows the code.
  EXPECT_THAT(NWErrorText(client_, code), ::testing::MatchesRegex("0x[0-9A-F]{4} \\(.+\\)"));

  UseConnections(TwoTrees());
  EXPECT_EQ(InitNetWare(client_, sink), 0);
  EXPECT_EQ(sink.shown.size(), 1u);
}

// Connections that cannot be opened are said once, with the tree that became the default; the
// start succeeds on what remains, or on nothing at all.
TEST_F(DirectoryTest, ConnectionsThatCannotBeOpenedAreNamedAndLeftOut) {
  const std::string gone = Source("gone.ldif");
  const std::string lost = "[lost]\ntree = LOST_TREE\nsource = " + gone + "\nprimary = yes\n";
  const std::string why = gone + ": cannot be read (No such file or directory) (connection ";
  UseConnections(lost + "\n[other]\ntree = OTHER_TREE\nsource = " + Source("other.ldif") +
                 "\n\n[again]\ntree = LOST_TREE\nsource = " + gone + "\n");
  RecordingSink sink;
  ASSERT_EQ(InitNetWare(client_, sink), 0);
  EXPECT_THAT(sink.shown, ::testing::IsEmpty());
  const std::string file = (folder_.Root() / "connections.ini").string();
  EXPECT_EQ(DSUnopenedConnectionsText(client_),
            "Connections could not be opened; their trees are left out:\nLOST_TREE: " + why +
                "[lost] in " + file + " line 1)\nLOST_TREE: " + why + "[again] in " + file +
                " line 10)\nThe default tree is OTHER_TREE instead of LOST_TREE.");
  EXPECT_EQ(DSUnopenedTreeText(client_, "Lost_Tree"),
            why + "[lost] in " + file + " line 1); " + why + "[again] in " + file + " line 10)");
  EXPECT_EQ(DSUnopenedTreeText(client_, "OTHER_TREE"), "");

  UseConnections(lost);
  EXPECT_EQ(InitNetWare(client_, sink), 0);
  EXPECT_THAT(sink.shown, ::testing::IsEmpty());
  EXPECT_EQ(ClientConnection(client_), kNoClientConnection);
  EXPECT_EQ(DSGetDefaultTree(client_), "");
  EXPECT_EQ(DSUnopenedConnectionsText(client_),
            "A connection could not be opened; its tree is left out:\nLOST_TREE: " + why +
                "[lost] in " + file + " line 1)");
}

TEST_F(DirectoryTest, TreeNamesAreCleanedAndListedOnce) {
  const std::string longTree = "ABCDEFGHIJKLMNOPQRSTUVWXYZ12345_";  // the longest the client takes
  UseConnections(TwoTrees() + "\n[again]\ntree = ACME_TREE\nsource = " + Source("acme.ldif") +
                 "\n\n[long]\ntree = " + longTree + "\nsource = " + Source("other.ldif") + "\n");
  RecordingSink sink;
  ASSERT_EQ(InitNetWare(client_, sink), 0);
  int pumped = 0;
  SetMessagePump([&pumped] { ++pumped; });
  TStringList trees;
  trees.Add("OTHER_tree");  // appends, and compares with what is there
  DSGetTreeNames(client_, trees);
  SetMessagePump({});
  EXPECT_THAT(trees.Texts(),
              ElementsAre("OTHER_tree", "ACME_TREE", "ABCDEFGHIJKLMNOPQRSTUVWXYZ12345"));
  EXPECT_EQ(pumped, 4);  // once per connection
  EXPECT_EQ(DSGetDefaultTree(client_), "ACME_TREE");
}

TEST(CleanTreeName, CutsToThirtyTwoThenStripsUnderscores) {
  const std::pair<std::string, std::string> cases[] = {
      {"ACME_TREE_______________________", "ACME_TREE"},
      {"________________________________", ""},
      {"", ""},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZ12345_XYZ", "ABCDEFGHIJKLMNOPQRSTUVWXYZ12345"},
      {"A_B", "A_B"},
  };
  for (const auto& [reported, shown] : cases) {
    EXPECT_EQ(CleanTreeName(reported), shown) << reported;
  }
}

TEST_F(DirectoryTest, ContextsMoveBetweenTreesAndNameContexts) {
  UseConnections(TwoTrees());
  const DirContext context = StartedContext();

  ASSERT_EQ(DSChangeCurrentTree(client_, context, "OTHER_TREE"), kDirOk);
  EXPECT_EQ(DSGetTreeName(client_, context), "OTHER_TREE");
  EXPECT_EQ(DSGetNameContext(client_, context), "[Root]");  // no default name context

  ASSERT_EQ(DSChangeCurrentTree(client_, context, "ACME_TREE"), kDirOk);
  EXPECT_EQ(DSGetNameContext(client_, context), "Sales.Acme");
  // Names come back relative to the name context, complete at the root.
  EXPECT_EQ(DSWhoAmI(client_, context), "Admin");

  ASSERT_EQ(DSSetNameContext(client_, context, ".Box.Acme"), kDirOk);  // one leading "." dropped
  EXPECT_EQ(DSGetNameContext(client_, context), "Box.Acme");
  ASSERT_EQ(DSSetRootContext(client_, context), kDirOk);
  EXPECT_EQ(DSGetNameContext(client_, context), "[Root]");
  EXPECT_EQ(DSWhoAmI(client_, context), "Admin.Sales.Acme");
  ASSERT_EQ(DSSetNameContext(client_, context, ""), kDirOk);  // the tree's default again
  EXPECT_EQ(DSGetNameContext(client_, context), "Sales.Acme");

  // The same tree in other letters is not set again, yet the name context goes back to default.
  ASSERT_EQ(DSSetNameContext(client_, context, "Box.Acme"), kDirOk);
  ASSERT_EQ(DSChangeCurrentTree(client_, context, "acme_tree"), kDirOk);
  EXPECT_EQ(DSGetTreeName(client_, context), "ACME_TREE");
  EXPECT_EQ(DSGetNameContext(client_, context), "Sales.Acme");

  // A tree no connection belongs to is refused and the context stays where it was.
  EXPECT_NE(DSChangeCurrentTree(client_, context, "NO_SUCH_TREE"), kDirOk);
  EXPECT_EQ(DSGetTreeName(client_, context), "ACME_TREE");
  EXPECT_EQ(DSGetNameContext(client_, context), "Sales.Acme");

  EXPECT_EQ(client_.DirFreeContext(context), kDirOk);
}

TEST_F(DirectoryTest, TypedNamesLoseOnlyTheFirstCommonNameType) {
  UseConnections(TwoTrees());
  const DirContext context = StartedContext();
  ASSERT_EQ(DSChangeCurrentTree(client_, context, "ACME_TREE"), kDirOk);
  DSModifyContextFlags(client_, context, '-', kDirFlagTypeless);
  ASSERT_EQ(DSSetNameContext(client_, context, "CN=Inner.CN=Box.O=Acme"), kDirOk);
  EXPECT_EQ(DSGetNameContext(client_, context), "Inner.CN=Box.O=Acme");
  EXPECT_EQ(client_.DirFreeContext(context), kDirOk);
}

TEST_F(DirectoryTest, FlagsChangeOnlyTheirBitsAndFailuresAreSilent) {
  UseConnections(TwoTrees());
  const DirContext context = StartedContext();
  struct Case {
    uint32_t before;
    char sign;
    uint32_t mask;
    uint32_t after;
  };
  const Case cases[] = {
      {0x00, '+', 0x04, 0x04}, {0x15, '+', 0x04, 0x15}, {0x15, '-', 0x04, 0x11},
      {0x11, '-', 0x04, 0x11}, {0x15, '*', 0x04, 0x15}, {0x00, '+', 0x14, 0x14},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(client_.DirSetContextValue(context, kDirKeyFlags, c.before), kDirOk);
    DSModifyContextFlags(client_, context, c.sign, c.mask);
    uint32_t flags = 0;
    ASSERT_EQ(client_.DirGetContextValue(context, kDirKeyFlags, flags), kDirOk);
    EXPECT_EQ(flags, c.after) << c.sign << c.before;
  }
  ASSERT_EQ(client_.DirFreeContext(context), kDirOk);
  // A freed context: nothing to read, nothing written, nothing thrown.
  DSModifyContextFlags(client_, context, '+', 0x04);
  EXPECT_EQ(DSGetNameContext(client_, context), "");
  EXPECT_EQ(DSGetTreeName(client_, context), "");
  EXPECT_EQ(DSWhoAmI(client_, context), "");
  EXPECT_NE(DSSetRootContext(client_, context), kDirOk);
}

TEST(ErrorTexts, BoxesShowTheCodeTheirWay) {
  DirSession client_;
  RecordingSink sink;
  ErrorBox(sink, 0, "nothing");
  NWErrorBox(client_, sink, 0, "nothing");
  ErrorBox(sink, kDirInvalidFilter, "DSSearch");
  ErrorBox(sink, 0x8810, "InitNetWare");
  ErrorBox(sink, 1, "DSChangeCurrentTree");
  EXPECT_THAT(sink.shown, ElementsAre("Error FFFFFEBA: DSSearch", "Error 8810: InitNetWare",
                                      "Error 0001: DSChangeCurrentTree"));

  // The client's own text where it has one; the system's text for a number it does not know.
  EXPECT_EQ(NWErrorText(client_, kDirNoSuchEntry),
            "0xFFFFFDA7 (" + client_.NWstrerror(kDirNoSuchEntry) + ")");
  EXPECT_NE(client_.NWstrerror(kDirNoSuchEntry), "Unknown error");
  ASSERT_EQ(client_.NWstrerror(2), "Unknown error");
  EXPECT_EQ(NWErrorText(client_, 2), "0x0002 (No such file or directory)");

  sink.shown.clear();
  NWErrorBox(client_, sink, 0xFFFF, "Could not initialize NetWare Client. InitNetWare");
  EXPECT_THAT(NWErrorText(client_, 0xFFFF), StartsWith("0xFFFF ("));
  EXPECT_THAT(sink.shown, ElementsAre("Could not initialize NetWare Client. InitNetWare returned "
                                      "error " +
                                      NWErrorText(client_, 0xFFFF)));
}

}  // namespace
