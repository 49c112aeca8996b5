#include "conversion/failure_report.h"

#include "platform/service_log.h"

namespace tessar {

FailureReport::FailureReport(const platform::Clock& clock, Sink sink)
    : clock_(clock), sink_(std::move(sink)) {
  if (!sink_) {
    // Lost data is an error: under systemd it shows with journalctl -p err.
    sink_ = [](const std::string& line) {
      platform::WriteServiceLine(platform::Severity::kError, line);
    };
  }
}

void FailureReport::Failure(const std::string& what, const std::string& reason) {
  std::string line;
  {
    std::lock_guard lock(mutex_);
    const uint32_t now = clock_.TickMs();
    const auto [entry, first] = reasons_.try_emplace(reason);
    Reason& state = entry->second;
    if (!first && platform::TickElapsed(now, state.lastReportTick) < kIntervalMs) {
      ++state.suppressed;
      return;
    }
    line = what + ": " + reason;
    if (state.suppressed > 0)
      line += " (" + std::to_string(state.suppressed) + " more of the same since the last report)";
    state.lastReportTick = now;
    state.suppressed = 0;
  }
  sink_(line);
}

}  // namespace tessar
