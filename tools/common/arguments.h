// Checked command-line numbers for the tools: the whole text must be a number
// within the given range, so "abc", "5x" and out-of-range values are refused.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>

namespace tessar::tools {

inline std::optional<int> ParseInt(const std::string& text, int low, int high) {
  if (text.empty())
    return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high)
    return std::nullopt;
  return static_cast<int>(value);
}

inline std::optional<double> ParseSeconds(const std::string& text, double low, double high) {
  if (text.empty())
    return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !(value >= low && value <= high))
    return std::nullopt;
  return value;
}

}  // namespace tessar::tools
