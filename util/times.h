#pragma once
// Durations, directory times (seconds since 1970-01-01 UTC) and calendar values (days since
// 1899-12-30, 1970-01-01 being 25569.0), and their texts in the system's short date and long
// time formats (the environment's LC_TIME, read once) and time zone (TZ).
#include <cstdint>
#include <optional>
#include <string>

// Calendar value of 1970-01-01 00:00.
inline constexpr double kUnixEpochDateTime = 25569.0;

struct DurationParts {
  uint16_t days = 0;
  uint16_t hours = 0;    // 0-23
  uint16_t minutes = 0;  // 0-59
  uint16_t seconds = 0;  // 0-59
};

[[nodiscard]] DurationParts SplitDuration(uint32_t seconds);
// "0 sec" for 0, else the non-zero parts of "%d days, %d h, %d min, %d sec" ('1 h, 2 min, 5 sec',
// '1 days').
[[nodiscard]] std::string DurationText(uint32_t seconds);

// seconds / 86400 + 25569.
[[nodiscard]] double UnixTimeToDateTime(uint32_t seconds);

// Minutes to add to local time to give UTC (UTC = local + bias), from the system time zone at
// the present moment: -60 in Central European winter, 0 in UTC; 0 when the zone cannot be read.
[[nodiscard]] int32_t LocalTimeBias();
// The same bias as it applies at the directory time `seconds` (so a summer time is shown with
// the summer offset even in winter).
[[nodiscard]] int32_t LocalTimeBiasAt(int64_t seconds);

// The time as "<short date> <long time>" ("%x %X"), the time part left out when the value falls
// exactly on midnight; with `toLocal` shifted to the local time zone (bias at that time). Falls
// back to the date alone, then the time alone; "" when nothing can be formatted.
[[nodiscard]] std::string UnixTimeText(uint32_t seconds, bool toLocal);

// round((v - 25569) * 86400), ties to even, with `fromLocal` first shifting local to UTC;
// std::nullopt when the result is below 0, above 4,294,967,295 or `v` is not finite.
[[nodiscard]] std::optional<uint32_t> DateTimeToUnixTime(double v, bool fromLocal);
