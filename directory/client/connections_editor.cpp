#include "directory/client/connections_editor.h"

#include <charconv>
#include <filesystem>
#include <system_error>

#include "directory/client/sample_tree.h"
#include "util/atomic_file.h"
#include "util/text.h"

namespace {

constexpr std::string_view kBlanks = " \t\r";

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

// What one line of the file is, with the place of a key's value in the line as written.
struct LineShape {
  enum class Kind { kOther, kHeader, kKey } kind = Kind::kOther;
  std::string name;  // the section, or the key in lower case
  size_t valueStart = 0;
  size_t valueEnd = 0;
  size_t nameStart = 0;  // a header's name
  size_t nameEnd = 0;
};

LineShape ShapeOf(std::string_view line) {
  LineShape shape;
  const size_t first = line.find_first_not_of(kBlanks);
  if (first == std::string_view::npos || line[first] == ';' || line[first] == '#')
    return shape;
  if (line[first] == '[') {
    const size_t close = line.find(']', first);
    if (close == std::string_view::npos)
      return shape;
    shape.kind = LineShape::Kind::kHeader;
    shape.nameStart = first + 1;
    shape.nameEnd = close;
    shape.name =
        TrimLeftChars(TrimRightChars(line.substr(first + 1, close - first - 1), kBlanks), kBlanks);
    return shape;
  }
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos)
    return shape;
  shape.kind = LineShape::Kind::kKey;
  for (const char c : TrimRightChars(line.substr(first, equals - first), kBlanks))
    shape.name += LowerAscii(c);
  size_t start = equals + 1;
  while (start < line.size() && IsBlank(line[start]))
    ++start;
  // The value ends where a ';' or '#' after a blank starts an inline comment, then loses its
  // trailing blanks.
  size_t end = line.size();
  for (size_t i = start + 1; i < line.size(); ++i) {
    if ((line[i] == ';' || line[i] == '#') && (line[i - 1] == ' ' || line[i - 1] == '\t')) {
      end = i;
      break;
    }
  }
  while (end > start && IsBlank(line[end - 1]))
    --end;
  shape.valueStart = start;
  shape.valueEnd = end;
  return shape;
}

std::string ValueOf(std::string_view line, const LineShape& shape) {
  return std::string(line.substr(shape.valueStart, shape.valueEnd - shape.valueStart));
}

bool IsComment(std::string_view line) {
  const size_t first = line.find_first_not_of(kBlanks);
  return first != std::string_view::npos && (line[first] == ';' || line[first] == '#');
}

std::optional<bool> YesOrNo(std::string_view value) {
  if (SameTextAscii(value, "yes") || SameTextAscii(value, "true") || value == "1")
    return true;
  if (SameTextAscii(value, "no") || SameTextAscii(value, "false") || value == "0")
    return false;
  return std::nullopt;
}

std::optional<int> Number(std::string_view value) {
  int number = 0;
  const auto [end, problem] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (problem != std::errc() || end != value.data() + value.size())
    return std::nullopt;
  return number;
}

// A text the file could not give back as it was written: a line break ends the key, a ';' or
// '#' after a blank starts a comment, and blanks at either end are dropped.
std::optional<std::string> UnwritableBecause(std::string_view what, std::string_view value) {
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\n' || value[i] == '\r')
      return std::string(what) + " may not hold a line break";
    if (i > 0 && (value[i] == ';' || value[i] == '#') && IsBlank(value[i - 1]))
      return std::string(what) + " may not hold a blank followed by '" + value[i] +
             "' (the file would read the rest as a comment)";
  }
  if (!value.empty() && (IsBlank(value.front()) || IsBlank(value.back())))
    return std::string(what) + " may not begin or end with a blank";
  return std::nullopt;
}

// The tree the built-in sample names in its header ("# orvane-tree: NAME").
std::string SampleTreeName() {
  constexpr std::string_view kKey = "# orvane-tree:";
  const std::string_view text = EmbeddedSampleTree();
  const size_t at = text.find(kKey);
  if (at == std::string_view::npos)
    return "SAMPLE_TREE";
  const size_t end = text.find('\n', at);
  return TrimLeftChars(
      TrimRightChars(text.substr(at + kKey.size(), end - at - kKey.size()), kBlanks), kBlanks);
}

