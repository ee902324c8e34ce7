#pragma once
// The Qt side of the hooks the plain-C++ layers call: the busy cursor, "let pending window
// messages run" and the desktop opener. main() installs them once the application exists.
#include <chrono>
#include <functional>
#include <optional>

class QEvent;
class QObject;

// Installs all three on the running QApplication.
void InstallQtHooks();

// Decides which user input still reaches its widget while a long operation lets messages run:
// true lets the event through (the press on a Stop button). It sees every such event first, so
// it may also take one as a stop request and return false. An empty function lets nothing through.
void SetStopInputFilter(std::function<bool(QObject* receiver, QEvent* event)> passes);

// Lets queued events run, at most once per `interval`, with user input for the widgets dropped
// except what SetStopInputFilter lets through: a long listing repaints the window and can be
// stopped without a click starting another handler inside it. A dialog's own event loop started
// meanwhile gets its input as usual.
class ThrottledMessagePump {
 public:
  explicit ThrottledMessagePump(std::chrono::milliseconds interval) : interval_(interval) {}
  void operator()();

 private:
  std::chrono::milliseconds interval_;
  std::optional<std::chrono::steady_clock::time_point> last_;  // none before the first run
};
