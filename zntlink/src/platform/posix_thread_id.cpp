#include <sys/syscall.h>
#include <unistd.h>

#include "platform/thread_id.h"

namespace zntlink {

uint32_t CurrentThreadId() {
  return static_cast<uint32_t>(syscall(SYS_gettid));
}

}  // namespace zntlink
