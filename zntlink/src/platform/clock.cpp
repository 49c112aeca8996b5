#include "platform/clock.h"

#include <sys/time.h>
#include <time.h>

#include <mutex>
#include <thread>

namespace zntlink {
namespace {

std::mutex sourceMutex;
std::function<SYSTEMTIME()>& Source() {
  static std::function<SYSTEMTIME()> source;
  return source;
}

}  // namespace

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

SYSTEMTIME MakeSystemTime(int year, int month, int day, int hour, int minute, int second,
                          int milliseconds) {
  SYSTEMTIME t{};
  t.wYear = static_cast<uint16_t>(year);
  t.wMonth = static_cast<uint16_t>(month);
  t.wDay = static_cast<uint16_t>(day);
  t.wHour = static_cast<uint16_t>(hour);
  t.wMinute = static_cast<uint16_t>(minute);
  t.wSecond = static_cast<uint16_t>(second);
  t.wMilliseconds = static_cast<uint16_t>(milliseconds);
  return t;
}

SYSTEMTIME LocalNow() {
  {
    std::lock_guard lock(sourceMutex);
    if (Source())
      return Source()();
  }
  return SystemLocalTime();
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

void SetLocalTimeSourceForTesting(std::function<SYSTEMTIME()> source) {
  std::lock_guard lock(sourceMutex);
  Source() = std::move(source);
}

}  // namespace zntlink