// A key of a connection as the dialog writes it.
struct KeyValue {
  std::string_view key;
  bool isText = true;
  std::optional<std::string> value;  // nullopt: an empty text, the key is dropped
  std::string defaultValue;          // the value of a missing key (not a text key)
};

std::vector<KeyValue> KeysOf(const ConnectionFields& fields) {
  const auto text = [](const std::string& value) {
    return value.empty() ? std::nullopt : std::optional<std::string>(value);
  };
  const auto yesNo = [](bool value) { return std::string(value ? "yes" : "no"); };
  return {
      {"tree", true, text(fields.tree), ""},
      {"source", true, text(fields.source), ""},
      {"context", true, text(fields.context), ""},
      {"user", true, text(fields.user), ""},
      {"bind", true, text(fields.bind), ""},
      {"password-file", true, text(fields.passwordFile), ""},
      {"starttls", false, yesNo(fields.startTls), yesNo(ConnectionDefaults::kStartTls)},
      {"ca-file", true, text(fields.caFile), ""},
      {"verify", false, yesNo(fields.verify), yesNo(ConnectionDefaults::kVerify)},
      {"timeout", false, std::to_string(fields.timeout),
       std::to_string(ConnectionDefaults::kTimeoutSeconds)},
      {"page-size", false, std::to_string(fields.pageSize),
       std::to_string(ConnectionDefaults::kPageSize)},
      {"primary", false, yesNo(fields.primary), "no"},
  };
}

// Whether the file's `written` value already says `wanted`.
bool SameValue(const KeyValue& key, const std::string& written) {
  if (key.isText || !key.value)
    return key.value == written;
  if (const auto yes = YesOrNo(*key.value); yes && YesOrNo(written) == yes)
    return true;
  return Number(written) && Number(written) == Number(*key.value);
}

}  // namespace

std::optional<ConnectionsFile> ConnectionsFile::Load(const std::string& path, std::string& error) {
  std::string text;
  const FileResult read = ReadRegularFile(path, text);
  if (read.missing)
    return Parse(std::nullopt, path, error);
  if (!read.Succeeded()) {
    error = path + ": cannot be read (" + read.reason + ")";
    return std::nullopt;
  }
  return Parse(text, path, error);
}

std::optional<ConnectionsFile> ConnectionsFile::Parse(const std::optional<std::string>& text,
                                                      const std::string& path, std::string& error) {
  ConnectionsFile file;
  file.path_ = path;
  file.loaded_ = text;
  if (!text) {
    file.lines_ = {"; The directory client's connections, one section each.", "[sample]",
                   "tree = " + SampleTreeName(), "source = sample", "primary = yes"};
    return file;
  }
  if (!ParseConnectionsFile(*text, path, error))
    return std::nullopt;
  size_t start = 0;
  while (start < text->size()) {
    const size_t end = std::min(text->find('\n', start), text->size());
    file.lines_.push_back(text->substr(start, end - start));
    start = end + 1;
  }
  file.crlf_ = !file.lines_.empty() && file.lines_.front().ends_with('\r');
  return file;
}

std::optional<ConnectionConfig> ConnectionsFile::ConfigOf(const ConnectionFields& fields,
                                                          const std::string& path,
                                                          std::string& error) {
  ConnectionsFile alone;
  alone.path_ = path;
  if (!alone.Apply("", fields, error))
    return std::nullopt;
  auto configs = ParseConnectionsFile(alone.Text(), path, error);
  if (!configs)
    return std::nullopt;
  return std::move(configs->front());
}

