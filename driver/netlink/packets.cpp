#include "netlink/packets.h"

#include <cstdio>

namespace tessar {

std::string CommandName(int32_t code) {
  switch (code) {
    case CMD_TEST:
      return "CMD_TEST";
    case CMD_HELLO:
      return "CMD_HELLO";
    case CMD_PORT_STATE:
      return "CMD_PORT_STATE";
    case CMD_FIRST_NUMBER:
      return "CMD_FIRST_NUMBER";
    case CMD_VERSION:
      return "CMD_VERSION";
    case CMD_ACCEPTED:
      return "CMD_ACCEPTED";
    case CMD_QUERY:
      return "CMD_QUERY";
    case CMD_QUERY_REPLY:
      return "CMD_QUERY_REPLY";
    case CMD_DENIED:
      return "CMD_DENIED";
    case CMD_DROP:
      return "CMD_DROP";
    case CMD_SERVER_DISCONNECT:
      return "CMD_SERVER_DISCONNECT";
    case CMD_SPOOL_ACK:
      return "CMD_SPOOL_ACK";
    case CMD_MEASUREMENT:
      return "CMD_MEASUREMENT";
    case CMD_EVENT:
      return "CMD_EVENT";
    default: {
      char text[16];
      std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(code));
      return text;
    }
  }
}

void PutInt32(uint8_t* at, int32_t value) {
  const auto bits = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i)
    at[i] = static_cast<uint8_t>(bits >> (8 * i));
}

int32_t GetInt32(const uint8_t* at) {
  uint32_t bits = 0;
  for (int i = 0; i < 4; ++i)
    bits |= static_cast<uint32_t>(at[i]) << (8 * i);
  return static_cast<int32_t>(bits);
}

void PutUint64(uint8_t* at, uint64_t value) {
  for (int i = 0; i < 8; ++i)
    at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t GetUint64(const uint8_t* at) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i)
    value |= static_cast<uint64_t>(at[i]) << (8 * i);
  return value;
}

Bytes BuildPacket(int32_t code, uint64_t sequence, const Bytes& payload) {
  Bytes packet(kPacketHeaderSize + payload.size());
  packet[0] = kPacketStart;
  PutInt32(&packet[kPacketCodeOffset], code);
  PutInt32(&packet[kPacketLengthOffset], static_cast<int32_t>(payload.size()));
  PutUint64(&packet[kPacketSequenceOffset], sequence);
  packet[kPacketEndOffset] = kPacketEnd;
  std::copy(payload.begin(), payload.end(), packet.begin() + kPacketHeaderSize);
  return packet;
}

Bytes BuildFrame(const Bytes& packet, uint8_t marker) {
  Bytes frame(kFrameHeaderSize + packet.size());
  frame[0] = marker;
  const auto length = static_cast<int32_t>(packet.size());
  PutInt32(&frame[kFrameLengthOffset], length);
  PutInt32(&frame[kFrameLengthCopyOffset], length);
  std::copy(packet.begin(), packet.end(), frame.begin() + kFrameHeaderSize);
  return frame;
}

FrameHeader ParseFrameHeader(const uint8_t* header) {
  FrameHeader parsed;
  parsed.markerValid = header[0] == kFrameMarker || header[0] == kFrameMarkerAlternate;
  parsed.length = GetInt32(header + kFrameLengthOffset);
  return parsed;
}

bool IsValidPacket(const Bytes& packet) {
  return packet.size() >= kPacketHeaderSize && packet[0] == kPacketStart &&
         packet[kPacketEndOffset] == kPacketEnd;
}

int32_t PacketCode(const Bytes& packet) {
  return GetInt32(&packet[kPacketCodeOffset]);
}

uint64_t PacketSequence(const Bytes& packet) {
  return GetUint64(&packet[kPacketSequenceOffset]);
}

Bytes HelloPayload() {
  return {static_cast<uint8_t>(kHelloValue & 0xFF), static_cast<uint8_t>(kHelloValue >> 8)};
}

Bytes PortStatePayload(const std::string& portText, uint8_t receiverLinkState) {
  const std::string name = ("COM" + portText).substr(0, kPortNameMax);
  Bytes payload(2 + kPortNameMax, 0);
  payload[0] = static_cast<uint8_t>(name.size());
  std::copy(name.begin(), name.end(), payload.begin() + 1);
  payload[1 + kPortNameMax] = receiverLinkState;
  return payload;
}

Bytes FirstNumberPayload(int32_t firstNumber) {
  return {static_cast<uint8_t>(static_cast<uint32_t>(firstNumber) & 0xFF)};
}

namespace {

// A 16-bit number from decimal text; empty or non-numeric text gives 0.
uint16_t VersionPart(const std::string& text) {
  if (text.empty())
    return 0;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return 0;
    value = value * 10 + static_cast<uint32_t>(c - '0');
    if (value > 0xFFFF)
      return 0;
  }
  return static_cast<uint16_t>(value);
}

}  // namespace

std::array<uint16_t, 4> VersionNumbers(const std::string& version) {
  std::array<uint16_t, 4> numbers{};
  if (version.find('.') == std::string::npos)
    return numbers;
  std::string rest = version;
  for (size_t i = 0; i < 3; ++i) {
    const size_t dot = rest.find('.');
    // With no dot left, the text before it is all there is, and nothing remains.
    numbers[i] = VersionPart(rest.substr(0, dot));
    rest = dot == std::string::npos ? "" : rest.substr(dot + 1);
  }
  numbers[3] = VersionPart(rest);
  return numbers;
}

Bytes VersionPayload(const std::string& version) {
  Bytes payload;
  for (uint16_t number : VersionNumbers(version)) {
    payload.push_back(static_cast<uint8_t>(number & 0xFF));
    payload.push_back(static_cast<uint8_t>(number >> 8));
  }
  return payload;
}

}  // namespace tessar
