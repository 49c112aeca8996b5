// The Windows clocks: local time from the system, the tick from GetTickCount,
// which is 32 bits wide and wraps like the library's tick.
#include <windows.h>

#include "platform/clock.h"

namespace zntlink {

SYSTEMTIME SystemLocalTime() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return now;
}

uint32_t TickMs() {
  return GetTickCount();
}

void SleepMs(uint32_t milliseconds) {
  Sleep(milliseconds);
}

}  // namespace zntlink
