// The port scan of the setup page: the serial ports COM1 to COM32 that can be
// opened right now, with the device each name resolves to. The names mean
// what they mean to the receiver library, through the mapping both compile.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tessar {

inline constexpr int kFirstScannedPort = 1;
inline constexpr int kLastScannedPort = 32;

struct ScannedPort {
  std::string name;    // "COM3", as the port list shows it
  std::string device;  // "zntlog/COM3 -> /dev/serial/by-id/usb-...", or "/dev/ttyS2"
};

// Tests one device path; true when it can be opened exclusively and set up.
using PortProbe = std::function<bool(const std::string& devicePath)>;

// COM1 to COM32 in ascending order, each opened and closed at once; a port
// that cannot be opened (missing, held by anyone, refusing the settings) is
// left out. `zntlogDirectory` is where the administrator's COM<n> links lie.
std::vector<ScannedPort> ScanPorts(const std::string& zntlogDirectory, const PortProbe& probe);

// The device text of one port: the path the mapping gives, with the link's
// target when the path is a link.
std::string DeviceText(int port, const std::string& zntlogDirectory);

}  // namespace tessar
