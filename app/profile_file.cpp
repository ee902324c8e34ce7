#include "app/profile_file.h"

#include "util/atomic_file.h"
#include "util/text.h"

#include <charconv>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

namespace {

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && blank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

// The section name of a "[name]" line, or nothing for any other line.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() != '[') {
    return std::nullopt;
  }
  const size_t close = line.find(']');
  if (close == std::string_view::npos) {
    return std::nullopt;
  }
  return Trim(line.substr(1, close - 1));
}

struct KeyLine {
  std::string_view key;
  std::string_view value;
};

std::optional<KeyLine> ParseKeyLine(std::string_view line) {
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos || SectionName(line)) {
    return std::nullopt;
  }
  return KeyLine{Trim(line.substr(0, equals)), Trim(line.substr(equals + 1))};
}

// Line index range [first, end) of the first section named `section`, first being the line after
// its header; nothing when there is no such section.
std::optional<std::pair<size_t, size_t>> FindSection(const std::vector<std::string>& lines,
                                                     std::string_view section) {
  for (size_t i = 0; i < lines.size(); ++i) {
    const auto name = SectionName(lines[i]);
    if (name && SameTextAscii(*name, section)) {
      size_t end = i + 1;
      while (end < lines.size() && !SectionName(lines[end])) {
        ++end;
      }
      return std::pair{i + 1, end};
    }
  }
  return std::nullopt;
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

ProfileFile::ProfileFile(std::filesystem::path path, ContentWriter writer)
    : path_(std::move(path)), writer_(std::move(writer)) {}

FileResult ProfileFile::LoadText(std::string& text) const {
  FileResult loaded = ReadRegularFile(path_, text);
  // A byte-order mark that an editor put first would hide the first section's name.
  if (text.starts_with(kUtf8ByteOrderMark)) {
    text.erase(0, kUtf8ByteOrderMark.size());
  }
  return loaded.missing ? FileResult{} : loaded;
}

SettingsWriteError ProfileFile::Refused(std::string_view reason) const {
  return SettingsWriteError("Unable to write to " + path_.filename().string() + ": " +
                            std::string(reason));
}

std::string ProfileFile::ReadString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue) const {
  // An unreadable file reads as an empty one: every key has its default.
  std::string text;
  static_cast<void>(LoadText(text));
  const std::vector<std::string> lines = SplitLines(text);
  const auto range = FindSection(lines, section);
  if (range) {
    for (size_t i = range->first; i < range->second; ++i) {
      const auto entry = ParseKeyLine(lines[i]);
      if (entry && SameTextAscii(entry->key, key)) {
        return std::string(entry->value);
      }
    }
  }
  return std::string(defaultValue);
}

int32_t ProfileFile::ReadInteger(std::string_view section, std::string_view key,
                                 int32_t defaultValue) const {
  const std::string text = ReadString(section, key, "");
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') {
    digits.remove_prefix(1);
  }
  int32_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
    return defaultValue;
  }
  return value;
}

void ProfileFile::WriteString(std::string_view section, std::string_view key,
                              std::string_view value) {
  // A line break, or a bracket or "=" in a name, would turn one entry into others on the next
  // read; such a write is refused rather than corrupting the file.
  if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value) ||
      section.find(']') != std::string_view::npos || key.find('=') != std::string_view::npos ||
      Trim(key).empty() || (!key.empty() && key.front() == '[')) {
    throw Refused("a line break, \"]\" or \"=\" where the file cannot hold it");
  }
  // A file that is there but cannot be read would lose every other key to this write.
  std::string old;
  if (const FileResult loaded = LoadText(old); !loaded.Succeeded()) {
    throw Refused(loaded.reason);
  }
  std::vector<std::string> lines = SplitLines(old);
  std::string keyLine = std::string(key) + "=" + std::string(value);
  if (const auto range = FindSection(lines, section)) {
    size_t insertAt = range->first;
    bool replaced = false;
    for (size_t i = range->first; i < range->second; ++i) {
      const auto entry = ParseKeyLine(lines[i]);
      if (entry && SameTextAscii(entry->key, key)) {
        lines[i] = std::move(keyLine);
        replaced = true;
        break;
      }
      if (!Trim(lines[i]).empty()) {
        insertAt = i + 1;
      }
    }
    if (!replaced) {
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(keyLine));
    }
  } else {
    lines.push_back("[" + std::string(section) + "]");
    lines.push_back(std::move(keyLine));
  }
  std::string text;
  for (const std::string& line : lines) {
    text += line;
    text += '\n';
  }
  ReplaceWith(text);
}

void ProfileFile::WriteInteger(std::string_view section, std::string_view key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void ProfileFile::ReplaceWith(const std::string& text) {
  // The configuration folder comes into being with the first setting written.
  std::error_code folderError;
  if (path_.has_parent_path()) {
    std::filesystem::create_directories(path_.parent_path(), folderError);
  }
  if (folderError) {
    throw Refused(folderError.message());
  }
  if (const FileResult replaced = ReplaceFileAtomically(path_, text, writer_);
      !replaced.Succeeded()) {
    throw Refused(replaced.reason);
  }
}
