#pragma once
// A profile (INI) file: sections and keys matched ignoring ASCII case, every write going to the
// file at once. Each write replaces the file atomically, so a failed write or a crash midway
// leaves the previous file intact.
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "util/atomic_file.h"

// Raised by a refused write; what() is "Unable to write to <bare file name>: <reason>".
class SettingsWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ProfileFile {
 public:
  // `path` is the full path of the file; nothing is touched until the first read or write.
  explicit ProfileFile(std::filesystem::path path, ContentWriter writer = {});

  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }

  // The value of `key` in `section`, surrounding blanks removed; `defaultValue` when the file,
  // the section or the key is missing, or the file cannot be read (or is not a regular file). The
  // first match counts when a name occurs twice.
  [[nodiscard]] std::string ReadString(std::string_view section, std::string_view key,
                                       std::string_view defaultValue) const;
  // The value read as a decimal integer (optional sign, digits only, within int32);
  // `defaultValue` when missing or not such a number.
  [[nodiscard]] int32_t ReadInteger(std::string_view section, std::string_view key,
                                    int32_t defaultValue) const;

  // Sets `key` in `section` (both created when missing) and replaces the file at once. The
  // folder is created on the first write. Throws SettingsWriteError when the file exists but
  // cannot be read (the write would lose every other key), is not a regular file, or cannot be
  // replaced; the previous file then stays as it was.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int32_t value);

 private:
  // The file's text, empty for a missing file; the reason when it is there but unreadable.
  [[nodiscard]] FileResult LoadText(std::string& text) const;
  [[nodiscard]] SettingsWriteError Refused(std::string_view reason) const;
  void ReplaceWith(const std::string& text);

  std::filesystem::path path_;
  ContentWriter writer_;
};
