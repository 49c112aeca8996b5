#include "frame/port_scan.h"

#include <exception>

#include "platform/serial_probe.h"
#include "port_name.h"

namespace tessar {

std::string DeviceText(int port, const std::string& zntlogDirectory) {
  const std::string path = zntlink::PortDevicePath(port, zntlogDirectory);
  const std::string target = platform::LinkTarget(path);
  return target.empty() ? path : path + " -> " + target;
}

std::vector<ScannedPort> ScanPorts(const std::string& zntlogDirectory, const PortProbe& probe) {
  std::vector<ScannedPort> found;
  for (int port = kFirstScannedPort; port <= kLastScannedPort; ++port) {
    // Any failure while trying one port skips that port only.
    try {
      if (probe(zntlink::PortDevicePath(port, zntlogDirectory)))
        found.push_back({"COM" + std::to_string(port), DeviceText(port, zntlogDirectory)});
    } catch (const std::exception&) {
    }
  }
  return found;
}

}  // namespace tessar
