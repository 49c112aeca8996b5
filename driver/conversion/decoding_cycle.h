// The event conversion as the main window runs it: the incoming queue, the
// zone-state memory with its file, the decoder, the output and the decoding
// cycle Timer1Timer, a tick the window's 200 ms timer calls. Plain C++: the
// window is reached through ConversionWindow.
#pragma once

#include <memory>
#include <string>

#include "common/driver_state.h"
#include "conversion/dispatch.h"
#include "conversion/failure_report.h"
#include "conversion/incoming_queue.h"
#include "conversion/message_decoding.h"
#include "conversion/spool_directory.h"
#include "conversion/zone_state_file.h"
#include "platform/clock.h"

namespace tessar {

// What the decoding cycle shows in the main window.
class ConversionWindow {
 public:
  virtual ~ConversionWindow() = default;
  // The text of Label21: the time since the receiver's last activity.
  virtual void SetElapsedText(const std::string& text) = 0;
  // An error that ended part of a tick, shown the way the window shows errors.
  virtual void ReportError(const std::string& text) = 0;
};

struct ConversionSettings {
  std::string zoneFile = "sost.mem";
  std::string spoolPrefix;  // PathForSoob
  // Where the conversion keeps its figures; none keeps them to itself.
  DriverMetrics* metrics = nullptr;
};

// The elapsed time as Label21 shows it, "H:mm:ss"; a day or more shows only
// its remainder below one day, and a negative time (the clock set back) 0:00:00.
std::string ElapsedText(double from, double to);

class EventConversion {
 public:
  EventConversion(DriverState& state, ServerLink& link, ConversionWindow& window,
                  const platform::Clock& clock, ConversionSettings settings,
                  FailureReport::Sink failureSink = {});

  // The start: opens and loads the zone-state file (throws when it cannot be
  // opened) and lists the spool directory. Sets the last activity time to now.
  void Open();

  // Producers, any thread.
  bool PutMessage(int32_t source, const uint8_t* bytes, int32_t count) {
    return queue_.PutMessage(source, bytes, count);
  }

  // One tick: re-send at most one spool file, refresh Label21, drain the
  // queue; then the spool-file and zone-record gauges.
  void Timer1Timer();

  // The receiver reported activity now (the supervision cycle).
  void SetLastActivity(double time) { lastActivity_ = time; }

  // The session thread's CMD_SPOOL_ACK handler; give it to cl::Options::onSpoolAck.
  void OnSpoolAck() { inFlight_.OnSpoolAck(link_); }

  // Decodes one message and sends or spools what it produced.
  void Decode(const stru_arb& message);

  IncomingQueue& Queue() { return queue_; }
  const MessageDecoder& Decoder() const { return decoder_; }
  const ZoneStateMemory& Zones() const { return zones_; }
  SpoolDirectory& Spool() { return spool_; }

 private:
  void PublishGauges();

  DriverState& state_;
  ServerLink& link_;
  ConversionWindow& window_;
  const platform::Clock& clock_;
  ConversionSettings settings_;
  DriverMetrics ownMetrics_;
  DriverMetrics& metrics_;
  FailureReport failures_;
  IncomingQueue queue_;
  ZoneStateMemory zones_;
  ZoneStateFile zoneFile_;
  MessageDecoder decoder_;
  SpoolDirectory spool_;
  SpoolInFlight inFlight_;
  EventOutput output_;
  double lastActivity_ = 0;
};

}  // namespace tessar
