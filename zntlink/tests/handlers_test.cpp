// Answer handlers against answers larger or smaller than the session's tables.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "link_fixture.h"
#include "requests.h"
#include "session.h"

namespace zntlink::testing {
namespace {

using Bytes = std::vector<uint8_t>;

void Handle(CommSession& s, RequestKind kind, const Bytes& payload) {
  Request(kind).handler(s, payload.data(), payload.size());
}

TEST(AnswerHandlers, CountsBeyondTheTablesOrTheAnswerAreCut) {
  CommSession s;
  Bytes slots(1 + 40, 0x07);
  slots[0] = 200;  // more than the answer holds and more than eight slots
  Handle(s, kRequestH0, slots);
  Handle(s, kRequestH1, slots);
  EXPECT_EQ(Bytes(s.receiver.slotInformation, s.receiver.slotInformation + 8), Bytes(8, 0x07));
  EXPECT_EQ(Bytes(s.receiver.slotStatus, s.receiver.slotStatus + 8), Bytes(8, 0x07));

  // A count of 3 replaces three slots only.
  Handle(s, kRequestH1, {3, 0, 0, 0});
  EXPECT_EQ(Bytes(s.receiver.slotStatus, s.receiver.slotStatus + 8),
            (Bytes{0, 0, 0, 7, 7, 7, 7, 7}));

  Bytes message(1 + 60, 0x33);
  message[0] = 60;
  Handle(s, kRequestD1, message);
  EXPECT_EQ(s.receiver.messageLength, kMessageCapacity);
  EXPECT_TRUE(s.receiver.messagePresent);

  // A count larger than the bytes that came stores only those.
  CommSession t;
  Handle(t, kRequestD1, {21, 0x13, 1, 2});
  EXPECT_EQ(t.receiver.messageLength, 3);
}

TEST(AnswerHandlers, ShortAnswersLeaveTheStoredValues) {
  CommSession s;
  Handle(s, kRequestS3, {1, 2, 0xAA, 0xBB, 0xCC, 0xDD});
  EXPECT_EQ(s.receiver.serialNumber, 0xAABBCCDDu) << "most significant byte first";
  Handle(s, kRequestS3, {9, 9});
  EXPECT_EQ(s.receiver.firmwareMajor, 1);
  Handle(s, kRequestD0, {0x34, 0x12});
  EXPECT_EQ(s.receiver.messageCount, 0x1234);
  Handle(s, kRequestD0, {0x01});
  EXPECT_EQ(s.receiver.messageCount, 0x1234);
  Handle(s, kRequestS2, {});
  Handle(s, kRequestH1, {});
  // An answer without message bytes holds no message.
  for (const Bytes& empty : {Bytes{}, Bytes{0}, Bytes{0, 0x13}, Bytes{5}}) {
    Handle(s, kRequestD1, empty);
    EXPECT_EQ(s.receiver.messageLength, 0);
    EXPECT_FALSE(s.receiver.messagePresent) << empty.size();
  }
}

class LongMessageTest : public LinkTest {};

TEST_F(LongMessageTest, TheLongestStoredMessageFillsAtMostTheDeclaredRecord) {
  line->receiver.AddMessage(Bytes(40, 0x41));  // longer than the library holds
  Open();
  LinkTimeouts t;
  ZNT_GetTimeouts(session, &t);
  t.queryWait = 1;
  ZNT_SetTimeouts(session, &t);
  uint8_t record[sizeof(ReceiverMessage) + 16];
  ASSERT_TRUE(WaitUntil([&] {
    std::memset(record, 0xEE, sizeof record);
    return ZNT_GetMsg(session, reinterpret_cast<ReceiverMessage*>(record)) == 1;
  }));
  EXPECT_EQ(record[sizeof(ReceiverMessage) - 1], 0x41);
  EXPECT_EQ(record[sizeof(ReceiverMessage)], 0xEE) << "nothing past the declared record";
  // The cut message was still acknowledged, so the receiver's store drains.
  ASSERT_TRUE(WaitUntil([&] { return line->receiver.StoredMessages() == 0; }));
}

}  // namespace
}  // namespace zntlink::testing
