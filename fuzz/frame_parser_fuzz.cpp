// The library's frame parser on arbitrary line bytes. Checked for every input:
// - feeding byte by byte and feeding in blocks finish the same frames with the
//   same outcome and content;
// - a frame reported good holds at most the buffer's content and re-encodes
//   (code, status and payload through the frame builder) to bytes that parse,
//   alone, to one good frame with the same content.
#include <cstring>
#include <vector>

#include "frame.h"
#include "fuzz_support.h"

using tessar::fuzz::Check;
using namespace zntlink;

namespace {

struct Finished {
  bool bad = false;
  std::vector<uint8_t> content;
  bool operator==(const Finished&) const = default;
};

Finished Take(const FrameParser& parser) {
  return {parser.bad(),
          std::vector<uint8_t>(parser.content(), parser.content() + parser.contentLength())};
}

void CheckRoundTrip(const Finished& frame) {
  // Content shorter than a code cannot be rebuilt, and no answer is taken from it.
  if (frame.bad || frame.content.size() < 2)
    return;
  Check(frame.content.size() <= kFrameBufferSize - 4, "good frame larger than the buffer allows");
  const char code[2] = {static_cast<char>(frame.content[0]), static_cast<char>(frame.content[1])};
  uint8_t wire[2 * kFrameBufferSize + 8];
  const size_t length =
      BuildFrame(code, frame.content.data() + 2, frame.content.size() - 2, wire, sizeof wire);
  Check(length > 0, "a good frame's content does not re-encode");
  FrameParser again;
  bool finished = false;
  const size_t used = again.Feed(wire, length, &finished);
  Check(finished && used == length, "a re-encoded frame does not finish at its end marker");
  Check(Take(again) == frame, "a re-encoded frame parses to other content");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte, when there is one, sets the block size of the second feed.
  const size_t block = size > 0 ? 1 + data[0] % 64 : 1;

  std::vector<Finished> byByte;
  FrameParser single;
  for (size_t i = 0; i < size; ++i) {
    if (single.Feed(data[i]))
      byByte.push_back(Take(single));
  }

  std::vector<Finished> byBlock;
  FrameParser blocks;
  for (size_t at = 0; at < size;) {
    const size_t chunk = std::min(block, size - at);
    bool finished = false;
    const size_t used = blocks.Feed(data + at, chunk, &finished);
    Check(used >= 1 && used <= chunk, "block feed used no byte or too many");
    Check(finished || used == chunk, "block feed stopped without a finished frame");
    if (finished)
      byBlock.push_back(Take(blocks));
    at += used;
  }
  Check(byByte == byBlock, "byte and block feeds disagree");

  for (const Finished& frame : byByte)
    CheckRoundTrip(frame);
  return 0;
}
