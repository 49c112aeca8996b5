#include "frame.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace zntlink {

uint16_t Crc16Arc(uint16_t crc, uint8_t byte) {
  crc ^= byte;
  for (int bit = 0; bit < 8; ++bit)
    crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  return crc;
}

uint16_t Crc16Arc(const uint8_t* data, size_t length) {
  uint16_t crc = 0;
  for (size_t i = 0; i < length; ++i)
    crc = Crc16Arc(crc, data[i]);
  return crc;
}

size_t BuildFrame(const char code[2], const uint8_t* body, size_t bodyLength, uint8_t* out,
                  size_t capacity) {
  size_t length = 0;
  uint16_t crc = 0;
  auto put = [&](uint8_t byte) {
    if (length >= capacity)
      return false;
    out[length++] = byte;
    return true;
  };
  auto putStuffed = [&](uint8_t byte) {
    crc = Crc16Arc(crc, byte);
    if (byte == kFrameEnd && !put(kFrameEscape))
      return false;
    return put(byte);
  };
  bool ok = putStuffed(kFrameStart) && putStuffed(static_cast<uint8_t>(code[0])) &&
            putStuffed(static_cast<uint8_t>(code[1]));
  for (size_t i = 0; ok && i < bodyLength; ++i)
    ok = putStuffed(body[i]);
  if (!ok)
    return 0;
  const uint16_t frameCrc = crc;
  // The CRC bytes are stuffed but not fed to the CRC.
  for (uint8_t byte :
       {static_cast<uint8_t>(frameCrc & 0xFF), static_cast<uint8_t>(frameCrc >> 8)}) {
    if (byte == kFrameEnd && !put(kFrameEscape))
      return 0;
    if (!put(byte))
      return 0;
  }
  if (!put(kFrameEtx) || !put(kFrameEnd))
    return 0;
  return length;
}

void FrameParser::Reset() {
  length_ = 0;
  crcPosition_ = 0;
  crc_ = 0;
  escape_ = false;
  overflow_ = false;
}

void FrameParser::Store(size_t position, uint8_t byte) {
  if (position < kFrameBufferSize) {
    buffer_[position] = byte;
  } else {
    overflow_ = true;
  }
}

void FrameParser::FinishFrame() {
  const size_t crcPosition = crcPosition_;
  const bool trailerOk = !overflow_ && crcPosition >= 3 && crcPosition < kFrameBufferSize &&
                         buffer_[crcPosition] == kFrameEtx;
  if (crc_ == 0 && trailerOk) {
    contentLength_ = crcPosition - 3;
    std::memmove(buffer_, buffer_ + 1, contentLength_);
    bad_ = false;
  } else {
    // A frame longer than the buffer has counted more bytes than were
    // stored: its content length never reaches past the buffer, so that
    // content() and contentLength() always describe bytes that exist.
    contentLength_ = std::min(crcPosition >= 3 ? crcPosition - 3 : 0, kFrameBufferSize);
    bad_ = true;
  }
  Reset();
}

bool FrameParser::Feed(uint8_t byte) {
  if (length_ == 0 && !escape_ && byte != kFrameStart) {
    Reset();
    return false;
  }
  // The end marker is recognised before it would be stored: it is not part of
  // the frame, so a frame that fills the buffer exactly still fits.
  if (!escape_ && byte == kFrameEnd) {
    FinishFrame();
    return true;
  }
  Store(length_ + (escape_ ? 1 : 0), byte);
  size_t advance = 0;
  if (escape_) {
    escape_ = false;
    if (byte == kFrameEnd) {
      Store(length_, kFrameEnd);  // the 0xFA takes the place of the pending 0x10
      advance = 1;
    } else if (byte == kFrameEscape) {
      escape_ = true;  // the pending 0x10 is data, the new one is pending
      advance = 1;
    } else {
      advance = 2;  // the pending 0x10 and this byte are both data
    }
  } else if (byte == kFrameEscape) {
    escape_ = true;
  } else {
    advance = 1;
  }
  length_ += advance;
  if (length_ > 1) {
    // The CRC runs over every final byte but the last one stored: at the end
    // marker that last byte is the ETX, so the CRC has covered start..CRC.
    const size_t last = length_ - 1;
    for (size_t i = crcPosition_; i < last; ++i) {
      crc_ = Crc16Arc(crc_, i < kFrameBufferSize ? buffer_[i] : 0);
    }
    crcPosition_ = last;
  }
  return false;
}

size_t FrameParser::Feed(const uint8_t* data, size_t length, bool* finished) {
  for (size_t i = 0; i < length; ++i) {
    if (Feed(data[i])) {
      *finished = true;
      return i + 1;
    }
  }
  *finished = false;
  return length;
}

}  // namespace zntlink
