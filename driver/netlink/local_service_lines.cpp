#include "netlink/local_service_lines.h"

#include <cstdio>
#include <cstring>
#include <utility>

namespace tessar {
namespace {

constexpr std::string_view kSlotMark = "Slot";
constexpr std::string_view kLineEndMark = "#3";
constexpr std::string_view kLineEnd = "\r\n";

// Everything after the first `mark`; the text unchanged when it has none.
std::string_view AfterFirst(std::string_view text, char mark) {
  const size_t at = text.find(mark);
  return at == std::string_view::npos ? text : text.substr(at + 1);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

// The byte written by the two characters at `at`; 0 unless both are
// hexadecimal digits.
uint8_t HexByteAt(std::string_view text, size_t at) {
  if (at + 2 > text.size())
    return 0;
  const int high = HexDigit(text[at]);
  const int low = HexDigit(text[at + 1]);
  if (high < 0 || low < 0)
    return 0;
  return static_cast<uint8_t>(high << 4 | low);
}

std::string TwoDigits(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d", value % 100);
  return text;
}

}  // namespace

std::string GreetingOf(const platform::LocalTime& now) {
  return std::string(kServiceModelLine) + "systime" + TwoDigits(now.year) + "," +
         TwoDigits(now.month) + "," + TwoDigits(now.day) + "," + TwoDigits(now.hour) + "," +
         TwoDigits(now.minute) + "," + TwoDigits(now.second) + std::string(kLineEnd);
}

std::string EchoAnswerOf(uint8_t echo) {
  std::string digits = std::to_string(echo);
  if (digits.size() > 2)
    digits.resize(2);
  return "D" + digits + "/" + std::string(kLineEnd);
}

void LineReader::Feed(const uint8_t* data, size_t size,
                      const std::function<void(std::string_view)>& onLine) {
  size_t at = 0;
  while (at < size) {
    const void* found = std::memchr(data + at, '\n', size - at);
    const size_t end =
        found ? static_cast<size_t>(static_cast<const uint8_t*>(found) - data) + 1 : size;
    const size_t piece = end - at;
    if (discarding_) {
      if (found)
        discarding_ = false;
    } else if (line_.size() + piece > kMostLineBytes) {
      line_.clear();
      ++dropped_;
      discarding_ = found == nullptr;
    } else {
      line_.append(reinterpret_cast<const char*>(data + at), piece);
      if (found) {
        onLine(line_);
        line_.clear();
      }
    }
    at = end;
  }
}

LineReading ReadServiceLine(std::string_view line) {
  LineReading reading;
  std::string_view rest = line;
  if (line.find(kSlotMark) != std::string_view::npos) {
    reading.isSlot = true;
    reading.answerLineEnd = line.find(kLineEndMark) != std::string_view::npos;
    rest = AfterFirst(rest, ')');
    rest = AfterFirst(rest, ' ');
    reading.key = std::string(rest.substr(0, kKeyLength));
    rest = AfterFirst(AfterFirst(rest, ' '), ' ');
    for (size_t i = 0; i < kLineDataBytes; ++i)
      reading.data[i] = HexByteAt(rest, 2 * i);
    rest = AfterFirst(rest, ' ');
    reading.echo = HexByteAt(rest, 0);
  }
  reading.emptyLine = rest == kLineEnd;
  return reading;
}

bool RecentMessageTable::Contains(std::string_view key) const {
  for (const std::string& entry : entries_) {
    if (!entry.empty() && entry == key)
      return true;
  }
  return false;
}

void RecentMessageTable::Enter(std::string_view key) {
  entries_[static_cast<size_t>(cursor_ - 1)] = std::string(key);
  cursor_ = cursor_ == kRecentMessages ? 1 : cursor_ + 1;
}

LocalServiceState::LocalServiceState(PutRecord put, std::atomic<int32_t>& messageCounter,
                                     std::atomic<int32_t>& duplicateCounter, DriverMetrics* metrics)
    : put_(std::move(put)),
      messageCounter_(messageCounter),
      duplicateCounter_(duplicateCounter),
      metrics_(metrics) {}

std::string LocalServiceState::HandleLine(std::string_view line) {
  const LineReading reading = ReadServiceLine(line);
  std::string answer;
  if (reading.isSlot) {
    if (reading.answerLineEnd)
      answer += kLineEnd;
    ServiceRecord record{};
    std::memcpy(record.data() + kServiceRecordBodyOffset, reading.data.data(), kLineDataBytes);
    {
      std::lock_guard<std::mutex> lock(tableGuard_);
      if (table_.Contains(reading.key)) {
        ++duplicateCounter_;
        if (metrics_ != nullptr)
          Count(metrics_->tcpDuplicates);
      } else if (put_(record.data(), static_cast<int32_t>(record.size()))) {
        // Only a kept record enters the table: the peer's next copy of a
        // line the full queue lost is taken as new.
        ++messageCounter_;
        if (metrics_ != nullptr)
          Count(metrics_->tcpMessages);
        table_.Enter(reading.key);
      }
      echo_ = reading.echo;
    }
  }
  if (reading.emptyLine)
    answer += EchoAnswerOf(echo_.load());
  return answer;
}

}  // namespace tessar
