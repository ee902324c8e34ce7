#pragma once
// The connections a client starts with, built from a connections file (or, without the default
// one, the built-in sample tree): each section's store (the sample, an LDIF file, a live server
// asked for its password as needed), its tree, name context and user. The only unit that knows
// the stores by name.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "directory/client/dir_client.h"
#include "directory/client/dir_session.h"

struct OpenedConnections {
  std::vector<DirConnection> connections;
  std::optional<size_t> primary;
  std::vector<std::string> warnings;  // each source's, once
};

// Why start-up failed: a connection code and a text naming the file, the line and the fault.
struct StartupFailure {
  uint16_t code = 0;
  std::string text;
};

// The connections `path` describes. A missing file gives the sample tree alone as primary when
// `sampleWithoutFile` is set (the default file) and a failure otherwise. A connection whose
// password `passwords` declined is left out; one that binds without a password file and without
// `passwords` fails start-up. Either the connections or the failure.
[[nodiscard]] std::optional<StartupFailure> OpenConnections(const std::string& path,
                                                            bool sampleWithoutFile,
                                                            const DirPasswordProvider& passwords,
                                                            OpenedConnections& opened);
