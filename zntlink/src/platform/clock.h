// The library's clocks. Local time stamps the logs and sets the receiver clock;
// everything that reads a clock goes through here so tests can replace it.
#pragma once

#include <cstdint>
#include <functional>

#include "zntlink.h"

namespace zntlink {

// Local wall-clock time with milliseconds and day of week (Sunday = 0).
SYSTEMTIME LocalNow();

// The system's local time, whatever source is installed for the library.
SYSTEMTIME SystemLocalTime();

// A time record from its parts; day of week 0.
SYSTEMTIME MakeSystemTime(int year, int month, int day, int hour, int minute, int second,
                          int milliseconds = 0);

// A monotonic millisecond tick, 32 bits wide: compare two readings by their
// difference, which stays right across the wrap.
uint32_t TickMs();

// Sleeps the calling thread.
void SleepMs(uint32_t milliseconds);

// Replaces the local-time source; an empty function restores the system clock.
void SetLocalTimeSourceForTesting(std::function<SYSTEMTIME()> source);

}  // namespace zntlink
