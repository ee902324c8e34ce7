#pragma once
// The client's connections file (connections.ini in the configuration folder): one section per
// connection with its tree, source, name context, user and primary mark.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The width the client pads tree names to; a longer tree name is refused.
inline constexpr size_t kTreeNameWidth = 32;

// The largest `max-message-size` a connection may give, in MiB: a BER length of 4 bytes.
inline constexpr int kMaxMessageMiB = 4096;

// What a connection key means when the file leaves it out, and the bounds it must keep to; the
// parser, the editor, the live store, the probe and the dialog all take them from here so a
// changed default cannot leave one of them behind.
struct ConnectionDefaults {
  static constexpr int kLdapPort = 389;
  static constexpr int kLdapsPort = 636;
  static constexpr bool kStartTls = false;
  static constexpr bool kVerify = true;
  static constexpr int kTimeoutSeconds = 10;
  static constexpr int kMaxTimeoutSeconds = 3600;
  static constexpr int kPageSize = 1000;
  static constexpr int kMaxPageSize = 100000;
  static constexpr int kMessageMiB = 64;    // a server's largest message
  static constexpr bool kReferrals = true;  // referrals followed to the servers they name
};

// What a connection's source names. The schemes are matched as written, in lower case; any other
// "://" address is of no kind the client opens.
enum class SourceKind { kLdifFile, kSample, kLdap, kLdaps, kUnknownAddress };
[[nodiscard]] SourceKind SourceKindOf(std::string_view source);
// The servers a server source lists (replicas of one tree, separated by spaces), in order;
// empty for a source of blanks only.
[[nodiscard]] std::vector<std::string> SourceServers(std::string_view source);

struct ConnectionConfig {
  std::string section;
  std::string tree;
  std::string source;   // an LDIF path, "sample", or an ldap:// or ldaps:// address
  std::string context;  // typeless; empty = [Root]
  std::string user;     // typeless
  std::string bind;
  std::string passwordFile;
  std::string caFile;
  bool startTls = ConnectionDefaults::kStartTls;
  bool verify = ConnectionDefaults::kVerify;
  bool referrals = ConnectionDefaults::kReferrals;      // followed to the servers they name
  int timeout = ConnectionDefaults::kTimeoutSeconds;    // for connecting and for each operation
  int pageSize = ConnectionDefaults::kPageSize;         // entries per page of a paged listing
  int maxMessageMiB = ConnectionDefaults::kMessageMiB;  // the largest message a server may send
  bool primary = false;
  bool hasContext = false;
  bool hasUser = false;
  // `file-urls = yes`: the LDIF source's file:// URL values are read (refused otherwise).
  bool fileUrls = false;
  int line = 0;  // the section's line
};

// Parses the file's text; nullopt, with "<path> line <n>: <what is wrong>" in `error`, for a
// line that is neither a section, a key = value pair, a comment nor blank; an unknown key; a
// key outside a section or given twice; a section twice; a section without tree or source; a
// `primary`, `starttls`, `verify`, `referrals` or `file-urls` that is not yes/no; a `timeout` that
// is not a whole number of seconds from 1 to 3600; a `page-size` outside 1 to 100000; a
// `max-message-size` outside 1 to 4096 (MiB); a tree name longer
// than kTreeNameWidth, or one that differs from an earlier one only in letter case or trailing "_";
// more than one primary; or a file without any connection. Text quoted from the file is cut
// after 200 characters and has its control bytes written as \xHH. Relative LDIF, password and CA
// file paths are taken relative to the file's folder.
[[nodiscard]] std::optional<std::vector<ConnectionConfig>> ParseConnectionsFile(
    std::string_view text, const std::string& path, std::string& error);

// connections.ini in the user's configuration folder (UserConfigFolder); empty when no folder is
// known, which a start-up reports as a file it cannot read.
[[nodiscard]] std::string DefaultConnectionsFile();

// The password stored in `path` (one trailing line end dropped); nullopt, with the reason in
// `error`, when the file cannot be read or is readable by its group or by others.
[[nodiscard]] std::optional<std::string> ReadPasswordFile(const std::string& path,
                                                          std::string& error);
