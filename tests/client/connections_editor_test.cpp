// The connections file as the window's dialog edits it (comments, unknown keys and untouched lines
// kept; a text the client could not read never written), and the dialog's "Test" of a connection
// against the tests' slapd, an LDIF file and a port nobody listens on.
#include <gtest/gtest.h>

#include <string>

#include "directory/client/connection_probe.h"
#include "directory/client/connections_editor.h"
#include "tests/client/store_test_support.h"
#include "util/atomic_file.h"

namespace {

constexpr const char* kOwnersFile =
    "; Written by hand.\n"
    "[acme]   ; the production tree\n"
    "tree = ACME_TREE\n"
    "Source=acme.ldif   ; nightly dump\n"
    "context = Sales.Acme\n"
    "file-urls = no\n"
    "primary = yes\n"
    "\n"
    "# The lab, below.\n"
    "[lab]\n"
    "tree = LAB_TREE\n"
    "source = sample\n"
    "; lab ends here\n";

class ConnectionsEditorTest : public ClientFolderTest {
 protected:
  ConnectionsFile Load(const std::string& text) {
    std::string error;
    auto file = ConnectionsFile::Load(Write("connections.ini", text), error);
    EXPECT_TRUE(file.has_value()) << error;
    return file.value_or(ConnectionsFile());
  }
  std::string Path() const { return dir_ + "/connections.ini"; }
};

TEST_F(ConnectionsEditorTest, EditsChangeOnlyTheirOwnLines) {
  struct Case {
    const char* label;
    void (*edit)(ConnectionsFile&);
    std::string expected;
  };
  const Case cases[] = {
      {"unchanged fields keep every byte",
       [](ConnectionsFile& file) {
         std::string error;
         EXPECT_TRUE(file.Apply("ACME", *file.Fields("acme"), error)) << error;
       },
       kOwnersFile},
      {"an edited value keeps key spelling and inline comment; a new key follows the last",
       [](ConnectionsFile& file) {
         ConnectionFields f = *file.Fields("acme");
         f.source = "/srv/acme-2.ldif";
         f.user = "Admin.Sales.Acme";
         f.context.clear();
         f.timeout = 30;
         std::string error;
         EXPECT_TRUE(file.Apply("acme", f, error)) << error;
       },
       "; Written by hand.\n[acme]   ; the production tree\ntree = ACME_TREE\n"
       "Source=/srv/acme-2.ldif   ; nightly dump\nfile-urls = no\nprimary = yes\n"
       "user = Admin.Sales.Acme\ntimeout = 30\n\n# The lab, below.\n[lab]\ntree = LAB_TREE\n"
       "source = sample\n; lab ends here\n"},
      {"a new primary takes the mark; a renamed section keeps its inline comment",
       [](ConnectionsFile& file) {
         ConnectionFields f = *file.Fields("lab");
         f.primary = true;
         std::string error;
         EXPECT_TRUE(file.Apply("lab", f, error)) << error;
         f = *file.Fields("acme");
         f.section = "prod";
         EXPECT_TRUE(file.Apply("acme", f, error)) << error;
       },
       "; Written by hand.\n[prod]   ; the production tree\ntree = ACME_TREE\n"
       "Source=acme.ldif   ; nightly dump\ncontext = Sales.Acme\nfile-urls = no\nprimary = no\n"
       "\n# The lab, below.\n[lab]\ntree = LAB_TREE\nsource = sample\nprimary = yes\n"
       "; lab ends here\n"},
      {"an added section comes last with the keys that are not defaults",
       [](ConnectionsFile& file) {
         ConnectionFields f;
         f.section = "live";
         f.tree = "LIVE_TREE";
         f.source = "ldaps://ldap.example:636";
         f.bind = "cn=admin,o=live";
         f.caFile = "ca.pem";
         f.pageSize = 500;
         std::string error;
         EXPECT_TRUE(file.Apply("", f, error)) << error;
       },
       std::string(kOwnersFile) +
           "\n[live]\ntree = LIVE_TREE\nsource = ldaps://ldap.example:636\nbind = cn=admin,o=live\n"
           "ca-file = ca.pem\npage-size = 500\n"},
      {"a removed section takes the comment above it and leaves the one after",
       [](ConnectionsFile& file) {
         std::string error;
         EXPECT_TRUE(file.Remove("LAB", error)) << error;
       },
       "; Written by hand.\n[acme]   ; the production tree\ntree = ACME_TREE\n"
       "Source=acme.ldif   ; nightly dump\ncontext = Sales.Acme\nfile-urls = no\nprimary = yes\n"
       "\n; lab ends here\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ConnectionsFile file = Load(kOwnersFile);
    c.edit(file);
    EXPECT_EQ(file.Text(), c.expected);
  }
}

TEST_F(ConnectionsEditorTest, RefusedEditsChangeNothing) {
  struct Case {
    const char* label;
    const char* section;
    void (*change)(ConnectionFields&);
    const char* error;
  };
  const Case cases[] = {
      {"a line break", "acme", [](ConnectionFields& f) { f.tree = "A\n[evil]"; },
       "The value of tree may not hold a line break"},
      {"an inline comment", "acme", [](ConnectionFields& f) { f.bind = "cn=a ;b"; },
       "The value of bind may not hold a blank followed by ';'"},
      {"a taken name", "acme", [](ConnectionFields& f) { f.section = "LAB"; },
       "A connection named [LAB] exists already"},
      {"no source", "acme", [](ConnectionFields& f) { f.source.clear(); },
       "The connections file would not be readable: "},
      {"a tree name too long", "",
       [](ConnectionFields& f) {
         f.section = "new";
         f.tree = std::string(33, 'T');
       },
       "is longer than 32 characters"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ConnectionsFile file = Load(kOwnersFile);
    ConnectionFields fields = *file.Fields("acme");
    c.change(fields);
    std::string error;
    EXPECT_FALSE(file.Apply(c.section, fields, error));
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_EQ(file.Text(), kOwnersFile);
  }
  ConnectionsFile single = Load("[only]\ntree = T\nsource = sample\n");
  std::string error;
  EXPECT_FALSE(single.Remove("only", error));
  EXPECT_EQ(error, "The last connection cannot be removed: the client needs at least one");
}

TEST_F(ConnectionsEditorTest, SavingWritesOnlyWhatTheClientReadsAndNeverOverAnotherChange) {
  // A file the client cannot parse is not opened for editing, so it cannot be overwritten.
  Write("connections.ini", "[a]\ntree = T\nsource = sample\nprimary = perhaps\n");
  std::string error;
  EXPECT_FALSE(ConnectionsFile::Load(Path(), error).has_value());
  EXPECT_EQ(error, Path() + " line 4: primary must be yes or no, not \"perhaps\"");

  // Without a file the editor starts with the sample the client opens then, and keeps it.
  const std::string missing = dir_ + "/new/connections.ini";
  auto fresh = ConnectionsFile::Load(missing, error);
  ASSERT_TRUE(fresh.has_value()) << error;
  EXPECT_EQ(fresh->Sections(), std::vector<std::string>{"sample"});
  ConnectionFields lab;
  lab.section = "lab";
  lab.tree = "LAB_TREE";
  lab.source = kClientTree;
  ASSERT_TRUE(fresh->Apply("", lab, error)) << error;
  ASSERT_TRUE(fresh->Save(error)) << error;
  std::string written;
  ASSERT_TRUE(ReadRegularFile(missing, written).Succeeded());
  const auto configs = ParseConnectionsFile(written, missing, error);
  ASSERT_TRUE(configs.has_value()) << error;
  ASSERT_EQ(configs->size(), 2u);
  EXPECT_EQ((*configs)[0].tree, "LARKSPUR_TREE");
  EXPECT_TRUE((*configs)[0].primary);
  EXPECT_EQ((*configs)[1].source, kClientTree);

  // Another program's change since the load is not overwritten.
  ConnectionsFile file = Load(kOwnersFile);
  Write("connections.ini", std::string(kOwnersFile) + "; edited meanwhile\n");
  ASSERT_TRUE(file.Remove("lab", error)) << error;
  EXPECT_FALSE(file.Save(error));
  EXPECT_NE(error.find("was changed by another program"), std::string::npos) << error;
  ASSERT_TRUE(ReadRegularFile(Path(), written).Succeeded());
  EXPECT_EQ(written, std::string(kOwnersFile) + "; edited meanwhile\n");
}

TEST_F(ConnectionsEditorTest, TestReportsTheServersAnswerOrWhyNot) {
  SlapdServer& server = ClientTreeServer();
  ASSERT_TRUE(server.Running()) << server.Error();
  const std::string broken = Write("broken.ldif", "dn: o=Acme\nobjectClass: organization\n\nxx\n");
  struct Case {
    const char* label;
    std::string source;
    std::string bind;
    std::optional<std::string> password;
    bool succeeds;
    std::string text;
  };
  const Case cases[] = {
      {"bound", server.Uri(), SlapdServer::kManagerDn, SlapdServer::kManagerPassword, true,
       "Connected to " + server.Uri() + " without encryption; the server knows you as cn=Manager."},
      {"wrong password", server.Uri(), SlapdServer::kManagerDn, std::string("wrong"), false,
       server.Uri() + ": bind as cn=Manager: Invalid credentials"},
      {"no password", server.Uri(), SlapdServer::kManagerDn, std::nullopt, false,
       "Binding as cn=Manager needs a password"},
      {"nobody listens", "ldap://127.0.0.1:1", "", std::nullopt, false,
       "ldap://127.0.0.1:1: connect: Connect error. The server cannot be reached: 127.0.0.1 port "
       "1: "
       "Connection refused."},
      // The store's own text, so the export from a script says it too.
      {"ldaps to a plain port", "ldaps://" + server.Uri().substr(7), "", std::nullopt, false,
       server.Uri().substr(7) + " answers plain LDAP, not LDAP over TLS: use " + server.Uri() +
           " with StartTLS (starttls = yes)."},
      {"LDIF", kClientTree, "", std::nullopt, true, "Read "},
      {"LDIF with a bad line", broken, "", std::nullopt, false, broken + " line 4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ConnectionConfig config;
    config.source = c.source;
    config.bind = c.bind;
    config.timeout = 5;
    const ProbeResult result = ProbeConnection(config, c.password);
    EXPECT_EQ(result.succeeded, c.succeeds) << result.text;
    EXPECT_NE(result.text.find(c.text), std::string::npos) << result.text;
  }
}

TEST_F(ConnectionsEditorTest, TestSaysWhenTheCertificateIsRefused) {
  SlapdServer server(kClientTree, 3, true);
  ASSERT_TRUE(server.Running()) << server.Error();
  ConnectionConfig config;
  config.source = server.LdapsUri();
  config.timeout = 5;
  ProbeResult result = ProbeConnection(config, std::nullopt);
  EXPECT_FALSE(result.succeeded);
  EXPECT_NE(result.text.find(server.LdapsUri() + ": "), std::string::npos) << result.text;
  EXPECT_NE(result.text.find("the server's certificate was refused: The certificate is NOT "
                             "trusted. The certificate issuer is unknown."),
            std::string::npos)
      << result.text;
  config.caFile = server.CaFile();
  result = ProbeConnection(config, std::nullopt);
  EXPECT_TRUE(result.succeeded) << result.text;
  EXPECT_NE(result.text.find("over TLS (certificate verified)"), std::string::npos) << result.text;
}

}  // namespace
