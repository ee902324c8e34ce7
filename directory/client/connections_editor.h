#pragma once
// The connections file edited the way its owner wrote it: the dialog of the window changes only
// the lines of the keys it edits, adds new sections at the end and drops removed ones, so comments,
// blank lines, key spellings and keys it does not know stay as they were.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "directory/client/connections.h"

// One connection as the dialog shows it: the keys' texts as written in the file (paths not made
// absolute), defaults where a key is missing.
struct ConnectionFields {
  std::string section;
  std::string tree;
  std::string source;
  std::string context;
  std::string user;
  std::string bind;
  std::string passwordFile;
  std::string caFile;
  bool startTls = ConnectionDefaults::kStartTls;
  bool verify = ConnectionDefaults::kVerify;
  int timeout = ConnectionDefaults::kTimeoutSeconds;
  int pageSize = ConnectionDefaults::kPageSize;
  bool primary = false;
  friend bool operator==(const ConnectionFields&, const ConnectionFields&) = default;
};

class ConnectionsFile {
 public:
  // Reads the file at `path` for editing: a missing file gives the editor of a new one, which
  // starts with the connection the client opens without a file, the built-in sample tree, so
  // that writing keeps it unless it is removed. nullopt, with the reason in `error`, for a file
  // that cannot be read or that ParseConnectionsFile refuses (its message, with the line).
  [[nodiscard]] static std::optional<ConnectionsFile> Load(const std::string& path,
                                                           std::string& error);
  // As Load, for the file's `text` (nullopt for a file that does not exist).
  [[nodiscard]] static std::optional<ConnectionsFile> Parse(const std::optional<std::string>& text,
                                                            const std::string& path,
                                                            std::string& error);

  // `fields` as the client reads them from a file at `path` (relative paths taken from its
  // folder); nullopt, with the reason in `error`, when they are not a valid connection.
  [[nodiscard]] static std::optional<ConnectionConfig> ConfigOf(const ConnectionFields& fields,
                                                                const std::string& path,
                                                                std::string& error);

  // The sections in the file's order.
  [[nodiscard]] std::vector<std::string> Sections() const;
  // The connection of `section` (letter case ignored); nullopt when there is none.
  [[nodiscard]] std::optional<ConnectionFields> Fields(std::string_view section) const;

  // Writes `fields` into the section named `section` (letter case ignored), or appends a new
  // section when `section` is empty. Keys whose value did not change keep their lines; a text
  // key given empty loses its line; a key the section lacks is added only when its value is not
  // the default. A primary connection takes the mark from every other section. The text is
  // checked with ParseConnectionsFile afterwards: on any refusal nothing changes and `error`
  // says why (a value with a line break or an inline comment, a missing or taken section name,
  // or the parser's message).
  [[nodiscard]] bool Apply(std::string_view section, const ConnectionFields& fields,
                           std::string& error);
  // Drops the section with its keys and the comment lines directly above its header; refused,
  // with `error`, when it is unknown or the last connection.
  [[nodiscard]] bool Remove(std::string_view section, std::string& error);

  // Takes the text of `earlier`, a state of this file before some of its changes, keeping what
  // was loaded or saved last: Save then writes the earlier text back unless another program
  // changed the file meanwhile.
  void RevertTo(const ConnectionsFile& earlier) {
    lines_ = earlier.lines_;
    crlf_ = earlier.crlf_;
  }

  // The file's text as it is to be written.
  [[nodiscard]] std::string Text() const;
  [[nodiscard]] const std::string& Path() const { return path_; }

  // Replaces the file with Text() atomically, creating its folder, unless the file no longer
  // holds what was loaded (another program changed it meanwhile, and its change would be lost);
  // false, with the reason in `error`, when nothing was written.
  [[nodiscard]] bool Save(std::string& error);

 private:
  struct Range {
    size_t header = 0;  // the line of "[section]"
    size_t end = 0;     // one past its last key line
  };
  [[nodiscard]] std::vector<Range> Ranges() const;
  [[nodiscard]] std::optional<Range> Find(std::string_view section) const;
  [[nodiscard]] bool Check(std::string& error) const;
  // Sets, adds or (for nullopt) removes `key` in the section at `range`, which moves its end.
  void SetKey(Range& range, std::string_view key, const std::optional<std::string>& value);

  std::string path_;
  std::optional<std::string> loaded_;  // the file's text when loaded or last saved
  std::vector<std::string> lines_;     // without their line ends
  bool crlf_ = false;                  // lines end in CR LF
};
