#include "app/clickable_status_bar.h"

#include <QLabel>
#include <QMouseEvent>

void TClickableStatusBar::SetSimpleText(const QString& text) {
  if (panel_ == nullptr) {
    panel_ = new QLabel(this);
    panel_->setObjectName(QStringLiteral("StatusBarPanel"));
    addWidget(panel_, 1);
  }
  panel_->setText(text);
}

QString TClickableStatusBar::SimpleText() const {
  return panel_ == nullptr ? QString() : panel_->text();
}

void TClickableStatusBar::mouseReleaseEvent(QMouseEvent* event) {
  QStatusBar::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
    emit Clicked();
  }
}
