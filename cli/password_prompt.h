#pragma once
// Where orvane-export takes the password of a connection that binds without a password file of
// its own: the file named by --password-file, else the environment variable ORVANE_PASSWORD,
// else a prompt on the controlling terminal with echo off (given back when Ctrl-C, SIGTERM or
// SIGQUIT end the run there). A run that has none of them (a script without a terminal) fails
// and says how to give the password.
#include <optional>
#include <string>

#include "directory/client/dir_client.h"

// The environment variable orvane-export takes a password from.
inline constexpr const char* kPasswordVariable = "ORVANE_PASSWORD";

// How many passwords typed on the terminal the server may refuse before the run gives up.
inline constexpr int kTerminalAttempts = 3;

struct PasswordSources {
  std::optional<std::string> passwordFile;  // --password-file, read with the client's checks
  std::optional<std::string> environment;   // the variable's value when it is set
  std::string terminal = "/dev/tty";        // the terminal to prompt on
};

// The password for `request` from the first of `sources` there is. A password from the file or
// the variable is given once: when the server refuses it, the answer is a failure naming where
// it came from and the server's reason. The terminal is asked up to kTerminalAttempts times,
// the server's reason for each refusal shown there first. A failure names the bind DN and the
// server.
[[nodiscard]] DirPasswordAnswer ExportPassword(const PasswordSources& sources,
                                               const DirPasswordRequest& request);
