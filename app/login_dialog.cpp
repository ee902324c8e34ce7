#include "app/login_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "util/secrets.h"

namespace {

QLabel* WrappedLabel(const std::string& text, const char* name, QWidget* parent) {
  auto* label = new QLabel(QString::fromStdString(text), parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setWordWrap(true);
  label->setTextFormat(Qt::PlainText);
  return label;
}

}  // namespace

std::string WindowLogin::KeyringKey(const DirPasswordRequest& request) {
  return request.server + " " + request.bindDn;
}

DirPasswordAnswer WindowLogin::Provide(const DirPasswordRequest& request) {
  const std::string key = KeyringKey(request);
  bool& stored = inKeyring_[key];
  std::string note;
  if (request.attempt == 1) {
    PasswordVault::Lookup found = vault_.Read(key);
    if (found.password) {
      stored = true;
      DirPasswordAnswer given{std::move(found.password), {}};
      WipeText(*found.password);
      return given;
    }
    if (!found.error.empty()) {
      note = "The keyring cannot be read: " + found.error;
    }
  } else if (stored) {
    // The server refused what the keyring held: keeping it would only be refused again.
    if (const std::string error = vault_.Remove(key); !error.empty()) {
      messages_.ShowError("The refused password could not be removed from the keyring: " + error);
    }
  }
  const bool remember = stored;
  stored = false;
  std::optional<LoginAnswer> answer = asker_.Ask(request, remember, note);
  if (!answer) {
    return {};
  }
  if (answer->remember) {
    if (const std::string error = vault_.Write(key, answer->password); !error.empty()) {
      messages_.ShowError("The password could not be stored in the keyring: " + error +
                          ". It is kept only until Orvane ends.");
    } else {
      stored = true;
    }
  }
  DirPasswordAnswer given{std::move(answer->password), {}};
  WipeText(answer->password);
  return given;
}

TLoginDialog::TLoginDialog(const DirPasswordRequest& request, bool remember,
                           const std::string& note, QWidget* parent)
    : QDialog(parent) {
  setObjectName(QStringLiteral("LoginDialog"));
  setWindowTitle(QStringLiteral("Log in to %1").arg(QString::fromStdString(request.tree)));
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  LabelTree = WrappedLabel(request.tree, "LabelTree", this);
  LabelServer = WrappedLabel(request.server, "LabelServer", this);
  LabelBindDn = WrappedLabel(request.bindDn, "LabelBindDn", this);
  form->addRow(QStringLiteral("Tree:"), LabelTree);
  form->addRow(QStringLiteral("Server:"), LabelServer);
  form->addRow(QStringLiteral("Log in as:"), LabelBindDn);
  LabelRefused = WrappedLabel(request.previousError, "LabelRefused", this);
  LabelRefused->setStyleSheet(QStringLiteral("color: #b00000"));
  LabelRefused->setVisible(!request.previousError.empty());
  form->addRow(LabelRefused);
  EditPassword = new QLineEdit(this);
  EditPassword->setObjectName(QStringLiteral("EditPassword"));
  EditPassword->setEchoMode(QLineEdit::Password);
  EditPassword->setMinimumWidth(280);
  form->addRow(QStringLiteral("&Password:"), EditPassword);
  layout->addLayout(form);
  CheckRemember = new QCheckBox(QStringLiteral("&Remember it in the desktop's keyring"), this);
  CheckRemember->setObjectName(QStringLiteral("CheckRemember"));
  CheckRemember->setChecked(remember);
  layout->addWidget(CheckRemember);
  if (!note.empty()) {
    layout->addWidget(WrappedLabel(note, "LabelKeyring", this));
  }
  auto* buttons = new QDialogButtonBox(this);
  ButtonLogin = buttons->addButton(QStringLiteral("&Log in"), QDialogButtonBox::AcceptRole);
  ButtonLogin->setObjectName(QStringLiteral("ButtonLogin"));
  ButtonLogin->setDefault(true);
  ButtonCancel = buttons->addButton(QDialogButtonBox::Cancel);
  ButtonCancel->setObjectName(QStringLiteral("ButtonCancel"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  EditPassword->setFocus();
}

LoginAnswer TLoginDialog::Answer() const {
  return {EditPassword->text().toStdString(), CheckRemember->isChecked()};
}

std::optional<LoginAnswer> QtLoginAsker::Ask(const DirPasswordRequest& request, bool remember,
                                             const std::string& note) {
  TLoginDialog dialog(request, remember, note, owner_);
  if (dialog.exec() != QDialog::Accepted) {
    return std::nullopt;
  }
  return dialog.Answer();
}
