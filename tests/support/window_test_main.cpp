// The main of every window test: the QApplication they share and, for QT_QPA_PLATFORM=xcb, the
// virtual X server it shows its windows on. Without a server the run fails; it never skips.
#include <gtest/gtest.h>

#include <QApplication>
#include <iostream>
#include <optional>

#include "tests/support/window_test_support.h"

int main(int argc, char** argv) {
  std::optional<VirtualDisplay> display;
  if (qEnvironmentVariable("QT_QPA_PLATFORM") == QStringLiteral("xcb")) {
    display.emplace();
    if (!display->Error().empty()) {
      std::cerr << "no display for the window tests: " << display->Error() << '\n';
      return 1;
    }
  }
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
