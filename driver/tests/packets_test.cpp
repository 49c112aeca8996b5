// The bytes the driver puts on the wire and reads from it.
#include "netlink/packets.h"

#include <gtest/gtest.h>

namespace tessar {
namespace {

TEST(Packets, PacketsAndFramesAreLaidOutByteForByte) {
  const Bytes reply = BuildPacket(CMD_QUERY_REPLY, 0x0102030405060708ull, {});
  EXPECT_EQ(reply, (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0, 0, 0, 0, 0x08, 0x07, 0x06, 0x05, 0x04,
                          0x03, 0x02, 0x01, 0xFE}));
  const Bytes frame = BuildFrame(reply);
  ASSERT_EQ(frame.size(), 39u);
  const Bytes header(frame.begin(), frame.begin() + 21);
  EXPECT_EQ(header, (Bytes{0xFF, 0, 0, 0, 0, 18, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 18, 0, 0, 0}));
  EXPECT_EQ(Bytes(frame.begin() + 21, frame.end()), reply);

  const Bytes event = BuildPacket(CMD_EVENT, 7, Bytes(27, 0x55));
  EXPECT_EQ(event.size(), 45u);
  EXPECT_EQ(GetInt32(&event[5]), 27);
  EXPECT_EQ(PacketCode(event), CMD_EVENT);
  EXPECT_EQ(PacketSequence(event), 7u);
}

TEST(Packets, PayloadsTheDriverBuilds) {
  struct Case {
    const char* name;
    Bytes payload;
    Bytes expected;
  };
  const Case cases[] = {
      {"hello", HelloPayload(), {0x12, 0x00}},
      {"port COM12 link 1", PortStatePayload("12", 1), {5, 'C', 'O', 'M', '1', '2', 0, 1}},
      {"port COM255 link 0", PortStatePayload("255", 0), {6, 'C', 'O', 'M', '2', '5', '5', 0}},
      {"port name cut to six", PortStatePayload("12345", 1), {6, 'C', 'O', 'M', '1', '2', '3', 1}},
      {"port text empty", PortStatePayload("", 0), {3, 'C', 'O', 'M', 0, 0, 0, 0}},
      {"first number 1", FirstNumberPayload(1), {1}},
      {"first number low byte", FirstNumberPayload(258), {2}},
      {"first number negative", FirstNumberPayload(-1), {0xFF}},
      {"version 8.1.3.163", VersionPayload("8.1.3.163"), {8, 0, 1, 0, 3, 0, 0xA3, 0}},
      {"version without a dot", VersionPayload("81316"), Bytes(8, 0)},
      {"version empty parts", VersionPayload("8..x.5"), {8, 0, 0, 0, 0, 0, 5, 0}},
      {"version with two parts", VersionPayload("3.7"), {3, 0, 7, 0, 0, 0, 0, 0}},
      {"version rest kept whole", VersionPayload("1.2.3.4.5"), {1, 0, 2, 0, 3, 0, 0, 0}},
      {"version over 16 bits", VersionPayload("70000.1.2.65535"), {0, 0, 1, 0, 2, 0, 0xFF, 0xFF}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.payload, c.expected) << c.name;
}

TEST(Packets, FrameHeadersAndValidPackets) {
  Bytes header(21, 0);
  struct Case {
    uint8_t marker;
    int32_t length;
    bool valid;
  };
  for (const Case& c : {Case{0xFF, 18, true}, Case{0xF0, 18, true}, Case{0x00, 18, false},
                        Case{0xFE, 5, false}, Case{0xFF, -1, true}}) {
    header[0] = c.marker;
    PutInt32(&header[5], c.length);
    const FrameHeader parsed = ParseFrameHeader(header.data());
    EXPECT_EQ(parsed.markerValid, c.valid) << int{c.marker};
    EXPECT_EQ(parsed.length, c.length) << int{c.marker};
  }

  Bytes packet = BuildPacket(CMD_TEST, 0, {});
  EXPECT_TRUE(IsValidPacket(packet));
  EXPECT_FALSE(IsValidPacket(Bytes(packet.begin(), packet.end() - 1))) << "17 bytes";
  packet[17] = 0;
  EXPECT_FALSE(IsValidPacket(packet)) << "no end marker";
  packet[17] = 0xFE;
  packet[0] = 0xF0;
  EXPECT_FALSE(IsValidPacket(packet)) << "0xF0 opens frames only, not packets";
}

TEST(Packets, CommandNames) {
  EXPECT_EQ(CommandName(CMD_SERVER_DISCONNECT), "CMD_SERVER_DISCONNECT");
  EXPECT_EQ(CommandName(0x12345678), "0x12345678");
}

}  // namespace
}  // namespace tessar
