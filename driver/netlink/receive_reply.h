// Reading one server packet from the stream: a 21-byte frame header, then a
// body of N bytes in chunks of at most 50000 bytes.
#pragma once

#include <cstdint>

#include "netlink/packets.h"
#include "platform/byte_stream.h"

namespace tessar {

enum class ReplyOutcome {
  kPacket,   // the reply holds the N bytes of one frame
  kNothing,  // no frame came (or a wrong marker, or N = 0); the stream is still in step
  kBroken,   // the stream cannot be trusted any more: the connection must be closed
};

struct ReplyLimits {
  uint32_t readTimeoutMs = 1000;
  // Read attempts per body chunk; bytes that arrived are kept between attempts.
  int chunkAttempts = 3;
  int32_t maxFrameLength = kMaxFrameLength;
};

// Empties `reply`, then fills it with one frame's bytes or leaves it empty.
// A frame header that does not come at all within the read timeout, a wrong
// marker or a zero length leave the stream as it is. The connection is broken
// when it closes or fails, when only part of a header or a body arrives, or
// when the length is negative or above the bound: nothing that large is
// allocated, and the stream is not read on out of step.
ReplyOutcome ReceiveReply(platform::ByteStream& stream, const ReplyLimits& limits, Bytes& reply);

}  // namespace tessar