std::vector<ConnectionsFile::Range> ConnectionsFile::Ranges() const {
  std::vector<Range> ranges;
  for (size_t i = 0; i < lines_.size(); ++i) {
    const LineShape shape = ShapeOf(lines_[i]);
    if (shape.kind == LineShape::Kind::kHeader) {
      ranges.push_back({i, i + 1});
    } else if (shape.kind == LineShape::Kind::kKey && !ranges.empty()) {
      ranges.back().end = i + 1;
    }
  }
  return ranges;
}

std::optional<ConnectionsFile::Range> ConnectionsFile::Find(std::string_view section) const {
  for (const Range& range : Ranges()) {
    if (SameTextAscii(ShapeOf(lines_[range.header]).name, section))
      return range;
  }
  return std::nullopt;
}

std::vector<std::string> ConnectionsFile::Sections() const {
  std::vector<std::string> sections;
  for (const Range& range : Ranges())
    sections.push_back(ShapeOf(lines_[range.header]).name);
  return sections;
}

std::optional<ConnectionFields> ConnectionsFile::Fields(std::string_view section) const {
  const auto range = Find(section);
  if (!range)
    return std::nullopt;
  ConnectionFields fields;
  fields.section = ShapeOf(lines_[range->header]).name;
  for (size_t i = range->header + 1; i < range->end; ++i) {
    const LineShape shape = ShapeOf(lines_[i]);
    if (shape.kind != LineShape::Kind::kKey)
      continue;
    const std::string value = ValueOf(lines_[i], shape);
    const std::string& key = shape.name;
    if (key == "tree") {
      fields.tree = value;
    } else if (key == "source") {
      fields.source = value;
    } else if (key == "context") {
      fields.context = value;
    } else if (key == "user") {
      fields.user = value;
    } else if (key == "bind") {
      fields.bind = value;
    } else if (key == "password-file") {
      fields.passwordFile = value;
    } else if (key == "ca-file") {
      fields.caFile = value;
    } else if (key == "starttls" || key == "verify" || key == "primary") {
      const bool yes = YesOrNo(value).value_or(false);
      (key == "starttls" ? fields.startTls
       : key == "verify" ? fields.verify
                         : fields.primary) = yes;
    } else if (key == "timeout" || key == "page-size") {
      (key == "timeout" ? fields.timeout : fields.pageSize) = Number(value).value_or(
          key == "timeout" ? ConnectionDefaults::kTimeoutSeconds : ConnectionDefaults::kPageSize);
    }
  }
  return fields;
}

void ConnectionsFile::SetKey(Range& range, std::string_view key,
                             const std::optional<std::string>& value) {
  for (size_t i = range.header + 1; i < range.end; ++i) {
    const LineShape shape = ShapeOf(lines_[i]);
    if (shape.kind != LineShape::Kind::kKey || shape.name != key)
      continue;
    if (!value) {
      lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
      --range.end;
    } else {
      lines_[i].replace(shape.valueStart, shape.valueEnd - shape.valueStart, *value);
    }
    return;
  }
  if (value) {
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(range.end),
                  std::string(key) + " = " + *value + (crlf_ ? "\r" : ""));
    ++range.end;
  }
}

