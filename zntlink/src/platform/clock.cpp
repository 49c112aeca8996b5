#include "platform/clock.h"

#include <mutex>

namespace zntlink {
namespace {

std::mutex sourceMutex;
std::function<SYSTEMTIME()>& Source() {
  static std::function<SYSTEMTIME()> source;
  return source;
}

}  // namespace

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

void SetLocalTimeSourceForTesting(std::function<SYSTEMTIME()> source) {
  std::lock_guard lock(sourceMutex);
  Source() = std::move(source);
}

}  // namespace zntlink
