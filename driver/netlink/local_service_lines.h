// The local TCP service's line handling without a socket: the greeting with
// the clock line, the line reader with its length cap, and the handling of
// one line against the recent-message table, the two counters and the echo
// value that every client shares. Bytes in, the record to queue and the bytes
// to answer out.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "common/driver_metrics.h"
#include "platform/clock.h"

namespace tessar {

// The model line every client receives first.
inline constexpr char kServiceModelLine[] = "QT6100wx V1.02\r\n";
// A real line is some 80 characters; anything longer than this is no line
// the service understands and is dropped whole.
inline constexpr size_t kMostLineBytes = 4096;
inline constexpr int kRecentMessages = 200;
inline constexpr size_t kKeyLength = 46;
inline constexpr size_t kLineDataBytes = 13;
inline constexpr size_t kServiceRecordBytes = 23;
// The message body of a receiver message record starts here.
inline constexpr size_t kServiceRecordBodyOffset = 10;

using ServiceRecord = std::array<uint8_t, kServiceRecordBytes>;

// "QT6100wx V1.02" CR LF, then "systime" YY,MM,DD,hh,mm,ss CR LF.
std::string GreetingOf(const platform::LocalTime& now);

// The answer to an empty line: "D", the echo value in decimal (its first two
// digits when it has three), "/" and CR LF.
std::string EchoAnswerOf(uint8_t echo);

// Collects a client's bytes into lines, each up to and including its line
// feed. A line that grows past kMostLineBytes without a line feed is dropped
// together with the rest of it up to its line feed, as one bad line, so a
// client that never sends a line feed cannot make the buffer grow.
class LineReader {
 public:
  // Calls `onLine` for every complete line in `data`, in order.
  void Feed(const uint8_t* data, size_t size, const std::function<void(std::string_view)>& onLine);
  // Lines dropped for their length so far.
  size_t DroppedLines() const { return dropped_; }
  // Bytes of the unfinished line held now.
  size_t PendingBytes() const { return line_.size(); }

 private:
  std::string line_;
  bool discarding_ = false;
  size_t dropped_ = 0;
};

// What one line says, read the way the service reads it.
struct LineReading {
  bool isSlot = false;
  // "#3" in a "Slot" line: CR LF goes back at once.
  bool answerLineEnd = false;
  std::string key;
  std::array<uint8_t, kLineDataBytes> data{};
  uint8_t echo = 0;
  // The line, after the "Slot" removals, is exactly CR LF.
  bool emptyLine = false;
};

LineReading ReadServiceLine(std::string_view line);

// The 200 most recent distinct keys and the cursor naming the entry the next
// new key overwrites. Entries start empty and an empty entry matches nothing.
class RecentMessageTable {
 public:
  bool Contains(std::string_view key) const;
  void Enter(std::string_view key);
  // 1 to 200.
  int Cursor() const { return cursor_; }

 private:
  std::array<std::string, kRecentMessages> entries_;
  int cursor_ = 1;
};

// The state every client shares, safe to use from any number of threads: the
// recent-message table, the echo value and the two counters (which live with
// the window that shows them).
class LocalServiceState {
 public:
  // Puts one record into the incoming queue; false when it was not kept.
  using PutRecord = std::function<bool(const uint8_t* bytes, int32_t count)>;

  // `metrics`, when given, counts the messages queued and the repeats as well.
  LocalServiceState(PutRecord put, std::atomic<int32_t>& messageCounter,
                    std::atomic<int32_t>& duplicateCounter, DriverMetrics* metrics = nullptr);

  // Handles one line (line feed included) and returns what to send back, in
  // order; empty when nothing is answered.
  std::string HandleLine(std::string_view line);
  uint8_t Echo() const { return echo_.load(); }

 private:
  PutRecord put_;
  std::atomic<int32_t>& messageCounter_;
  std::atomic<int32_t>& duplicateCounter_;
  DriverMetrics* metrics_;
  // Held for one line's look-up, put and entry, so that two clients sending
  // the same line at once queue it once.
  std::mutex tableGuard_;
  RecentMessageTable table_;
  std::atomic<uint8_t> echo_{0};
};

}  // namespace tessar
