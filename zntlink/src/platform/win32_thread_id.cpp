#include <windows.h>

#include "platform/thread_id.h"

namespace zntlink {

uint32_t CurrentThreadId() {
  return GetCurrentThreadId();
}

}  // namespace zntlink
