#pragma once
// The "Test" of a connection: opens its source the way the client's start-up does, binds, and
// says in words what happened, the server's or the loader's reason included.
#include <optional>
#include <string>

#include "directory/client/connections.h"

struct ProbeResult {
  bool succeeded = false;
  std::string text;  // one or two sentences for the user
};

// Opens `config`'s source: the sample, an LDIF file (the loader's message, with file and line,
// when it fails) or an LDAP server (connect, TLS, bind and who-am-I; the failure names the server
// and the reason). A server connection with a bind DN takes its password from the connection's
// password file or, without one, from `password`; with neither it is not tried. Blocks for at
// most the connection's timeout per step.
// Why none of the servers of `source` (LDAP addresses separated by spaces) answers: for each, its
// host and port and the system's reason (a name that does not resolve, a refused connection, no
// answer within `timeoutSeconds`), "; "-joined; nullopt when one of them takes a connection.
// Waits at most min(`timeoutSeconds`, `waitSeconds`) seconds for each.
[[nodiscard]] std::optional<std::string> WhyServersUnreachable(const std::string& source,
                                                               int timeoutSeconds, int waitSeconds);

[[nodiscard]] ProbeResult ProbeConnection(const ConnectionConfig& config,
                                          const std::optional<std::string>& password);
