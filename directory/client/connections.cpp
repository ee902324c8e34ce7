#include "directory/client/connections.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "directory/client/dir_name.h"
#include "util/atomic_file.h"
#include "util/config_folder.h"
#include "util/text.h"

namespace {

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && blank(text.back()))
    text.remove_suffix(1);
  return text;
}

// A value ends at a ';' or '#' that follows a blank (an inline comment).
std::string_view StripInlineComment(std::string_view value) {
  for (size_t i = 1; i < value.size(); ++i) {
    if ((value[i] == ';' || value[i] == '#') && (value[i - 1] == ' ' || value[i - 1] == '\t')) {
      return value.substr(0, i);
    }
  }
  return value;
}

// A text from the file as its error message quotes it, kept to one readable line: cut after
// 200 characters ("..." marking the cut) and control bytes written as \xHH.
std::string Quoted(std::string_view text) {
  constexpr size_t kMaxCharacters = 200;
  std::string quoted = "\"";
  size_t characters = 0;
  size_t continuations = 0;  // since the byte that began the current character
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    // A UTF-8 character is one with its continuation bytes; a stray run of them counts anyway.
    const bool startsCharacter = (byte & 0xC0) != 0x80 || ++continuations > 3;
    if (startsCharacter) {
      continuations = 0;
      if (characters++ == kMaxCharacters) {
        quoted += "...";
        break;
      }
    }
    if (byte < 0x20 || byte == 0x7F) {
      constexpr char kHex[] = "0123456789ABCDEF";
      quoted += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0x0F]};
    } else {
      quoted += c;
    }
  }
  quoted += '"';
  return quoted;
}

std::optional<bool> YesNo(std::string_view value) {
  if (EqualsIgnoringCase(value, "yes") || EqualsIgnoringCase(value, "true") || value == "1")
    return true;
  if (EqualsIgnoringCase(value, "no") || EqualsIgnoringCase(value, "false") || value == "0")
    return false;
  return std::nullopt;
}

}  // namespace

SourceKind SourceKindOf(std::string_view source) {
  if (source == "sample")
    return SourceKind::kSample;
  if (source.starts_with("ldap://"))
    return SourceKind::kLdap;
  if (source.starts_with("ldaps://"))
    return SourceKind::kLdaps;
  return source.find("://") != std::string_view::npos ? SourceKind::kUnknownAddress
                                                      : SourceKind::kLdifFile;
}

std::vector<std::string> SourceServers(std::string_view source) {
  std::vector<std::string> servers;
  for (size_t start = 0; (start = source.find_first_not_of(" \t", start)) != source.npos;) {
    const size_t end = std::min(source.find_first_of(" \t", start), source.size());
    servers.emplace_back(source.substr(start, end - start));
    start = end;
  }
  return servers;
}

std::string DefaultConnectionsFile() {
  const auto folder = UserConfigFolder();
  return folder ? (*folder / "connections.ini").string() : std::string();
}

