#include "app/window_placement.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QWindow>

namespace {

QMargins FrameOf(const QWidget& window) {
  const QWindow* handle = window.windowHandle();
  return handle == nullptr ? QMargins() : handle->frameMargins();
}

}  // namespace

TWindowPlacement::TWindowPlacement(QWidget& window) : QObject(&window), window_(window) {
  window_.installEventFilter(this);
}

int TWindowPlacement::Top() const {
  return window_.frameGeometry().top();
}
int TWindowPlacement::Left() const {
  return window_.frameGeometry().left();
}
int TWindowPlacement::Width() const {
  return window_.width();
}
int TWindowPlacement::Height() const {
  return window_.height();
}

void TWindowPlacement::Begin() {
  wanted_ = QRect(window_.frameGeometry().topLeft(), window_.size());
}

void TWindowPlacement::Apply() {
  const QMargins frame = FrameOf(window_);
  FitOnItsScreen(QRect(wanted_.topLeft(), wanted_.size().grownBy(frame)), frame);
  // Before the window manager has framed the window its frame counts as nothing; once known, the
  // frame may push the window's edges off the screen.
  fitWhenFramed_ = frame.isNull();
}

void TWindowPlacement::FitOnItsScreen(const QRect& frameGeometry, const QMargins& frame) {
  const QScreen* screen = QGuiApplication::screenAt(frameGeometry.center());
  if (screen == nullptr) {
    screen = QGuiApplication::primaryScreen();
  }
  QRect fitted = frameGeometry;
  if (screen != nullptr) {
    const QRect area = screen->availableGeometry();
    const ScreenRect onScreen =
        FitOnScreen({fitted.x(), fitted.y(), fitted.width(), fitted.height()},
                    {area.x(), area.y(), area.width(), area.height()});
    fitted = QRect(onScreen.left, onScreen.top, onScreen.width, onScreen.height);
  }
  if (const QSize size = fitted.size().shrunkBy(frame); size != window_.size()) {
    window_.resize(size);
  }
  // A window not yet shown takes this as its frame's corner, and so does the window manager.
  if (fitted.topLeft() != window_.frameGeometry().topLeft()) {
    window_.move(fitted.topLeft());
  }
}

bool TWindowPlacement::eventFilter(QObject* watched, QEvent* event) {
  if (fitWhenFramed_ && watched == &window_ && event->spontaneous() &&
      (event->type() == QEvent::Move || event->type() == QEvent::Resize)) {
    if (const QMargins frame = FrameOf(window_); !frame.isNull()) {
      fitWhenFramed_ = false;
      FitOnItsScreen(window_.frameGeometry(), frame);
    }
  }
  return QObject::eventFilter(watched, event);
}
