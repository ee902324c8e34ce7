#include "app/qt_hooks.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QUrl>
#include <utility>

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

bool IsUserInput(QEvent::Type type) {
  switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::NonClientAreaMouseMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::InputMethod:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::TabletMove:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
      return true;
    default:
      return false;
  }
}

// Drops user input while it is installed. Events bound for widgets only: the window objects
// underneath still see them and keep their own state (the mouse grab of a pressed button) right.
// Shortcuts are dropped whatever they go to, since an action runs its handler too.
class UserInputGate : public QObject {
 public:
  void Open() {
    if (depth_++ == 0) {
      loopLevel_ = QThread::currentThread()->loopLevel();
      QCoreApplication::instance()->installEventFilter(this);
    }
  }
  void Close() {
    if (--depth_ == 0) {
      QCoreApplication::instance()->removeEventFilter(this);
    }
  }
  std::function<bool(QObject*, QEvent*)> passes;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (!IsUserInput(event->type()) ||
        (!watched->isWidgetType() && event->type() != QEvent::Shortcut) ||
        QThread::currentThread()->loopLevel() > loopLevel_) {
      return false;
    }
    return !(passes && passes(watched, event));
  }

 private:
  int depth_ = 0;
  int loopLevel_ = 0;
};

UserInputGate& Gate() {
  static UserInputGate gate;
  return gate;
}

}  // namespace

void SetStopInputFilter(std::function<bool(QObject* receiver, QEvent* event)> passes) {
  Gate().passes = std::move(passes);
}

void ThrottledMessagePump::operator()() {
  const auto now = std::chrono::steady_clock::now();
  if (last_ && now - *last_ < interval_) {
    return;
  }
  last_ = now;
  const struct Opened {
    Opened() { Gate().Open(); }
    ~Opened() { Gate().Close(); }
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;
  } gate;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
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
