// The driver's configuration from tessard.ini, section "main", and the port
// text that the configured port name leaves after its "COM".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "metrics/metrics_settings.h"

namespace tessar {

inline constexpr const char kConfigurationFile[] = "tessard.ini";
inline constexpr const char kMainSection[] = "main";
inline constexpr const char kComPortKey[] = "ComPort";
inline constexpr const char kTcpPortKey[] = "TcpPort";
inline constexpr uint16_t kDefaultTcpPort = 8901;

struct DriverConfiguration {
  std::string comPort = "COM255";
  int32_t nAbs = -1;
  int32_t name = -1;
  int32_t firstNumber = 1;
  std::string pathForSoob;
  int32_t attentionSeconds = 600;  // "00:10:00"
  // The local TCP service's port; a value outside 1-65535 gives the default.
  uint16_t tcpPort = kDefaultTcpPort;
  // The metrics endpoint (MetricsPort, MetricsAddress); off by default.
  MetricsSettings metrics;
};

// Reads section "main" of the file; a missing file, section or key gives the
// default, and so does a number or time that does not convert.
DriverConfiguration ReadConfiguration(const std::string& path);

// Seconds since midnight of a time text "h:mm" or "h:mm:ss"; none when it is
// not a time of day.
std::optional<int32_t> ParseTimeOfDay(const std::string& text);

// The port text: the port name less its first three characters ("COM3" -> "3").
std::string PortTextOf(const std::string& portName);
// The port number the port text stands for: decimal digits and nothing else
// (no sign, no blanks); none otherwise.
std::optional<int> PortNumberOf(const std::string& portText);

}  // namespace tessar
