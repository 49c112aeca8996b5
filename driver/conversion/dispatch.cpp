#include "conversion/dispatch.h"

#include "common/ole_date.h"
#include "conversion/platform/durable_files.h"
#include "conversion/zone_memory.h"

namespace tessar {

bool SessionLink::Online() const {
  const cl* session = session_.load();
  return session && session->Online();
}

PostResult SessionLink::PostPacket(int32_t code, const Bytes& payload) {
  cl* session = session_.load();
  return session ? session->PostPacket(code, payload) : PostResult{};
}

bool SessionLink::PacketWritten(uint64_t sequence) const {
  const cl* session = session_.load();
  return session && session->PacketWritten(sequence);
}

PostResult SpoolInFlight::Post(ServerLink& link, const SpoolFile& file, double now) {
  std::lock_guard lock(mutex_);
  // Posting under the lock: a confirmation cannot overtake the record of
  // the packet it confirms.
  const PostResult posted = link.PostPacket(file.item.code, file.item.payload);
  if (!posted.queued)
    return posted;
  inFlight_ = true;
  path_ = file.path;
  sequence_ = posted.sequence;
  postedAt_ = now;
  state_.SetLastSpoolPath(file.path);
  state_.SetSpoolResendTime(now);
  return posted;
}

void SpoolInFlight::OnSpoolAck(const ServerLink& link) {
  std::lock_guard lock(mutex_);
  if (!inFlight_ || !link.PacketWritten(sequence_) || state_.SpoolResendTime() != postedAt_)
    return;
  inFlight_ = false;
  if (!files::Stat(path_))
    return;
  // The re-send time moves back before the file goes, so that whoever sees
  // the file gone also sees the next one free to go; a file that cannot be
  // deleted keeps its hold and is sent again after it.
  const double held = state_.SpoolResendTime();
  state_.SetSpoolResendTime(ToOleDate(clock_.LocalNow()) - kOneDay);
  if (!files::Remove(path_))
    state_.SetSpoolResendTime(held);
}

EventOutput::EventOutput(ServerLink& link, SpoolDirectory& spool, SpoolInFlight& inFlight,
                         DriverState& state, const platform::Clock& clock, DriverMetrics* metrics)
    : link_(link),
      spool_(spool),
      inFlight_(inFlight),
      state_(state),
      clock_(clock),
      metrics_(metrics != nullptr ? *metrics : ownMetrics_) {}

void EventOutput::Dispatch(const CodedPayload& item) {
  // A full send ring would drop the packet: it is spooled instead.
  if (link_.Online() && link_.PostPacket(item.code, item.payload).queued) {
    if (item.code == CMD_EVENT)
      Count(metrics_.eventsPosted);
    else if (item.code == CMD_MEASUREMENT)
      Count(metrics_.measurementsPosted);
    return;
  }
  Count(spool_.Spool(item, clock_.LocalNow()) ? metrics_.spoolWritten
                                              : metrics_.spoolWriteFailures);
}

void EventOutput::ResendSpooled() {
  spool_.ContinueScan();
  if (spool_.Empty() || !link_.Online())
    return;
  const double now = ToOleDate(clock_.LocalNow());
  const auto nowMs = OleMilliseconds(now);
  const auto resendMs = OleMilliseconds(state_.SpoolResendTime());
  if (nowMs && resendMs && *nowMs <= *resendMs + kResendHoldMs)
    return;
  const auto file = spool_.Oldest();
  if (!file)
    return;
  if (inFlight_.Post(link_, *file, now).queued)
    Count(metrics_.spoolResent);
}

}  // namespace tessar
