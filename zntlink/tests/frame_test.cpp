#include "frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zntlink {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Build(const char* code, const Bytes& body) {
  uint8_t out[kFrameBufferSize];
  size_t n = BuildFrame(code, body.data(), body.size(), out, sizeof out);
  return Bytes(out, out + n);
}

struct Parsed {
  int frames = 0;
  bool bad = false;
  Bytes content;
};

Parsed ParseAll(const Bytes& wire) {
  FrameParser parser;
  Parsed result;
  for (uint8_t b : wire) {
    if (parser.Feed(b)) {
      ++result.frames;
      result.bad = parser.bad();
      result.content.assign(parser.content(), parser.content() + parser.contentLength());
    }
  }
  return result;
}

TEST(Crc16Arc, CheckValue) {
  const std::string check = "123456789";
  EXPECT_EQ(Crc16Arc(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0xBB3D);
}

struct FrameExample {
  const char* name;
  const char* code;
  Bytes body;
  Bytes wire;
};

TEST(Frame, ExamplesRoundTripByteForByte) {
  const FrameExample examples[] = {
      {"S0 request", "S0", {}, {0x02, 0x53, 0x30, 0x9D, 0x24, 0x03, 0xFA}},
      {"S2 answer, power 0x05",
       "S2",
       {0x06, 0x05},
       {0x02, 0x53, 0x32, 0x06, 0x05, 0x0A, 0xE8, 0x03, 0xFA}},
      {"S5 request, 0xFA in the CRC",
       "S5",
       {0x00, 0x01, 0xE1},
       {0x02, 0x53, 0x35, 0x00, 0x01, 0xE1, 0x4B, 0x10, 0xFA, 0x03, 0xFA}},
  };
  for (const auto& example : examples) {
    SCOPED_TRACE(example.name);
    EXPECT_EQ(Build(example.code, example.body), example.wire);
    Parsed parsed = ParseAll(example.wire);
    ASSERT_EQ(parsed.frames, 1);
    EXPECT_FALSE(parsed.bad);
    Bytes content{static_cast<uint8_t>(example.code[0]), static_cast<uint8_t>(example.code[1])};
    content.insert(content.end(), example.body.begin(), example.body.end());
    EXPECT_EQ(parsed.content, content);
  }
}

TEST(Frame, PayloadFaAndEscapeBytesAreStuffedAndRestored) {
  const Bytes body = {0x06, 0xFA, 0x10, 0x10, 0xFA, 0x10, 0x41};
  Bytes wire = Build("D1", body);
  Parsed parsed = ParseAll(wire);
  ASSERT_EQ(parsed.frames, 1);
  EXPECT_FALSE(parsed.bad);
  Bytes expected = {'D', '1'};
  expected.insert(expected.end(), body.begin(), body.end());
  EXPECT_EQ(parsed.content, expected);
}

// Frames assembled by hand, to pin the parser's escape rules independently of
// the builder: the CRC is computed over the unstuffed bytes.
Bytes HandFrame(const Bytes& rawContent, const Bytes& stuffedContent, uint8_t etx = kFrameEtx) {
  Bytes raw = {kFrameStart};
  raw.insert(raw.end(), rawContent.begin(), rawContent.end());
  uint16_t crc = Crc16Arc(raw.data(), raw.size());
  Bytes wire = {kFrameStart};
  wire.insert(wire.end(), stuffedContent.begin(), stuffedContent.end());
  for (uint8_t b : {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)}) {
    if (b == kFrameEnd)
      wire.push_back(kFrameEscape);
    wire.push_back(b);
  }
  wire.push_back(etx);
  wire.push_back(kFrameEnd);
  return wire;
}

