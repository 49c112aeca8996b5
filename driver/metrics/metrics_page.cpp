#include "metrics/metrics_page.h"

#include <chrono>
#include <cstdlib>

#include "platform/tcp.h"

namespace tessar {
namespace {

using SteadyClock = std::chrono::steady_clock;

bool IsNameCharacter(char c, bool first) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' ||
         (!first && c >= '0' && c <= '9');
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// Reads `name="value"` pairs up to the closing brace; false when malformed.
bool ParseLabels(const std::string& line, size_t& at, std::map<std::string, std::string>& labels) {
  ++at;  // '{'
  while (at < line.size() && line[at] != '}') {
    const size_t nameStart = at;
    while (at < line.size() && IsNameCharacter(line[at], at == nameStart))
      ++at;
    if (at == nameStart || at + 1 >= line.size() || line[at] != '=' || line[at + 1] != '"')
      return false;
    const std::string name = line.substr(nameStart, at - nameStart);
    at += 2;
    std::string value;
    while (at < line.size() && line[at] != '"') {
      if (line[at] == '\\' && at + 1 < line.size()) {
        ++at;
        value += line[at] == 'n' ? '\n' : line[at];
      } else {
        value += line[at];
      }
      ++at;
    }
    if (at >= line.size())
      return false;
    ++at;  // closing quote
    labels[name] = value;
    if (at < line.size() && line[at] == ',')
      ++at;
  }
  if (at >= line.size())
    return false;
  ++at;  // '}'
  return true;
}

std::optional<MetricSample> ParseSampleLine(const std::string& line) {
  size_t at = 0;
  while (at < line.size() && IsNameCharacter(line[at], at == 0))
    ++at;
  if (at == 0)
    return std::nullopt;
  MetricSample sample;
  sample.name = line.substr(0, at);
  if (at < line.size() && line[at] == '{' && !ParseLabels(line, at, sample.labels))
    return std::nullopt;
  if (at >= line.size() || line[at] != ' ')
    return std::nullopt;
  const std::string rest = line.substr(at + 1);
  char* end = nullptr;
  sample.value = std::strtod(rest.c_str(), &end);
  if (end == rest.c_str() || (*end != '\0' && *end != ' '))
    return std::nullopt;
  return sample;
}

// The body of an HTTP answer with status 200, chunked or not.
bool HttpBody(const std::string& answer, std::string* body, std::string* error) {
  const size_t headerEnd = answer.find("\r\n\r\n");
  if (answer.compare(0, 5, "HTTP/") != 0 || headerEnd == std::string::npos) {
    *error = "the answer is no HTTP answer";
    return false;
  }
  const size_t statusEnd = answer.find("\r\n");
  const std::string statusLine = answer.substr(0, statusEnd);
  const size_t space = statusLine.find(' ');
  if (space == std::string::npos || statusLine.compare(space + 1, 3, "200") != 0) {
    *error = "the answer is \"" + statusLine + "\"";
    return false;
  }
  const std::string headers = Lower(answer.substr(statusEnd, headerEnd - statusEnd));
  std::string content = answer.substr(headerEnd + 4);
  if (headers.find("\r\ntransfer-encoding: chunked") == std::string::npos) {
    *body = std::move(content);
    return true;
  }
  body->clear();
  size_t at = 0;
  for (;;) {
    const size_t lineEnd = content.find("\r\n", at);
    if (lineEnd == std::string::npos)
      break;
    char* end = nullptr;
    const unsigned long size = std::strtoul(content.c_str() + at, &end, 16);
    if (end == content.c_str() + at)
      break;
    if (size == 0)
      return true;
    if (lineEnd + 2 + size > content.size())
      break;
    body->append(content, lineEnd + 2, size);
    at = lineEnd + 2 + size + 2;
  }
  *error = "the answer's chunks are incomplete";
  return false;
}

}  // namespace

MetricsPage MetricsPage::Parse(const std::string& text) {
  MetricsPage page;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos)
      end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (line.empty() || line[0] == '#')
      continue;
    if (auto sample = ParseSampleLine(line))
      page.samples_.push_back(std::move(*sample));
  }
  return page;
}

std::optional<double> MetricsPage::Value(const std::string& name,
                                         const std::map<std::string, std::string>& labels) const {
  for (const MetricSample& sample : samples_)
    if (sample.name == name && sample.labels == labels)
      return sample.value;
  return std::nullopt;
}

FetchResult FetchMetrics(const std::string& address, uint16_t port, uint32_t timeoutMs,
                         size_t mostBytes) {
  FetchResult result;
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  const auto msLeft = [&] {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return static_cast<uint32_t>(left.count() > 0 ? left.count() : 0);
  };
  platform::TcpConnection connection;
  std::string why;
  if (!connection.Connect(address, port, timeoutMs, &why)) {
    result.noAnswer = true;
    result.error = why.empty() ? "no answer" : why;
    return result;
  }
  const std::string request = "GET /metrics HTTP/1.0\r\nHost: " + address + ":" +
                              std::to_string(port) + "\r\nConnection: close\r\n\r\n";
  if (connection.WriteAll(reinterpret_cast<const uint8_t*>(request.data()), request.size(),
                          msLeft()) != platform::IoResult::kOk) {
    result.error = "the request could not be sent";
    return result;
  }
  std::string answer;
  uint8_t buffer[16384];
  for (;;) {
    size_t received = 0;
    const platform::IoResult read = connection.ReadSome(buffer, sizeof buffer, msLeft(), received);
    if (read == platform::IoResult::kClosed)
      break;
    if (read != platform::IoResult::kOk) {
      result.error = read == platform::IoResult::kTimeout ? "the answer did not come in time"
                                                          : "the connection failed";
      return result;
    }
    answer.append(reinterpret_cast<const char*>(buffer), received);
    if (answer.size() > mostBytes) {
      result.error = "the answer is larger than " + std::to_string(mostBytes) + " bytes";
      return result;
    }
  }
  result.ok = HttpBody(answer, &result.body, &result.error);
  return result;
}

}  // namespace tessar
