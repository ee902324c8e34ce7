#include "app/qt_form_dialogs.h"

#include <QFileDialog>
#include <QMessageBox>

void QtFormDialogs::ShowError(const std::string& text) {
  QMessageBox::critical(owner_, QString(), QString::fromStdString(text), QMessageBox::Ok);
}

QStringList QtNameFilters(const std::string& filter) {
  const QStringList parts = QString::fromStdString(filter).split(u'|');
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString patterns = parts[i + 1];
    patterns.replace(u';', u' ');
    filters.append(parts[i] + QStringLiteral(" (") + patterns + u')');
  }
  return filters;
}

std::optional<std::string> QtFormDialogs::ExecuteSave(const TSaveDialog& dialog) {
  QFileDialog fileDialog(owner_);
  fileDialog.setAcceptMode(QFileDialog::AcceptSave);
  fileDialog.setFileMode(QFileDialog::AnyFile);
  fileDialog.setNameFilters(QtNameFilters(dialog.Filter));
  fileDialog.setDefaultSuffix(QString::fromStdString(dialog.DefaultExt));
  if (!dialog.InitialDir.empty()) {
    fileDialog.setDirectory(QString::fromStdString(dialog.InitialDir));
  }
  if (!dialog.FileName.empty()) {
    fileDialog.selectFile(QString::fromStdString(dialog.FileName));
  }
  if (fileDialog.exec() != QDialog::Accepted || fileDialog.selectedFiles().isEmpty()) {
    return std::nullopt;
  }
  return fileDialog.selectedFiles().constFirst().toStdString();
}
