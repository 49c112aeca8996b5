// CPU time of one thread, for the benchmarks.
#pragma once

#include <thread>

namespace tessar::platform {

// Seconds of CPU the thread has used, or -1 when the system cannot tell.
double ThreadCpuSeconds(std::thread::native_handle_type thread);

}  // namespace tessar::platform
