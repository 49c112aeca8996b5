// Reading a metrics page back: an HTTP GET of /metrics over a plain TCP
// connection with one deadline for the whole exchange, and the samples of the
// Prometheus text format. Used by `tessard --status` and the tests.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tessar {

// One sample line: name{label="value",...} value.
struct MetricSample {
  std::string name;
  std::map<std::string, std::string> labels;
  double value = 0;
};

class MetricsPage {
 public:
  // The sample lines of a page in the text format; comment lines and lines
  // that are no sample are left out.
  static MetricsPage Parse(const std::string& text);

  const std::vector<MetricSample>& Samples() const { return samples_; }
  // The value of the sample with this name and exactly these labels.
  std::optional<double> Value(const std::string& name,
                              const std::map<std::string, std::string>& labels = {}) const;

 private:
  std::vector<MetricSample> samples_;
};

struct FetchResult {
  bool ok = false;
  // Nothing answered at all: the connection was refused or timed out.
  bool noAnswer = false;
  std::string body;
  std::string error;
};

// GET /metrics from address:port; the whole exchange ends within `timeoutMs`.
// An answer larger than `mostBytes` fails.
FetchResult FetchMetrics(const std::string& address, uint16_t port, uint32_t timeoutMs,
                         size_t mostBytes = 4 << 20);

}  // namespace tessar
