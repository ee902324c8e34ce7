#include "tests/support/temp_folder.h"

#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

TempFolder::TempFolder(std::string_view prefix) {
  std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a folder below " + fs::temp_directory_path().string());
  }
  root_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

fs::path TempFolder::Write(const fs::path& path, std::string_view text) const {
  const fs::path target = root_ / path;  // an absolute `path` replaces the root
  fs::create_directories(target.parent_path());
  std::ofstream(target, std::ios::binary) << text;
  return target;
}

std::string TempFolder::Read(const fs::path& path) const {
  std::ifstream file(root_ / path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

TempConfigFolder::TempConfigFolder(std::string_view prefix) : TempFolder(prefix) {
  if (const char* value = std::getenv("XDG_CONFIG_HOME")) {
    saved_ = value;
  }
  ::setenv("XDG_CONFIG_HOME", (Root() / "config").c_str(), 1);
}

TempConfigFolder::~TempConfigFolder() {
  if (saved_) {
    ::setenv("XDG_CONFIG_HOME", saved_->c_str(), 1);
  } else {
    ::unsetenv("XDG_CONFIG_HOME");
  }
}
