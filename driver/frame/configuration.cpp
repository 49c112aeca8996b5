#include "frame/configuration.h"

#include <cctype>

#include "common/profile_file.h"

namespace tessar {
namespace {

constexpr int32_t kDefaultAttentionSeconds = 600;
constexpr size_t kMostPortDigits = 9;  // fits an int

std::optional<int32_t> Digits(const std::string& text, size_t& at, size_t most) {
  size_t taken = 0;
  int32_t value = 0;
  while (at < text.size() && taken < most && std::isdigit(static_cast<unsigned char>(text[at]))) {
    value = value * 10 + (text[at] - '0');
    ++at;
    ++taken;
  }
  if (taken == 0)
    return std::nullopt;
  return value;
}

}  // namespace

std::optional<int32_t> ParseTimeOfDay(const std::string& text) {
  size_t begin = text.find_first_not_of(' ');
  size_t end = text.find_last_not_of(' ');
  if (begin == std::string::npos)
    return std::nullopt;
  const std::string t = text.substr(begin, end - begin + 1);
  size_t at = 0;
  const auto hours = Digits(t, at, 2);
  if (!hours || at >= t.size() || t[at] != ':')
    return std::nullopt;
  ++at;
  const auto minutes = Digits(t, at, 2);
  if (!minutes)
    return std::nullopt;
  int32_t seconds = 0;
  if (at < t.size()) {
    if (t[at] != ':')
      return std::nullopt;
    ++at;
    const auto s = Digits(t, at, 2);
    if (!s || at != t.size())
      return std::nullopt;
    seconds = *s;
  }
  if (*hours > 23 || *minutes > 59 || seconds > 59)
    return std::nullopt;
  return *hours * 3600 + *minutes * 60 + seconds;
}

DriverConfiguration ReadConfiguration(const std::string& path) {
  const ProfileFile profile = ProfileFile::Load(path);
  DriverConfiguration c;
  c.comPort = profile.ReadString(kMainSection, kComPortKey, c.comPort);
  c.nAbs = profile.ReadInteger(kMainSection, "n_abs", c.nAbs);
  c.name = profile.ReadInteger(kMainSection, "name", c.name);
  c.firstNumber = profile.ReadInteger(kMainSection, "FirstNumber", c.firstNumber);
  c.pathForSoob = profile.ReadString(kMainSection, "PathForSoob", c.pathForSoob);
  c.attentionSeconds = ParseTimeOfDay(profile.ReadString(kMainSection, "Attention", "00:10:00"))
                           .value_or(kDefaultAttentionSeconds);
  const int32_t tcpPort = profile.ReadInteger(kMainSection, kTcpPortKey, kDefaultTcpPort);
  if (tcpPort >= 1 && tcpPort <= 65535)
    c.tcpPort = static_cast<uint16_t>(tcpPort);
  c.metrics = ReadMetricsSettings(profile);
  return c;
}

std::string PortTextOf(const std::string& portName) {
  return portName.size() > 3 ? portName.substr(3) : std::string();
}

std::optional<int> PortNumberOf(const std::string& portText) {
  if (portText.empty() || portText.size() > kMostPortDigits)
    return std::nullopt;
  int value = 0;
  for (char c : portText) {
    if (!std::isdigit(static_cast<unsigned char>(c)))
      return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace tessar
