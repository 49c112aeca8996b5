// Where the metrics endpoint listens: [main] MetricsPort and MetricsAddress of
// tessard.ini. Without MetricsPort the endpoint is off; the address is the
// loopback address unless MetricsAddress names another IPv4 address.
#pragma once

#include <cstdint>
#include <string>

#include "common/profile_file.h"

namespace tessar {

inline constexpr const char kMetricsPortKey[] = "MetricsPort";
inline constexpr const char kMetricsAddressKey[] = "MetricsAddress";
inline constexpr const char kDefaultMetricsAddress[] = "127.0.0.1";

struct MetricsSettings {
  bool enabled = false;
  std::string address = kDefaultMetricsAddress;
  uint16_t port = 0;
  // Set when a key is present but unusable; the endpoint is off then.
  std::string problem;
};

// Reads the two keys of section "main". A MetricsPort that is empty or
// missing leaves the endpoint off without a word; one outside 1-65535 or a
// MetricsAddress that is no dotted IPv4 address leaves it off with a problem.
MetricsSettings ReadMetricsSettings(const ProfileFile& profile);

// The address a client on this computer reaches the endpoint at: the
// configured one, or the loopback address for 0.0.0.0 (every address).
std::string LocalAddressOf(const MetricsSettings& settings);

}  // namespace tessar