bool ConnectionsFile::Apply(std::string_view section, const ConnectionFields& fields,
                            std::string& error) {
  const std::vector<KeyValue> keys = KeysOf(fields);
  if (const auto problem = UnwritableBecause("The connection's name", fields.section)) {
    error = *problem;
    return false;
  }
  if (fields.section.empty() || fields.section.find_first_of("[]") != std::string::npos) {
    error = "The connection needs a name without \"[\" or \"]\"";
    return false;
  }
  for (const KeyValue& key : keys) {
    if (!key.value)
      continue;
    if (const auto problem =
            UnwritableBecause("The value of " + std::string(key.key), *key.value)) {
      error = *problem;
      return false;
    }
  }
  const auto taken = Find(fields.section);
  ConnectionsFile next = *this;
  std::optional<Range> range;
  if (section.empty()) {
    if (taken) {
      error = "A connection named [" + fields.section + "] exists already";
      return false;
    }
    if (!next.lines_.empty() &&
        next.lines_.back().find_first_not_of(kBlanks) != std::string::npos) {
      next.lines_.push_back(crlf_ ? "\r" : "");
    }
    next.lines_.push_back("[" + fields.section + "]" + (crlf_ ? "\r" : ""));
    range = Range{next.lines_.size() - 1, next.lines_.size()};
  } else {
    range = Find(section);
    if (!range) {
      error = "There is no connection named [" + std::string(section) + "]";
      return false;
    }
    if (taken && taken->header != range->header) {
      error = "A connection named [" + fields.section + "] exists already";
      return false;
    }
    std::string& header = next.lines_[range->header];
    const LineShape shape = ShapeOf(header);
    if (shape.name != fields.section)
      header.replace(shape.nameStart, shape.nameEnd - shape.nameStart, fields.section);
  }
  if (fields.primary) {
    // Values replaced in place move no line, so the range found above stays right.
    for (Range other : next.Ranges()) {
      if (other.header != range->header &&
          next.Fields(ShapeOf(next.lines_[other.header]).name)->primary) {
        next.SetKey(other, "primary", "no");
      }
    }
  }
  for (const KeyValue& key : keys) {
    std::optional<std::string> written;
    for (size_t i = range->header + 1; i < range->end && !written; ++i) {
      const LineShape shape = ShapeOf(next.lines_[i]);
      if (shape.kind == LineShape::Kind::kKey && shape.name == key.key)
        written = ValueOf(next.lines_[i], shape);
    }
    if (written ? SameValue(key, *written) : (!key.value || *key.value == key.defaultValue))
      continue;
    next.SetKey(*range, key.key, key.value);
  }
  if (!next.Check(error))
    return false;
  *this = std::move(next);
  return true;
}

bool ConnectionsFile::Remove(std::string_view section, std::string& error) {
  const auto range = Find(section);
  if (!range) {
    error = "There is no connection named [" + std::string(section) + "]";
    return false;
  }
  if (Ranges().size() == 1) {
    error = "The last connection cannot be removed: the client needs at least one";
    return false;
  }
  ConnectionsFile next = *this;
  size_t start = range->header;
  while (start > 0 && IsComment(next.lines_[start - 1]))
    --start;
  next.lines_.erase(next.lines_.begin() + static_cast<std::ptrdiff_t>(start),
                    next.lines_.begin() + static_cast<std::ptrdiff_t>(range->end));
  // Two blank lines where the section stood between two others become one.
  const auto blank = [&next](size_t i) {
    return i < next.lines_.size() && next.lines_[i].find_first_not_of(kBlanks) == std::string::npos;
  };
  if (start > 0 && blank(start - 1) && blank(start))
    next.lines_.erase(next.lines_.begin() + static_cast<std::ptrdiff_t>(start));
  if (!next.Check(error))
    return false;
  *this = std::move(next);
  return true;
}

std::string ConnectionsFile::Text() const {
  std::string text;
  for (const std::string& line : lines_) {
    text += line;
    text += '\n';
  }
  return text;
}

bool ConnectionsFile::Check(std::string& error) const {
  std::string problem;
  if (ParseConnectionsFile(Text(), path_, problem))
    return true;
  error = "The connections file would not be readable: " + problem;
  return false;
}

bool ConnectionsFile::Save(std::string& error) {
  if (!Check(error))
    return false;
  std::string current;
  const FileResult read = ReadRegularFile(path_, current);
  if (!read.Succeeded() && !read.missing) {
    error = path_ + ": cannot be read (" + read.reason + "); nothing was written";
    return false;
  }
  if ((read.missing ? std::optional<std::string>() : std::optional<std::string>(current)) !=
      loaded_) {
    error = path_ +
            " was changed by another program since it was read; nothing was written. Open the "
            "connections again to see that change.";
    return false;
  }
  std::error_code failure;
  std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), failure);
  const std::string text = Text();
  if (const FileResult written = ReplaceFileAtomically(path_, text); !written.Succeeded()) {
    error = path_ + ": not written (" + written.reason + ")";
    return false;
  }
  loaded_ = text;
  return true;
}
