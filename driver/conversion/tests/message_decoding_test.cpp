#include "conversion/message_decoding.h"

#include <gtest/gtest.h>

#include "conversion_support.h"

namespace tessar {
namespace {

using testing::Message;
using testing::MessageFields;
using testing::ParseEvent;
using testing::ParseMeasurement;
using testing::Zones;

constexpr double kNow = 45000.5;

// What one emitted event carries.
struct Expected {
  std::string code;
  int32_t objectNumber;
  int32_t deviceObjectNumber;
  uint16_t zone;
};

struct DecodeCase {
  const char* name;
  stru_arb message;
  int32_t firstNumber;
  std::vector<Expected> events;
};

stru_arb Coded(int device, uint8_t format, std::array<uint8_t, 7> bytes6to12, bool test = false) {
  MessageFields fields{.device = device, .type = 3, .test = test};
  fields.zones[0] = format;
  std::copy(bytes6to12.begin(), bytes6to12.end(), fields.zones.begin() + 1);
  return Message(fields);
}

std::vector<Expected> Events(const DecodeResult& result) {
  std::vector<Expected> events;
  for (const CodedPayload& item : result.payloads) {
    EXPECT_EQ(item.code, CMD_EVENT);
    const EventRecord record = ParseEvent(item.payload);
    events.push_back({EventCodeText(record.eventCode), record.objectNumber,
                      record.deviceObjectNumber, record.zone});
  }
  return events;
}

void ExpectEvents(const char* name, const std::vector<Expected>& got,
                  const std::vector<Expected>& want) {
  ASSERT_EQ(got.size(), want.size()) << name;
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].code, want[i].code) << name << " event " << i;
    EXPECT_EQ(got[i].objectNumber, want[i].objectNumber) << name << " event " << i;
    EXPECT_EQ(got[i].deviceObjectNumber, want[i].deviceObjectNumber) << name << " event " << i;
    EXPECT_EQ(got[i].zone, want[i].zone) << name << " event " << i;
  }
}

// Each case runs on a fresh decoder and zone memory, so fields that no step
// assigns are still zero.
TEST(MessageDecoding, TurnsMessagesIntoEvents) {
  const std::vector<DecodeCase> cases = {
      {"type 2 new transmitter, zones 3 and 9",
       Message({.device = 5, .type = 2, .zones = Zones({3, 9})}),
       1,
       {{"1130", 10005, 10005, 3}, {"1130", 10005, 10005, 9}}},
      {"type 0 carries the 9000 offset",
       Message({.device = 5, .type = 0, .zones = Zones({7})}),
       1,
       {{"1130", 19005, 19005, 7}}},
      {"type 0 zones 8, 57 and 58 are zone reports",
       Message({.device = 5, .type = 0, .zones = Zones({8, 57, 58})}),
       1,
       {{"1130", 19005, 19005, 8}, {"1130", 19005, 19005, 57}, {"1130", 19005, 19005, 58}}},
      {"type 0 with zone 3 set sends only its test event",
       Message({.device = 5, .type = 0, .test = true, .zones = Zones({3})}),
       1,
       {{"1603", 19005, 19005, 0}}},
      {"type 0 with zone 59 set is no zone report",
       Message({.device = 5, .type = 0, .zones = Zones({59})}),
       1,
       {}},
      {"type 2 test flag: the test event first",
       Message({.device = 37, .type = 2, .test = true, .zones = Zones({1})}),
       0,
       {{"1603", 37, 37, 0}, {"1130", 37, 37, 1}}},
      {"type 3 format 0 is a zone message",
       Message({.device = 4095, .type = 3, .zones = {0, 0, 0, 0, 0, 0, 0, 0x01}}),
       2,
       {{"1130", 24095, 24095, 1}}},
      {"format 6, account 0x1234",
       Coded(7, 6, {0x12, 0x34, 0x13, 0x05, 0x00, 0x15, 0}),
       0,
       {{"1603", 7, 0, 0}, {"1130", 1234, 7, 15}}},
      {"format 6, account 0x1A34: only the test event",
       Coded(7, 6, {0x1A, 0x34, 0x13, 0x05, 0x00, 0x15, 0}),
       0,
       {{"1603", 7, 0, 0}}},
      {"format 7 is a restore",
       Coded(7, 7, {0x01, 0x23, 0x13, 0x05, 0x00, 0x15, 0}),
       1,
       {{"1603", 10007, 0, 0}, {"3130", 10123, 10007, 15}}},
      {"format 6 zone digits A-F give zone 0",
       Coded(7, 6, {0x00, 0x01, 0x40, 0x10, 0x0A, 0x15, 0}),
       0,
       {{"1603", 7, 0, 0}, {"1401", 1, 7, 0}}},
      {"format 6 zone from the low nibble of byte 10",
       Coded(7, 6, {0x00, 0x01, 0x40, 0x10, 0xF9, 0x99, 0}),
       0,
       {{"1603", 7, 0, 0}, {"1401", 1, 7, 999}}},
      {"format 1 code 0x00 is AA",
       Coded(3, 1, {0x00, 0x42, 0x00, 0, 0, 0, 0}),
       0,
       {{"1603", 3, 0, 0}, {"AA", 42, 3, 0}}},
      {"format 1 code 0x10 is 1A",
       Coded(3, 1, {0x00, 0x42, 0x10, 0, 0, 0, 0}),
       0,
       {{"1603", 3, 0, 0}, {"1A", 42, 3, 0}}},
      {"format 1 code 0x05 is A5",
       Coded(3, 1, {0x00, 0x42, 0x05, 0, 0, 0, 0}),
       0,
       {{"1603", 3, 0, 0}, {"A5", 42, 3, 0}}},
      {"format 1 code 0x50 is 5A",
       Coded(3, 1, {0x00, 0x42, 0x50, 0, 0, 0, 0}),
       0,
       {{"1603", 3, 0, 0}, {"5A", 42, 3, 0}}},
      {"format 1 account A-F: only the test event",
       Coded(3, 1, {0xB0, 0x42, 0x12, 0, 0, 0, 0}),
       0,
       {{"1603", 3, 0, 0}}},
      {"format 2 code from bytes 6 and 7, object stays the device",
       Coded(9, 2, {0x12, 0xAB, 0, 0, 0, 0, 0}),
       1,
       {{"1603", 10009, 0, 0}, {"12AB", 10009, 10009, 0}}},
      {"type 3 test flag makes no second test event",
       Coded(9, 2, {0x12, 0xAB, 0, 0, 0, 0, 0}, true),
       0,
       {{"1603", 9, 0, 0}, {"12AB", 9, 9, 0}}},
      {"type 3 other format: nothing", Coded(9, 3, {0x12, 0xAB, 0, 0, 0, 0, 0}), 0, {}},
      {"type 1 ignored",
       Message({.device = 1, .type = 1, .test = true, .zones = Zones({1})}),
       0,
       {}},
      {"type 5 ignored",
       Message({.device = 1, .type = 5, .test = true, .zones = Zones({1})}),
       0,
       {}},
      {"type 6 ignored",
       Message({.device = 1, .type = 6, .test = true, .zones = Zones({1})}),
       0,
       {}},
      {"type 7 ignored",
       Message({.device = 1, .type = 7, .test = true, .zones = Zones({1})}),
       0,
       {}},
      {"type 4 without bit 0x20 of byte 11",
       Message({.device = 1, .type = 4, .zones = {0x0B, 0xC8, 0x11, 0, 0, 0, 0xDF, 0}}),
       0,
       {}},
  };
  for (const DecodeCase& c : cases) {
    ZoneStateMemory zones;
    MessageDecoder decoder(zones);
    const DecodeResult result = decoder.Decode(c.message, kNow, c.firstNumber);
    ExpectEvents(c.name, Events(result), c.events);
  }
}

