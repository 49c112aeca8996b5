#include "platform/clock.h"

#include <time.h>

namespace tessar::platform {
namespace {

using Milliseconds = std::chrono::milliseconds;

class SystemClockImpl : public Clock {
 public:
  uint32_t TickMs() const override { return static_cast<uint32_t>(MonotonicMs()); }

  uint64_t MonotonicMs() const override {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec / 1000000);
  }

  LocalTime LocalNow() const override {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    // A leap second reads as the 59th.
    return {local.tm_year + 1900,
            local.tm_mon + 1,
            local.tm_mday,
            local.tm_hour,
            local.tm_min,
            local.tm_sec > 59 ? 59 : local.tm_sec,
            static_cast<int>(now.tv_nsec / 1000000)};
  }
};

std::chrono::sys_time<Milliseconds> ToTimePoint(const LocalTime& t) {
  using namespace std::chrono;
  const sys_days date{year{t.year} / month{static_cast<unsigned>(t.month)} /
                      day{static_cast<unsigned>(t.day)}};
  return date + hours{t.hour} + minutes{t.minute} + seconds{t.second} + Milliseconds{t.millisecond};
}

LocalTime FromTimePoint(std::chrono::sys_time<Milliseconds> point) {
  using namespace std::chrono;
  const sys_days date = floor<days>(point);
  const year_month_day ymd{date};
  const hh_mm_ss<Milliseconds> time{point - date};
  return {static_cast<int>(ymd.year()),
          static_cast<int>(static_cast<unsigned>(ymd.month())),
          static_cast<int>(static_cast<unsigned>(ymd.day())),
          static_cast<int>(time.hours().count()),
          static_cast<int>(time.minutes().count()),
          static_cast<int>(time.seconds().count()),
          static_cast<int>(time.subseconds().count())};
}

}  // namespace

const Clock& SystemClock() {
  static const SystemClockImpl clock;
  return clock;
}

ManualClock::ManualClock(uint32_t tick, LocalTime local)
    : monotonic_(tick), local_(ToTimePoint(local)) {}

LocalTime ManualClock::LocalNow() const {
  std::lock_guard lock(mutex_);
  return FromTimePoint(local_);
}

void ManualClock::Advance(uint32_t milliseconds) {
  std::lock_guard lock(mutex_);
  local_ += Milliseconds{milliseconds};
  monotonic_.fetch_add(milliseconds);
}

void ManualClock::SetLocal(const LocalTime& local) {
  std::lock_guard lock(mutex_);
  local_ = ToTimePoint(local);
}

}  // namespace tessar::platform
