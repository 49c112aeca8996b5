#include "netlink/connection_log.h"

#include <cstdio>

namespace tessar {

std::string ConnectionLog::FormatLine(const platform::LocalTime& t, const std::string& text) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02d.%02d.%04d %02d:%02d:%02d ", t.day, t.month, t.year,
                t.hour, t.minute, t.second);
  return stamp + text;
}

std::string ConnectionLog::Write(const std::string& text) {
  lines_.push_back(FormatLine(clock_.LocalNow(), text));
  if (lines_.size() > kMaxLines)
    lines_.pop_front();
  return lines_.back();
}

}  // namespace tessar
