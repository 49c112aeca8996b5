// The connection log shown in Memo1: time-stamped lines, the oldest deleted
// once more than 22 are held.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace tessar {

class ConnectionLog {
 public:
  static constexpr size_t kMaxLines = 22;

  explicit ConnectionLog(const platform::Clock& clock) : clock_(clock) {}
  // Appends "DD.MM.YYYY hh:mm:ss text" with the time of the call; returns the line.
  std::string Write(const std::string& text);
  std::vector<std::string> Lines() const { return {lines_.begin(), lines_.end()}; }

  // The short date and long time of the log, then one space and the text.
  static std::string FormatLine(const platform::LocalTime& time, const std::string& text);

 private:
  const platform::Clock& clock_;
  std::deque<std::string> lines_;
};

}  // namespace tessar
