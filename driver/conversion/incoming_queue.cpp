#include "conversion/incoming_queue.h"

namespace tessar {

IncomingQueue::IncomingQueue(DriverMetrics::Gauge* depth)
    : entries_(std::make_unique<std::array<Stru_zapThread, kSlots>>()), depth_(depth) {}

void IncomingQueue::PublishDepth() {
  if (depth_ == nullptr)
    return;
  const int32_t waiting = full_ ? kSlots : (writeIndex_ - readIndex_ + kSlots) % kSlots;
  SetGauge(*depth_, waiting);
}

bool IncomingQueue::HasRoom() {
  std::lock_guard guard(queueGuard_);
  return !(readIndex_ == writeIndex_ && full_);
}

bool IncomingQueue::PutMessage(int32_t source, const uint8_t* bytes, int32_t count) {
  if (count < 0 || (count > 0 && bytes == nullptr))
    return false;
  std::lock_guard guard(queueGuard_);
  if (readIndex_ == writeIndex_ && full_)
    return false;
  Stru_zapThread& slot = (*entries_)[static_cast<size_t>(writeIndex_)];
  slot.putNumber = ++putCounter_;
  slot.source = source;
  slot.bytes.assign(bytes, bytes + count);
  writeIndex_ = (writeIndex_ + 1) % kSlots;
  if (writeIndex_ == readIndex_)
    full_ = true;
  PublishDepth();
  return true;
}

bool IncomingQueue::TakeMessage(int32_t& source, stru_arb& bytes) {
  std::lock_guard guard(queueGuard_);
  if (readIndex_ == writeIndex_ && !full_)
    return false;
  Stru_zapThread& slot = (*entries_)[static_cast<size_t>(readIndex_)];
  bytes.assign(slot.bytes.begin(), slot.bytes.end());
  source = slot.source;
  slot.bytes.clear();
  readIndex_ = (readIndex_ + 1) % kSlots;
  if (readIndex_ != writeIndex_)
    full_ = false;
  PublishDepth();
  return !bytes.empty();
}

}  // namespace tessar
