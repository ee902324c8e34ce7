#include "app/connections_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTimer>
#include <QVBoxLayout>
#include <chrono>
#include <thread>

#include "app/qt_form_dialogs.h"
#include "directory/client/dir_client.h"
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

// Keeps `edit` wide enough to show the longest of `placeholders` whole.
void FitPlaceholders(QLineEdit* edit, std::initializer_list<QString> placeholders) {
  int widest = 0;
  for (const QString& text : placeholders) {
    widest = std::max(widest, edit->fontMetrics().horizontalAdvance(text));
  }
  QStyleOptionFrame frame;
  frame.initFrom(edit);
  frame.lineWidth = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &frame, edit);
  // The line edit's own margin inside its frame, two pixels a side, and one pixel of air.
  constexpr int kTextMargins = 2 * 2 + 2;
  const QSize needed = edit->style()->sizeFromContents(
      QStyle::CT_LineEdit, &frame, QSize(widest + kTextMargins, edit->sizeHint().height()), edit);
  edit->setMinimumWidth(needed.width());
}

QString LdifPlaceholder() {
  return QStringLiteral("path of the LDIF file");
}
QString ServerPlaceholder() {
  return QStringLiteral("host:port, replicas after a space");
}

constexpr std::string_view kLdapScheme = "ldap://";
constexpr std::string_view kLdapsScheme = "ldaps://";

// The servers of a source as the field shows them: each without the kind's scheme, one that
// names another scheme left as written.
std::string WithoutScheme(const std::string& source, std::string_view scheme) {
  std::string shown;
  for (std::string server : SourceServers(source)) {
    if (server.starts_with(scheme))
      server.erase(0, scheme.size());
    shown += (shown.empty() ? "" : " ") + server;
  }
  return shown;
}

// The field's servers with the kind's scheme where they name none.
std::string WithScheme(const std::string& shown, std::string_view scheme) {
  std::string source;
  for (std::string server : SourceServers(shown)) {
    if (server.find("://") == std::string::npos)
      server.insert(0, scheme);
    source += (source.empty() ? "" : " ") + server;
  }
  return source;
}

}  // namespace

