#include "app/anchor_layout.h"

#include <QEvent>
#include <algorithm>

TAnchorLayout::TAnchorLayout(QWidget* parent, QSize designedSize)
    : QObject(parent), parent_(parent), designedSize_(designedSize) {
  parent_->installEventFilter(this);
}

void TAnchorLayout::Add(QWidget* child, QRect designed, Anchors anchors) {
  entries_.push_back(Entry{child, designed, anchors});
  child->setGeometry(designed);
}

bool TAnchorLayout::eventFilter(QObject* watched, QEvent* event) {
  if (watched == parent_ && event->type() == QEvent::Resize) {
    Apply(parent_->size());
  }
  return QObject::eventFilter(watched, event);
}

void TAnchorLayout::Apply(QSize parentSize) {
  const int grownWidth = parentSize.width() - designedSize_.width();
  const int grownHeight = parentSize.height() - designedSize_.height();
  for (const Entry& entry : entries_) {
    QRect place = entry.designed;
    if (entry.anchors != Anchors::LeftBottom) {
      place.setWidth(std::max(0, entry.designed.width() + grownWidth));
    }
    if (entry.anchors == Anchors::AllSides) {
      place.setHeight(std::max(0, entry.designed.height() + grownHeight));
    } else {
      place.moveTop(entry.designed.top() + grownHeight);
    }
    entry.child->setGeometry(place);
  }
}
