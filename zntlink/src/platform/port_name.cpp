#include "platform/port_name.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace zntlink {

std::string PortDevicePath(int port, [[maybe_unused]] const std::string& zntlogDirectory) {
  if (port < 1)
    return {};
#if defined(_WIN32)
  // The device namespace reaches every port number, COM10 and above included.
  return "\\\\.\\COM" + std::to_string(port);
#else
  std::string link = zntlogDirectory + "/COM" + std::to_string(port);
  if (access(link.c_str(), F_OK) == 0)
    return link;
  return "/dev/ttyS" + std::to_string(port - 1);
#endif
}

}  // namespace zntlink
