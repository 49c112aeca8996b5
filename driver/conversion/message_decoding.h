// Decoding of receiver messages into the suite's events and measurements.
// The decoder keeps the one persistent event record: each step assigns the
// fields it describes, and a field no step assigns keeps the value of the
// previous emission, also one that belonged to another message. Decoding
// takes the message bytes, the time and FirstNumber and returns the payloads
// to send and the zone record to store; it does no I/O.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "conversion/records.h"
#include "conversion/zone_memory.h"
#include "netlink/Unit7.h"

namespace tessar {

// A queued message is a ReceiverMessage: a 10-byte header and a 13-byte body.
constexpr size_t kReceiverMessageSize = 23;
constexpr size_t kBodyOffset = 10;
constexpr size_t kBodySize = kReceiverMessageSize - kBodyOffset;
// Type-0 devices are numbered this far above the others.
constexpr int32_t kType0Offset = 9000;
// Object numbers are blocks of ten thousand per FirstNumber.
constexpr int32_t kObjectBlock = 10000;
// Type-4 messages carry readings only when this bit of body byte 11 is set.
constexpr uint8_t kReadingsPresent = 0x20;
constexpr uint8_t kTestFlag = 0x08;

struct DecodeResult {
  std::vector<CodedPayload> payloads;  // in emission order
  std::optional<ZoneWrite> zoneWrite;
};

class MessageDecoder {
 public:
  explicit MessageDecoder(ZoneStateMemory& zones) : zones_(zones) {}

  // Decodes one queued message at local time `now` (an OLE Automation date).
  // A message shorter than 23 bytes is no whole record and has no effect;
  // of a longer one only the first 23 bytes are read.
  DecodeResult Decode(const stru_arb& message, double now, int32_t firstNumber);

  const EventRecord& Record() const { return record_; }

 private:
  using Body = std::array<uint8_t, kBodySize>;
  void DecodeZoneMessage(const Body& body, int type, bool test, int32_t deviceNumber);
  void DecodeCodedEvent(const Body& body, uint8_t format, int32_t deviceNumber);
  void DecodeReadings(const Body& body, int32_t deviceNumber);
  void CompareZoneStates(int32_t key, uint8_t subaddress, const ZoneMatrix& matrix);
  // Stamps the event record from the current message and the clock and hands
  // out a copy of it.
  void EmitEvent();
  void EmitMeasurement(const MeasurementRecord& record);
  int32_t ObjectNumber(int32_t number) const;

  ZoneStateMemory& zones_;
  EventRecord record_{};
  // The message being decoded.
  DecodeResult* result_ = nullptr;
  const Body* body_ = nullptr;
  double now_ = 0;
  int32_t firstNumber_ = 0;
};

// The two hexadecimal digits of a format-1 code byte, a nibble of 0 written "A".
std::string Format1Code(uint8_t byte);
// Four decimal digits given as hexadecimal nibbles; none when one is A-F.
std::optional<int32_t> AccountNumber(uint8_t high, uint8_t low);
// The three nibbles of a format-6/7 zone read as a decimal number; 0 when one is A-F.
uint16_t CodedZone(uint8_t lowNibbleByte, uint8_t byte);
Reading MakeReading(uint8_t first, uint8_t second, uint8_t third);

}  // namespace tessar
