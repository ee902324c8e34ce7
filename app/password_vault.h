#pragma once
// The desktop's keyring (its secret service, through QtKeychain), where the window keeps a
// connection's password when the user asks it to remember one. Passwords never go to a file:
// without a keyring nothing is remembered. The interface lets tests stand in for the keyring.
#include <QString>
#include <optional>
#include <string>

class PasswordVault {
 public:
  virtual ~PasswordVault() = default;

  // A password looked up: found, not stored (both empty), or the keyring's reason why it could
  // not be asked.
  struct Lookup {
    std::optional<std::string> password;
    std::string error;
  };
  [[nodiscard]] virtual Lookup Read(const std::string& key) = 0;
  // Both give the keyring's reason when they fail, else "". Removing what is not stored succeeds.
  [[nodiscard]] virtual std::string Write(const std::string& key, const std::string& password) = 0;
  [[nodiscard]] virtual std::string Remove(const std::string& key) = 0;
};

// The keyring through QtKeychain, entries under `service`. Each call waits for the keyring's
// answer with the window's user input held back; never falls back to a file.
class KeychainVault final : public PasswordVault {
 public:
  explicit KeychainVault(QString service = QStringLiteral("Orvane"))
      : service_(std::move(service)) {}
  [[nodiscard]] Lookup Read(const std::string& key) override;
  [[nodiscard]] std::string Write(const std::string& key, const std::string& password) override;
  [[nodiscard]] std::string Remove(const std::string& key) override;

 private:
  QString service_;
};
