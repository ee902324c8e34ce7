#include "app/qt_form_dialogs.h"

#include <QFileDialog>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>

void TitleMessageBox(QMessageBox& box) {
  const QString title = QString::fromLatin1(kApplicationTitle);
  box.setWindowTitle(title);
  // The box sizes itself to its text; the window manager draws the title in a face of its own,
  // bold, beside its buttons, and cuts what does not fit. Room for the wider of the two faces.
  QFont windowFace = box.font();
  windowFace.setBold(true);
  QFont titleFace = QFontDatabase::systemFont(QFontDatabase::TitleFont);
  titleFace.setBold(true);
  constexpr int kTitleButtons = 120;
  const int width = std::max(QFontMetrics(windowFace).horizontalAdvance(title),
                             QFontMetrics(titleFace).horizontalAdvance(title)) +
                    kTitleButtons;
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
}

void QtFormDialogs::ShowError(const std::string& text) {
  QMessageBox box(QMessageBox::Critical, QString(), QString::fromStdString(text), QMessageBox::Ok,
                  owner_);
  box.setObjectName(QStringLiteral("ErrorBox"));
  TitleMessageBox(box);
  box.exec();
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
