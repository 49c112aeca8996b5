#include "netlink/send_ring.h"

namespace tessar {

bool SendRing::Put(const Bytes& packet) {
  if (full_)
    return false;
  slots_[tail_] = packet;
  tail_ = (tail_ + 1) % slots_.size();
  full_ = tail_ == head_;
  return true;
}

bool SendRing::PutFront(const Bytes& packet) {
  if (full_)
    return false;
  head_ = (head_ + slots_.size() - 1) % slots_.size();
  slots_[head_] = packet;
  full_ = tail_ == head_;
  return true;
}

bool SendRing::Peek(Bytes& packet) const {
  if (Empty())
    return false;
  packet = slots_[head_];
  return true;
}

void SendRing::Drop() {
  if (Empty())
    return;
  slots_[head_] = Bytes{};
  head_ = (head_ + 1) % slots_.size();
  full_ = false;
}

size_t SendRing::Count() const {
  if (full_)
    return slots_.size();
  return (tail_ + slots_.size() - head_) % slots_.size();
}

}  // namespace tessar
