// The POSIX clocks: local time from the C library, the tick from the
// monotonic clock.
#include <time.h>

#include <thread>

#include "platform/clock.h"

namespace zntlink {

SYSTEMTIME SystemLocalTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  // A leap second reads as the 59th.
  SYSTEMTIME t = MakeSystemTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                local.tm_hour, local.tm_min, local.tm_sec > 59 ? 59 : local.tm_sec,
                                static_cast<int>(now.tv_nsec / 1000000));
  t.wDayOfWeek = static_cast<uint16_t>(local.tm_wday);
  return t;
}

uint32_t TickMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000 +
                               static_cast<uint64_t>(now.tv_nsec) / 1000000);
}

void SleepMs(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace zntlink
