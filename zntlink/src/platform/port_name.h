// Which device a port number means. The library's open and the driver's port
// scan both compile this one function, so they always agree on what "COM3" is.
#pragma once

#include <string>

namespace zntlink {

// On POSIX: "zntlog/COM<n>" when that path exists (normally a link the
// administrator made), otherwise "/dev/ttyS<n-1>". On Windows: "\\.\COM<n>".
// Port numbers below 1 name no device: "".
std::string PortDevicePath(int port, const std::string& zntlogDirectory = "zntlog");

}  // namespace zntlink
