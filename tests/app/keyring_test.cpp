// The window's keyring against a real secret service: the test's command starts a session bus and
// gnome-keyring-daemon, unlocked with a throw-away password (or, for the test of a keyring never
// unlocked, without one), in a throw-away HOME. A password
// stored comes back byte for byte, is gone once removed, and is never written to a file in
// plain text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/password_vault.h"

namespace {

namespace fs = std::filesystem;

// The files below `folder` that hold `bytes`.
std::string FilesHolding(const fs::path& folder, const std::string& bytes) {
  std::string found;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) {
      continue;
    }
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.find(bytes) != std::string::npos) {
      found += entry.path().string() + " ";
    }
  }
  return found;
}

TEST(KeyringTest, APasswordMakesTheRoundTripThroughTheSecretService) {
  const char* home = std::getenv("HOME");
  ASSERT_NE(home, nullptr);
  ASSERT_NE(std::getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr) << "no session bus";
  KeychainVault vault(QStringLiteral("Orvane keyring test"));
  const std::string key = "ldap://127.0.0.1:389 cn=Manager,o=Acme";
  const std::string password =
      "s\xc3\xa9"
      "cret \x01\xff end";

  EXPECT_EQ(vault.Remove(key), "");  // nothing stored yet: removing still succeeds
  PasswordVault::Lookup lookup = vault.Read(key);
  EXPECT_FALSE(lookup.password.has_value());
  EXPECT_EQ(lookup.error, "");

  ASSERT_EQ(vault.Write(key, password), "");
  lookup = vault.Read(key);
  EXPECT_EQ(lookup.error, "");
  EXPECT_EQ(lookup.password, password);
  EXPECT_FALSE(vault.Read(key + " other").password.has_value());
  EXPECT_EQ(FilesHolding(home, password), "");
  EXPECT_EQ(FilesHolding(home, "cret \x01"), "");

  ASSERT_EQ(vault.Remove(key), "");
  lookup = vault.Read(key);
  EXPECT_FALSE(lookup.password.has_value());
  EXPECT_EQ(lookup.error, "");
}

// Run by its own command: a secret service that was never unlocked has no login keyring.
TEST(KeyringTest, NoLoginKeyringSaysThatNoKeyringIsUnlocked) {
  ASSERT_NE(std::getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr) << "no session bus";
  KeychainVault vault(QStringLiteral("Orvane keyring test"));
  EXPECT_EQ(vault.Write("ldap://127.0.0.1:389 cn=Manager", "secret"),
            "no keyring is unlocked (the desktop's secret service has no login keyring)");
}

}  // namespace
