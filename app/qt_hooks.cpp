#include "app/qt_hooks.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

#include "util/hooks.h"
#include "util/launcher.h"

namespace {

constexpr std::chrono::milliseconds kPumpInterval{15};

// Addresses and documents go to the desktop's default handler; an executable file is started
// with its parameters (a "/C ..." line of the command interpreter is handed to it whole).
int QtDesktopOpen(const std::string& file, const std::string& parameters,
                  const std::string& directory, int /*showCommand*/) {
  if (file.empty()) {
    return kShellFileNotFound;
  }
  const QString target = QString::fromStdString(file);
  const QFileInfo info(target);
  if (info.isFile() && info.isExecutable()) {
    const QString arguments = QString::fromStdString(parameters);
    QStringList argumentList;
    if (arguments.startsWith(QStringLiteral("/C "))) {
      argumentList << QStringLiteral("-c") << arguments.mid(3);
    } else {
      argumentList = arguments.split(u' ', Qt::SkipEmptyParts);
    }
    const QString workingDirectory =
        directory.empty() ? QDir::currentPath() : QString::fromStdString(directory);
    return QProcess::startDetached(target, argumentList, workingDirectory) ? kShellOk
                                                                           : kShellAccessDenied;
  }
  const QUrl url =
      info.exists() ? QUrl::fromLocalFile(info.absoluteFilePath()) : QUrl::fromUserInput(target);
  if (!url.isValid()) {
    return kShellFileNotFound;
  }
  return QDesktopServices::openUrl(url) ? kShellOk : kShellNoAssociation;
}

}  // namespace

void ThrottledMessagePump::operator()() {
  const auto now = std::chrono::steady_clock::now();
  if (last_ && now - *last_ < interval_) {
    return;
  }
  last_ = now;
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void InstallQtHooks() {
  SetBusyCursorHook(BusyCursorHook{[] {
                                     QApplication::setOverrideCursor(Qt::WaitCursor);
                                     return ScreenCursor{1};
                                   },
                                   [](ScreenCursor cursor) {
                                     if (cursor != 0 && QApplication::overrideCursor() != nullptr) {
                                       QApplication::restoreOverrideCursor();
                                     }
                                   }});
  SetMessagePump(ThrottledMessagePump(kPumpInterval));
  SetDesktopOpenHook(QtDesktopOpen);
}
