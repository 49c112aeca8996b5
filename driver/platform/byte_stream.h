// A connected byte stream as the protocol code sees it: read exactly N bytes
// with a timeout, write a buffer with a timeout. The TCP connection implements
// it; tests wrap it to watch what the protocol asks for.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessar::platform {

enum class IoResult {
  kOk,         // everything asked for was read or written
  kTimeout,    // the time ran out first
  kClosed,     // the peer closed the connection (or it was never open)
  kError,      // a socket error
  kCancelled,  // the stop signal was set
};

class ByteStream {
 public:
  virtual ~ByteStream() = default;
  // Reads `size` bytes into `data`, waiting at most `timeoutMs` in all;
  // `received` tells how many arrived, also when the read fails.
  virtual IoResult ReadExact(uint8_t* data, size_t size, uint32_t timeoutMs, size_t& received) = 0;
  // Writes the whole buffer, waiting at most `timeoutMs` for room.
  virtual IoResult WriteAll(const uint8_t* data, size_t size, uint32_t timeoutMs) = 0;
};

}  // namespace tessar::platform
