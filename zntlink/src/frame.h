// Link frames: 0x02, two code bytes, [status], payload, CRC-16/ARC (low byte
// first), 0x03, 0xFA. Every 0xFA from the start byte through the CRC is sent
// as 0x10 0xFA. Bytes in, bytes out; no I/O here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zntlink {

constexpr uint8_t kFrameStart = 0x02;
constexpr uint8_t kFrameEtx = 0x03;
constexpr uint8_t kFrameEnd = 0xFA;
constexpr uint8_t kFrameEscape = 0x10;
constexpr uint8_t kStatusAccepted = 0x06;
constexpr uint8_t kStatusRefused = 0x18;
constexpr size_t kFrameBufferSize = 128;

// CRC-16/ARC: polynomial 0x8005 bit-reflected (0xA001), initial 0, no final XOR.
uint16_t Crc16Arc(uint16_t crc, uint8_t byte);
uint16_t Crc16Arc(const uint8_t* data, size_t length);

// Builds the stuffed frame for a two-letter code and a body (for an answer the
// body starts with the status byte). Returns the frame length, or 0 when it
// does not fit the output capacity.
size_t BuildFrame(const char code[2], const uint8_t* body, size_t bodyLength, uint8_t* out,
                  size_t capacity);

// The byte-at-a-time frame parser. Bytes before a start byte are dropped; an
// unescaped 0xFA ends the frame. A finished frame is good when its CRC checks
// and its last byte before the end marker is 0x03; its content (code, status,
// payload) then stands at the start of the buffer. Bytes beyond the buffer are
// never stored: such a frame is reported bad at its end marker.
class FrameParser {
 public:
  // Feeds one byte; true when it finished a frame (good or bad).
  bool Feed(uint8_t byte);
  // Feeds bytes until a frame finishes; returns how many were used (all of
  // them when no frame finished), and sets *finished.
  size_t Feed(const uint8_t* data, size_t length, bool* finished);

  void Reset();

  bool bad() const { return bad_; }
  const uint8_t* content() const { return buffer_; }
  size_t contentLength() const { return contentLength_; }

 private:
  void Store(size_t position, uint8_t byte);
  void FinishFrame();

  uint8_t buffer_[kFrameBufferSize] = {};
  uint16_t crc_ = 0;
  bool escape_ = false;
  bool overflow_ = false;
  size_t length_ = 0;       // bytes stored and final
  size_t crcPosition_ = 0;  // stored bytes already fed to the CRC
  bool bad_ = false;
  size_t contentLength_ = 0;
};

}  // namespace zntlink
