#pragma once
// The directory client as a test builds it: a session of the test's own, reading its connections
// from a throw-away folder, so that nothing a test starts outlives it.
#include <cstdint>
#include <string>
#include <string_view>

#include "directory/client/dir_session.h"
#include "tests/support/temp_folder.h"

// The text of a connections.ini with one primary connection: tree `tree` served from `source`
// (an LDIF path, "sample" for the built-in tree, or an ldap:// address), then the lines `extra`
// ("context = Sales.Acme\n", ...).
[[nodiscard]] std::string OneConnection(std::string_view tree, std::string_view source,
                                        std::string_view extra = "");

// A session not started that reads its connections from `folder`/connections.ini (written by the
// constructor when `connections` is given); without them, from the default connections file.
// It does not start the client: the code under test does, or Start().
class ClientConnections {
 public:
  ClientConnections() = default;
  ClientConnections(const TempFolder& folder, std::string_view connections);
  ClientConnections(const ClientConnections&) = delete;
  ClientConnections& operator=(const ClientConnections&) = delete;

  // Shuts the client down, writes `connections` as `folder`/connections.ini and points the
  // client at it; its path.
  std::string Use(const TempFolder& folder, std::string_view connections);
  // DirClientInit's code.
  [[nodiscard]] int32_t Start() { return client_.DirClientInit(0, 0); }
  [[nodiscard]] DirSession& Client() { return client_; }

 private:
  DirSession client_;
};

// The client started on `connections`, written as `folder`/connections.ini. Code() is the start's:
// kDirConnectionOk when the client runs.
class TestClient : public ClientConnections {
 public:
  TestClient(const TempFolder& folder, std::string_view connections);
  [[nodiscard]] int32_t Code() const { return code_; }

 private:
  int32_t code_;
};

// The client started on the LDIF text `ldif` (written as `folder`/`tree`.ldif) as the primary
// tree `tree`, with the connection lines `extra`.
class LdifClient : public TestClient {
 public:
  LdifClient(const TempFolder& folder, std::string_view ldif, std::string_view tree = "TEST_TREE",
             std::string_view extra = "");
};
