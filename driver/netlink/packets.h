// The message server's wire format: the 18-byte packet header, the 21-byte
// frame header in front of every packet on the stream, the command codes and
// the payloads the driver builds. All integers are little-endian, unpadded.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessar {

using Bytes = std::vector<uint8_t>;

// Codes 0x02xxxxxx control the session, codes 0x03xxxxxx carry data.
constexpr int32_t CMD_TEST = 0x02000000;
constexpr int32_t CMD_HELLO = 0x02000001;
constexpr int32_t CMD_PORT_STATE = 0x02200062;
constexpr int32_t CMD_FIRST_NUMBER = 0x02200065;
constexpr int32_t CMD_VERSION = 0x02200063;
constexpr int32_t CMD_ACCEPTED = 0x02000003;
constexpr int32_t CMD_QUERY = 0x02000004;
constexpr int32_t CMD_QUERY_REPLY = 0x02FFFFFF;
constexpr int32_t CMD_DENIED = 0x02000005;
constexpr int32_t CMD_DROP = 0x02FFFFFE;
constexpr int32_t CMD_SERVER_DISCONNECT = 0x02FFFFFD;
constexpr int32_t CMD_SPOOL_ACK = 0x03000007;
constexpr int32_t CMD_MEASUREMENT = 0x03000011;
constexpr int32_t CMD_EVENT = 0x03000017;

// The name of a command code ("CMD_EVENT"), or its hexadecimal value.
std::string CommandName(int32_t code);

constexpr size_t kPacketHeaderSize = 18;
constexpr size_t kFrameHeaderSize = 21;
constexpr uint8_t kPacketStart = 0xFF;
constexpr uint8_t kPacketEnd = 0xFE;
constexpr uint8_t kFrameMarker = 0xFF;
// Peers may also open a frame with this marker; it means the same.
constexpr uint8_t kFrameMarkerAlternate = 0xF0;
// Offsets in the frame header of the length and of its second copy.
constexpr size_t kFrameLengthOffset = 5;
constexpr size_t kFrameLengthCopyOffset = 17;
// Offsets in the packet header.
constexpr size_t kPacketCodeOffset = 1;
constexpr size_t kPacketLengthOffset = 5;
constexpr size_t kPacketSequenceOffset = 9;
constexpr size_t kPacketEndOffset = 17;

// The largest frame the driver reads; a longer announced length means the
// stream cannot be trusted, and nothing that size is allocated.
constexpr int32_t kMaxFrameLength = 16 * 1024 * 1024;
// A body is read in chunks of at most this many bytes.
constexpr size_t kBodyChunkSize = 50000;

// The driver's file version, sent in every CMD_VERSION.
inline constexpr const char kDriverFileVersion[] = "8.1.3.163";
// The value CMD_HELLO carries.
constexpr uint16_t kHelloValue = 18;
// The longest port name that CMD_PORT_STATE carries.
constexpr size_t kPortNameMax = 6;

void PutInt32(uint8_t* at, int32_t value);
int32_t GetInt32(const uint8_t* at);
void PutUint64(uint8_t* at, uint64_t value);
uint64_t GetUint64(const uint8_t* at);

// Header followed by payload.
Bytes BuildPacket(int32_t code, uint64_t sequence, const Bytes& payload);
// The frame header (marker, N at offsets 5 and 17, zeros elsewhere) followed
// by the packet: what one write puts on the stream.
Bytes BuildFrame(const Bytes& packet, uint8_t marker = kFrameMarker);

// What a received frame header says.
struct FrameHeader {
  bool markerValid = false;  // 0xFF or 0xF0
  int32_t length = 0;        // N, the bytes that follow the header
};
FrameHeader ParseFrameHeader(const uint8_t* header);

// At least 18 bytes, 0xFF first and 0xFE at offset 17.
bool IsValidPacket(const Bytes& packet);
int32_t PacketCode(const Bytes& packet);
// True for the codes that carry data (0x03xxxxxx), false for session codes.
constexpr bool IsDataCode(int32_t code) {
  return (static_cast<uint32_t>(code) >> 24) == 0x03;
}
uint64_t PacketSequence(const Bytes& packet);

Bytes HelloPayload();
// "COM" + port text cut to six characters, zero-filled, then the link state.
Bytes PortStatePayload(const std::string& portText, uint8_t receiverLinkState);
Bytes FirstNumberPayload(int32_t firstNumber);
// Four 16-bit numbers from a dotted version text; see VersionNumbers.
Bytes VersionPayload(const std::string& version);
// The four numbers of a version text: each of the first three is the text
// before the next dot, the fourth the rest; empty or non-numeric text gives 0,
// and a text without any dot gives four zeros.
std::array<uint16_t, 4> VersionNumbers(const std::string& version);

}  // namespace tessar
