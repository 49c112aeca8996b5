// The two payloads the driver produces for the message server, the spool
// file that holds one of them while the server cannot be reached, and the
// spool file's name. Records are packed and little-endian.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "netlink/packets.h"
#include "platform/clock.h"

namespace tessar {

static_assert(std::endian::native == std::endian::little,
              "records are laid out in memory exactly as they go on the wire");

// An event code: a length byte 0..4 and four character bytes, of which only
// the first `length` are significant.
#pragma pack(push, 1)
struct EventCode {
  uint8_t length = 0;
  char text[4] = {0, 0, 0, 0};
};

// Sent with CMD_EVENT.
struct EventRecord {
  uint8_t recordTag = 0;  // always kEventRecordTag once emitted
  uint8_t routeBits = 0;
  uint8_t subaddress = 0;
  EventCode eventCode;
  int32_t objectNumber = 0;
  int32_t deviceObjectNumber = 0;
  uint16_t zone = 0;
  uint8_t reserved = 0;
  double time = 0;  // OLE Automation date, local time of the emission
};

// One reading of a type-4 message: its minute count as hours and minutes,
// its level as whole units and hundredths.
struct Reading {
  uint8_t hours = 0;
  uint8_t minutes = 0;
  uint8_t levelWhole = 0;
  uint8_t levelHundredths = 0;
};

// Sent with CMD_MEASUREMENT.
struct MeasurementRecord {
  int32_t objectNumber = 0;
  double time = 0;  // OLE Automation date, local time of decoding
  Reading reading1;
  Reading reading2;
  uint8_t reserved[3] = {0, 0, 0};
};
#pragma pack(pop)

static_assert(sizeof(EventCode) == 5);
static_assert(sizeof(EventRecord) == 27);
static_assert(sizeof(MeasurementRecord) == 23);

constexpr uint8_t kEventRecordTag = 23;

// Event codes of zone changes and of periodic tests.
inline constexpr std::string_view kCodeAlarm = "1130";
inline constexpr std::string_view kCodeRestore = "3130";
inline constexpr std::string_view kCodePeriodicTest = "1603";

// Keeps at most four characters; the unused character bytes are zero.
EventCode MakeEventCode(std::string_view text);
std::string EventCodeText(const EventCode& code);

Bytes EventPayload(const EventRecord& record);
Bytes MeasurementPayload(const MeasurementRecord& record);

// One payload with the server code it goes with.
struct CodedPayload {
  int32_t code = 0;
  Bytes payload;
  bool operator==(const CodedPayload&) const = default;
};

// The spool file's content: the code, little-endian, then the payload.
Bytes SpoolFileContent(const CodedPayload& item);
// None when the content is too short to hold a code.
std::optional<CodedPayload> ParseSpoolFile(const Bytes& content);
// The spool files the driver writes itself: an event or a measurement, whole.
bool IsWholeDriverSpoolFile(const Bytes& content);

// The spool name of a local time: (((day × 86400 + hour × 3600 + minute × 60 +
// second) × 1000 + millisecond) as an unsigned 32-bit number, in uppercase
// hexadecimal without leading zeros.
std::string SpoolName(const platform::LocalTime& time);
inline constexpr char kSpoolExtension[] = ".dd8";

}  // namespace tessar
