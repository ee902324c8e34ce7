// The window seams: the busy cursor comes back on every way out, the pump runs when installed,
// and a stop asked for while messages run ends the wait for the next entry.
#include "util/hooks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <utility>
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

TEST(Hooks, AStopArrivesWithThePendingMessagesAndAPartialHookIsNone) {
  EXPECT_FALSE(StopRequested());
  EXPECT_TRUE(ContinueAfterMessages());
  ReportEntriesRead(3);
  ReportItemsDone(1, 2);

  bool stop = false;
  int64_t entries = 0;
  std::vector<std::pair<int64_t, int64_t>> items;
  SetMessagePump([&stop] { stop = true; });  // the Esc press among the pending messages
  SetWorkHook(
      {[&entries](int64_t count) { entries += count; },
       [&items](int64_t done, int64_t total, std::string_view) { items.emplace_back(done, total); },
       [&stop] { return stop; }});
  ReportEntriesRead(3);
  ReportEntriesRead(1);
  ReportItemsDone(1, 2);
  EXPECT_FALSE(StopRequested());
  EXPECT_FALSE(ContinueAfterMessages());
  EXPECT_TRUE(StopRequested());
  EXPECT_EQ(entries, 4);
  EXPECT_EQ(items, (std::vector<std::pair<int64_t, int64_t>>{{1, 2}}));

  SetWorkHook({[&entries](int64_t count) { entries += count; }, {}, [] { return true; }});
  ReportEntriesRead(5);
  EXPECT_FALSE(StopRequested());
  EXPECT_EQ(entries, 4);
  SetMessagePump({});
}

}  // namespace
