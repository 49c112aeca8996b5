#include "netlink/receive_reply.h"

#include <algorithm>
#include <new>

namespace tessar {

using platform::IoResult;

ReplyOutcome ReceiveReply(platform::ByteStream& stream, const ReplyLimits& limits, Bytes& reply) {
  reply.clear();
  uint8_t header[kFrameHeaderSize];
  size_t received = 0;
  const IoResult headerRead =
      stream.ReadExact(header, sizeof header, limits.readTimeoutMs, received);
  if (headerRead != IoResult::kOk)
    return headerRead == IoResult::kTimeout && received == 0 ? ReplyOutcome::kNothing
                                                             : ReplyOutcome::kBroken;
  const FrameHeader frame = ParseFrameHeader(header);
  // The bytes after a header with a wrong marker are not skipped: the next
  // read starts right after these 21 bytes.
  if (!frame.markerValid || frame.length == 0)
    return ReplyOutcome::kNothing;
  if (frame.length < 0 || frame.length > limits.maxFrameLength)
    return ReplyOutcome::kBroken;
  const auto length = static_cast<size_t>(frame.length);
  try {
    reply.resize(length);
  } catch (const std::bad_alloc&) {
    reply.clear();
    return ReplyOutcome::kBroken;
  }
  size_t filled = 0;
  while (filled < length) {
    const size_t chunkEnd = filled + std::min(kBodyChunkSize, length - filled);
    for (int attempt = 0; filled < chunkEnd && attempt < limits.chunkAttempts; ++attempt) {
      const IoResult read =
          stream.ReadExact(&reply[filled], chunkEnd - filled, limits.readTimeoutMs, received);
      filled += received;
      if (read != IoResult::kOk && read != IoResult::kTimeout)
        break;
    }
    if (filled < chunkEnd) {
      reply.clear();
      return ReplyOutcome::kBroken;
    }
  }
  return ReplyOutcome::kPacket;
}

}  // namespace tessar
