// The send ring: 400 slots (by default) of packets waiting to be sent, a head
// (next to send), a tail (next free) and a full flag. Packets leave strictly
// in the order they were put. Not locked itself: its owner takes one lock
// around each operation.
#pragma once

#include <cstddef>
#include <vector>

#include "netlink/packets.h"

namespace tessar {

class SendRing {
 public:
  static constexpr size_t kSlots = 400;

  explicit SendRing(size_t slots = kSlots) : slots_(slots) {}

  // False, storing nothing, when the ring is full.
  bool Put(const Bytes& packet);
  // Puts a packet before the head, so it leaves next; false, storing
  // nothing, when the ring is full.
  bool PutFront(const Bytes& packet);
  // False when empty; otherwise true and a copy of the head packet.
  bool Peek(Bytes& packet) const;
  // Removes the head packet; nothing when empty.
  void Drop();
  bool Empty() const { return head_ == tail_ && !full_; }
  size_t Count() const;

 private:
  std::vector<Bytes> slots_;
  size_t head_ = 0;
  size_t tail_ = 0;
  bool full_ = false;
};

}  // namespace tessar
