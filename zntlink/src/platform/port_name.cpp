#include "platform/port_name.h"

#include <unistd.h>

namespace zntlink {

std::string PortDevicePath(int port, const std::string& zntlogDirectory) {
  if (port < 1)
    return {};
  std::string link = zntlogDirectory + "/COM" + std::to_string(port);
  if (access(link.c_str(), F_OK) == 0)
    return link;
  return "/dev/ttyS" + std::to_string(port - 1);
}

}  // namespace zntlink