TEST(MessageDecoding, IgnoredMessagesLeaveTheZoneMemoryAlone) {
  for (const int type : {1, 4, 5, 6, 7}) {
    ZoneStateMemory zones;
    MessageDecoder decoder(zones);
    const DecodeResult result =
        decoder.Decode(Message({.device = 1, .type = type, .zones = Zones({1})}), kNow, 1);
    EXPECT_EQ(zones.Records(), 0u) << "type " << type;
    EXPECT_FALSE(result.zoneWrite) << "type " << type;
  }
  ZoneStateMemory zones;
  MessageDecoder decoder(zones);
  decoder.Decode(Message({.device = 5, .type = 0, .test = true, .zones = Zones({3})}), kNow, 1);
  EXPECT_EQ(zones.Records(), 0u) << "type 0 with zone 3";
}

TEST(MessageDecoding, StampsEveryEventFromItsMessage) {
  ZoneStateMemory zones;
  MessageDecoder decoder(zones);
  const DecodeResult result = decoder.Decode(Message({.device = 2,
                                                      .type = 2,
                                                      .test = true,
                                                      .subaddress = 0xC3,
                                                      .route = 0xFD,
                                                      .zones = Zones({64})}),
                                             kNow, 1);
  ASSERT_EQ(result.payloads.size(), 2u);
  for (const CodedPayload& item : result.payloads) {
    ASSERT_EQ(item.payload.size(), 27u);
    const EventRecord record = ParseEvent(item.payload);
    EXPECT_EQ(record.recordTag, 23);
    EXPECT_EQ(record.routeBits, 0x05);
    EXPECT_EQ(record.subaddress, 0xC3);
    EXPECT_EQ(record.reserved, 0);
    EXPECT_EQ(+record.time, kNow);
  }
  // Bytes 3..7 of the zone event: the length and the four characters.
  const Bytes& alarm = result.payloads[1].payload;
  EXPECT_EQ(Bytes(alarm.begin() + 3, alarm.begin() + 8), (Bytes{4, '1', '1', '3', '0'}));
  EXPECT_EQ(alarm[16], 64);
}

