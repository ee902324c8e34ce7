#include "app/d_ini.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

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
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  if (configHome != nullptr && configHome[0] == '/') {
    return std::filesystem::path(configHome) / "orvane";
  }
  std::filesystem::path home;
  if (const char* homeVariable = std::getenv("HOME"); homeVariable != nullptr && *homeVariable) {
    home = homeVariable;
  } else if (const passwd* user = ::getpwuid(::getuid()); user != nullptr && user->pw_dir) {
    home = user->pw_dir;
  } else {
    home = "/tmp";
  }
  return home / ".config" / "orvane";
}

ProfileFile OpenSettingsFile(const std::filesystem::path& programFile) {
  return ProfileFile(ConfigurationFolder() / SettingsFileName(programFile));
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

void RestoreFormGeometry(const ProfileFile& file, std::string_view section, FormGeometry& window) {
  try {
    if (window.PlacesItself()) {
      return;
    }
    const std::string name = window.ComponentName();
    const std::string source = section.empty() ? name : std::string(section);
    // Width and height first, so that a window moved afterwards lands where it was saved.
    if (const int32_t width = file.ReadInteger(source, name + ".Width", 0); width != 0) {
      window.SetWidth(width);
    }
    if (const int32_t height = file.ReadInteger(source, name + ".Height", 0); height != 0) {
      window.SetHeight(height);
    }
    if (const int32_t left = file.ReadInteger(source, name + ".Left", 0); left != 0) {
      window.SetLeft(left);
    }
    if (const int32_t top = file.ReadInteger(source, name + ".Top", 0); top != 0) {
      window.SetTop(top);
    }
  } catch (...) {
    // An unreadable geometry keeps the designed one.
  }
}
