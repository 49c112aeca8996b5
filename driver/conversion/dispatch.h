// How payloads leave the driver: posted to the server session while it is
// online, spooled to a file of their own otherwise, and spool files re-sent
// one at a time once the session is back. The spool file in flight is shared
// with the session thread, which deletes it on the server's CMD_SPOOL_ACK.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "common/driver_metrics.h"
#include "common/driver_state.h"
#include "conversion/records.h"
#include "conversion/spool_directory.h"
#include "netlink/Unit7.h"
#include "platform/clock.h"

namespace tessar {

// What the conversion needs of the server session.
class ServerLink {
 public:
  virtual ~ServerLink() = default;
  virtual bool Online() const = 0;
  virtual PostResult PostPacket(int32_t code, const Bytes& payload) = 0;
  // True once the packet with this number has been written to the connection.
  virtual bool PacketWritten(uint64_t sequence) const = 0;
};

// The session thread as a ServerLink. The session is attached after it has
// been created (its CMD_SPOOL_ACK handler needs the conversion first); until
// then the link is offline.
class SessionLink : public ServerLink {
 public:
  void Attach(cl* session) { session_.store(session); }
  bool Online() const override;
  PostResult PostPacket(int32_t code, const Bytes& payload) override;
  bool PacketWritten(uint64_t sequence) const override;

 private:
  std::atomic<cl*> session_{nullptr};
};

// The spool file last re-sent, with the number of the packet that carried it.
// The main thread records a re-send, the session thread confirms it; both
// under one lock, which also keeps the last spool path and the spool re-send
// time of the driver state consistent with the record.
class SpoolInFlight {
 public:
  SpoolInFlight(DriverState& state, const platform::Clock& clock) : state_(state), clock_(clock) {}

  // Main thread: posts a spool file's packet; when it was queued, it is the
  // file in flight: last spool path := its path, spool re-send time := now.
  PostResult Post(ServerLink& link, const SpoolFile& file, double now);

  // Session thread, on CMD_SPOOL_ACK. The server sends that code for other
  // packets too, so the file in flight is deleted only when its packet has
  // been written and no reconnection has come between (a reconnection moves
  // the spool re-send time, and the file is then re-sent anyway). A deletion
  // moves the re-send time back a day so that the next file goes out at the
  // next tick; a file already gone changes nothing.
  void OnSpoolAck(const ServerLink& link);

 private:
  DriverState& state_;
  const platform::Clock& clock_;
  std::mutex mutex_;
  bool inFlight_ = false;
  std::string path_;
  uint64_t sequence_ = 0;
  double postedAt_ = 0;
};

class EventOutput {
 public:
  // A re-sent spool file is posted again only strictly after this long
  // without a confirmation.
  static constexpr int64_t kResendHoldMs = 3000;

  // `metrics` counts the payloads posted, the spool files written and re-sent
  // and the spool writes that failed; none keeps the counts to the object.
  EventOutput(ServerLink& link, SpoolDirectory& spool, SpoolInFlight& inFlight, DriverState& state,
              const platform::Clock& clock, DriverMetrics* metrics = nullptr);

  // Posts the payload while the session is online; spools it when the
  // session is offline or its send ring refused the packet.
  void Dispatch(const CodedPayload& item);

  // Re-sends at most one spool file (the oldest): only while online, and only
  // strictly more than three seconds after the last re-send unless the
  // session moved the re-send time back. Also runs one batch of the spool
  // directory's occasional scan. A file that cannot be read throws.
  void ResendSpooled();

 private:
  ServerLink& link_;
  SpoolDirectory& spool_;
  SpoolInFlight& inFlight_;
  DriverState& state_;
  const platform::Clock& clock_;
  DriverMetrics ownMetrics_;
  DriverMetrics& metrics_;
};

}  // namespace tessar
