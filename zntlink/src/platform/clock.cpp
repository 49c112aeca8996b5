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

SYSTEMTIME SystemLocalNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  SYSTEMTIME t{};
  t.wYear = static_cast<uint16_t>(local.tm_year + 1900);
  t.wMonth = static_cast<uint16_t>(local.tm_mon + 1);
  t.wDayOfWeek = static_cast<uint16_t>(local.tm_wday);
  t.wDay = static_cast<uint16_t>(local.tm_mday);
  t.wHour = static_cast<uint16_t>(local.tm_hour);
  t.wMinute = static_cast<uint16_t>(local.tm_min);
  t.wSecond = static_cast<uint16_t>(local.tm_sec);
  t.wMilliseconds = static_cast<uint16_t>(now.tv_nsec / 1000000);
  return t;
}

}  // namespace

SYSTEMTIME LocalNow() {
  {
    std::lock_guard lock(sourceMutex);
    if (Source())
      return Source()();
  }
  return SystemLocalNow();
}

void SleepMs(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void SetLocalTimeSourceForTesting(std::function<SYSTEMTIME()> source) {
  std::lock_guard lock(sourceMutex);
  Source() = std::move(source);
}

}  // namespace zntlink
