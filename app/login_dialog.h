#pragma once
// Logging in from the window: when the directory client starts a connection that binds without
// a password file, the window takes the password from the desktop's keyring or asks for it in
// the login dialog, which offers to remember it there. A refused password is asked for again
// (a remembered one is forgotten first); cancelling leaves that connection closed and start-up
// goes on with the others.
#include <QDialog>
#include <map>
#include <optional>
#include <string>

#include "app/password_vault.h"
#include "directory/client/dir_client.h"
#include "directory/message_sink.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

// What the user answered in the login dialog.
struct LoginAnswer {
  std::string password;
  bool remember = false;
};

// Asks the user for a password: nullopt when they cancel. `remember` is the check box's first
// state; `note` (may be empty) tells of a keyring problem.
class LoginAsker {
 public:
  virtual ~LoginAsker() = default;
  [[nodiscard]] virtual std::optional<LoginAnswer> Ask(const DirPasswordRequest& request,
                                                       bool remember, const std::string& note) = 0;
};

// The password provider the window installs in the directory client.
class WindowLogin {
 public:
  // All three must outlive the provider; `messages` shows what the keyring refused.
  WindowLogin(PasswordVault& vault, LoginAsker& asker, ErrorMessageSink& messages)
      : vault_(vault), asker_(asker), messages_(messages) {}

  [[nodiscard]] DirPasswordAnswer Provide(const DirPasswordRequest& request);

  // The keyring entry of a connection's login: its server and bind DN.
  [[nodiscard]] static std::string KeyringKey(const DirPasswordRequest& request);

 private:
  PasswordVault& vault_;
  LoginAsker& asker_;
  ErrorMessageSink& messages_;
  std::map<std::string, bool> inKeyring_;  // by key: the password last given is the one stored
};

// The login dialog: the tree, server and bind DN, why the last password was refused, the
// password (not shown) and "remember". Its controls carry object names for tests.
class TLoginDialog : public QDialog {
  Q_OBJECT
 public:
  TLoginDialog(const DirPasswordRequest& request, bool remember, const std::string& note,
               QWidget* parent = nullptr);

  [[nodiscard]] LoginAnswer Answer() const;

  QLabel* LabelTree = nullptr;
  QLabel* LabelServer = nullptr;
  QLabel* LabelBindDn = nullptr;
  QLabel* LabelRefused = nullptr;
  QLineEdit* EditPassword = nullptr;
  QCheckBox* CheckRemember = nullptr;
  QPushButton* ButtonLogin = nullptr;
  QPushButton* ButtonCancel = nullptr;
};

// Shows TLoginDialog modally, over `owner` when given.
class QtLoginAsker final : public LoginAsker {
 public:
  explicit QtLoginAsker(QWidget* owner = nullptr) : owner_(owner) {}
  [[nodiscard]] std::optional<LoginAnswer> Ask(const DirPasswordRequest& request, bool remember,
                                               const std::string& note) override;

 private:
  QWidget* owner_;
};
