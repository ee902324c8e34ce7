#pragma once
// Keeps children placed at fixed pixel positions glued to the edges of their parent as it
// resizes: stretched with it (anchored on all four sides), moved with its bottom edge, or moved
// with its bottom edge and stretched to keep its distance to the right edge.
#include <QObject>
#include <QRect>
#include <QSize>
#include <QWidget>
#include <vector>

class TAnchorLayout : public QObject {
 public:
  enum class Anchors { AllSides, LeftBottom, LeftRightBottom };

  // `parent` is the widget whose size the children follow, laid out for `designedSize`.
  TAnchorLayout(QWidget* parent, QSize designedSize);

  // Places `child` at `designed` (relative to the designed parent size) and keeps its anchors.
  void Add(QWidget* child, QRect designed, Anchors anchors);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Entry {
    QWidget* child;
    QRect designed;
    Anchors anchors;
  };
  void Apply(QSize parentSize);

  QWidget* parent_;
  QSize designedSize_;
  std::vector<Entry> entries_;
};