TEST(MessageDecoding, FieldsNoStepAssignsKeepTheirValuesAcrossMessages) {
  ZoneStateMemory zones;
  MessageDecoder decoder(zones);
  // A zone event of device 9 sets both numbers and zone 12.
  decoder.Decode(Message({.device = 9, .type = 2, .zones = Zones({12})}), kNow, 1);
  // The test event of a coded message assigns no device object number and no zone.
  DecodeResult result =
      decoder.Decode(Coded(7, 6, {0x1A, 0x34, 0x13, 0x05, 0x00, 0x15, 0}), kNow, 1);
  ASSERT_EQ(result.payloads.size(), 1u);
  EventRecord test = ParseEvent(result.payloads[0].payload);
  EXPECT_EQ(+test.objectNumber, 10007);
  EXPECT_EQ(+test.deviceObjectNumber, 10009);
  EXPECT_EQ(+test.zone, 12);
  // The failed account reading kept the code and zone it had assigned.
  EXPECT_EQ(EventCodeText(decoder.Record().eventCode), "1130");
  EXPECT_EQ(+decoder.Record().zone, 15);
  EXPECT_EQ(+decoder.Record().objectNumber, 10007);
  // A format 2 event carries the zone of the format 6 code before it.
  result = decoder.Decode(Coded(7, 2, {0x12, 0xAB, 0, 0, 0, 0, 0}), kNow, 1);
  ASSERT_EQ(result.payloads.size(), 2u);
  EXPECT_EQ(+ParseEvent(result.payloads[1].payload).zone, 15);
  // A two-character code after a four-character one: length 2, two characters.
  result = decoder.Decode(Coded(3, 1, {0x00, 0x42, 0x10, 0, 0, 0, 0}), kNow, 1);
  const EventRecord format1 = ParseEvent(result.payloads[1].payload);
  EXPECT_EQ(format1.eventCode.length, 2);
  EXPECT_EQ(std::string(format1.eventCode.text, 2), "1A");
  EXPECT_EQ(+format1.zone, 15);
}

TEST(MessageDecoding, ReadingsOfTypeFour) {
  ZoneStateMemory zones;
  MessageDecoder decoder(zones);
  // Reading 1: 0x0B 0xC8 0x11, 754 minutes and level count 17; reading 2:
  // 0xFF 0xFF 0xFF, 16383 minutes (273 h, low 8 bits 17) and level count 1023.
  const stru_arb message =
      Message({.device = 0x123, .type = 4, .zones = {0x0B, 0xC8, 0x11, 0xFF, 0xFF, 0xFF, 0x20, 0}});
  const DecodeResult result = decoder.Decode(message, kNow, 3);
  ASSERT_EQ(result.payloads.size(), 1u);
  EXPECT_EQ(result.payloads[0].code, CMD_MEASUREMENT);
  ASSERT_EQ(result.payloads[0].payload.size(), 23u);
  const MeasurementRecord record = ParseMeasurement(result.payloads[0].payload);
  EXPECT_EQ(+record.objectNumber, 30000 + 0x123);
  EXPECT_EQ(+record.time, kNow);
  EXPECT_EQ(record.reading1.hours, 12);
  EXPECT_EQ(record.reading1.minutes, 34);
  EXPECT_EQ(record.reading1.levelWhole, 1);
  EXPECT_EQ(record.reading1.levelHundredths, 2);
  EXPECT_EQ(record.reading2.hours, 273 % 256);
  EXPECT_EQ(record.reading2.minutes, 3);
  EXPECT_EQ(record.reading2.levelWhole, 61);
  EXPECT_EQ(record.reading2.levelHundredths, 38);
  EXPECT_EQ(Bytes(result.payloads[0].payload.end() - 3, result.payloads[0].payload.end()),
            (Bytes{0, 0, 0}));
  // The event record is not touched.
  EXPECT_EQ(decoder.Record().recordTag, 0);
}

TEST(MessageDecoding, MessagesOfAnotherLength) {
  ZoneStateMemory zones;
  MessageDecoder decoder(zones);
  stru_arb message = Message({.device = 5, .type = 2, .test = true, .zones = Zones({1})});
  const stru_arb shorter(message.begin(), message.end() - 1);
  EXPECT_TRUE(decoder.Decode(shorter, kNow, 1).payloads.empty());
  EXPECT_TRUE(decoder.Decode(stru_arb{}, kNow, 1).payloads.empty());
  EXPECT_EQ(zones.Records(), 0u);
  // Extra bytes behind the record are not read.
  message.push_back(0xFF);
  message.push_back(0xFF);
  EXPECT_EQ(decoder.Decode(message, kNow, 1).payloads.size(), 2u);
}

TEST(MessageDecoding, ObjectNumbersWrapAsThirtyTwoBitNumbers) {
  ZoneStateMemory zones;
  MessageDecoder decoder(zones);
  const DecodeResult result =
      decoder.Decode(Message({.device = 1, .type = 2, .test = true}), kNow, 300000);
  ASSERT_EQ(result.payloads.size(), 1u);
  EXPECT_EQ(+ParseEvent(result.payloads[0].payload).objectNumber,
            static_cast<int32_t>(static_cast<uint32_t>(3000000001LL)));
}

}  // namespace
}  // namespace tessar
