// Waits of the library that the link timeouts record does not carry. They have
// the receiver's real values; tests shorten them instead of sleeping through them.
#pragma once

#include <atomic>
#include <cstdint>

namespace zntlink {

struct InternalTiming {
  std::atomic<uint32_t> requestWaitMs{500};   // a caller's wait for the answer to its request
  std::atomic<uint32_t> readTimeoutMs{500};   // the wait for the first byte of an answer
  std::atomic<uint32_t> connectSettleMs{10};  // between raising RTS and reading CTS
};

InternalTiming& Timing();

}  // namespace zntlink
