#include "conversion/decoding_cycle.h"

#include <cstdio>
#include <exception>

#include "common/ole_date.h"

namespace tessar {
namespace {

constexpr int64_t kMsPerDay = 86400000;

}  // namespace

std::string ElapsedText(double from, double to) {
  const auto fromMs = OleMilliseconds(from);
  const auto toMs = OleMilliseconds(to);
  int64_t elapsed = fromMs && toMs ? *toMs - *fromMs : 0;
  if (elapsed < 0)
    elapsed = 0;
  const int64_t seconds = elapsed % kMsPerDay / 1000;
  char text[16];
  std::snprintf(text, sizeof text, "%d:%02d:%02d", static_cast<int>(seconds / 3600),
                static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  return text;
}

EventConversion::EventConversion(DriverState& state, ServerLink& link, ConversionWindow& window,
                                 const platform::Clock& clock, ConversionSettings settings,
                                 FailureReport::Sink failureSink)
    : state_(state),
      link_(link),
      window_(window),
      clock_(clock),
      settings_(std::move(settings)),
      metrics_(settings_.metrics != nullptr ? *settings_.metrics : ownMetrics_),
      failures_(clock, std::move(failureSink)),
      queue_(&metrics_.incomingQueueMessages),
      zoneFile_(failures_),
      decoder_(zones_),
      spool_(settings_.spoolPrefix, clock, failures_),
      inFlight_(state, clock),
      output_(link, spool_, inFlight_, state, clock, &metrics_) {}

void EventConversion::PublishGauges() {
  SetGauge(metrics_.spoolFiles, static_cast<int64_t>(spool_.Count()));
  SetGauge(metrics_.zoneRecords, static_cast<int64_t>(zones_.Records()));
}

void EventConversion::Open() {
  zoneFile_.Open(settings_.zoneFile, zones_);
  spool_.Open();
  lastActivity_ = ToOleDate(clock_.LocalNow());
  PublishGauges();
}

void EventConversion::Timer1Timer() {
  // A spool file that cannot be read is reported, but the queue is drained
  // all the same: the alarms waiting there must not wait behind it.
  try {
    output_.ResendSpooled();
  } catch (const std::exception& error) {
    window_.ReportError(error.what());
  }
  window_.SetElapsedText(ElapsedText(lastActivity_, ToOleDate(clock_.LocalNow())));
  try {
    int32_t source = 0;
    stru_arb message;
    while (queue_.TakeMessage(source, message))
      Decode(message);
  } catch (const std::exception& error) {
    // The rest of the queue waits for the next tick.
    window_.ReportError(error.what());
  }
  PublishGauges();
}

void EventConversion::Decode(const stru_arb& message) {
  const DecodeResult result =
      decoder_.Decode(message, ToOleDate(clock_.LocalNow()), state_.FirstNumber());
  for (const CodedPayload& item : result.payloads)
    output_.Dispatch(item);
  if (result.zoneWrite)
    zoneFile_.Write(*result.zoneWrite);
}

}  // namespace tessar
