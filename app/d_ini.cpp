#include "app/d_ini.h"

#include <algorithm>
#include <optional>
#include <tuple>
#include <utility>

#include "util/config_folder.h"

std::filesystem::path ProgramFile() {
  std::error_code error;
  std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path("orvane") : program;
}

std::string FileBesideProgram(const std::filesystem::path& programFile,
                              std::string_view extension) {
  std::string dotted(extension);
  if (dotted.empty() || dotted.front() != '.') {
    dotted.insert(dotted.begin(), '.');
  }
  std::filesystem::path file = programFile;
  file.replace_extension(dotted);
  return file.string();
}

std::string FileBesideProgram(std::string_view extension) {
  return FileBesideProgram(ProgramFile(), extension);
}

std::filesystem::path ProgramDocument(const std::filesystem::path& programFile,
                                      std::string_view name) {
  const std::filesystem::path folder = programFile.parent_path();
  // The install rules pass the document folder relative to the program's (bin/ to
  // share/doc/orvane/), so that an installation under any prefix finds its own documents.
  const std::filesystem::path installed =
      (folder / ORVANE_DOCUMENTS_FROM_PROGRAM).lexically_normal();
  std::error_code error;
  return (std::filesystem::is_directory(installed, error) ? installed : folder) / name;
}

std::string SettingsFileName(const std::filesystem::path& programFile) {
  return std::filesystem::path(FileBesideProgram(programFile, ".ini")).filename().string();
}

std::string SettingsFileName() {
  return SettingsFileName(ProgramFile());
}

std::filesystem::path ConfigurationFolder() {
  return UserConfigFolder().value_or(std::filesystem::path());
}

ProfileFile OpenSettingsFile(const std::filesystem::path& programFile) {
  // With no folder the file has no name: it reads as empty and every write fails, instead of
  // settings landing in a folder other users share.
  const auto folder = UserConfigFolder();
  return ProfileFile(folder ? *folder / SettingsFileName(programFile) : std::filesystem::path());
}

std::string TreeSettingsKey(std::string_view tree) {
  constexpr std::string_view kHeld = "=%[]\r\n";
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  const bool plain = tree.find_first_of(kHeld) == std::string_view::npos &&
                     (tree.empty() || (!blank(tree.front()) && !blank(tree.back())));
  if (plain) {
    return std::string(tree);
  }
  static constexpr std::string_view kDigits = "0123456789ABCDEF";
  std::string key;
  for (const char c : tree) {
    if (kHeld.find(c) != std::string_view::npos || blank(c)) {
      const auto byte = static_cast<unsigned char>(c);
      key += '%';
      key += kDigits[byte >> 4];
      key += kDigits[byte & 0x0F];
    } else {
      key += c;
    }
  }
  return key;
}

void WriteIntegerIfChanged(ProfileFile& file, std::string_view section, std::string_view key,
                           int32_t value) {
  if (file.ReadInteger(section, key, 0) != value) {
    file.WriteInteger(section, key, value);
  }
}

void SaveFormGeometry(ProfileFile& file, std::string_view section, const FormGeometry& window) {
  try {
    const std::string name = window.ComponentName();
    const std::string target = section.empty() ? name : std::string(section);
    WriteIntegerIfChanged(file, target, name + ".Top", window.Top());
    WriteIntegerIfChanged(file, target, name + ".Left", window.Left());
    WriteIntegerIfChanged(file, target, name + ".Width", window.Width());
    WriteIntegerIfChanged(file, target, name + ".Height", window.Height());
  } catch (...) {
    // A settings folder that refuses writes must not keep the window from closing.
  }
}

namespace {

// The stored left or top, or nullopt when the window keeps its own: not a number, or 0 or
// missing beside no stored size.
std::optional<int32_t> StoredPosition(const ProfileFile& file, const std::string& section,
                                      const std::string& key, bool sizeStored) {
  if (const int32_t value = file.ReadInteger(section, key, 0); value != 0) {
    return value;
  }
  const bool zeroOrMissing =
      file.ReadInteger(section, key, 1) == 0 || file.ReadString(section, key, "").empty();
  return sizeStored && zeroOrMissing ? std::optional<int32_t>(0) : std::nullopt;
}

}  // namespace

void RestoreFormGeometry(const ProfileFile& file, std::string_view section, FormGeometry& window) {
  try {
    if (window.PlacesItself()) {
      return;
    }
    const std::string name = window.ComponentName();
    const std::string source = section.empty() ? name : std::string(section);
    // Width and height first, so that a window moved afterwards lands where it was saved.
    const int32_t width = file.ReadInteger(source, name + ".Width", 0);
    if (width != 0) {
      window.SetWidth(width);
    }
    const int32_t height = file.ReadInteger(source, name + ".Height", 0);
    if (height != 0) {
      window.SetHeight(height);
    }
    const bool sizeStored = width != 0 && height != 0;
    if (const auto left = StoredPosition(file, source, name + ".Left", sizeStored)) {
      window.SetLeft(*left);
    }
    if (const auto top = StoredPosition(file, source, name + ".Top", sizeStored)) {
      window.SetTop(*top);
    }
  } catch (...) {
    // An unreadable geometry keeps the designed one.
  }
}

ScreenRect FitOnScreen(ScreenRect window, ScreenRect screen) {
  // In 64 bits: a stored left of INT32_MAX plus a width must not overflow.
  const auto fit = [](int64_t start, int64_t length, int64_t areaStart, int64_t areaLength) {
    areaLength = std::max<int64_t>(areaLength, 1);
    length = std::clamp<int64_t>(length, 1, areaLength);
    start = std::clamp(start, areaStart, areaStart + areaLength - length);
    return std::pair<int, int>(static_cast<int>(start), static_cast<int>(length));
  };
  std::tie(window.left, window.width) = fit(window.left, window.width, screen.left, screen.width);
  std::tie(window.top, window.height) = fit(window.top, window.height, screen.top, screen.height);
  return window;
}
