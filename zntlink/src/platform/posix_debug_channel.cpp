#include <syslog.h>

#include "platform/debug_output.h"

namespace zntlink {

void WriteSystemDebugChannel(const char* text) {
  static bool opened = false;
  if (!opened) {
    openlog("zntlink", LOG_PID, LOG_USER);
    opened = true;
  }
  syslog(LOG_DEBUG, "%s", text);
}

}  // namespace zntlink
