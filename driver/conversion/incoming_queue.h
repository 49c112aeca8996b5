// The incoming queue: a fixed ring of 10000 slots that the receiver
// supervision and the local TCP service fill with receiver messages and the
// decoding cycle drains. Every put and take runs under the queue guard, held
// only while the bytes are copied.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include "common/driver_metrics.h"
#include "netlink/Unit7.h"

namespace tessar {

// Source tags of the two producers.
constexpr int32_t kSourceReceiverLibrary = 1;
constexpr int32_t kSourceTcpService = 2;

class IncomingQueue {
 public:
  static constexpr int32_t kSlots = 10000;

  // `depth`, when given, follows the number of messages waiting.
  explicit IncomingQueue(DriverMetrics::Gauge* depth = nullptr);

  // Stores a copy of `count` bytes; false, storing nothing, when all slots
  // are occupied (or when `count` is negative, or bytes are missing).
  bool PutMessage(int32_t source, const uint8_t* bytes, int32_t count);
  // True while a put would find a free slot.
  bool HasRoom();
  // Moves the oldest message out. False when the queue is empty, and also
  // when the oldest slot held no bytes (that slot is removed all the same).
  bool TakeMessage(int32_t& source, stru_arb& bytes);

 private:
  // Under the queue guard.
  void PublishDepth();

  std::mutex queueGuard_;
  // On the heap: 10000 slots are too large for a stack-allocated owner.
  std::unique_ptr<std::array<Stru_zapThread, kSlots>> entries_;
  int64_t putCounter_ = 0;
  int32_t readIndex_ = 0;
  int32_t writeIndex_ = 0;
  bool full_ = false;
  DriverMetrics::Gauge* depth_;
};

}  // namespace tessar
