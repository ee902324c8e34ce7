#pragma once
// The "Connections..." dialog of the Start tab: lists the directory client's connections and
// adds, edits, removes and tests one. Every saved change is written to the connections file at
// once (in place, comments and unknown keys kept); a file the dialog cannot parse is shown with
// its error and never written. The window restarts the client when the dialog closes after a
// change.
#include <QDialog>
#include <QTimer>
#include <future>
#include <optional>
#include <string>

#include "directory/client/connection_probe.h"
#include "directory/client/connections_editor.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QKeyEvent;
class QSpinBox;

class TConnectionsDialog : public QDialog {
  Q_OBJECT
 public:
  // Edits the file at `path` (it need not exist yet).
  explicit TConnectionsDialog(const std::string& path, QWidget* parent = nullptr);

  // Whether the file was written since the dialog opened.
  [[nodiscard]] bool Changed() const { return changed_; }

  // The source kinds of ComboSourceKind, in its order.
  enum SourceKind { kLdifFile, kSample, kLdap, kLdaps };

  // Controls, named as their objectName.
  QListWidget* ListConnections;
  QLineEdit* EditName;
  QLineEdit* EditTree;
  QComboBox* ComboSourceKind;
  QLineEdit* EditSource;
  QPushButton* ButtonBrowseSource;
  QLineEdit* EditContext;
  QLineEdit* EditUser;
  QLineEdit* EditBind;
  QLineEdit* EditPasswordFile;
  QLineEdit* EditTestPassword;
  QCheckBox* CheckStartTls;
  QLineEdit* EditCaFile;
  QCheckBox* CheckVerify;
  QSpinBox* SpinTimeout;
  QSpinBox* SpinPageSize;
  QCheckBox* CheckPrimary;
  QPushButton* ButtonNew;
  QPushButton* ButtonSave;
  QPushButton* ButtonRemove;
  QPushButton* ButtonTest;
  QPushButton* ButtonCancelTest;
  QPushButton* ButtonUndo;
  QLabel* LabelMessage;

  // Closing, like choosing another connection or New, is refused while the fields hold changes
  // that are neither saved nor undone, so that no typed change is lost unnoticed. A running test
  // ends first.
  void reject() override;

  void NewClick();
  void SaveClick();
  // Asks first; the connection removed comes back with Undo until the next change is saved.
  void RemoveClick();
  // Tests the connection the fields describe while the dialog stays usable: Esc, Cancel and
  // Close end the test at once, its answer unread.
  void TestClick();
  void CancelTestClick();
  // Undoes the changes to the fields, or when there are none, the last removal.
  void UndoClick();
  [[nodiscard]] bool Testing() const { return probe_.valid(); }

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void ShowConnections(const std::string& selected);
  void ShowFields(const ConnectionFields& fields);
  [[nodiscard]] ConnectionFields FieldsShown() const;
  void SourceKindChange();
  void Say(const std::string& text, bool problem);
  // Says so and gives true when the fields differ from the connection as saved.
  [[nodiscard]] bool KeepsUnsavedChanges();
  void ProbeWatchTick();
  // The test is over: Test is back, with the focus when the test had left it on Cancel.
  void EndTest();

  // The file the dialog edits: it tests against it even when it could not be loaded.
  std::string path_;
  std::optional<ConnectionsFile> file_;
  // The file as it was before the last removal, until the next saved change.
  std::optional<ConnectionsFile> beforeRemove_;
  std::string removed_;
  // The running test's answer, on a thread of its own; dropped unread when the test is ended.
  std::future<ProbeResult> probe_;
  QTimer probeWatch_;
  std::string editing_;     // the section the fields show; empty for a new connection
  ConnectionFields shown_;  // the fields as they were shown, before the user's changes
  bool changed_ = false;
};
