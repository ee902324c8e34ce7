#pragma once
// The connections a client starts with, built from a connections file (or, without the default
// one, the built-in sample tree): each section's store (the sample, an LDIF file, a live server
// asked for its password as needed), its tree, name context and user. The only unit that knows
// the stores by name.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "directory/client/dir_client.h"
#include "directory/client/dir_session.h"

// Passwords of logins made, in memory only, by what a login depends on: the connection's
// servers, bind DN and TLS settings (starttls, ca-file, verify). A connection whose other settings
// change logs in alike.
using KeptLogins = std::map<std::string, std::string>;

struct OpenedConnections {
  std::vector<DirConnection> connections;
  std::optional<size_t> primary;
  std::vector<DirUnopenedConnection> unopened;  // the file's connections that could not be opened
  std::vector<std::string> warnings;            // each source's, once
  // The password of every login that was asked for (or taken from `kept` below) and accepted.
  KeptLogins logins;
};

// Why start-up failed: a connection code and a text naming the file, the line and the fault.
struct StartupFailure {
  uint16_t code = 0;
  std::string text;
};

// The connections `path` describes. A missing file gives the sample tree alone as primary when
// `sampleWithoutFile` is set (the default file) and a failure otherwise. A connection whose
// password `passwords` declined is left out silently; one whose LDIF file cannot be loaded, whose
// server cannot be reached or refuses the bind, or that binds without a password file and without
// `passwords` is left out with its reason in `opened.unopened`, and when it was the primary one
// the first connection opened takes its place. A login found in `kept` binds with the password
// kept for it before `passwords` is asked, and is asked for (from the first attempt) only when
// the server refuses it. Either the connections or the failure of a file that cannot be read or
// is malformed.
[[nodiscard]] std::optional<StartupFailure> OpenConnections(const std::string& path,
                                                            bool sampleWithoutFile,
                                                            const DirPasswordProvider& passwords,
                                                            OpenedConnections& opened,
                                                            const KeptLogins& kept = {});
