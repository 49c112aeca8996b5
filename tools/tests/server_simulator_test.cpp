// The message-server simulator, driven by hand over loopback TCP: the answers
// it chooses, its strict checks of the driver's frames and its decoded lines.
#include "server_simulator.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/ole_date.h"
#include "netlink/packets.h"
#include "netlink/receive_reply.h"
#include "platform/tcp.h"

namespace tessar::tools {
namespace {

class ServerSimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim_.Start(0));
    ASSERT_TRUE(client_.Connect("127.0.0.1", sim_.Port(), 1000, nullptr));
  }

  void SendRaw(const Bytes& bytes) {
    ASSERT_EQ(client_.WriteAll(bytes.data(), bytes.size(), 1000), platform::IoResult::kOk);
  }

  // Sends one packet and returns the code of the answer (0 when none came).
  int32_t Exchange(int32_t code, const Bytes& payload) {
    SendRaw(BuildFrame(BuildPacket(code, 0, payload)));
    Bytes reply;
    ReplyLimits limits;
    limits.readTimeoutMs = 300;
    if (ReceiveReply(client_, limits, reply) != ReplyOutcome::kPacket || !IsValidPacket(reply))
      return 0;
    return PacketCode(reply);
  }

  ServerSimulator sim_;
  platform::TcpConnection client_;
};

TEST_F(ServerSimulatorTest, AnswersEachPacketWithOnePacket) {
  struct Case {
    const char* name;
    std::function<void(ServerSimulator&)> setup;
    int32_t code;
    Bytes payload;
    int32_t answer;
  };
  const Case cases[] = {
      {"hello", nullptr, CMD_HELLO, HelloPayload(), CMD_TEST},
      {"version", nullptr, CMD_VERSION, VersionPayload("8.1.3.163"), CMD_ACCEPTED},
      {"event", nullptr, CMD_EVENT, Bytes(27, 0), CMD_SPOOL_ACK},
      {"measurement", nullptr, CMD_MEASUREMENT, Bytes(23, 0), CMD_SPOOL_ACK},
      {"test", nullptr, CMD_TEST, {}, CMD_TEST},
      {"version denied", [](ServerSimulator& s) { s.SetDeny(true); }, CMD_VERSION,
       VersionPayload("8.1.3.163"), CMD_DENIED},
      {"version not accepted",
       [](ServerSimulator& s) {
         s.SetDeny(false);
         s.SetAccept(false);
       },
       CMD_VERSION, VersionPayload("8.1.3.163"), CMD_TEST},
      {"queued query", [](ServerSimulator& s) { s.QueueAnswer(CMD_QUERY); }, CMD_EVENT,
       Bytes(27, 0), CMD_QUERY},
      {"queued drop", [](ServerSimulator& s) { s.QueueAnswer(CMD_DROP); }, CMD_TEST, {}, CMD_DROP},
      {"0xF0 framing", [](ServerSimulator& s) { s.SetF0Framing(true); }, CMD_TEST, {}, CMD_TEST},
      {"silent", [](ServerSimulator& s) { s.SetSilent(true); }, CMD_TEST, {}, 0},
  };
  for (const Case& c : cases) {
    if (c.setup)
      c.setup(sim_);
    EXPECT_EQ(Exchange(c.code, c.payload), c.answer) << c.name;
  }
  EXPECT_TRUE(sim_.Violations().empty());
  EXPECT_EQ(sim_.Packets().size(), std::size(cases));
}

