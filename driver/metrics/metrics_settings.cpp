#include "metrics/metrics_settings.h"

#include "platform/tcp.h"

namespace tessar {
namespace {

constexpr const char kMainSection[] = "main";
constexpr const char kEveryAddress[] = "0.0.0.0";

}  // namespace

MetricsSettings ReadMetricsSettings(const ProfileFile& profile) {
  MetricsSettings settings;
  const std::string portText = profile.ReadString(kMainSection, kMetricsPortKey, "");
  if (portText.empty())
    return settings;
  const auto port = ProfileFile::ParseInteger(portText);
  if (!port || *port < 1 || *port > 65535) {
    settings.problem =
        "MetricsPort \"" + portText + "\" in tessard.ini is no port number (1-65535)";
    return settings;
  }
  const std::string address =
      profile.ReadString(kMainSection, kMetricsAddressKey, kDefaultMetricsAddress);
  if (!platform::IsIpv4Address(address)) {
    settings.problem =
        "MetricsAddress \"" + address + "\" in tessard.ini is no IPv4 address (such as 127.0.0.1)";
    return settings;
  }
  settings.enabled = true;
  settings.port = static_cast<uint16_t>(*port);
  settings.address = address;
  return settings;
}

std::string LocalAddressOf(const MetricsSettings& settings) {
  return settings.address == kEveryAddress ? kDefaultMetricsAddress : settings.address;
}

}  // namespace tessar
