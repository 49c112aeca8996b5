// The texts the library writes to its logs, rendered byte for byte. Each
// renderer fills a caller-owned buffer and returns its text; rendering into a
// buffer per call keeps threads that log at the same moment apart.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zntlink.h"

namespace zntlink {

constexpr size_t kTextBufferSize = 512;

struct TextBuffer {
  char text[kTextBufferSize] = {};
  size_t length = 0;
};

// "YYYY/MM/DD hh:mm:ss", no line end.
const char* RenderTimeStamp(TextBuffer& out, const SYSTEMTIME& now);
// Time stamp, " Communication is established\r\n" or " Communication is lost\r\n".
const char* RenderLinkStatus(TextBuffer& out, const SYSTEMTIME& now, bool up);
// The three-line block of the six counters.
const char* RenderStatisticsBlock(TextBuffer& out, const LinkStatistics& stats);
const char* RenderSessionEstablished(TextBuffer& out, const SYSTEMTIME& now, unsigned major,
                                     unsigned minor, uint32_t serial);
const char* RenderSessionCompleted(TextBuffer& out, const SYSTEMTIME& now,
                                   const LinkStatistics& stats);
const char* RenderPowerStatus(TextBuffer& out, const SYSTEMTIME& now, uint8_t oldStatus,
                              uint8_t newStatus);
const char* RenderSlotStatus(TextBuffer& out, const SYSTEMTIME& now, const uint8_t oldStatus[8],
                             const uint8_t newStatus[8]);
// One line per receiver message (bytes m0..mL-1 as fetched); bytes beyond
// length are read as 0, never from memory.
const char* RenderMessageLine(TextBuffer& out, const uint8_t* message, size_t length);

}  // namespace zntlink
