// Durations, calendar values and time texts in the system's formats and time zone.
#include "util/times.h"

#include <locale.h>
#include <time.h>

#include <array>
#include <cmath>
#include <memory>
#include <type_traits>

#include "util/text.h"

namespace {

constexpr double kSecondsPerDay = 86400.0;

struct LocaleDeleter {
  void operator()(locale_t locale) const { freelocale(locale); }
};
using LocalePtr = std::unique_ptr<std::remove_pointer_t<locale_t>, LocaleDeleter>;

// The environment's date and time formats, read once; the C locale when it names none we have.
locale_t TimeLocale() {
  static const LocalePtr locale = [] {
    LocalePtr fromEnvironment(newlocale(LC_TIME_MASK, "", static_cast<locale_t>(nullptr)));
    if (fromEnvironment) {
      return fromEnvironment;
    }
    return LocalePtr(newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(nullptr)));
  }();
  return locale.get();
}

// `format` applied to `when`; "" when it cannot be formatted.
std::string FormatTime(const char* format, const struct tm& when) {
  locale_t locale = TimeLocale();
  if (locale == static_cast<locale_t>(nullptr)) {
    return {};
  }
  std::array<char, 256> buffer{};
  const size_t length = strftime_l(buffer.data(), buffer.size(), format, &when, locale);
  return std::string(buffer.data(), length);
}

}  // namespace

DurationParts SplitDuration(uint32_t seconds) {
  return {static_cast<uint16_t>(seconds / 86400), static_cast<uint16_t>(seconds / 3600 % 24),
          static_cast<uint16_t>(seconds / 60 % 60), static_cast<uint16_t>(seconds % 60)};
}

std::string DurationText(uint32_t seconds) {
  if (seconds == 0) {
    return "0 sec";
  }
  const DurationParts parts = SplitDuration(seconds);
  std::string text;
  if (parts.days != 0) {
    text += std::to_string(parts.days) + " days, ";
  }
  if (parts.hours != 0) {
    text += std::to_string(parts.hours) + " h, ";
  }
  if (parts.minutes != 0) {
    text += std::to_string(parts.minutes) + " min, ";
  }
  if (parts.seconds != 0) {
    text += std::to_string(parts.seconds) + " sec";
  }
  return TrimRightChars(text, ", ");
}

double UnixTimeToDateTime(uint32_t seconds) {
  return static_cast<double>(seconds) / kSecondsPerDay + kUnixEpochDateTime;
}

int32_t LocalTimeBiasAt(int64_t seconds) {
  const auto when = static_cast<time_t>(seconds);
  struct tm local {};
  if (localtime_r(&when, &local) == nullptr) {
    return 0;
  }
  return static_cast<int32_t>(-local.tm_gmtoff / 60);
}

int32_t LocalTimeBias() {
  return LocalTimeBiasAt(static_cast<int64_t>(time(nullptr)));
}

std::string UnixTimeText(uint32_t seconds, bool toLocal) {
  // The calendar value is only ever a whole number of seconds here, so work in seconds: the
  // same instant, without the rounding a division by 86400 would bring.
  int64_t shown = seconds;
  if (toLocal) {
    shown -= static_cast<int64_t>(LocalTimeBiasAt(seconds)) * 60;
  }
  const auto when = static_cast<time_t>(shown);
  struct tm broken {};
  if (gmtime_r(&when, &broken) == nullptr) {
    return {};
  }
  const std::string date = FormatTime("%x", broken);
  const std::string time = FormatTime("%X", broken);
  const bool midnight = broken.tm_hour == 0 && broken.tm_min == 0 && broken.tm_sec == 0;
  if (!date.empty()) {
    return (midnight || time.empty()) ? date : date + " " + time;
  }
  return time;
}

std::optional<uint32_t> DateTimeToUnixTime(double v, bool fromLocal) {
  if (!std::isfinite(v)) {
    return std::nullopt;
  }
  if (fromLocal) {
    // The bias that applies at that local time, found from the time read as if it were UTC.
    const double naive = (v - kUnixEpochDateTime) * kSecondsPerDay;
    if (std::fabs(naive) < 1e15) {
      v += LocalTimeBiasAt(static_cast<int64_t>(naive)) / 1440.0;
    }
  }
  const double seconds = std::nearbyint((v - kUnixEpochDateTime) * kSecondsPerDay);
  if (!(seconds >= 0.0 && seconds <= 4294967295.0)) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(seconds);
}
