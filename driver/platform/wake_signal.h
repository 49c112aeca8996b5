// A manual-reset signal that also wakes a poll(): once set it stays set. The
// session thread pauses on it and polls its socket together with it, so a stop
// from another thread ends a pause, a connect, a read or a write at once.
#pragma once

#include <cstdint>

namespace tessar::platform {

class WakeSignal {
 public:
  WakeSignal();
  ~WakeSignal();
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  void Set();
  // Clears the signal, so that the next Set() wakes a waiter again.
  void Reset();
  bool IsSet() const;
  // True when the signal is set within the given time (or already was).
  bool Wait(uint32_t timeoutMs) const;
  // A descriptor that polls readable while the signal is set.
  int Descriptor() const { return fd_; }

 private:
  int fd_;
};

}  // namespace tessar::platform
