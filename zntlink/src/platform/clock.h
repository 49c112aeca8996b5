// The library's clocks. Local time stamps the logs and sets the receiver clock;
// everything that reads a clock goes through here so tests can replace it.
#pragma once

#include <cstdint>
#include <functional>

#include "zntlink.h"

namespace zntlink {

// Local wall-clock time with milliseconds and day of week (Sunday = 0).
SYSTEMTIME LocalNow();

// Sleeps the calling thread.
void SleepMs(uint32_t milliseconds);

// Replaces the local-time source; an empty function restores the system clock.
void SetLocalTimeSourceForTesting(std::function<SYSTEMTIME()> source);

}  // namespace zntlink
