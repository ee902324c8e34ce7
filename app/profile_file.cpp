#include "app/profile_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <fstream>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

namespace {

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
    if (fold(a[i]) != fold(b[i])) {
      return false;
    }
  }
  return true;
}

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
    if (name && SameIgnoringCase(*name, section)) {
      size_t end = i + 1;
      while (end < lines.size() && !SectionName(lines[end])) {
        ++end;
      }
      return std::pair{i + 1, end};
    }
  }
  return std::nullopt;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

// The temporary file of one replacement: closed and removed unless it was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::filesystem::path& target) {
    pathTemplate_ = target.string() + ".XXXXXX";
    fd_ = ::mkstemp(pathTemplate_.data());
    created_ = fd_ >= 0;
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    if (created_ && !renamed_) {
      ::unlink(pathTemplate_.c_str());
    }
  }
  [[nodiscard]] bool IsOpen() const { return fd_ >= 0; }
  [[nodiscard]] int Descriptor() const { return fd_; }
  [[nodiscard]] bool CloseAndRenameTo(const std::filesystem::path& target) {
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) {
      return false;
    }
    if (::rename(pathTemplate_.c_str(), target.c_str()) != 0) {
      return false;
    }
    renamed_ = true;
    return true;
  }

 private:
  std::string pathTemplate_;
  int fd_ = -1;
  bool created_ = false;
  bool renamed_ = false;
};

// Mode for a new settings file: what creating it with fopen would have given.
mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

ProfileFile::ProfileFile(std::filesystem::path path, ContentWriter writer)
    : path_(std::move(path)), writer_(writer ? std::move(writer) : ContentWriter(WriteAll)) {}

std::string ProfileFile::LoadText() const {
  std::ifstream in(path_, std::ios::binary);
  if (!in) {
    return {};
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string ProfileFile::ReadString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue) const {
  const std::vector<std::string> lines = SplitLines(LoadText());
  const auto range = FindSection(lines, section);
  if (range) {
    for (size_t i = range->first; i < range->second; ++i) {
      const auto entry = ParseKeyLine(lines[i]);
      if (entry && SameIgnoringCase(entry->key, key)) {
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
    throw SettingsWriteError("Unable to write to " + path_.filename().string());
  }
  std::vector<std::string> lines = SplitLines(LoadText());
  std::string keyLine = std::string(key) + "=" + std::string(value);
  if (const auto range = FindSection(lines, section)) {
    size_t insertAt = range->first;
    bool replaced = false;
    for (size_t i = range->first; i < range->second; ++i) {
      const auto entry = ParseKeyLine(lines[i]);
      if (entry && SameIgnoringCase(entry->key, key)) {
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
  const SettingsWriteError refused("Unable to write to " + path_.filename().string());
  std::error_code error;
  if (path_.has_parent_path()) {
    std::filesystem::create_directories(path_.parent_path(), error);
    if (error) {
      throw refused;
    }
  }
  struct stat existing {};
  const mode_t mode =
      ::stat(path_.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : NewFileMode();
  TemporaryFile temporary(path_);
  if (!temporary.IsOpen() || ::fchmod(temporary.Descriptor(), mode) != 0 ||
      !writer_(temporary.Descriptor(), text) || ::fsync(temporary.Descriptor()) != 0 ||
      !temporary.CloseAndRenameTo(path_)) {
    throw refused;
  }
}
