#pragma once

#include <cstdint>

namespace zntlink {

// The operating system's id of the calling thread, for the debug lines.
uint32_t CurrentThreadId();

}  // namespace zntlink