TConnectionsDialog::TConnectionsDialog(const std::string& path, QWidget* parent)
    : QDialog(parent), path_(path) {
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
  CheckStartTls = Named(new QCheckBox(QStringLiteral("StartT&LS"), this), "CheckStartTls");
  EditCaFile = Named(new QLineEdit(this), "EditCaFile");
  EditCaFile->setPlaceholderText(QStringLiteral("empty = the system's authorities"));
  CheckVerify =
      Named(new QCheckBox(QStringLiteral("&Verify the server's certificate"), this), "CheckVerify");
  SpinTimeout = Named(new QSpinBox(this), "SpinTimeout");
  SpinTimeout->setRange(1, ConnectionDefaults::kMaxTimeoutSeconds);
  SpinTimeout->setSuffix(QStringLiteral(" s"));
  SpinPageSize = Named(new QSpinBox(this), "SpinPageSize");
  SpinPageSize->setRange(1, ConnectionDefaults::kMaxPageSize);
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
  form->addRow(QStringLiteral("CA f&ile"), EditCaFile);
  form->addRow(QString(), CheckVerify);
  form->addRow(QStringLiteral("Time&out"), SpinTimeout);
  form->addRow(QStringLiteral("Pa&ge size"), SpinPageSize);
  form->addRow(QString(), CheckPrimary);

  ButtonSave = Named(new QPushButton(QStringLiteral("S&ave"), this), "ButtonSave");
  ButtonTest = Named(new QPushButton(QStringLiteral("&Test"), this), "ButtonTest");
  // Esc cancels it too; its letters all belong to other controls.
  ButtonCancelTest = Named(new QPushButton(QStringLiteral("Cancel"), this), "ButtonCancelTest");
  ButtonCancelTest->setToolTip(QStringLiteral("End the running test (Esc)"));
  ButtonCancelTest->setEnabled(false);
  ButtonUndo = Named(new QPushButton(QStringLiteral("Un&do changes"), this), "ButtonUndo");
  auto* closeBox = new QDialogButtonBox(QDialogButtonBox::Close, this);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(ButtonSave);
  bottom->addWidget(ButtonTest);
  bottom->addWidget(ButtonCancelTest);
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
  FitPlaceholders(EditSource, {LdifPlaceholder(), ServerPlaceholder()});
  for (QLineEdit* edit :
       {EditContext, EditUser, EditBind, EditPasswordFile, EditTestPassword, EditCaFile}) {
    FitPlaceholders(edit, {edit->placeholderText()});
  }
  resize(std::max(640, sizeHint().width()), sizeHint().height());

  probeWatch_.setInterval(std::chrono::milliseconds(20));
  connect(&probeWatch_, &QTimer::timeout, this, [this] { ProbeWatchTick(); });

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
  connect(ButtonCancelTest, &QPushButton::clicked, this, [this] { CancelTestClick(); });
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
  // An address of no known kind is shown as it is written, as an LDIF file's name would be.
  SourceKind kind = kLdifFile;
  std::string rest = fields.source;
  switch (SourceKindOf(fields.source)) {
    case ::SourceKind::kSample:
      kind = kSample;
      rest.clear();
      break;
    case ::SourceKind::kLdap:
      kind = kLdap;
      rest = WithoutScheme(rest, kLdapScheme);
      break;
    case ::SourceKind::kLdaps:
      kind = kLdaps;
      rest = WithoutScheme(rest, kLdapsScheme);
      break;
    case ::SourceKind::kLdifFile:
    case ::SourceKind::kUnknownAddress:
      break;
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
  if (Testing()) {
    CancelTestClick();
  }
  if (!KeepsUnsavedChanges()) {
    QDialog::reject();
  }
}

void TConnectionsDialog::keyPressEvent(QKeyEvent* event) {
  // Esc ends a running test, as the window's Esc ends its long work; the dialog stays.
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier && Testing()) {
    CancelTestClick();
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void TConnectionsDialog::UndoClick() {
  if (!file_) {
    return;
  }
  if (FieldsShown() == shown_ && beforeRemove_) {
    ConnectionsFile next = *file_;
    next.RevertTo(*beforeRemove_);
    std::string error;
    if (!next.Save(error)) {
      Say("[" + removed_ + "] not brought back: " + error, true);
      return;
    }
    file_ = std::move(next);
    beforeRemove_.reset();
    changed_ = true;
    ShowConnections(removed_);
    Say("[" + removed_ + "] is back in " + file_->Path() + ".", false);
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
  EditSource->setPlaceholderText(server ? ServerPlaceholder() : LdifPlaceholder());
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
      fields.source = WithScheme(rest, kLdapScheme);
      break;
    case kLdaps:
      fields.source = WithScheme(rest, kLdapsScheme);
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
  beforeRemove_.reset();
  changed_ = true;
  ShowConnections(fields.section);
  Say("Saved to " + file_->Path() + ". The tree list follows when this dialog closes.", false);
}

void TConnectionsDialog::RemoveClick() {
  if (!file_ || editing_.empty())
    return;
  QMessageBox ask(QMessageBox::Question, QString(),
                  Q("Remove the connection [" + editing_ + "] from " + file_->Path() + "?"),
                  QMessageBox::Yes | QMessageBox::No, this);
  ask.setObjectName(QStringLiteral("AskRemove"));
  ask.setDefaultButton(QMessageBox::No);
  TitleMessageBox(ask);
  if (ask.exec() != QMessageBox::Yes)
    return;
  ConnectionsFile next = *file_;
  std::string error;
  if (!next.Remove(editing_, error) || !next.Save(error)) {
    Say("Not removed: " + error, true);
    return;
  }
  beforeRemove_ = std::move(*file_);
  removed_ = editing_;
  file_ = std::move(next);
  changed_ = true;
  ShowConnections("");
  Say("Removed [" + removed_ + "] from " + file_->Path() + ". Undo changes brings it back.", false);
}

void TConnectionsDialog::TestClick() {
  if (Testing())
    return;
  const std::string path = file_ ? file_->Path() : path_;
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
  // The connection may take its whole timeout at each step, and libldap cannot be interrupted:
  // the test runs on a thread of its own, which a cancelled test leaves to end by itself.
  std::promise<ProbeResult> answer;
  probe_ = answer.get_future();
  std::thread([answer = std::move(answer), config = *config, password]() mutable {
    try {
      answer.set_value(ProbeConnection(config, password));
    } catch (...) {
      answer.set_exception(std::current_exception());
    }
  }).detach();
  ButtonCancelTest->setEnabled(true);
  if (ButtonTest->hasFocus())
    ButtonCancelTest->setFocus();
  ButtonTest->setEnabled(false);
  Say("Testing " + config->source + " ... (Esc or Cancel ends the test)", false);
  probeWatch_.start();
}

void TConnectionsDialog::ProbeWatchTick() {
  if (!Testing() || probe_.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
    return;
  ProbeResult result;
  try {
    result = probe_.get();
  } catch (const std::exception& failure) {
    result = {false, std::string("The test failed: ") + failure.what()};
  }
  EndTest();
  Say(result.text, !result.succeeded);
}

void TConnectionsDialog::CancelTestClick() {
  if (!Testing())
    return;
  EndTest();
  Say("Test cancelled.", false);
}

void TConnectionsDialog::EndTest() {
  probeWatch_.stop();
  // A future from a promise does not wait for the thread when it goes.
  probe_ = {};
  ButtonTest->setEnabled(true);
  if (ButtonCancelTest->hasFocus() || focusWidget() == nullptr)
    ButtonTest->setFocus();
  ButtonCancelTest->setEnabled(false);
}
