#include "common/ole_date.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace tessar {
namespace {

using namespace std::chrono;

constexpr sys_days kEpoch = sys_days{1899y / December / 30};
constexpr double kMsPerDay = 86400000.0;

}  // namespace

double ToOleDate(const platform::LocalTime& t) {
  const sys_days date{year{t.year} / month{static_cast<unsigned>(t.month)} /
                      day{static_cast<unsigned>(t.day)}};
  const double ms = ((t.hour * 60.0 + t.minute) * 60.0 + t.second) * 1000.0 + t.millisecond;
  return static_cast<double>((date - kEpoch).count()) + ms / kMsPerDay;
}

std::optional<platform::LocalTime> FromOleDate(double date) {
  // Before day 0 the whole part counts back and the fraction still counts
  // forward from midnight: -1.25 is 1899-12-29 06:00.
  if (!std::isfinite(date) || date < -657434.0 || date >= 2958466.0)
    return std::nullopt;
  const double whole = std::trunc(date);
  const double fraction = std::fabs(date - whole);
  int64_t ms = std::llround(fraction * kMsPerDay);
  int64_t days = static_cast<int64_t>(whole);
  if (ms >= static_cast<int64_t>(kMsPerDay)) {
    ms -= static_cast<int64_t>(kMsPerDay);
    days += 1;
  }
  const year_month_day ymd{kEpoch + std::chrono::days{days}};
  platform::LocalTime t;
  t.year = static_cast<int>(ymd.year());
  t.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  t.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  t.hour = static_cast<int>(ms / 3600000);
  t.minute = static_cast<int>(ms / 60000 % 60);
  t.second = static_cast<int>(ms / 1000 % 60);
  t.millisecond = static_cast<int>(ms % 1000);
  return t;
}

std::string FormatOleDate(double date) {
  char text[64];
  const auto t = FromOleDate(date);
  if (!t) {
    std::snprintf(text, sizeof text, "invalid date (%g)", date);
    return text;
  }
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t->year, t->month, t->day,
                t->hour, t->minute, t->second, t->millisecond);
  return text;
}

}  // namespace tessar
