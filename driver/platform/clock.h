// The driver's clocks: the 32-bit millisecond tick that the session's timings
// are measured on, and local wall-clock time. Everything that reads a clock
// takes it from a Clock, so tests can move time without sleeping.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace tessar::platform {

// Local broken-down time with milliseconds.
struct LocalTime {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic milliseconds, kept as 32 bits; differences are taken modulo 2^32.
  virtual uint32_t TickMs() const = 0;
  // The same monotonic milliseconds in 64 bits, for ages that may exceed the
  // 49.7 days after which the tick wraps.
  virtual uint64_t MonotonicMs() const = 0;
  virtual LocalTime LocalNow() const = 0;
};

// Milliseconds from `since` to `now` on the wrapping 32-bit tick.
inline uint32_t TickElapsed(uint32_t now, uint32_t since) {
  return now - since;
}

// The system's monotonic clock and local time (localtime_r).
const Clock& SystemClock();

// A clock that moves only when told to; safe to read from any thread.
class ManualClock : public Clock {
 public:
  explicit ManualClock(uint32_t tick = 0, LocalTime local = {2024, 5, 1, 12, 0, 0, 0});
  uint32_t TickMs() const override { return static_cast<uint32_t>(monotonic_.load()); }
  uint64_t MonotonicMs() const override { return monotonic_.load(); }
  LocalTime LocalNow() const override;
  // Moves the tick and local time forward together.
  void Advance(uint32_t milliseconds);
  void SetLocal(const LocalTime& local);

 private:
  std::atomic<uint64_t> monotonic_;
  mutable std::mutex mutex_;
  std::chrono::sys_time<std::chrono::milliseconds> local_;
};

}  // namespace tessar::platform
