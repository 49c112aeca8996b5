// Reports failures that cost data (a spool file not written, a zone record not
// stored) on standard error: each reason at most once a minute, with the
// number of failures of that reason since its last report.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/clock.h"

namespace tessar {

class FailureReport {
 public:
  using Sink = std::function<void(const std::string& line)>;
  static constexpr uint32_t kIntervalMs = 60 * 1000;

  // The default sink writes the line, time-stamped, to standard error.
  explicit FailureReport(const platform::Clock& clock, Sink sink = {});

  // One failure. `reason` groups failures (the system's error text);
  // `what` says what was lost, with the path.
  void Failure(const std::string& what, const std::string& reason);

 private:
  struct Reason {
    uint32_t lastReportTick = 0;
    uint64_t suppressed = 0;
  };
  const platform::Clock& clock_;
  Sink sink_;
  std::mutex mutex_;
  std::map<std::string, Reason> reasons_;
};

}  // namespace tessar
