// `tessard --status`: asks the driver running in this directory for its
// metrics page and sums it up in a few lines, with an exit status a
// monitoring tool can use as a check: 0 when the receiver link and the server
// session are up, 1 when either is down, 2 when no driver answers (none runs,
// or its metrics are off).
#pragma once

#include <cstdint>
#include <string>

#include "metrics/metrics_page.h"

namespace tessar {

inline constexpr int kStatusUp = 0;
inline constexpr int kStatusDown = 1;
inline constexpr int kStatusNoDriver = 2;

// How long the status command waits for the whole answer.
inline constexpr uint32_t kStatusTimeoutMs = 3000;

struct StatusReport {
  int exitStatus = kStatusNoDriver;
  std::string text;  // lines, each ending in a line feed
};

// The summary of a page fetched from `where` ("127.0.0.1:9109"); `nowUnixSeconds`
// is the time the running time is measured to.
StatusReport ReportStatus(const MetricsPage& page, const std::string& where,
                          int64_t nowUnixSeconds);

// The whole command: reads MetricsPort and MetricsAddress of `iniPath`,
// fetches the page and reports it, or says why there is nothing to report.
StatusReport CheckStatus(const std::string& iniPath, uint32_t timeoutMs = kStatusTimeoutMs);

}  // namespace tessar