std::optional<std::vector<ConnectionConfig>> ParseConnectionsFile(std::string_view text,
                                                                  const std::string& path,
                                                                  std::string& error) {
  std::vector<ConnectionConfig> connections;
  std::vector<std::string> seenKeys;
  int lineNumber = 0;
  const auto fail = [&](int line, const std::string& what) {
    error = path + " line " + std::to_string(line) + ": " + what;
    return std::nullopt;
  };
  const auto finishSection = [&]() -> std::optional<std::string> {
    if (connections.empty())
      return std::nullopt;
    const ConnectionConfig& last = connections.back();
    if (last.tree.empty())
      return "section [" + last.section + "] has no tree";
    if (last.source.empty())
      return "section [" + last.section + "] has no source";
    // StartTLS is asked for on a plain connection; over ldaps:// it would be TLS inside TLS,
    // which no server answers.
    if (last.startTls) {
      for (const std::string& server : SourceServers(last.source)) {
        if (server.size() >= 8 && EqualsIgnoringCase(server.substr(0, 8), "ldaps://"))
          return "section [" + last.section + "] has starttls = yes for the ldaps:// source " +
                 server + "; give one or the other";
      }
    }
    return std::nullopt;
  };
  const std::string folder =
      path.substr(0, path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
  // Some editors begin a UTF-8 file with a byte-order mark; it is no part of the first line.
  if (text.starts_with(kUtf8ByteOrderMark))
    text.remove_prefix(kUtf8ByteOrderMark.size());
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos)
      end = text.size();
    const std::string_view line = Trim(text.substr(start, end - start));
    ++lineNumber;
    start = end + 1;
    if (line.empty() || line[0] == ';' || line[0] == '#') {
      if (end == text.size())
        break;
      continue;
    }
    if (line[0] == '[') {
      const size_t close = line.find(']');
      if (close == std::string_view::npos ||
          !Trim(StripInlineComment(line.substr(close + 1))).empty()) {
        return fail(lineNumber, "malformed section header " + Quoted(line));
      }
      const std::string name(Trim(line.substr(1, close - 1)));
      if (name.empty())
        return fail(lineNumber, "empty section name");
      // Later messages name the section as it stands; a control byte there would reach the
      // terminal or the message box raw.
      if (std::any_of(name.begin(), name.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
        return fail(lineNumber, "section name " + Quoted(name) + " holds a control byte");
      if (const auto problem = finishSection())
        return fail(connections.back().line, *problem);
      for (const ConnectionConfig& c : connections) {
        if (EqualsIgnoringCase(c.section, name)) {
          return fail(lineNumber, "section [" + name + "] appears twice");
        }
      }
      ConnectionConfig connection;
      connection.section = name;
      connection.line = lineNumber;
      connections.push_back(std::move(connection));
      seenKeys.clear();
    } else {
      const size_t equals = line.find('=');
      if (equals == std::string_view::npos) {
        return fail(lineNumber, "expected key = value, found " + Quoted(line));
      }
      const std::string key = FoldCase(Trim(line.substr(0, equals)));
      const std::string value(Trim(StripInlineComment(Trim(line.substr(equals + 1)))));
      if (connections.empty())
        return fail(lineNumber, "key " + Quoted(key) + " outside a section");
      for (const std::string& seen : seenKeys) {
        if (seen == key)
          return fail(lineNumber, "key " + Quoted(key) + " given twice");
      }
      seenKeys.push_back(key);
      ConnectionConfig& c = connections.back();
      if (key == "tree") {
        // Tree names are shown cut to the client's 32 characters, without trailing "_", and
        // looked up ignoring letter case: a longer name would be listed in a form that opens no
        // tree, and of two names alike in that form the second could never be opened.
        if (value.size() > kTreeNameWidth) {
          return fail(lineNumber, "tree name " + Quoted(value) + " is longer than " +
                                      std::to_string(kTreeNameWidth) + " characters");
        }
        for (const ConnectionConfig& other : connections) {
          if (&other != &c && other.tree != value &&
              EqualsIgnoringCase(TrimRightChars(other.tree, "_"), TrimRightChars(value, "_"))) {
            return fail(lineNumber, "tree name " + Quoted(value) + " differs from " +
                                        Quoted(other.tree) + " of [" + other.section +
                                        "] only in letter case or trailing \"_\"");
          }
        }
        c.tree = value;
      } else if (key == "source") {
        c.source = value;
        const bool address = value.find("://") != std::string::npos;
        if (!value.empty() && !address && value != "sample" && value[0] != '/' && !folder.empty()) {
          c.source = folder + "/" + value;
        }
      } else if (key == "context") {
        c.context = value;
        c.hasContext = true;
      } else if (key == "user") {
        c.user = value;
        c.hasUser = true;
      } else if (key == "primary") {
        if (EqualsIgnoringCase(value, "yes") || EqualsIgnoringCase(value, "true") || value == "1") {
          c.primary = true;
        } else if (!(EqualsIgnoringCase(value, "no") || EqualsIgnoringCase(value, "false") ||
                     value == "0")) {
          return fail(lineNumber, "primary must be yes or no, not " + Quoted(value));
        }
      } else if (key == "bind") {
        c.bind = value;
      } else if (key == "password-file" || key == "ca-file") {
        std::string file = value;
        if (!file.empty() && file[0] != '/' && !folder.empty())
          file = folder + "/" + file;
        (key == "ca-file" ? c.caFile : c.passwordFile) = file;
      } else if (key == "starttls" || key == "verify" || key == "file-urls" || key == "referrals") {
        const auto yes = YesNo(value);
        if (!yes)
          return fail(lineNumber, key + " must be yes or no, not " + Quoted(value));
        (key == "starttls"    ? c.startTls
         : key == "verify"    ? c.verify
         : key == "referrals" ? c.referrals
                              : c.fileUrls) = *yes;
      } else if (key == "timeout" || key == "page-size") {
        const bool timeout = key == "timeout";
        int number = 0;
        const auto [end, problem] =
            std::from_chars(value.data(), value.data() + value.size(), number);
        if (problem != std::errc() || end != value.data() + value.size() || number < 1 ||
            number > (timeout ? ConnectionDefaults::kMaxTimeoutSeconds
                              : ConnectionDefaults::kMaxPageSize)) {
          return fail(lineNumber,
                      (timeout ? "timeout must be a number of seconds from 1 to " +
                                     std::to_string(ConnectionDefaults::kMaxTimeoutSeconds)
                               : "page-size must be a number of entries from 1 to " +
                                     std::to_string(ConnectionDefaults::kMaxPageSize)) +
                          ", not " + Quoted(value));
        }
        (timeout ? c.timeout : c.pageSize) = number;
      } else if (key == "max-message-size") {
        int number = 0;
        const auto [end, problem] =
            std::from_chars(value.data(), value.data() + value.size(), number);
        if (problem != std::errc() || end != value.data() + value.size() || number < 1 ||
            number > kMaxMessageMiB) {
          return fail(lineNumber, "max-message-size must be a number of MiB from 1 to " +
                                      std::to_string(kMaxMessageMiB) + ", not " + Quoted(value));
        }
        c.maxMessageMiB = number;
      } else {
        return fail(lineNumber, "unknown key " + Quoted(key));
      }
    }
    if (end == text.size())
      break;
  }
  if (connections.empty())
    return fail(lineNumber, "no connection is defined");
  if (const auto problem = finishSection())
    return fail(connections.back().line, *problem);
  int primaries = 0;
  for (const ConnectionConfig& c : connections) {
    if (c.primary && ++primaries > 1)
      return fail(c.line, "more than one primary connection");
  }
  return connections;
}

std::optional<std::string> ReadPasswordFile(const std::string& path, std::string& error) {
  // The mode is checked before anything is opened; the read itself refuses a FIFO or device
  // without waiting on it, and the identity check catches a file swapped in meanwhile.
  struct stat before {};
  if (stat(path.c_str(), &before) != 0) {
    error = path + ": cannot be read (" + std::strerror(errno) + ")";
    return std::nullopt;
  }
  if (!S_ISREG(before.st_mode)) {
    error = path + ": not a regular file";
    return std::nullopt;
  }
  // Whoever may change the file chooses the password the client sends.
  if ((before.st_mode & (S_IRGRP | S_IROTH | S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(before.st_mode & 07777));
    const bool readable = (before.st_mode & (S_IRGRP | S_IROTH)) != 0;
    error = path + ": the password file has mode " + mode + " and is " +
            (readable ? "readable" : "writable") +
            " by others; allow only its owner to read or change it (chmod 600)";
    return std::nullopt;
  }
  std::string password;
  if (const FileResult read = ReadRegularFile(path, password); !read.Succeeded()) {
    error = path + ": cannot be read (" + read.reason + ")";
    return std::nullopt;
  }
  struct stat after {};
  if (stat(path.c_str(), &after) != 0 || after.st_ino != before.st_ino ||
      after.st_dev != before.st_dev || after.st_mode != before.st_mode) {
    error = path + ": changed while it was read";
    return std::nullopt;
  }
  if (!password.empty() && password.back() == '\n')
    password.pop_back();
  if (!password.empty() && password.back() == '\r')
    password.pop_back();
  return password;
}
