#include "metrics/metrics_endpoint.h"

#include <CivetServer.h>
#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>

#include <exception>
#include <vector>

#include "metrics/metrics_names.h"

namespace tessar {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

double Load(const std::atomic<uint64_t>& value) {
  return static_cast<double>(value.load(std::memory_order_relaxed));
}

double Load(const std::atomic<int64_t>& value) {
  return static_cast<double>(value.load(std::memory_order_relaxed));
}

double Load(const std::atomic<bool>& value) {
  return value.load(std::memory_order_relaxed) ? 1 : 0;
}

ClientMetric Sample(MetricType type, double value, std::vector<ClientMetric::Label> labels = {}) {
  ClientMetric sample;
  sample.label = std::move(labels);
  if (type == MetricType::Counter)
    sample.counter.value = value;
  else
    sample.gauge.value = value;
  return sample;
}

MetricFamily Family(const char* name, const char* help, MetricType type,
                    std::vector<ClientMetric> samples) {
  return MetricFamily{name, help, type, std::move(samples)};
}

MetricFamily Family(const char* name, const char* help, MetricType type, double value) {
  return Family(name, help, type, {Sample(type, value)});
}

// The driver's figures as the Prometheus client library serialises them,
// read at the moment of the scrape.
class DriverCollectable : public prometheus::Collectable {
 public:
  DriverCollectable(const DriverMetrics& metrics, const platform::Clock& clock)
      : metrics_(metrics), clock_(clock) {}

  std::vector<MetricFamily> Collect() const override {
    const DriverMetrics& m = metrics_;
    constexpr MetricType kCounter = MetricType::Counter;
    constexpr MetricType kGauge = MetricType::Gauge;
    std::vector<ClientMetric> drops;
    for (int cause = 0; cause < kSessionDropCauses; ++cause)
      drops.push_back(Sample(kCounter, Load(m.sessionDrops[cause]),
                             {{metric::kCauseLabel, metric::kDropCauses[cause]}}));
    return {
        Family(metric::kReceiverLinkUp, "1 while the serial link to the receiver is up", kGauge,
               Load(m.receiverLinkUp)),
        Family(metric::kServerOnline, "1 while the message-server session is online", kGauge,
               Load(m.serverOnline)),
        Family(
            metric::kMessages, "Receiver messages put into the incoming queue, by producer",
            kCounter,
            {Sample(kCounter, Load(m.receiverMessages),
                    {{metric::kSourceLabel, metric::kSourceReceiver}}),
             Sample(kCounter, Load(m.tcpMessages), {{metric::kSourceLabel, metric::kSourceTcp}})}),
        Family(metric::kTcpDuplicates, "Lines of the local TCP service dropped as repeats",
               kCounter, Load(m.tcpDuplicates)),
        Family(metric::kEventsPosted, "Events queued for the message server as they were made",
               kCounter, Load(m.eventsPosted)),
        Family(metric::kMeasurementsPosted,
               "Measurements queued for the message server as they were made", kCounter,
               Load(m.measurementsPosted)),
        Family(metric::kPacketsSent,
               "Packets written to the message-server connection, keep-alive tests included",
               kCounter, Load(m.packetsSent)),
        Family(metric::kServerAnswers, "Packets the message server answered with", kCounter,
               Load(m.serverAnswers)),
        Family(metric::kSessionDrops, "Times the online server session went offline, by cause",
               kCounter, std::move(drops)),
        Family(metric::kSpoolFiles, "Spool files waiting to be re-sent", kGauge,
               Load(m.spoolFiles)),
        Family(metric::kSpoolWritten, "Spool files written while the server was away", kCounter,
               Load(m.spoolWritten)),
        Family(metric::kSpoolResent, "Spool files re-sent to the message server", kCounter,
               Load(m.spoolResent)),
        Family(metric::kSpoolWriteFailures, "Payloads lost because their spool file failed",
               kCounter, Load(m.spoolWriteFailures)),
        Family(metric::kSendRingPackets, "Packets waiting in the send ring", kGauge,
               Load(m.sendRingPackets)),
        Family(metric::kIncomingQueueMessages, "Messages waiting in the incoming queue", kGauge,
               Load(m.incomingQueueMessages)),
        Family(metric::kZoneRecords, "Transmitter records in sost.mem", kGauge,
               Load(m.zoneRecords)),
        Family(metric::kSinceReceiverMessage,
               "Seconds since the last message taken from the receiver (since the start before "
               "the first)",
               kGauge, SecondsSince(m.lastReceiverMessageMs)),
        Family(metric::kSinceServerAnswer,
               "Seconds since the message server last answered (since the start before the first)",
               kGauge, SecondsSince(m.lastServerAnswerMs)),
        Family(metric::kStartTime, "Start of the driver, seconds since 1970-01-01 UTC", kGauge,
               Load(m.startUnixSeconds)),
    };
  }

 private:
  double SecondsSince(const std::atomic<uint64_t>& stampMs) const {
    uint64_t since = stampMs.load(std::memory_order_relaxed);
    if (since == 0)
      since = metrics_.startMonotonicMs.load(std::memory_order_relaxed);
    const uint64_t now = clock_.MonotonicMs();
    return now > since ? static_cast<double>(now - since) / 1000.0 : 0.0;
  }

  const DriverMetrics& metrics_;
  const platform::Clock& clock_;
};

// The web server's own words for why it could not start, caught while the
// endpoint starts on this thread.
thread_local std::string* startMessages = nullptr;

int KeepStartMessage(const mg_connection*, const char* message) {
  if (startMessages != nullptr && message != nullptr) {
    if (!startMessages->empty())
      *startMessages += "; ";
    *startMessages += message;
  }
  return 1;  // handled: nothing is printed
}

}  // namespace

struct MetricsEndpoint::Serving {
  // The collectable outlives the exposer, whose threads read it.
  std::shared_ptr<DriverCollectable> collectable;
  std::unique_ptr<prometheus::Exposer> exposer;
};

MetricsEndpoint::MetricsEndpoint(const DriverMetrics& metrics, const platform::Clock& clock)
    : metrics_(metrics), clock_(clock) {}

MetricsEndpoint::~MetricsEndpoint() {
  if (serving_)
    serving_->exposer.reset();
}

bool MetricsEndpoint::Start(const Settings& settings, std::string* error) {
  if (serving_)
    return true;
  auto serving = std::make_unique<Serving>();
  serving->collectable = std::make_shared<DriverCollectable>(metrics_, clock_);
  CivetCallbacks callbacks;
  callbacks.log_message = KeepStartMessage;
  std::string messages;
  startMessages = &messages;
  try {
    serving->exposer = std::make_unique<prometheus::Exposer>(
        std::vector<std::string>{
            "listening_ports", settings.address + ":" + std::to_string(settings.port),
            "num_threads", std::to_string(settings.threads), "request_timeout_ms",
            std::to_string(settings.requestTimeoutMs), "enable_keep_alive", "no"},
        &callbacks);
  } catch (const std::exception& e) {
    startMessages = nullptr;
    if (error != nullptr)
      *error = messages.empty() ? e.what() : messages;
    return false;
  }
  startMessages = nullptr;
  serving->exposer->RegisterCollectable(serving->collectable);
  serving_ = std::move(serving);
  return true;
}

bool MetricsEndpoint::Running() const {
  return serving_ != nullptr;
}

uint16_t MetricsEndpoint::Port() const {
  if (!serving_)
    return 0;
  const std::vector<int> ports = serving_->exposer->GetListeningPorts();
  return ports.empty() ? 0 : static_cast<uint16_t>(ports.front());
}

}  // namespace tessar
