// OLE Automation dates: days since 1899-12-30 00:00 local time, the fraction
// being the time of day. The driver's records and its spool timing use them.
#pragma once

#include <optional>
#include <string>

#include "platform/clock.h"

namespace tessar {

double ToOleDate(const platform::LocalTime& time);
// The local time of a date from 0100-01-01 to 9999-12-31; none otherwise.
std::optional<platform::LocalTime> FromOleDate(double date);
// "YYYY-MM-DD hh:mm:ss.mmm", or "invalid date (<value>)".
std::string FormatOleDate(double date);
constexpr double kOneDay = 1.0;

}  // namespace tessar
