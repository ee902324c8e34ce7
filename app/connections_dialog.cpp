#include "app/connections_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <chrono>
#include <future>

#include "directory/client/connection_probe.h"
#include "directory/client/dir_client.h"
#include "util/hooks.h"
#include "util/text.h"

namespace {

template <typename Widget>
Widget* Named(Widget* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

std::string S(const QLineEdit* edit) {
  return edit->text().trimmed().toStdString();
}

constexpr std::string_view kLdapScheme = "ldap://";
constexpr std::string_view kLdapsScheme = "ldaps://";

}  // namespace

TConnectionsDialog::TConnectionsDialog(const std::string& path, QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("ConnectionsDialog"));
  setWindowTitle(QStringLiteral("Connections"));

  ListConnections = Named(new QListWidget(this), "ListConnections");
  ListConnections->setMinimumWidth(170);
  ButtonNew = Named(new QPushButton(QStringLiteral("&New"), this), "ButtonNew");
  ButtonRemove = Named(new QPushButton(QStringLiteral("&Remove"), this), "ButtonRemove");
  auto* left = new QVBoxLayout;
  left->addWidget(ListConnections, 1);
  auto* listButtons = new QHBoxLayout;
  listButtons->addWidget(ButtonNew);
  listButtons->addWidget(ButtonRemove);
  left->addLayout(listButtons);

  EditName = Named(new QLineEdit(this), "EditName");
  EditTree = Named(new QLineEdit(this), "EditTree");
  EditTree->setMaxLength(static_cast<int>(kTreeNameWidth));
  ComboSourceKind = Named(new QComboBox(this), "ComboSourceKind");
  ComboSourceKind->addItems({QStringLiteral("LDIF file"), QStringLiteral("Built-in sample tree"),
                             QStringLiteral("LDAP server (ldap://)"),
                             QStringLiteral("LDAP server over TLS (ldaps://)")});
  EditSource = Named(new QLineEdit(this), "EditSource");
  ButtonBrowseSource = Named(new QPushButton(QStringLiteral("..."), this), "ButtonBrowseSource");
  auto* sourceRow = new QHBoxLayout;
  sourceRow->addWidget(EditSource, 1);
  sourceRow->addWidget(ButtonBrowseSource);
  EditContext = Named(new QLineEdit(this), "EditContext");
  EditContext->setPlaceholderText(QStringLiteral("typeless, e.g. Sales.Acme; empty = [Root]"));
  EditUser = Named(new QLineEdit(this), "EditUser");
  EditUser->setPlaceholderText(QStringLiteral("typeless; empty = whom the server names"));
  EditBind = Named(new QLineEdit(this), "EditBind");
  EditBind->setPlaceholderText(QStringLiteral("e.g. cn=admin,o=acme; empty = anonymous"));
  EditPasswordFile = Named(new QLineEdit(this), "EditPasswordFile");
  EditPasswordFile->setPlaceholderText(QStringLiteral("readable by you alone"));
  EditTestPassword = Named(new QLineEdit(this), "EditTestPassword");
  EditTestPassword->setEchoMode(QLineEdit::Password);
  EditTestPassword->setPlaceholderText(QStringLiteral("for the test only, never stored"));
  CheckStartTls = Named(new QCheckBox(QStringLiteral("Start&TLS"), this), "CheckStartTls");
  EditCaFile = Named(new QLineEdit(this), "EditCaFile");
  EditCaFile->setPlaceholderText(QStringLiteral("empty = the system's authorities"));
  CheckVerify =
      Named(new QCheckBox(QStringLiteral("&Verify the server's certificate"), this), "CheckVerify");
  SpinTimeout = Named(new QSpinBox(this), "SpinTimeout");
  SpinTimeout->setRange(1, 3600);
  SpinTimeout->setSuffix(QStringLiteral(" s"));
  SpinPageSize = Named(new QSpinBox(this), "SpinPageSize");
  SpinPageSize->setRange(1, 100000);
  CheckPrimary =
      Named(new QCheckBox(QStringLiteral("&Primary (its tree is the default tree)"), this),
            "CheckPrimary");

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Na&me"), EditName);
  form->addRow(QStringLiteral("Tr&ee"), EditTree);
  form->addRow(QStringLiteral("&Source"), ComboSourceKind);
  form->addRow(QString(), sourceRow);
  form->addRow(QStringLiteral("Default &context"), EditContext);
  form->addRow(QStringLiteral("&User"), EditUser);
  form->addRow(QStringLiteral("&Bind DN"), EditBind);
  form->addRow(QStringLiteral("Password &file"), EditPasswordFile);
  form->addRow(QStringLiteral("Test pass&word"), EditTestPassword);
  form->addRow(QString(), CheckStartTls);
  form->addRow(QStringLiteral("C&A file"), EditCaFile);
  form->addRow(QString(), CheckVerify);
  form->addRow(QStringLiteral("T&imeout"), SpinTimeout);
  form->addRow(QStringLiteral("Pa&ge size"), SpinPageSize);
  form->addRow(QString(), CheckPrimary);

