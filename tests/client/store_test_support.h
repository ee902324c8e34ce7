#pragma once
// What the tests of the stores and of the client share: the fixture tree, the one slapd and the
// one 389 Directory Server a test binary serves it from and a live store connected to either, names
// written as LDAP DNs and read back typeless, and a throw-away folder for the files a test writes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "directory/client/dir_client.h"
#include "directory/client/dir_name.h"
#include "directory/client/dir_session.h"
#include "directory/client/ldap_store.h"
#include "tests/client/ds389_server.h"
#include "tests/client/slapd_server.h"
#include "tests/support/test_client.h"

inline const std::string kClientTree = std::string(ORVANE_TEST_DATA) + "/client_tree.ldif";

// The binary's one server of the fixture tree, started on first use. Its size limit (3) is below
// several answers, so the tests also show that paging brings every entry.
inline SlapdServer& ClientTreeServer() {
  static SlapdServer server(kClientTree);
  return server;
}

// The fixture tree with its collection (cn=Collection,ou=Roles,o=Acme and below) on a second
// server, behind a referral on the first; started on first use.
inline SplitSlapd& SplitClientTreeServers() {
  static SplitSlapd servers(kClientTree, "cn=Collection,ou=Roles,o=Acme");
  return servers;
}

// A live store on `uri`, bound as `bind` (anonymous when empty); nullptr, with the code and the
// message, when connecting fails.
inline std::unique_ptr<LdapStore> ConnectLdapStore(const std::string& uri, int32_t& code,
                                                   std::string& error, const std::string& bind = "",
                                                   const std::string& password = "",
                                                   int timeout = 10, int pageSize = 1000) {
  LdapSettings settings;
  settings.uri = uri;
  settings.bindDn = bind;
  settings.password = password;
  settings.timeoutSeconds = timeout;
  settings.pageSize = pageSize;
  return LdapStore::Connect(settings, error, code);
}

// The binary's one 389 Directory Server of the fixture tree, started on first use.
inline Ds389Server& ClientTreeDs389() {
  static Ds389Server server(kClientTree);
  return server;
}

// An anonymous store on `server` (a SlapdServer or a Ds389Server); nullptr, and a failed
// expectation saying why, when the server or the connection does not come up.
template <typename Server>
std::unique_ptr<LdapStore> ConnectServedStore(Server& server) {
  EXPECT_TRUE(server.Running()) << server.Error();
  if (!server.Running())
    return nullptr;
  int32_t code = 0;
  std::string error;
  auto store = ConnectLdapStore(server.Uri(), code, error);
  EXPECT_NE(store, nullptr) << error;
  return store;
}

inline std::unique_ptr<LdapStore> ConnectClientTreeStore() {
  return ConnectServedStore(ClientTreeServer());
}

inline DirName Dn(const std::string& text) {
  auto name = ParseLdapDn(text);
  EXPECT_TRUE(name.has_value()) << text;
  return name.value_or(DirName());
}

// The one child of `parent` that `part` names; nullopt when there is none, or several.
inline std::optional<Rdn> OnlyChild(Store& store, const DirName& parent, const NamePart& part) {
  const auto found = store.FindChildren(parent, part);
  return found.size() == 1 ? std::optional<Rdn>(found.front().rdn) : std::nullopt;
}

inline std::string Typeless(const DirName& name) {
  return FormatDirName(name, {}, true);
}

// A test with its own temporary folder and its own client, not started; both go with it.
class ClientFolderTest : public ::testing::Test {
 protected:
  // Writes `text` to the file `name` of the folder with the permissions `mode`; its path.
  std::string Write(const std::string& name, const std::string& text, mode_t mode = 0600) {
    const std::string path = folder_.Write(name, text).string();
    chmod(path.c_str(), mode);
    return path;
  }

  TempFolder folder_{"orvane-client"};
  DirSession client_;
  const std::string dir_ = folder_.Root().string();
};
