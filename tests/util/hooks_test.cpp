// The window seams: the busy cursor comes back on every way out, the pump runs when installed.
#include "util/hooks.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace {

TEST(Hooks, BusyCursorIsRestoredOnEveryWayOutAndPumpIsOptional) {
  std::vector<ScreenCursor> shown = {7};
  SetBusyCursorHook({[&shown] {
                       const ScreenCursor current = shown.back();
                       shown.push_back(99);  // the hourglass
                       return current;
                     },
                     [&shown](ScreenCursor cursor) { shown.push_back(cursor); }});
  try {
    const BusyCursorScope busy;
    EXPECT_EQ(shown.back(), 99);
    throw std::runtime_error("directory gone");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(shown, (std::vector<ScreenCursor>{7, 99, 7}));

  SetBusyCursorHook({});
  EXPECT_EQ(BeginBusyCursor(), 0);
  RestoreCursor(5);
  EXPECT_EQ(shown.size(), 3U);

  int pumped = 0;
  ProcessPendingMessages();
  SetMessagePump([&pumped] { ++pumped; });
  ProcessPendingMessages();
  ProcessPendingMessages();
  SetMessagePump({});
  ProcessPendingMessages();
  EXPECT_EQ(pumped, 2);
}

}  // namespace
