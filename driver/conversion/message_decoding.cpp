#include "conversion/message_decoding.h"

#include <algorithm>

namespace tessar {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

ZoneMatrix MatrixOf(const std::array<uint8_t, kBodySize>& body) {
  ZoneMatrix matrix;
  std::copy(body.begin() + 5, body.begin() + 13, matrix.begin());
  return matrix;
}

// 32-bit signed arithmetic that wraps instead of overflowing.
int32_t Wrapping(int64_t value) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
}

}  // namespace

std::string Format1Code(uint8_t byte) {
  const auto digit = [](int nibble) { return nibble == 0 ? 'A' : kHexDigits[nibble]; };
  return {digit(byte >> 4), digit(byte & 0x0F)};
}

std::optional<int32_t> AccountNumber(uint8_t high, uint8_t low) {
  const int digits[4] = {high >> 4, high & 0x0F, low >> 4, low & 0x0F};
  int32_t number = 0;
  for (const int digit : digits) {
    if (digit > 9)
      return std::nullopt;
    number = number * 10 + digit;
  }
  return number;
}

uint16_t CodedZone(uint8_t lowNibbleByte, uint8_t byte) {
  const int digits[3] = {lowNibbleByte & 0x0F, byte >> 4, byte & 0x0F};
  uint16_t zone = 0;
  for (const int digit : digits) {
    if (digit > 9)
      return 0;
    zone = static_cast<uint16_t>(zone * 10 + digit);
  }
  return zone;
}

Reading MakeReading(uint8_t first, uint8_t second, uint8_t third) {
  // A 24-bit big-endian group: 14 bits of minutes, then 10 bits of level.
  const int minutes = ((first << 8) | second) >> 2;
  const int level = ((second << 8) | third) & 0x3FF;
  Reading reading;
  reading.hours = static_cast<uint8_t>(minutes / 60);
  reading.minutes = static_cast<uint8_t>(minutes % 60);
  // The level is counted in steps of 0.06.
  reading.levelWhole = static_cast<uint8_t>(level * 6 / 100);
  reading.levelHundredths = static_cast<uint8_t>(level * 6 % 100);
  return reading;
}

int32_t MessageDecoder::ObjectNumber(int32_t number) const {
  return Wrapping(static_cast<int64_t>(number) + static_cast<int64_t>(firstNumber_) * kObjectBlock);
}

DecodeResult MessageDecoder::Decode(const stru_arb& message, double now, int32_t firstNumber) {
  DecodeResult result;
  if (message.size() < kReceiverMessageSize)
    return result;
  Body body;
  std::copy(message.begin() + kBodyOffset, message.begin() + kReceiverMessageSize, body.begin());
  result_ = &result;
  body_ = &body;
  now_ = now;
  firstNumber_ = firstNumber;

  const int32_t deviceNumber = body[2] * 16 + (body[3] >> 4);
  const int type = body[3] & 0x07;
  const bool test = (body[3] & kTestFlag) != 0;
  switch (type) {
    case 0:
    case 2:
      DecodeZoneMessage(body, type, test, deviceNumber);
      break;
    case 3:
      if (body[5] == 0)
        DecodeZoneMessage(body, type, test, deviceNumber);
      else
        DecodeCodedEvent(body, body[5], deviceNumber);
      break;
    case 4:
      if (body[11] & kReadingsPresent)
        DecodeReadings(body, deviceNumber);
      break;
    default:
      // Types 1, 5, 6 and 7 carry nothing the suite takes.
      break;
  }
  result_ = nullptr;
  body_ = nullptr;
  return result;
}

void MessageDecoder::DecodeZoneMessage(const Body& body, int type, bool test,
                                       int32_t deviceNumber) {
  const int32_t key = type == 0 ? deviceNumber + kType0Offset : deviceNumber;
  const int32_t deviceObject = ObjectNumber(key);
  record_.objectNumber = deviceObject;
  record_.deviceObjectNumber = deviceObject;
  if (test) {
    record_.eventCode = MakeEventCode(kCodePeriodicTest);
    EmitEvent();
  }
  if (type == 0) {
    // Type-0 devices report only zones 7, 8, 57 and 58; any other zone set
    // means the matrix is not a zone report.
    const bool middleClear =
        std::all_of(body.begin() + 6, body.begin() + 12, [](uint8_t byte) { return byte == 0; });
    if (!middleClear || (body[12] & 0x3F) != 0 || (body[5] & 0xFC) != 0)
      return;
  }
  CompareZoneStates(key, type == 0 ? 0 : body[0], MatrixOf(body));
}

void MessageDecoder::DecodeCodedEvent(const Body& body, uint8_t format, int32_t deviceNumber) {
  if (format != 1 && format != 2 && format != 6 && format != 7)
    return;
  const int32_t deviceObject = ObjectNumber(deviceNumber);
  // Every coded message is also a sign of life of its transmitter.
  record_.objectNumber = deviceObject;
  record_.eventCode = MakeEventCode(kCodePeriodicTest);
  EmitEvent();

  if (format == 2) {
    const char code[4] = {kHexDigits[body[6] >> 4], kHexDigits[body[6] & 0x0F],
                          kHexDigits[body[7] >> 4], kHexDigits[body[7] & 0x0F]};
    record_.eventCode = MakeEventCode({code, 4});
    record_.deviceObjectNumber = deviceObject;
    EmitEvent();
    return;
  }
  if (format == 1) {
    record_.eventCode = MakeEventCode(Format1Code(body[8]));
  } else {
    const char code[4] = {format == 6 ? '1' : '3', kHexDigits[body[8] >> 4],
                          kHexDigits[body[8] & 0x0F], kHexDigits[body[9] >> 4]};
    record_.eventCode = MakeEventCode({code, 4});
    record_.zone = CodedZone(body[10], body[11]);
  }
  // An account with digits A-F ends this message here: the fields assigned
  // so far keep their new values and the coded event is not sent.
  const auto account = AccountNumber(body[6], body[7]);
  if (!account)
    return;
  record_.objectNumber = ObjectNumber(*account);
  record_.deviceObjectNumber = deviceObject;
  EmitEvent();
}

void MessageDecoder::DecodeReadings(const Body& body, int32_t deviceNumber) {
  MeasurementRecord record;
  record.objectNumber = ObjectNumber(deviceNumber);
  record.time = now_;
  record.reading1 = MakeReading(body[5], body[6], body[7]);
  record.reading2 = MakeReading(body[8], body[9], body[10]);
  EmitMeasurement(record);
}

void MessageDecoder::CompareZoneStates(int32_t key, uint8_t subaddress, const ZoneMatrix& matrix) {
  ZoneComparison comparison = zones_.CompareZoneStates(key, subaddress, matrix, now_);
  for (const ZoneEvent& event : comparison.events) {
    record_.eventCode = MakeEventCode(event.code);
    record_.zone = event.zone;
    EmitEvent();
  }
  result_->zoneWrite = comparison.write;
}

void MessageDecoder::EmitEvent() {
  record_.recordTag = kEventRecordTag;
  record_.routeBits = (*body_)[1] & 0x07;
  record_.time = now_;
  record_.subaddress = (*body_)[0];
  result_->payloads.push_back({CMD_EVENT, EventPayload(record_)});
}

void MessageDecoder::EmitMeasurement(const MeasurementRecord& record) {
  result_->payloads.push_back({CMD_MEASUREMENT, MeasurementPayload(record)});
}

}  // namespace tessar
