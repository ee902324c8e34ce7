#pragma once
// The main window's place between runs as the settings keep it: the top-left corner of its frame
// and its own size without the frame. Put back, the frame stands where it stood (the window
// manager is asked to place the frame there, not the window inside it) and the whole window lies
// on a screen: a place or size that does not fit the screen is moved and shrunk onto it, once more
// when the window manager has framed the window and the frame's size is known.
#include <QObject>
#include <QRect>
#include <string>

#include "app/d_ini.h"

class QWidget;

class TWindowPlacement final : public QObject, public FormGeometry {
  Q_OBJECT
 public:
  // Watches `window`, which it belongs to (and which deletes it).
  explicit TWindowPlacement(QWidget& window);

  [[nodiscard]] std::string ComponentName() const override { return "MainForm"; }
  [[nodiscard]] bool PlacesItself() const override { return false; }
  // The frame's top-left corner (the window's own when it has no frame yet or at all).
  [[nodiscard]] int Top() const override;
  [[nodiscard]] int Left() const override;
  // The window's own size, without the frame.
  [[nodiscard]] int Width() const override;
  [[nodiscard]] int Height() const override;
  // Collected for Apply.
  void SetTop(int value) override { wanted_.moveTop(value); }
  void SetLeft(int value) override { wanted_.moveLeft(value); }
  void SetWidth(int value) override { wanted_.setWidth(value); }
  void SetHeight(int value) override { wanted_.setHeight(value); }

  // Starts collecting from where the window stands now.
  void Begin();
  // Puts the collected place and size on the window, fitted onto the screen it falls on.
  void Apply();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FitOnItsScreen(const QRect& frameGeometry, const QMargins& frame);

  QWidget& window_;
  QRect wanted_;  // the frame's top-left corner, the window's own size
  bool fitWhenFramed_ = false;
};
