#include "directory/client/connections.h"

#include <charconv>
#include <cstdlib>

#include "directory/client/dir_name.h"

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

std::optional<bool> YesNo(std::string_view value) {
  if (EqualsIgnoringCase(value, "yes") || EqualsIgnoringCase(value, "true") || value == "1")
    return true;
  if (EqualsIgnoringCase(value, "no") || EqualsIgnoringCase(value, "false") || value == "0")
    return false;
  return std::nullopt;
}

}  // namespace

std::string ConfigFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && *xdg == '/')
    return std::string(xdg) + "/orvane";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.config/orvane";
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
    return std::nullopt;
  };
  const std::string folder =
      path.substr(0, path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
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
        return fail(lineNumber, "malformed section header \"" + std::string(line) + "\"");
      }
      const std::string name(Trim(line.substr(1, close - 1)));
      if (name.empty())
        return fail(lineNumber, "empty section name");
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
        return fail(lineNumber, "expected key = value, found \"" + std::string(line) + "\"");
      }
      const std::string key = FoldCase(Trim(line.substr(0, equals)));
      const std::string value(Trim(StripInlineComment(Trim(line.substr(equals + 1)))));
      if (connections.empty())
        return fail(lineNumber, "key \"" + key + "\" outside a section");
      for (const std::string& seen : seenKeys) {
        if (seen == key)
          return fail(lineNumber, "key \"" + key + "\" given twice");
      }
      seenKeys.push_back(key);
      ConnectionConfig& c = connections.back();
      if (key == "tree") {
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
          return fail(lineNumber, "primary must be yes or no, not \"" + value + "\"");
        }
      } else if (key == "bind") {
        c.bind = value;
      } else if (key == "password-file" || key == "ca-file") {
        std::string file = value;
        if (!file.empty() && file[0] != '/' && !folder.empty())
          file = folder + "/" + file;
        (key == "ca-file" ? c.caFile : c.passwordFile) = file;
      } else if (key == "starttls" || key == "verify" || key == "file-urls") {
        const auto yes = YesNo(value);
        if (!yes)
          return fail(lineNumber, key + " must be yes or no, not \"" + value + "\"");
        (key == "starttls" ? c.startTls : key == "verify" ? c.verify : c.fileUrls) = *yes;
      } else if (key == "timeout" || key == "page-size") {
        const bool timeout = key == "timeout";
        int number = 0;
        const auto [end, problem] =
            std::from_chars(value.data(), value.data() + value.size(), number);
        if (problem != std::errc() || end != value.data() + value.size() || number < 1 ||
            number > (timeout ? 3600 : 100000)) {
          return fail(lineNumber, timeout ? "timeout must be a number of seconds from 1 to "
                                            "3600, not \"" +
                                                value + "\""
                                          : "page-size must be a number of entries from 1 to "
                                            "100000, not \"" +
                                                value + "\"");
        }
        (timeout ? c.timeout : c.pageSize) = number;
      } else {
        return fail(lineNumber, "unknown key \"" + key + "\"");
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