  ButtonSave = Named(new QPushButton(QStringLiteral("S&ave"), this), "ButtonSave");
  ButtonTest = Named(new QPushButton(QStringLiteral("&Test"), this), "ButtonTest");
  ButtonUndo = Named(new QPushButton(QStringLiteral("&Undo changes"), this), "ButtonUndo");
  auto* closeBox = new QDialogButtonBox(QDialogButtonBox::Close, this);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(ButtonSave);
  bottom->addWidget(ButtonTest);
  bottom->addWidget(ButtonUndo);
  bottom->addStretch(1);
  bottom->addWidget(closeBox);

  LabelMessage = Named(new QLabel(this), "LabelMessage");
  LabelMessage->setWordWrap(true);
  LabelMessage->setTextInteractionFlags(Qt::TextSelectableByMouse);
  LabelMessage->setMinimumHeight(LabelMessage->fontMetrics().lineSpacing() * 3);
  LabelMessage->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  auto* columns = new QHBoxLayout;
  columns->addLayout(left);
  columns->addLayout(form, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(columns, 1);
  layout->addWidget(LabelMessage);
  layout->addLayout(bottom);
  resize(640, sizeHint().height());

  connect(ListConnections, &QListWidget::currentTextChanged, this, [this](const QString& text) {
    if (!file_ || text.isEmpty() || SameTextAscii(text.toStdString(), editing_)) {
      return;
    }
    if (KeepsUnsavedChanges()) {
      // Back to the connection being edited, once this change of the current line is over.
      QTimer::singleShot(0, this, [this] {
        const QSignalBlocker quiet(ListConnections);
        const auto found = ListConnections->findItems(Q(editing_), Qt::MatchFixedString);
        if (found.isEmpty()) {
          ListConnections->setCurrentRow(-1);
        } else {
          ListConnections->setCurrentItem(found.front());
        }
      });
      return;
    }
    if (const auto fields = file_->Fields(text.toStdString())) {
      editing_ = fields->section;
      ShowFields(*fields);
    }
  });
  connect(ComboSourceKind, &QComboBox::currentIndexChanged, this, [this] { SourceKindChange(); });
  connect(ButtonBrowseSource, &QPushButton::clicked, this, [this] {
    const QString chosen =
        QFileDialog::getOpenFileName(this, QStringLiteral("LDIF file"), EditSource->text(),
                                     QStringLiteral("LDIF files (*.ldif);;All files (*)"));
    if (!chosen.isEmpty())
      EditSource->setText(chosen);
  });
  connect(ButtonNew, &QPushButton::clicked, this, [this] { NewClick(); });
  connect(ButtonSave, &QPushButton::clicked, this, [this] { SaveClick(); });
  connect(ButtonRemove, &QPushButton::clicked, this, [this] { RemoveClick(); });
  connect(ButtonTest, &QPushButton::clicked, this, [this] { TestClick(); });
  connect(ButtonUndo, &QPushButton::clicked, this, [this] { UndoClick(); });
  connect(closeBox, &QDialogButtonBox::rejected, this, &QDialog::reject);

  std::string error;
  file_ = ConnectionsFile::Load(path, error);
  if (!file_) {
    // Nothing may be written over a file whose content the dialog does not understand.
    for (QWidget* control :
         std::initializer_list<QWidget*>{ButtonNew, ButtonSave, ButtonRemove, ButtonUndo}) {
      control->setEnabled(false);
    }
    Say(error + "\nCorrect the file in a text editor; the dialog does not change it.", true);
    return;
  }
  ShowConnections("");
  Say("Connections are read from " + path + ".", false);
}

void TConnectionsDialog::Say(const std::string& text, bool problem) {
  LabelMessage->setStyleSheet(problem ? QStringLiteral("color: #b00000;") : QString());
  LabelMessage->setText(Q(text));
}

void TConnectionsDialog::ShowConnections(const std::string& selected) {
  const QSignalBlocker quiet(ListConnections);
  ListConnections->clear();
  int row = 0;
  for (const std::string& section : file_->Sections()) {
    ListConnections->addItem(Q(section));
    if (SameTextAscii(section, selected))
      row = ListConnections->count() - 1;
  }
  ListConnections->setCurrentRow(row);
  if (const auto fields = file_->Fields(ListConnections->currentItem()->text().toStdString())) {
    editing_ = fields->section;
    ShowFields(*fields);
  }
}

void TConnectionsDialog::ShowFields(const ConnectionFields& fields) {
  EditName->setText(Q(fields.section));
  EditTree->setText(Q(fields.tree));
  SourceKind kind = kLdifFile;
  std::string rest = fields.source;
  if (fields.source == "sample") {
    kind = kSample;
    rest.clear();
  } else if (fields.source.starts_with(kLdapScheme)) {
    kind = kLdap;
    rest.erase(0, kLdapScheme.size());
  } else if (fields.source.starts_with(kLdapsScheme)) {
    kind = kLdaps;
    rest.erase(0, kLdapsScheme.size());
  }
  {
    const QSignalBlocker quiet(ComboSourceKind);
    ComboSourceKind->setCurrentIndex(kind);
  }
  EditSource->setText(Q(rest));
  SourceKindChange();
  EditContext->setText(Q(fields.context));
  EditUser->setText(Q(fields.user));
  EditBind->setText(Q(fields.bind));
  EditPasswordFile->setText(Q(fields.passwordFile));
  EditTestPassword->clear();
  CheckStartTls->setChecked(fields.startTls);
  EditCaFile->setText(Q(fields.caFile));
  CheckVerify->setChecked(fields.verify);
  SpinTimeout->setValue(fields.timeout);
  SpinPageSize->setValue(fields.pageSize);
  CheckPrimary->setChecked(fields.primary);
  // As the fields read back, so that keys they do not show count as unchanged.
  shown_ = FieldsShown();
}

bool TConnectionsDialog::KeepsUnsavedChanges() {
  if (!file_ || FieldsShown() == shown_) {
    return false;
  }
  Say("The changes to " +
          (editing_.empty() ? std::string("the new connection") : "[" + editing_ + "]") +
          " are not saved: Save them, or Undo changes.",
      true);
  return true;
}

void TConnectionsDialog::reject() {
  if (!KeepsUnsavedChanges()) {
    QDialog::reject();
  }
}

void TConnectionsDialog::UndoClick() {
  if (!file_) {
    return;
  }
  if (const auto fields = file_->Fields(editing_); fields && !editing_.empty()) {
    ShowFields(*fields);
  } else {
    ShowConnections("");
  }
  Say("Changes undone.", false);
}

void TConnectionsDialog::SourceKindChange() {
  const int kind = ComboSourceKind->currentIndex();
  const bool server = kind == kLdap || kind == kLdaps;
  EditSource->setEnabled(kind != kSample);
  ButtonBrowseSource->setEnabled(kind == kLdifFile);
  EditSource->setPlaceholderText(server ? QStringLiteral("host:port")
                                        : QStringLiteral("path of the LDIF file"));
  for (QWidget* control :
       std::initializer_list<QWidget*>{EditBind, EditPasswordFile, EditTestPassword, EditCaFile,
                                       CheckVerify, SpinTimeout, SpinPageSize}) {
    control->setEnabled(server);
  }
  CheckStartTls->setEnabled(kind == kLdap);
}

ConnectionFields TConnectionsDialog::FieldsShown() const {
  ConnectionFields fields;
  fields.section = S(EditName);
  fields.tree = S(EditTree);
  const std::string rest = S(EditSource);
  switch (ComboSourceKind->currentIndex()) {
    case kSample:
      fields.source = "sample";
      break;
    case kLdap:
      fields.source =
          rest.empty() || rest.starts_with(kLdapScheme) ? rest : std::string(kLdapScheme) + rest;
      break;
    case kLdaps:
      fields.source =
          rest.empty() || rest.starts_with(kLdapsScheme) ? rest : std::string(kLdapsScheme) + rest;
      break;
    default:
      fields.source = rest;
      break;
  }
  fields.context = S(EditContext);
  fields.user = S(EditUser);
  const bool server =
      ComboSourceKind->currentIndex() == kLdap || ComboSourceKind->currentIndex() == kLdaps;
  if (server) {
    fields.bind = S(EditBind);
    fields.passwordFile = S(EditPasswordFile);
    fields.startTls = ComboSourceKind->currentIndex() == kLdap && CheckStartTls->isChecked();
    fields.caFile = S(EditCaFile);
    fields.verify = CheckVerify->isChecked();
    fields.timeout = SpinTimeout->value();
    fields.pageSize = SpinPageSize->value();
  }
  fields.primary = CheckPrimary->isChecked();
  return fields;
}

void TConnectionsDialog::NewClick() {
  if (KeepsUnsavedChanges()) {
    return;
  }
  editing_.clear();
  {
    const QSignalBlocker quiet(ListConnections);
    ListConnections->clearSelection();
    ListConnections->setCurrentRow(-1);
  }
  ConnectionFields fresh;
  fresh.section = "connection" + std::to_string(file_->Sections().size() + 1);
  ShowFields(fresh);
  EditName->setFocus();
  EditName->selectAll();
  Say("A new connection: fill it in, then Save.", false);
}

void TConnectionsDialog::SaveClick() {
  if (!file_)
    return;
  ConnectionsFile next = *file_;
  const ConnectionFields fields = FieldsShown();
  std::string error;
  if (!next.Apply(editing_, fields, error) || !next.Save(error)) {
    Say("Not saved: " + error, true);
    return;
  }
  file_ = std::move(next);
  changed_ = true;
  ShowConnections(fields.section);
  Say("Saved to " + file_->Path() + ". The tree list follows when this dialog closes.", false);
}

void TConnectionsDialog::RemoveClick() {
  if (!file_ || editing_.empty())
    return;
  ConnectionsFile next = *file_;
  std::string error;
  if (!next.Remove(editing_, error) || !next.Save(error)) {
    Say("Not removed: " + error, true);
    return;
  }
  const std::string removed = editing_;
  file_ = std::move(next);
  changed_ = true;
  ShowConnections("");
  Say("Removed [" + removed + "] from " + file_->Path() + ".", false);
}

void TConnectionsDialog::TestClick() {
  const std::string path = file_ ? file_->Path() : DirClientConnectionsFile();
  std::string error;
  const auto config = ConnectionsFile::ConfigOf(FieldsShown(), path, error);
  if (!config) {
    Say("Not tested: " + error, true);
    return;
  }
  const std::optional<std::string> password =
      EditTestPassword->text().isEmpty()
          ? std::nullopt
          : std::optional<std::string>(EditTestPassword->text().toStdString());
  ButtonTest->setEnabled(false);
  Say("Testing " + config->source + " ...", false);
  const BusyCursorScope busy;
  // The connection may take its whole timeout; the dialog repaints meanwhile.
  auto probe = std::async(std::launch::async, [config = *config, password] {
    return ProbeConnection(config, password);
  });
  while (probe.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
    ProcessPendingMessages();
  }
  const ProbeResult result = probe.get();
  ButtonTest->setEnabled(true);
  Say(result.text, !result.succeeded);
}
