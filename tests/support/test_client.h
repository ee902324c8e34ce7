#pragma once
// The directory client as a test starts and leaves it: shutting it down also ends the directory
// layer's connection, so the next start reads the connections afresh.
#include <cstdint>
#include <string>
#include <string_view>

#include "tests/support/temp_folder.h"

// Shuts the client down, so that the next start reads the connections afresh.
void ShutDownClient();

// The text of a connections.ini with one primary connection: tree `tree` served from `source`
// (an LDIF path, "sample" for the built-in tree, or an ldap:// address), then the lines `extra`
// ("context = Sales.Acme\n", ...).
[[nodiscard]] std::string OneConnection(std::string_view tree, std::string_view source,
                                        std::string_view extra = "");

// While it lives, the client reads its connections from `folder`/connections.ini (written by the
// constructor when `connections` is given); when it goes, the client is shut down and pointed
// back at its default connections file.
// It does not start the client: the code under test does, or Start().
class ClientConnections {
 public:
  ClientConnections() = default;
  ClientConnections(const TempFolder& folder, std::string_view connections);
  ~ClientConnections();
  ClientConnections(const ClientConnections&) = delete;
  ClientConnections& operator=(const ClientConnections&) = delete;

  // Shuts the client down, writes `connections` as `folder`/connections.ini and points the
  // client at it; its path.
  std::string Use(const TempFolder& folder, std::string_view connections);
  // DirClientInit's code.
  [[nodiscard]] static int32_t Start();
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
