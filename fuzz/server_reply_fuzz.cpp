// The server reply reader on an arbitrary byte stream. The input is cut into
// the pieces the stream delivers: a first byte sets how large the pieces of
// each read are and which reads time out before their bytes come, so frame
// headers, lengths and body chunks arrive in every split. Replies are read
// until the stream is broken or used up. Checked: a packet holds exactly the
// length its header announced, never more than the bound, and its bytes are
// the stream's; nothing else leaves bytes in the reply.
#include <algorithm>
#include <cstring>

#include "fuzz_support.h"
#include "netlink/packets.h"
#include "netlink/receive_reply.h"
#include "platform/byte_stream.h"

using tessar::fuzz::Check;
using namespace tessar;
using platform::IoResult;

namespace {

// Hands out the input's bytes; once they are used up every read times out
// without a byte, as a silent server does.
class InputStream : public platform::ByteStream {
 public:
  InputStream(const uint8_t* data, size_t size, uint8_t pattern)
      : data_(data), size_(size), pattern_(pattern) {}

  IoResult ReadExact(uint8_t* out, size_t want, uint32_t, size_t& received) override {
    received = 0;
    ++reads_;
    // Some reads deliver only part of what was asked and then time out.
    const size_t piece = 1 + (pattern_ >> 4) * 7 + (reads_ % 3);
    const bool shortRead = (pattern_ & 0x0F) != 0 && reads_ % ((pattern_ & 0x0F) + 1) == 0;
    size_t give = std::min(want, size_ - position_);
    if (shortRead)
      give = std::min(give, piece);
    std::memcpy(out, data_ + position_, give);
    position_ += give;
    received = give;
    if (received == want)
      return IoResult::kOk;
    if (position_ == size_ && (pattern_ & 0x80) != 0)
      return IoResult::kClosed;
    return IoResult::kTimeout;
  }
  IoResult WriteAll(const uint8_t*, size_t, uint32_t) override { return IoResult::kOk; }

  size_t position() const { return position_; }
  bool exhausted() const { return position_ == size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  uint8_t pattern_;
  size_t position_ = 0;
  uint64_t reads_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  InputStream stream(data + 1, size - 1, data[0]);
  // A bound above one body chunk, so that lengths of several chunks are read
  // as the real bound reads them, without 16 MB buffers on every input.
  ReplyLimits limits;
  limits.maxFrameLength = static_cast<int32_t>(3 * kBodyChunkSize + 17);
  Bytes reply;
  for (int replies = 0; replies < 64; ++replies) {
    const size_t before = stream.position();
    const ReplyOutcome outcome = ReceiveReply(stream, limits, reply);
    if (outcome != ReplyOutcome::kPacket) {
      Check(reply.empty(), "bytes left in the reply without a packet");
      if (outcome == ReplyOutcome::kBroken || stream.exhausted())
        break;
      continue;
    }
    Check(stream.position() - before >= kFrameHeaderSize + reply.size(),
          "a packet with more bytes than the stream gave");
    const FrameHeader header = ParseFrameHeader(data + 1 + before);
    Check(header.markerValid && header.length > 0 &&
              static_cast<size_t>(header.length) == reply.size() &&
              header.length <= limits.maxFrameLength,
          "a packet that is not the length its header announced");
    Check(std::equal(reply.begin(), reply.end(), data + 1 + before + kFrameHeaderSize),
          "a packet whose bytes are not the stream's");
    // What the session does with a reply.
    if (IsValidPacket(reply)) {
      CommandName(PacketCode(reply));
      PacketSequence(reply);
    }
  }
  return 0;
}
