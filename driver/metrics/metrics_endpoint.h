// The metrics endpoint: an HTTP server on its own threads that answers
// GET /metrics with the driver's figures in the Prometheus text format. It
// only reads DriverMetrics, at the moment of each scrape, so however slowly
// or badly a scraper behaves, the driver's own threads never wait for it.
// The only code of the driver that uses the Prometheus client library.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/driver_metrics.h"
#include "platform/clock.h"

namespace tessar {

class MetricsEndpoint {
 public:
  struct Settings {
    std::string address = "127.0.0.1";
    uint16_t port = 0;  // 0 picks a free one
    // Threads that answer scrapers. One: the web server formats the Date
    // header of every answer with gmtime(), whose one static buffer two
    // answering threads would share (ThreadSanitizer reports it).
    int threads = 1;
    // How long a connection may take to send its request, and to take the
    // answer; a scraper that stalls is dropped after this.
    uint32_t requestTimeoutMs = 2000;
  };

  // `metrics` and `clock` must outlive the endpoint.
  MetricsEndpoint(const DriverMetrics& metrics, const platform::Clock& clock);
  // Stops listening and waits for the endpoint's threads (at most about the
  // request timeout, when a scraper is in the middle of a request).
  ~MetricsEndpoint();
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  // Starts listening; false, with the reason in *error, when the address and
  // port cannot be had.
  bool Start(const Settings& settings, std::string* error);
  bool Running() const;
  // The port listened on (the free one chosen for port 0).
  uint16_t Port() const;

 private:
  struct Serving;
  const DriverMetrics& metrics_;
  const platform::Clock& clock_;
  std::unique_ptr<Serving> serving_;
};

}  // namespace tessar
