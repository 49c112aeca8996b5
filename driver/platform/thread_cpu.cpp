#include "platform/thread_cpu.h"

#include <pthread.h>
#include <time.h>

namespace tessar::platform {

double ThreadCpuSeconds(std::thread::native_handle_type thread) {
  clockid_t clock{};
  timespec used{};
  if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &used) != 0)
    return -1;
  return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

}  // namespace tessar::platform
