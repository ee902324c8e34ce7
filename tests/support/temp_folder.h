#pragma once
// Throw-away folders for the files a test writes: one removed with what it holds when it goes,
// and one that is also the configuration folder (XDG_CONFIG_HOME) while it lives.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// A fresh folder below the temporary directory, named `prefix`-XXXXXX; throws when it cannot be
// made. Removed, with everything below it, when this goes.
class TempFolder {
 public:
  explicit TempFolder(std::string_view prefix = "orvane-test");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  [[nodiscard]] const std::filesystem::path& Root() const { return root_; }
  // Writes `text` to `path` (relative to the folder, or absolute), creating its folders; the
  // path written.
  std::filesystem::path Write(const std::filesystem::path& path, std::string_view text) const;
  // The bytes of the file at `path` (relative or absolute); empty when it cannot be read.
  [[nodiscard]] std::string Read(const std::filesystem::path& path) const;

 private:
  std::filesystem::path root_;
};

// A TempFolder whose config/ is XDG_CONFIG_HOME while it lives; the variable is put back as it
// was when it goes.
class TempConfigFolder : public TempFolder {
 public:
  explicit TempConfigFolder(std::string_view prefix = "orvane-config");
  ~TempConfigFolder();
  TempConfigFolder(const TempConfigFolder&) = delete;
  TempConfigFolder& operator=(const TempConfigFolder&) = delete;

  // Where the program keeps its settings file below the configuration folder.
  [[nodiscard]] std::filesystem::path SettingsPath() const {
    return Root() / "config" / "orvane" / "orvane.ini";
  }

 private:
  std::optional<std::string> saved_;
};