TEST(FrameParser, EscapeRules) {
  struct Case {
    const char* name;
    Bytes raw;      // content as meant
    Bytes stuffed;  // content as sent
  } cases[] = {
      {"0x10 before an ordinary byte is two data bytes",
       {'S', '7', 0x06, 0x10, 0x41},
       {'S', '7', 0x06, 0x10, 0x41}},
      {"0x10 0x10 0xFA is the data 0x10 0xFA",
       {'S', '7', 0x06, 0x10, 0xFA},
       {'S', '7', 0x06, 0x10, 0x10, 0xFA}},
      {"0x10 0xFA is one 0xFA", {'S', '7', 0x06, 0xFA}, {'S', '7', 0x06, 0x10, 0xFA}},
      {"0x10 as the last content byte", {'S', '7', 0x06, 0x10}, {'S', '7', 0x06, 0x10}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Parsed parsed = ParseAll(HandFrame(c.raw, c.stuffed));
    ASSERT_EQ(parsed.frames, 1);
    EXPECT_FALSE(parsed.bad);
    EXPECT_EQ(parsed.content, c.raw);
  }
}

TEST(FrameParser, NoiseAndLoneEndMarkersBeforeTheStartAreDropped) {
  Bytes wire = {0x55, 0xFA, 0x00, 0x10, 0xFA, 0xFA};
  Bytes frame = Build("S2", {0x06, 0x05});
  wire.insert(wire.end(), frame.begin(), frame.end());
  Parsed parsed = ParseAll(wire);
  ASSERT_EQ(parsed.frames, 1);
  EXPECT_FALSE(parsed.bad);
  EXPECT_EQ(parsed.content, (Bytes{'S', '2', 0x06, 0x05}));
}

TEST(FrameParser, BadFrames) {
  Bytes goodS2 = Build("S2", {0x06, 0x05});
  Bytes wrongCrc = goodS2;
  wrongCrc[4] ^= 0x01;
  Bytes wrongEtx = HandFrame({'S', '2', 0x06, 0x05}, {'S', '2', 0x06, 0x05}, 0x04);
  Bytes tooShort = {0x02, 0x03, 0xFA};
  for (const auto& [name, wire] :
       {std::pair{"CRC", wrongCrc}, std::pair{"ETX with a good CRC", wrongEtx},
        std::pair{"too short", tooShort}}) {
    SCOPED_TRACE(name);
    Parsed parsed = ParseAll(wire);
    EXPECT_EQ(parsed.frames, 1);
    EXPECT_TRUE(parsed.bad);
  }
}

TEST(FrameParser, OversizedFrameIsReportedBadWithoutOverrunThenParsingRecovers) {
  Bytes wire = {kFrameStart};
  wire.insert(wire.end(), 400, 0x41);
  wire.push_back(kFrameEtx);
  wire.push_back(kFrameEnd);
  Bytes next = Build("S2", {0x06, 0x02});
  wire.insert(wire.end(), next.begin(), next.end());
  FrameParser parser;
  std::vector<bool> results;
  for (uint8_t b : wire) {
    if (parser.Feed(b)) {
      results.push_back(parser.bad());
      // The content of a bad frame, too, lies within the buffer.
      EXPECT_LE(parser.contentLength(), kFrameBufferSize);
    }
  }
  ASSERT_EQ(results.size(), 2u);
  EXPECT_TRUE(results[0]);
  EXPECT_FALSE(results[1]);
  EXPECT_EQ(Bytes(parser.content(), parser.content() + parser.contentLength()),
            (Bytes{'S', '2', 0x06, 0x02}));
}

TEST(FrameParser, TheLongestFrameThatFitsTheBufferParses) {
  // Start, content, two CRC bytes and the ETX fill the 128 bytes exactly; the
  // end marker is not stored. One content byte more no longer fits.
  struct Case {
    size_t contentLength;
    bool bad;
  } cases[] = {{123, false}, {124, false}, {125, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.contentLength);
    const Bytes content(c.contentLength, 0x41);
    Parsed parsed = ParseAll(HandFrame(content, content));
    ASSERT_EQ(parsed.frames, 1);
    EXPECT_EQ(parsed.bad, c.bad);
    if (!c.bad) {
      EXPECT_EQ(parsed.content, content);
    }
  }
  Bytes wire = {kFrameStart};
  wire.insert(wire.end(), 124, 0x41);
  wire.insert(wire.end(), {0x37, 0x0A, kFrameEtx, kFrameEnd});
  EXPECT_EQ(HandFrame(Bytes(124, 0x41), Bytes(124, 0x41)), wire);
}

TEST(FrameParser, ChunkFeedStopsAtTheEndOfTheFirstFrame) {
  Bytes wire = Build("S0", {0x06, 1, 2, 3, 4, 5, 0xD3, 0x07});
  size_t firstLength = wire.size();
  Bytes second = Build("S2", {0x06, 0x05});
  wire.insert(wire.end(), second.begin(), second.end());
  FrameParser parser;
  bool finished = false;
  EXPECT_EQ(parser.Feed(wire.data(), wire.size(), &finished), firstLength);
  EXPECT_TRUE(finished);
  EXPECT_FALSE(parser.bad());
}

TEST(BuildFrame, RefusesWhatDoesNotFit) {
  Bytes body(200, 0xFA);
  uint8_t out[kFrameBufferSize];
  EXPECT_EQ(BuildFrame("H5", body.data(), body.size(), out, sizeof out), 0u);
}

}  // namespace
}  // namespace zntlink
