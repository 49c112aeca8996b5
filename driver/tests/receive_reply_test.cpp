// Reading the server's answers over real loopback TCP from the simulator,
// good frames and bad ones. A recording wrapper shows what the reader asks for.
#include "netlink/receive_reply.h"

#include <gtest/gtest.h>

#include <chrono>

#include "platform/tcp.h"
#include "server_simulator.h"

namespace tessar {
namespace {

using platform::IoResult;
using tools::Malformed;
using tools::ServerSimulator;

class RecordingStream : public platform::ByteStream {
 public:
  explicit RecordingStream(platform::ByteStream& inner) : inner_(inner) {}
  IoResult ReadExact(uint8_t* data, size_t size, uint32_t timeoutMs, size_t& received) override {
    reads.push_back(size);
    return inner_.ReadExact(data, size, timeoutMs, received);
  }
  IoResult WriteAll(const uint8_t* data, size_t size, uint32_t timeoutMs) override {
    return inner_.WriteAll(data, size, timeoutMs);
  }
  std::vector<size_t> reads;

 private:
  platform::ByteStream& inner_;
};

class ReceiveReplyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim_.Start(0));
    ASSERT_TRUE(connection_.Connect("127.0.0.1", sim_.Port(), 1000, nullptr));
    limits_.readTimeoutMs = 200;
  }

  // Sends one packet the way the driver does and reads the answer.
  ReplyOutcome Exchange(Bytes& reply, int32_t code = CMD_HELLO) {
    const Bytes frame =
        BuildFrame(BuildPacket(code, 0, code == CMD_HELLO ? HelloPayload() : Bytes{}));
    EXPECT_EQ(connection_.WriteAll(frame.data(), frame.size(), 1000), IoResult::kOk);
    stream_.reads.clear();
    return ReceiveReply(stream_, limits_, reply);
  }

  ServerSimulator sim_;
  platform::TcpConnection connection_;
  RecordingStream stream_{connection_};
  ReplyLimits limits_;
};

TEST_F(ReceiveReplyTest, ReadsAFrameWithEitherMarker) {
  Bytes reply;
  ASSERT_EQ(Exchange(reply), ReplyOutcome::kPacket);
  EXPECT_EQ(reply, BuildPacket(CMD_TEST, 0, {}));
  sim_.SetF0Framing(true);
  sim_.QueueAnswer(CMD_ACCEPTED);
  ASSERT_EQ(Exchange(reply), ReplyOutcome::kPacket);
  EXPECT_EQ(reply, BuildPacket(CMD_ACCEPTED, 0, {}));
  EXPECT_TRUE(sim_.Violations().empty());
}

TEST_F(ReceiveReplyTest, ReadsALargeBodyInChunksOf50000) {
  sim_.QueueMalformed(Malformed::kBigBody);
  Bytes reply;
  ASSERT_EQ(Exchange(reply), ReplyOutcome::kPacket);
  EXPECT_EQ(reply.size(), 120000u);
  EXPECT_TRUE(IsValidPacket(reply));
  EXPECT_EQ(stream_.reads, (std::vector<size_t>{21, 50000, 50000, 20000}));
}

TEST_F(ReceiveReplyTest, BadFramesLeaveTheReplyEmpty) {
  struct Case {
    const char* name;
    Malformed kind;
    ReplyOutcome outcome;
  };
  const Case cases[] = {
      // The stream is still in step after these, so the next answer reads well.
      {"wrong marker", Malformed::kWrongMarker, ReplyOutcome::kNothing},
      {"zero length", Malformed::kZeroLength, ReplyOutcome::kNothing},
      // After these the connection cannot be trusted and must be closed.
      {"negative length", Malformed::kNegativeLength, ReplyOutcome::kBroken},
      {"length above the bound", Malformed::kHugeLength, ReplyOutcome::kBroken},
      {"garbage shorter than a header", Malformed::kGarbage, ReplyOutcome::kBroken},
      {"half a frame, then closed", Malformed::kHalfFrame, ReplyOutcome::kBroken},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim_.QueueMalformed(c.kind);
    Bytes reply{1, 2, 3};
    EXPECT_EQ(Exchange(reply), c.outcome);
    EXPECT_TRUE(reply.empty());
    // Nothing near the announced 2 GiB was allocated.
    EXPECT_LT(reply.capacity(), size_t{1} << 20);
    if (c.outcome == ReplyOutcome::kNothing) {
      ASSERT_EQ(Exchange(reply), ReplyOutcome::kPacket);
      EXPECT_EQ(PacketCode(reply), CMD_TEST);
    } else {
      connection_.Close();
      ASSERT_TRUE(connection_.Connect("127.0.0.1", sim_.Port(), 1000, nullptr));
    }
  }
}

TEST_F(ReceiveReplyTest, SilenceAndAStalledBodyEndWithinTheTimeouts) {
  sim_.SetSilent(true);
  Bytes reply;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Exchange(reply), ReplyOutcome::kNothing);
  EXPECT_TRUE(reply.empty());

  // A header announcing 18 bytes, then nothing: a bounded number of reads, then broken.
  platform::TcpListener listener;
  ASSERT_TRUE(listener.Listen("127.0.0.1", 0, nullptr));
  platform::TcpConnection client;
  ASSERT_TRUE(client.Connect("127.0.0.1", listener.Port(), 1000, nullptr));
  int fd = -1;
  for (int i = 0; i < 100 && fd < 0; ++i) {
    fd = listener.AcceptWaiting();
    if (fd < 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_GE(fd, 0);
  platform::TcpConnection server(fd, nullptr);
  Bytes partial = BuildFrame(BuildPacket(CMD_TEST, 0, {}));
  partial.resize(25);
  ASSERT_EQ(server.WriteAll(partial.data(), partial.size(), 1000), IoResult::kOk);
  RecordingStream stream(client);
  EXPECT_EQ(ReceiveReply(stream, limits_, reply), ReplyOutcome::kBroken);
  EXPECT_TRUE(reply.empty());
  EXPECT_EQ(stream.reads.size(), 1u + limits_.chunkAttempts);
  // One header timeout and three body attempts, each at most the read timeout.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace tessar
