#pragma once
// The Qt side of the hooks the plain-C++ layers call: the busy cursor, "let pending window
// messages run" and the desktop opener. main() installs them once the application exists.
#include <chrono>
#include <optional>

// Installs all three on the running QApplication.
void InstallQtHooks();

// Lets queued events other than user input run, at most once per `interval`: a long listing
// repaints the window without letting a click start another handler inside it.
class ThrottledMessagePump {
 public:
  explicit ThrottledMessagePump(std::chrono::milliseconds interval) : interval_(interval) {}
  void operator()();

 private:
  std::chrono::milliseconds interval_;
  std::optional<std::chrono::steady_clock::time_point> last_;  // none before the first run
};
