#include "util/config_folder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

std::optional<std::filesystem::path> UserConfigFolder() {
  if (const char* configHome = std::getenv("XDG_CONFIG_HOME");
      configHome != nullptr && configHome[0] == '/') {
    return std::filesystem::path(configHome) / "orvane";
  }
  std::filesystem::path home;
  if (const char* homeVariable = std::getenv("HOME"); homeVariable != nullptr && *homeVariable) {
    home = homeVariable;
  } else if (const passwd* user = ::getpwuid(::getuid());
             user != nullptr && user->pw_dir != nullptr && *user->pw_dir) {
    home = user->pw_dir;
  } else {
    return std::nullopt;
  }
  return home / ".config" / "orvane";
}