TEST_F(ServerSimulatorTest, ReportsFramesThatBreakTheFormat) {
  struct Case {
    const char* name;
    std::function<void(Bytes&)> spoil;
    const char* violation;
    bool closes;  // the stream is out of step after it
  };
  const Case cases[] = {
      {"frame marker", [](Bytes& f) { f[0] = 0xF0; }, "frame marker 0xF0, not 0xFF", true},
      {"length copy", [](Bytes& f) { f[17] = 19; }, "frame length 20 but its copy 19", true},
      {"packet end marker", [](Bytes& f) { f[21 + 17] = 0; }, "packet markers 0xFF/0x00", false},
      {"payload length field", [](Bytes& f) { f[21 + 5] = 3; }, "payload length field 3", false},
      {"payload size for the code",
       [](Bytes& f) {
         f[21 + 1] = 0x17;
         f[21 + 4] = 3;
       },
       "CMD_EVENT with 2 payload bytes, not 27", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes frame = BuildFrame(BuildPacket(CMD_HELLO, 0, HelloPayload()));
    c.spoil(frame);
    const size_t before = sim_.Violations().size();
    SendRaw(frame);
    ASSERT_TRUE(sim_.WaitUntil(
        [&](const ServerSimulator& s) { return s.Violations().size() > before; }, 2000));
    EXPECT_EQ(sim_.Violations().back().rfind(c.violation, 0), 0u) << sim_.Violations().back();
    if (c.closes) {
      ASSERT_TRUE(
          sim_.WaitUntil([](const ServerSimulator& s) { return !s.ClientConnected(); }, 2000));
      client_.Close();
      ASSERT_TRUE(client_.Connect("127.0.0.1", sim_.Port(), 1000, nullptr));
      ASSERT_TRUE(
          sim_.WaitUntil([](const ServerSimulator& s) { return s.ClientConnected(); }, 2000));
    } else {
      Bytes reply;
      ReplyLimits limits;
      limits.readTimeoutMs = 300;
      // The packet is still answered, so the driver is not left waiting.
      EXPECT_EQ(ReceiveReply(client_, limits, reply), ReplyOutcome::kPacket);
    }
  }
}

TEST(ServerSimulatorText, DescribesPacketsOnOneLine) {
  Bytes event(27, 0);
  event[0] = 23;
  event[1] = 1;
  event[3] = 4;
  std::memcpy(&event[4], "1130", 4);
  PutInt32(&event[8], 10037);
  PutInt32(&event[12], 10037);
  event[16] = 3;
  const double when = ToOleDate({2024, 5, 1, 12, 30, 15, 250});
  uint64_t bits;
  std::memcpy(&bits, &when, sizeof bits);
  PutUint64(&event[19], bits);

  Bytes measurement(23, 0);
  PutInt32(&measurement[0], 10042);
  PutUint64(&measurement[4], bits);
  measurement[12] = 12;
  measurement[13] = 34;
  measurement[14] = 1;
  measurement[15] = 2;

  struct Case {
    ServerPacket packet;
    const char* line;
  };
  const Case cases[] = {
      {{1, CMD_HELLO, 0, HelloPayload(), 41}, "[1] seq 0 CMD_HELLO 18"},
      {{1, CMD_PORT_STATE, 1, PortStatePayload("3", 1), 47},
       "[1] seq 1 CMD_PORT_STATE port COM3 receiver link 1"},
      {{1, CMD_FIRST_NUMBER, 2, FirstNumberPayload(1), 40},
       "[1] seq 2 CMD_FIRST_NUMBER FirstNumber 1"},
      {{1, CMD_VERSION, 3, VersionPayload("8.1.3.163"), 47}, "[1] seq 3 CMD_VERSION 8.1.3.163"},
      {{2, CMD_EVENT, 9, event, 66},
       "[2] seq 9 CMD_EVENT tag 23 route 1 subaddress 0 code \"1130\" object 10037 device 10037 "
       "zone 3 reserved 0 time 2024-05-01 12:30:15.250"},
      {{2, CMD_MEASUREMENT, 10, measurement, 62},
       "[2] seq 10 CMD_MEASUREMENT object 10042 time 2024-05-01 12:30:15.250 reading1 12h34min "
       "level 1.02 reading2 0h00min level 0.00 reserved 00 00 00"},
      {{2, CMD_EVENT, 11, {1, 2, 3}, 42}, "[2] seq 11 CMD_EVENT 3 bytes: 01 02 03"},
      {{2, 0x7, 12, {}, 39}, "[2] seq 12 0x00000007"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DescribePacket(c.packet), c.line);
}

}  // namespace
}  // namespace tessar::tools
