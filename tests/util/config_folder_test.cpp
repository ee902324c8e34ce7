// Where the configuration folder is found as the environment varies.
#include "util/config_folder.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

namespace fs = std::filesystem;

// Sets or clears one variable for the life of the guard.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      saved_ = old;
    }
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedVariable() { saved_ ? ::setenv(name_, saved_->c_str(), 1) : ::unsetenv(name_); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

TEST(UserConfigFolder, FollowsXdgThenHomeThenTheAccount) {
  const passwd* user = ::getpwuid(::getuid());
  ASSERT_NE(user, nullptr);
  const fs::path account = fs::path(user->pw_dir) / ".config" / "orvane";
  struct Case {
    const char* xdg;
    const char* home;
    fs::path expected;
  };
  const Case cases[] = {
      {"/srv/conf", "/home/u", "/srv/conf/orvane"},
      {"relative/conf", "/home/u", "/home/u/.config/orvane"},  // only an absolute path counts
      {"", "/home/u", "/home/u/.config/orvane"},
      {nullptr, "/home/u", "/home/u/.config/orvane"},
      {nullptr, "", account},  // an empty HOME is no home: never "/.config"
      {nullptr, nullptr, account},
      {"/srv/conf", nullptr, "/srv/conf/orvane"},
  };
  for (const Case& c : cases) {
    const ScopedVariable xdg("XDG_CONFIG_HOME", c.xdg);
    const ScopedVariable home("HOME", c.home);
    EXPECT_EQ(UserConfigFolder(), c.expected)
        << (c.xdg ? c.xdg : "(unset)") << " / " << (c.home ? c.home : "(unset)");
  }
}

}  // namespace
