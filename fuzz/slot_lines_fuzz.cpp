// The local TCP service's line handling on an arbitrary client stream: the
// line reader with its cap, then every line through the shared state's
// "Slot" handling, with a queue that refuses some records. Checked: the
// reader never holds more than the cap, lines come out whole and in order,
// every kept record has its 23 bytes with zeros before the body, the
// counters match what the queue took and refused for repeats, and answers are
// only line ends and echo answers.
#include <atomic>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "netlink/local_service_lines.h"

using tessar::fuzz::Check;
using namespace tessar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  // The first byte sets the queue's room (0 to 15 records before it is full)
  // and the size of the pieces the client's bytes arrive in.
  const int room = data[0] & 0x0F;
  const size_t piece = 1 + (data[0] >> 4) * 97;
  int puts = 0;
  int kept = 0;
  std::atomic<int32_t> messages{0};
  std::atomic<int32_t> duplicates{0};
  LocalServiceState state(
      [&](const uint8_t* bytes, int32_t count) {
        ++puts;
        Check(count == static_cast<int32_t>(kServiceRecordBytes), "a record of the wrong size");
        for (size_t i = 0; i < kServiceRecordBodyOffset; ++i)
          Check(bytes[i] == 0, "a record whose header bytes are not zero");
        if (kept >= room)
          return false;
        ++kept;
        return true;
      },
      messages, duplicates);

  LineReader reader;
  std::string joined;
  size_t slotLines = 0;
  for (size_t at = 1; at < size; at += piece) {
    const size_t length = std::min(piece, size - at);
    reader.Feed(data + at, length, [&](std::string_view line) {
      Check(!line.empty() && line.back() == '\n', "a line without its line feed");
      Check(line.size() <= kMostLineBytes, "a line longer than the cap");
      Check(line.find('\n') == line.size() - 1, "a line feed inside a line");
      joined.append(line);
      if (ReadServiceLine(line).isSlot)
        ++slotLines;
      const std::string answer = state.HandleLine(line);
      // Answers are CR LF ("#3") and "D<echo>/" CR LF (an empty line).
      std::string_view rest = answer;
      if (rest.substr(0, 2) == "\r\n")
        rest.remove_prefix(2);
      if (!rest.empty())
        Check(rest == EchoAnswerOf(state.Echo()), "an answer that is neither");
    });
    Check(reader.PendingBytes() <= kMostLineBytes, "the reader holds more than the cap");
  }
  Check(messages.load() == kept, "messages counted other than the records kept");
  Check(static_cast<size_t>(messages.load() + duplicates.load()) + (puts - kept) == slotLines,
        "Slot lines neither kept, refused nor counted as repeats");
  // Lines that came whole (not dropped for their length) are the client's
  // bytes in order.
  if (reader.DroppedLines() == 0) {
    const std::string_view sent(reinterpret_cast<const char*>(data + 1), size - 1);
    Check(sent.substr(0, joined.size()) == joined, "lines are not the bytes that came");
  }
  return 0;
}
