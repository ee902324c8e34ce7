// Durations, calendar values and time texts (the tests run with TZ=UTC and C.UTF-8).
#include "util/times.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

TEST(Durations, SplitAndText) {
  const struct {
    uint32_t seconds;
    const char* text;
  } cases[] = {
      {0, "0 sec"},
      {59, "59 sec"},
      {120, "2 min"},
      {3600, "1 h"},
      {3725, "1 h, 2 min, 5 sec"},
      {86400, "1 days"},
      {90061, "1 days, 1 h, 1 min, 1 sec"},
      {4294967295U, "49710 days, 6 h, 28 min, 15 sec"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DurationText(c.seconds), c.text) << c.seconds;
  }
  const DurationParts parts = SplitDuration(93784);
  EXPECT_EQ(parts.days, 1);
  EXPECT_EQ(parts.hours, 2);
  EXPECT_EQ(parts.minutes, 3);
  EXPECT_EQ(parts.seconds, 4);
}

TEST(CalendarValues, RoundTripAndRange) {
  EXPECT_EQ(UnixTimeToDateTime(0), 25569.0);
  EXPECT_EQ(UnixTimeToDateTime(4294967295U), 25569.0 + 4294967295.0 / 86400.0);
  EXPECT_EQ(DateTimeToUnixTime(25569.5, false), 43200U);
  EXPECT_EQ(DateTimeToUnixTime(25569.0, false), 0U);
  EXPECT_EQ(DateTimeToUnixTime(UnixTimeToDateTime(1234567890), false), 1234567890U);
  EXPECT_EQ(DateTimeToUnixTime(UnixTimeToDateTime(4294967295U), false), 4294967295U);
  // Half a second rounds to the even neighbour.
  // (1/256 day is exactly 337.5 s, 3/256 day 1012.5 s.)
  EXPECT_EQ(DateTimeToUnixTime(25569.0 + 1.0 / 256, false), 338U);
  EXPECT_EQ(DateTimeToUnixTime(25569.0 + 3.0 / 256, false), 1012U);
  // Out of range: before 1970, past 2106, and no number at all.
  EXPECT_EQ(DateTimeToUnixTime(25568.99, false), std::nullopt);
  EXPECT_EQ(DateTimeToUnixTime(25569.0 + 4294967296.0 / 86400, false), std::nullopt);
  EXPECT_EQ(DateTimeToUnixTime(1e300, false), std::nullopt);
  EXPECT_EQ(DateTimeToUnixTime(std::nan(""), false), std::nullopt);
}

TEST(CalendarValues, TextsInTheSystemFormats) {
  // C locale: short date "%m/%d/%y", long time "%H:%M:%S"; midnight leaves the time out.
  EXPECT_EQ(UnixTimeText(0, false), "01/01/70");
  EXPECT_EQ(UnixTimeText(1234567890, false), "02/13/09 23:31:30");
  EXPECT_EQ(UnixTimeText(1234567890, true), "02/13/09 23:31:30");
  EXPECT_EQ(LocalTimeBias(), 0);
}

// Time zone cases change TZ for the process and put it back.
class TimeZoneTest : public ::testing::Test {
 protected:
  void Use(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }
  void TearDown() override { Use("UTC"); }
};

TEST_F(TimeZoneTest, BiasFollowsTheZoneAtTheConvertedTime) {
  Use("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(LocalTimeBiasAt(1230768000), -60);   // 2009-01-01, winter
  EXPECT_EQ(LocalTimeBiasAt(1246406400), -120);  // 2009-07-01, summer
  EXPECT_EQ(UnixTimeText(1246406400, true), "07/01/09 02:00:00");
  EXPECT_EQ(UnixTimeText(1246406400, false), "07/01/09");
  EXPECT_EQ(DateTimeToUnixTime(UnixTimeToDateTime(1246406400 + 7200), true), 1246406400U);
  Use("EST5");
  EXPECT_EQ(LocalTimeBias(), 300);
  EXPECT_EQ(UnixTimeText(0, true), "12/31/69 19:00:00");
}

}  // namespace
