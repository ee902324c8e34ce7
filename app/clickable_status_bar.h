#pragma once
// The window's status bar: one panel of text, and a click anywhere on it reported, so that the
// window can open the user guide whose address it shows.
#include <QStatusBar>
#include <QString>

class QLabel;
class QMouseEvent;

class TClickableStatusBar : public QStatusBar {
  Q_OBJECT
 public:
  using QStatusBar::QStatusBar;
  // The one panel's text.
  void SetSimpleText(const QString& text);
  [[nodiscard]] QString SimpleText() const;

 signals:
  void Clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  QLabel* panel_ = nullptr;
};
