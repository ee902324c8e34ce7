#include "app/work_monitor.h"

#include <QKeyEvent>
#include <QLocale>
#include <QToolButton>

#include "app/clickable_status_bar.h"
#include "app/qt_hooks.h"
#include "util/hooks.h"

namespace {

constexpr std::chrono::milliseconds kRefreshInterval{50};

// A count with its thousands grouped, as the window's texts are English: "10,000".
QString Count(int64_t count) {
  return QLocale(QLocale::English).toString(static_cast<qlonglong>(count));
}

bool IsEscape(const QEvent* event) {
  return (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride) &&
         static_cast<const QKeyEvent*>(event)->key() == Qt::Key_Escape;
}

bool IsMouseButton(const QEvent* event) {
  return event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease ||
         event->type() == QEvent::MouseButtonDblClick || event->type() == QEvent::MouseMove;
}

}  // namespace

TWorkMonitor::TWorkMonitor(TClickableStatusBar& statusBar)
    : QObject(&statusBar), statusBar_(statusBar) {
  ButtonStop = new QToolButton(&statusBar);
  ButtonStop->setObjectName(QStringLiteral("ButtonStop"));
  ButtonStop->setText(QStringLiteral("Stop"));
  ButtonStop->setToolTip(QStringLiteral("Stop the running work (Esc)"));
  ButtonStop->setCursor(Qt::ArrowCursor);
  statusBar.addPermanentWidget(ButtonStop);
  ButtonStop->installEventFilter(this);
  ButtonStop->hide();
  connect(ButtonStop, &QToolButton::clicked, this, &TWorkMonitor::RequestStop);
  outcomeShown_.setSingleShot(true);
  connect(&outcomeShown_, &QTimer::timeout, this, &TWorkMonitor::RestoreOwnText);

  SetWorkHook(WorkHook{
      [this](int64_t count) { EntriesRead(count); },
      [this](int64_t done, int64_t total, std::string_view many) { ItemsDone(done, total, many); },
      [this] { return stopRequested_; }});
  SetStopInputFilter([this](QObject* receiver, QEvent* event) { return Passes(receiver, event); });
}

TWorkMonitor::~TWorkMonitor() {
  SetWorkHook({});
  SetStopInputFilter({});
}

void TWorkMonitor::Begin() {
  if (depth_++ > 0) {
    return;
  }
  outcomeShown_.stop();
  RestoreOwnText();
  stopRequested_ = false;
  activity_ = QStringLiteral("Working");
  outcome_.clear();
  entries_ = 0;
  items_.reset();
  begun_ = std::chrono::steady_clock::now();
  shownAt_.reset();
}

void TWorkMonitor::End() {
  if (--depth_ > 0) {
    return;
  }
  ButtonStop->hide();
  if (stopRequested_) {
    Say(QStringLiteral("%1 stopped: %2").arg(activity_, CountText()));
    return;
  }
  // Work too short to have shown its progress says nothing: the bar would flicker at every click.
  const bool wasLong = shownAt_.has_value();
  if (wasLong && !outcome_.isEmpty()) {
    Say(outcome_);
  } else if (wasLong && (entries_ > 0 || items_)) {
    Say(QStringLiteral("%1: %2").arg(activity_, CountText()));
  } else {
    RestoreOwnText();
    return;
  }
  outcomeShown_.start(OutcomeTime);
}

QString TWorkMonitor::Counted(int64_t count, const char* one, const char* many) {
  return QStringLiteral("%1 %2").arg(Count(count), QString::fromLatin1(count == 1 ? one : many));
}

void TWorkMonitor::SetOutcome(const QString& outcome) {
  outcome_ = outcome;
}

void TWorkMonitor::SetActivity(const QString& activity) {
  activity_ = activity;
}

void TWorkMonitor::RequestStop() {
  if (depth_ > 0) {
    stopRequested_ = true;
  }
}

void TWorkMonitor::EntriesRead(int64_t count) {
  if (depth_ > 0) {
    entries_ += count;
    Refresh();
  }
}

void TWorkMonitor::ItemsDone(int64_t done, int64_t total, std::string_view many) {
  if (depth_ > 0) {
    items_.emplace(done, total);
    itemsWord_ = QString::fromUtf8(many.data(), static_cast<qsizetype>(many.size()));
    Refresh();
  }
}

void TWorkMonitor::Refresh() {
  const auto now = std::chrono::steady_clock::now();
  if (now - begun_ < ProgressDelay || (shownAt_ && now - *shownAt_ < kRefreshInterval)) {
    return;
  }
  shownAt_ = now;
  ButtonStop->show();
  Say(QStringLiteral("%1: %2").arg(activity_, CountText()));
}

QString TWorkMonitor::CountText() const {
  if (items_) {
    return QStringLiteral("%1 of %2 %3")
        .arg(Count(items_->first), Count(items_->second), itemsWord_);
  }
  return entries_ == 1 ? QStringLiteral("1 entry read")
                       : QStringLiteral("%1 entries read").arg(Count(entries_));
}

void TWorkMonitor::Say(const QString& text) {
  if (!ownText_) {
    ownText_ = statusBar_.SimpleText();
  }
  statusBar_.SetSimpleText(text);
}

void TWorkMonitor::RestoreOwnText() {
  if (ownText_) {
    statusBar_.SetSimpleText(*ownText_);
    ownText_.reset();
  }
}

bool TWorkMonitor::eventFilter(QObject* watched, QEvent* event) {
  // The status bar places its widgets below three pixels of air and above two, more than a bar
  // of the designed height leaves a button: it would cut the button's lower edge. The bar's
  // layout keeps placing it across; the button takes all but a pixel of the bar's height.
  if (watched == ButtonStop && (event->type() == QEvent::Move || event->type() == QEvent::Resize)) {
    const int height = statusBar_.height() - 2;
    if (ButtonStop->y() != 1 || ButtonStop->height() != height) {
      ButtonStop->setGeometry(ButtonStop->x(), 1, ButtonStop->width(), height);
    }
  }
  return QObject::eventFilter(watched, event);
}

bool TWorkMonitor::Passes(QObject* receiver, QEvent* event) {
  if (depth_ == 0) {
    return false;
  }
  if (IsEscape(event)) {
    RequestStop();
    return false;
  }
  return receiver == ButtonStop && ButtonStop->isVisible() && IsMouseButton(event);
}
