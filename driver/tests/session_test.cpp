// The session thread against the message-server simulator over real loopback
// TCP. The session's clock is a manual one: reconnection delays and keep-alive
// intervals pass when a test moves it, and socket timeouts are shortened.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "common/ole_date.h"
#include "netlink/Unit7.h"
#include "netlink/hand_off_window.h"
#include "platform/files.h"
#include "server_simulator.h"
#include "test_support.h"

namespace tessar {
namespace {

using testing::Eventually;
using tools::Malformed;
using tools::ServerPacket;
using tools::ServerSimulator;

constexpr uint32_t kPastReconnectDelay = 5001;

std::vector<int32_t> CodesOf(const std::vector<ServerPacket>& packets) {
  std::vector<int32_t> codes;
  for (const ServerPacket& packet : packets)
    codes.push_back(packet.code);
  return codes;
}

std::vector<ServerPacket> OfConnection(const std::vector<ServerPacket>& packets, int connection) {
  std::vector<ServerPacket> result;
  for (const ServerPacket& packet : packets) {
    if (packet.connection == connection)
      result.push_back(packet);
  }
  return result;
}

const std::vector<int32_t> kHelloCodes = {CMD_HELLO, CMD_PORT_STATE, CMD_FIRST_NUMBER, CMD_VERSION};

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim_.Start(0));
    WriteIni(sim_.Port());
    state_.SetPortText("12");
    state_.SetReceiverLinkState(1);
    state_.SetFirstNumber(257);
    timings_.connectTimeoutMs = 1000;
    timings_.readTimeoutMs = 300;
    timings_.writeTimeoutMs = 1000;
    timings_.pauseMs = 2;
  }

  void WriteIni(uint16_t port) {
    dir_.Write("tessard.ini",
               "[ServerHost]\r\nAddress=127.0.0.1\r\nPort=" + std::to_string(port) + "\r\n");
  }

  void StartSession(SessionWindow* window = nullptr) {
    cl::Options options;
    options.startDirectory = dir_.Path();
    options.timings = timings_;
    options.metrics = &metrics_;
    session_ = std::make_unique<cl>(state_, window ? *window : window_, clock_, options);
    session_->Start();
  }

  // Starts the session and waits for the four hello packets to be answered.
  void StartOnline() {
    StartSession();
    ASSERT_TRUE(
        sim_.WaitUntil([](const ServerSimulator& sim) { return sim.AnswersSent() >= 4; }, 5000));
    ASSERT_TRUE(Eventually([&] { return session_->Online() && session_->QueuedPackets() == 0; }));
  }

  // Posts an event and waits until the simulator has it.
  uint64_t PostEventAndWait() {
    const PostResult posted = session_->PostPacket(CMD_EVENT, Bytes(27, 0x17));
    EXPECT_TRUE(posted.queued);
    EXPECT_TRUE(sim_.WaitUntil(
        [&](const ServerSimulator& sim) {
          for (const ServerPacket& packet : sim.Packets()) {
            if (packet.code == CMD_EVENT && packet.sequence == posted.sequence)
              return true;
          }
          return false;
        },
        5000))
        << "event " << posted.sequence;
    return posted.sequence;
  }

  // Real time passes for a moment: enough for the session to act, if it were to.
  static void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(60)); }

  platform::ManualClock clock_{1000};
  testing::RecordingWindow window_;
  DriverState state_;
  testing::TempDir dir_;
  ServerSimulator sim_;
  SessionTimings timings_;
  DriverMetrics metrics_;
  std::unique_ptr<cl> session_;  // last: it goes first
};

TEST_F(SessionTest, HelloPacketsInOrderAndNumbersGoOnAcrossConnections) {
  StartOnline();
  auto packets = sim_.Packets();
  ASSERT_EQ(CodesOf(packets), kHelloCodes);
  for (uint64_t i = 0; i < 4; ++i)
    EXPECT_EQ(packets[i].sequence, i);
  EXPECT_EQ(packets[0].payload, (Bytes{0x12, 0x00}));
  EXPECT_EQ(packets[1].payload, (Bytes{5, 'C', 'O', 'M', '1', '2', 0, 1}));
  EXPECT_EQ(packets[2].payload, (Bytes{1}));  // 257 modulo 256
  EXPECT_EQ(packets[3].payload, (Bytes{8, 0, 1, 0, 3, 0, 0xA3, 0}));
  EXPECT_EQ(window_.Texts(), (std::vector<std::string>{kLogConnecting, kLogConnected}));
  // A connection moves the spool re-send time one day back, so a spool file goes at once.
  EXPECT_DOUBLE_EQ(state_.SpoolResendTime(), ToOleDate(clock_.LocalNow()) - 1.0);

  // CMD_DROP closes the connection at once, without waiting for the clock.
  sim_.QueueAnswer(CMD_DROP);
  session_->PostPacket(CMD_EVENT, Bytes(27, 1));
  ASSERT_TRUE(
      sim_.WaitUntil([](const ServerSimulator& sim) { return !sim.ClientConnected(); }, 5000));
  EXPECT_FALSE(session_->Online());
  Settle();
  EXPECT_EQ(sim_.Connections(), 1);

  clock_.Advance(kPastReconnectDelay);
  ASSERT_TRUE(sim_.WaitForPackets(9, 5000));
  packets = OfConnection(sim_.Packets(), 2);
  ASSERT_EQ(CodesOf(packets), kHelloCodes);
  for (uint64_t i = 0; i < 4; ++i)
    EXPECT_EQ(packets[i].sequence, 5 + i);
  EXPECT_TRUE(sim_.Violations().empty());
}

// The figures the session keeps for the metrics: packets written, answers,
// the ring's depth, the online flag, and every way an online session goes
// offline counted once under its cause.
TEST_F(SessionTest, MetricsCountPacketsAnswersAndEveryDropUnderItsCause) {
  StartOnline();
  EXPECT_TRUE(metrics_.serverOnline.load());
  ASSERT_TRUE(Eventually([&] { return metrics_.serverAnswers.load() == 4u; }));
  EXPECT_EQ(metrics_.packetsSent.load(), 4u) << "the hello group";
  EXPECT_EQ(metrics_.lastServerAnswerMs.load(), clock_.MonotonicMs());
  PostEventAndWait();
  ASSERT_TRUE(Eventually([&] { return metrics_.serverAnswers.load() == 5u; }));
  EXPECT_EQ(metrics_.packetsSent.load(), 5u);
  EXPECT_EQ(metrics_.sendRingPackets.load(), 0);

  struct Case {
    const char* what;
    std::function<void()> drop;
    SessionDropCause cause;
  };
  const auto post = [&] { session_->PostPacket(CMD_EVENT, Bytes(27, 0)); };
  const Case cases[] = {
      {"CMD_DROP", [&] { sim_.QueueAnswer(CMD_DROP), post(); }, SessionDropCause::kServerCommand},
      {"CMD_SERVER_DISCONNECT", [&] { sim_.QueueAnswer(CMD_SERVER_DISCONNECT), post(); },
       SessionDropCause::kServerCommand},
      {"half a frame, then a close", [&] { sim_.QueueMalformed(Malformed::kHalfFrame), post(); },
       SessionDropCause::kReadFailure},
      {"a connection reset before a packet is written",
       [&] {
         sim_.CloseClient(/*reset=*/true);
         ASSERT_TRUE(
             sim_.WaitUntil([](const ServerSimulator& s) { return !s.ClientConnected(); }, 5000));
         post();
       },
       SessionDropCause::kWriteFailure},
      {"a server that stops answering", [&] { sim_.SetSilent(true), post(); },
       SessionDropCause::kErrors},
  };
  uint64_t expected[kSessionDropCauses] = {};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.drop();
    ASSERT_TRUE(Eventually([&] { return !session_->Online(); }));
    ++expected[static_cast<int>(c.cause)];
    for (int cause = 0; cause < kSessionDropCauses; ++cause)
      EXPECT_EQ(metrics_.sessionDrops[cause].load(), expected[cause]) << "cause " << cause;
    EXPECT_FALSE(metrics_.serverOnline.load());
    sim_.SetSilent(false);
    // The next connection: the data packets the last one left unanswered,
    // four hello packets and, the clock having moved, one keep-alive test,
    // all answered before the next case begins.
    const uint64_t answers = metrics_.serverAnswers.load();
    const int connection = sim_.Connections() + 1;
    clock_.Advance(kPastReconnectDelay);
    ASSERT_TRUE(Eventually([&] {
      const auto packets = OfConnection(sim_.Packets(), connection);
      return packets.size() >= 5 && packets.back().code == CMD_TEST &&
             metrics_.serverAnswers.load() == answers + packets.size();
    }));
    EXPECT_TRUE(metrics_.serverOnline.load());
  }

  // Stopping is no drop.
  session_->Stop();
  EXPECT_FALSE(metrics_.serverOnline.load());
  for (int cause = 0; cause < kSessionDropCauses; ++cause)
    EXPECT_EQ(metrics_.sessionDrops[cause].load(), expected[cause]) << "cause " << cause;

  // Packets posted while no connection takes them wait in the ring, counted there.
  DriverMetrics idleMetrics;
  cl::Options options;
  options.metrics = &idleMetrics;
  cl idle(state_, window_, clock_, options);
  idle.PostPacket(CMD_EVENT, Bytes(27, 0));
  idle.PostPacket(CMD_EVENT, Bytes(27, 0));
  EXPECT_EQ(idleMetrics.sendRingPackets.load(), 2);
}

TEST_F(SessionTest, RingPacketsGoFirstAfterReconnectionInOrderAcrossTheWrap) {
  StartOnline();
  // The server goes away; the next keep-alive test finds the connection closed.
  sim_.Stop();
  clock_.Advance(600);
  ASSERT_TRUE(Eventually([&] { return !session_->Online(); }));

  // The head is at slot 4 after the hello packets, so 400 packets wrap the tail;
  // the four hello packets of the next connection still find room behind them.
  for (uint64_t n = 4; n < 404; ++n) {
    const PostResult posted = session_->PostPacket(CMD_EVENT, Bytes(27, static_cast<uint8_t>(n)));
    ASSERT_TRUE(posted.queued) << n;
    ASSERT_EQ(posted.sequence, n);
  }
  const PostResult refused = session_->PostPacket(CMD_EVENT, Bytes(27, 0));
  EXPECT_FALSE(refused.queued);
  EXPECT_EQ(refused.sequence, 404u);
  EXPECT_EQ(session_->QueuedPackets(), 400u);

  ASSERT_TRUE(sim_.Start(sim_.Port()));
  clock_.Advance(kPastReconnectDelay);
  ASSERT_TRUE(sim_.WaitUntil(
      [](const ServerSimulator& sim) { return OfConnection(sim.Packets(), 2).size() >= 404; },
      20000))
      << sim_.Packets().size() << " packets, " << sim_.Connections() << " connections, "
      << session_->QueuedPackets() << " queued";
  const auto packets = OfConnection(sim_.Packets(), 2);
  for (uint64_t i = 0; i < 400; ++i) {
    ASSERT_EQ(packets[i].code, CMD_EVENT) << i;
    ASSERT_EQ(packets[i].sequence, 4 + i) << i;
  }
  std::vector<int32_t> hello;
  for (size_t i = 400; i < 404; ++i) {
    hello.push_back(packets[i].code);
    // The refused packet's number 404 never appears.
    EXPECT_EQ(packets[i].sequence, 405 + (i - 400));
  }
  EXPECT_EQ(hello, kHelloCodes);
  EXPECT_TRUE(sim_.Violations().empty());
}

TEST_F(SessionTest, KeepAliveTestsOnlyAfterAcceptanceWithAnEmptyRingAndSpacedOut) {
  sim_.SetAccept(false);
  StartOnline();
  clock_.Advance(1000);
  Settle();
  auto codes = sim_.Codes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), CMD_TEST), 0) << "no test before acceptance";

  // The next answer accepts the session; the clock is already past the interval.
  sim_.QueueAnswer(CMD_ACCEPTED);
  session_->PostPacket(CMD_PORT_STATE, PortStatePayload("12", 1));
  auto tests = [](const ServerSimulator& sim) {
    const auto codes = sim.Codes();
    return std::count(codes.begin(), codes.end(), CMD_TEST);
  };
  ASSERT_TRUE(sim_.WaitUntil([&](const ServerSimulator& sim) { return tests(sim) == 1; }, 5000));
  Settle();
  EXPECT_EQ(tests(sim_), 1) << "the clock has not moved: no second test";

  // With packets in the ring, the test waits until the ring is empty.
  for (int i = 0; i < 30; ++i)
    session_->PostPacket(CMD_EVENT, Bytes(27, 0));
  clock_.Advance(501);
  ASSERT_TRUE(sim_.WaitUntil([&](const ServerSimulator& sim) { return tests(sim) == 2; }, 5000));
  Settle();
  const auto packets = sim_.Packets();
  EXPECT_EQ(tests(sim_), 2);
  ASSERT_GE(packets.size(), 31u);
  for (size_t i = packets.size() - 31; i + 1 < packets.size(); ++i)
    EXPECT_EQ(packets[i].code, CMD_EVENT) << i;
  EXPECT_EQ(packets.back().code, CMD_TEST);
  for (const ServerPacket& packet : packets) {
    if (packet.code == CMD_TEST) {
      EXPECT_EQ(packet.sequence, 0u);
      EXPECT_EQ(packet.wireSize, 39u);
    }
  }
  // The tests did not use up sequence numbers.
  EXPECT_EQ(session_->PostPacket(CMD_EVENT, {}).sequence, 35u);
}

TEST_F(SessionTest, AnswersFramedWith0xF0CountLikeOthers) {
  sim_.SetF0Framing(true);
  StartOnline();
  clock_.Advance(501);
  ASSERT_TRUE(sim_.WaitUntil(
      [](const ServerSimulator& sim) { return sim.Codes().back() == CMD_TEST; }, 5000));
  EXPECT_EQ(session_->NetworkErrors(), 0);
}

TEST_F(SessionTest, QueryIsAnsweredByOneReplyBehindTheQueuedPackets) {
  StartOnline();
  sim_.QueueAnswer(CMD_QUERY);
  for (int i = 0; i < 3; ++i)
    session_->PostPacket(CMD_EVENT, Bytes(27, 0));
  ASSERT_TRUE(sim_.WaitForPackets(8, 5000));
  Settle();
  const auto packets = sim_.Packets();
  ASSERT_EQ(packets.size(), 8u);
  EXPECT_EQ(CodesOf(packets),
            (std::vector<int32_t>{CMD_HELLO, CMD_PORT_STATE, CMD_FIRST_NUMBER, CMD_VERSION,
                                  CMD_EVENT, CMD_EVENT, CMD_EVENT, CMD_QUERY_REPLY}));
  EXPECT_EQ(packets[7].wireSize, 39u);
  EXPECT_TRUE(packets[7].payload.empty());
  EXPECT_EQ(packets[7].sequence, 7u);
}

TEST_F(SessionTest, SilentServerDropsTheSessionAfterMoreThan20MissingAnswers) {
  sim_.SetSilent(true);
  StartSession();
  ASSERT_TRUE(window_.WaitForText(kLogNetworkErrors));
  EXPECT_TRUE(Eventually([&] { return !session_->Online(); }));
  EXPECT_EQ(window_.Count(kLogConnecting), 1);
  clock_.Advance(kPastReconnectDelay);
  ASSERT_TRUE(window_.WaitForText(kLogConnecting, 2));
  const auto texts = window_.Texts();
  EXPECT_EQ(
      std::vector<std::string>(texts.begin(), texts.begin() + 4),
      (std::vector<std::string>{kLogConnecting, kLogConnected, kLogNetworkErrors, kLogConnecting}));
}

TEST_F(SessionTest, ServerDisconnectHoldsTheNextAttemptForTheFullDelay) {
  StartOnline();
  sim_.QueueAnswer(CMD_SERVER_DISCONNECT);
  session_->PostPacket(CMD_EVENT, Bytes(27, 0));
  ASSERT_TRUE(window_.WaitForText(kLogServerDisconnect));
  EXPECT_FALSE(session_->Online());
  EXPECT_EQ(session_->NetworkErrors(), 0);
  clock_.Advance(5000);
  Settle();
  EXPECT_EQ(window_.Count(kLogConnecting), 1) << "not more than 5000 ms yet";
  clock_.Advance(1);
  ASSERT_TRUE(window_.WaitForText(kLogConnecting, 2));
  ASSERT_TRUE(
      sim_.WaitUntil([](const ServerSimulator& sim) { return sim.Connections() == 2; }, 5000));
}

TEST_F(SessionTest, DeniedIsLoggedOnceAndNoAttemptFollows) {
  sim_.SetDeny(true);
  StartSession();
  ASSERT_TRUE(window_.WaitForText(kLogDenied));
  for (int i = 0; i < 3; ++i) {
    clock_.Advance(kPastReconnectDelay);
    Settle();
  }
  EXPECT_EQ(window_.Count(kLogDenied), 1);
  EXPECT_EQ(window_.Count(kLogConnecting), 1);
  EXPECT_EQ(sim_.Connections(), 1);
  EXPECT_FALSE(sim_.ClientConnected());
  EXPECT_FALSE(session_->Online());
  // Producers go on posting; nothing is sent.
  EXPECT_TRUE(session_->PostPacket(CMD_EVENT, Bytes(27, 0)).queued);
}

TEST_F(SessionTest, AFailedWriteKeepsThePacketAtTheHead) {
  StartOnline();
  sim_.CloseClient(/*reset=*/true);
  ASSERT_TRUE(
      sim_.WaitUntil([](const ServerSimulator& sim) { return !sim.ClientConnected(); }, 5000));
  const PostResult posted = session_->PostPacket(CMD_EVENT, Bytes(27, 9));
  ASSERT_TRUE(Eventually([&] { return !session_->Online(); }));
  EXPECT_EQ(session_->QueuedPackets(), 1u);
  EXPECT_FALSE(session_->PacketWritten(posted.sequence));
  EXPECT_GE(session_->NetworkErrors(), 1);

  clock_.Advance(kPastReconnectDelay);
  ASSERT_TRUE(sim_.WaitForPackets(9, 5000));
  const auto packets = OfConnection(sim_.Packets(), 2);
  ASSERT_EQ(packets.size(), 5u);
  EXPECT_EQ(packets[0].code, CMD_EVENT);
  EXPECT_EQ(packets[0].sequence, posted.sequence);
  EXPECT_EQ(CodesOf(std::vector<ServerPacket>(packets.begin() + 1, packets.end())), kHelloCodes);
  EXPECT_TRUE(session_->PacketWritten(posted.sequence));
}

// A server that goes down with packets it has read but not yet handled (a
// crash with them in its receive buffer) never answers them. The data
// packets it left unanswered go again first on the next connection, before
// its hello group; those it answered do not. Hello packets belong to their
// connection and are not repeated.
TEST_F(SessionTest, DataPacketsAServerLeftUnansweredGoFirstOnTheNextConnection) {
  struct Case {
    const char* name;
    bool answer;  // the first server answers every packet before it goes
  };
  for (const Case& c : {Case{"unanswered", false}, Case{"answered", true}}) {
    SCOPED_TRACE(c.name);
    platform::TcpListener crashing;
    ASSERT_TRUE(crashing.Listen("127.0.0.1", 0, nullptr));
    const uint16_t port = crashing.Port();
    WriteIni(port);
    StartSession();
    platform::WakeSignal never;
    ASSERT_EQ(crashing.WaitForClient(&never, 5000), platform::IoResult::kOk);
    platform::TcpConnection peer(crashing.AcceptWaiting(), &never);
    ASSERT_TRUE(Eventually([&] { return session_->Online(); }));
    const PostResult first = session_->PostPacket(CMD_EVENT, Bytes(27, 1));
    const PostResult second = session_->PostPacket(CMD_MEASUREMENT, Bytes(23, 2));

    // Read the four hello packets and both data packets, answering each when
    // the case says so.
    Bytes input;
    int frames = 0;
    while (frames < 6) {
      uint8_t buffer[4096];
      size_t received = 0;
      ASSERT_EQ(peer.ReadSome(buffer, sizeof buffer, 5000, received), platform::IoResult::kOk);
      input.insert(input.end(), buffer, buffer + received);
      while (input.size() >= kFrameHeaderSize) {
        const size_t size =
            kFrameHeaderSize + static_cast<size_t>(ParseFrameHeader(input.data()).length);
        if (input.size() < size)
          break;
        const Bytes packet(input.begin() + kFrameHeaderSize, input.begin() + size);
        input.erase(input.begin(), input.begin() + size);
        ++frames;
        if (c.answer) {
          const int32_t code = PacketCode(packet);
          const Bytes answer = BuildFrame(BuildPacket(IsDataCode(code)      ? CMD_SPOOL_ACK
                                                      : code == CMD_VERSION ? CMD_ACCEPTED
                                                                            : CMD_TEST,
                                                      0, {}));
          ASSERT_EQ(peer.WriteAll(answer.data(), answer.size(), 1000), platform::IoResult::kOk);
        }
      }
    }
    if (c.answer) {
      ASSERT_TRUE(Eventually([&] { return session_->NetworkErrors() == 0; }));
    }
    peer.Close();
    crashing.Close();
    // With nothing left to send, the next keep-alive test finds the connection gone.
    clock_.Advance(501);
    ASSERT_TRUE(Eventually([&] { return !session_->Online(); }));

    ServerSimulator after;
    ASSERT_TRUE(after.Start(port));
    clock_.Advance(kPastReconnectDelay);
    const size_t expected = c.answer ? 4 : 6;
    ASSERT_TRUE(after.WaitForPackets(expected, 5000));
    Settle();
    // The keep-alive test that the moved clock makes due at once is left out.
    std::vector<ServerPacket> packets;
    for (const ServerPacket& packet : after.Packets()) {
      if (packet.code != CMD_TEST)
        packets.push_back(packet);
    }
    ASSERT_EQ(packets.size(), expected);
    if (!c.answer) {
      EXPECT_EQ(packets[0].code, CMD_EVENT);
      EXPECT_EQ(packets[0].sequence, first.sequence);
      EXPECT_EQ(packets[0].payload, Bytes(27, 1));
      EXPECT_EQ(packets[1].code, CMD_MEASUREMENT);
      EXPECT_EQ(packets[1].sequence, second.sequence);
    }
    EXPECT_EQ(CodesOf(std::vector<ServerPacket>(packets.end() - 4, packets.end())), kHelloCodes);
    EXPECT_TRUE(after.Violations().empty());
    session_.reset();
  }
}

TEST_F(SessionTest, AChangedPortTakesEffectAtTheNextAttempt) {
  ServerSimulator other;
  ASSERT_TRUE(other.Start(0));
  StartOnline();
  WriteIni(other.Port());
  sim_.QueueAnswer(CMD_DROP);
  session_->PostPacket(CMD_EVENT, Bytes(27, 0));
  ASSERT_TRUE(Eventually([&] { return !session_->Online(); }));
  clock_.Advance(kPastReconnectDelay);
  ASSERT_TRUE(other.WaitForPackets(4, 5000));
  EXPECT_EQ(CodesOf(other.Packets()), kHelloCodes);
  EXPECT_EQ(sim_.Connections(), 1);
}

TEST_F(SessionTest, AnUnreachableServerLogsOneLinePerAttempt) {
  sim_.Stop();  // its port now refuses connections
  StartSession();
  ASSERT_TRUE(window_.WaitForText(kLogConnecting));
  for (int attempt = 2; attempt <= 3; ++attempt) {
    Settle();
    EXPECT_EQ(window_.Count(kLogConnecting), attempt - 1);
    clock_.Advance(kPastReconnectDelay);
    ASSERT_TRUE(window_.WaitForText(kLogConnecting, attempt));
  }
  Settle();
  EXPECT_EQ(window_.Texts(), std::vector<std::string>(3, kLogConnecting));
}

TEST_F(SessionTest, BadFramesFromTheServerNeverStopTheSession) {
  struct Case {
    const char* name;
    Malformed kind;
    bool closes;  // the driver gives the connection up
  };
  const Case cases[] = {
      {"wrong marker", Malformed::kWrongMarker, false},
      {"zero length", Malformed::kZeroLength, false},
      {"negative length", Malformed::kNegativeLength, true},
      {"length above the bound", Malformed::kHugeLength, true},
      {"garbage", Malformed::kGarbage, true},
      {"half a frame, then closed", Malformed::kHalfFrame, true},
      {"a 120000-byte answer", Malformed::kBigBody, false},
  };
  // Missing answers after the in-step cases must not drop the session by the
  // error count here: each case shows what the frame itself does.
  timings_.errorLimit = 1000000;
  // No keep-alive test either: one sent between the reconnection and the probe
  // would take the malformed answer meant for the probe.
  timings_.testIntervalMs = 0x7FFFFFFF;
  StartOnline();
  bool reconnected = true;  // the connection has just been made
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The connection's hello group sent and every packet so far answered: the
    // malformed frame answers the probe, not a packet whose answer is still
    // on its way, and the probe is not posted before the hello group.
    ASSERT_TRUE(Eventually([&] {
      const auto packets = sim_.Packets();
      const bool helloDone =
          !reconnected || (!packets.empty() && packets.back().code == CMD_VERSION &&
                           packets.back().connection == sim_.Connections());
      return session_->Online() && session_->QueuedPackets() == 0 && helloDone &&
             sim_.AnswersSent() == static_cast<int>(packets.size());
    }));
    reconnected = c.closes;
    sim_.QueueMalformed(c.kind);
    const uint64_t probe = session_->PostPacket(CMD_EVENT, Bytes(27, 0)).sequence;
    ASSERT_TRUE(Eventually([&] { return session_->PacketWritten(probe); }));
    const int connections = sim_.Connections();
    if (c.closes) {
      ASSERT_TRUE(
          sim_.WaitUntil([](const ServerSimulator& sim) { return !sim.ClientConnected(); }, 5000));
      ASSERT_TRUE(Eventually([&] { return !session_->Online(); }));
      Settle();
      EXPECT_EQ(sim_.Connections(), connections) << "the usual delay before the next attempt";
      clock_.Advance(kPastReconnectDelay);
    } else {
      Settle();
      EXPECT_TRUE(session_->Online());
    }
    // The session is back in business, after a reconnection at most.
    const uint64_t next = session_->PostPacket(CMD_EVENT, Bytes(27, 0)).sequence;
    ASSERT_TRUE(Eventually([&] {
      for (const ServerPacket& packet : sim_.Packets()) {
        if (packet.sequence == next)
          return packet.code == CMD_EVENT;
      }
      return false;
    }));
    EXPECT_EQ(sim_.Connections(), connections + (c.closes ? 1 : 0));
  }
  EXPECT_TRUE(sim_.Violations().empty());
}

TEST_F(SessionTest, SpoolAckDeletesTheLastSpoolFileOnlyWhenItExists) {
  StartOnline();
  const std::string spool = dir_.File("5265C00.dd8");
  dir_.Write("5265C00.dd8", "x");
  state_.SetLastSpoolPath(spool);
  state_.SetSpoolResendTime(12345.0);
  clock_.Advance(60000);
  PostEventAndWait();  // answered with CMD_SPOOL_ACK
  const double dayBefore = ToOleDate(clock_.LocalNow()) - 1.0;
  ASSERT_TRUE(Eventually([&] { return state_.SpoolResendTime() == dayBefore; }));
  EXPECT_FALSE(platform::FileExists(spool));

  // Gone already: nothing changes, not even the re-send time.
  state_.SetSpoolResendTime(777.0);
  PostEventAndWait();
  PostEventAndWait();  // its answer is handled before the next packet goes
  EXPECT_EQ(state_.SpoolResendTime(), 777.0);
}

// --- Shutdown from another thread. ---

TEST_F(SessionTest, StopEndsAConnectInProgress) {
  // A listener whose backlog is full lets a further connect hang.
  platform::TcpListener full;
  ASSERT_TRUE(full.Listen("127.0.0.1", 0, nullptr, 0));
  std::vector<std::unique_ptr<platform::TcpConnection>> waiting;
  for (int i = 0; i < 8; ++i) {
    waiting.push_back(std::make_unique<platform::TcpConnection>());
    if (!waiting.back()->Connect("127.0.0.1", full.Port(), 100, nullptr))
      break;
  }
  WriteIni(full.Port());
  timings_.connectTimeoutMs = 20000;
  StartSession();
  ASSERT_TRUE(window_.WaitForText(kLogConnecting));
  Settle();
  EXPECT_FALSE(session_->Online());
  const auto start = std::chrono::steady_clock::now();
  session_->Stop();
  session_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(SessionTest, StopEndsAReadInProgressAndNothingReachesTheWindowAfter) {
  sim_.SetSilent(true);
  timings_.readTimeoutMs = 20000;
  StartSession();
  ASSERT_TRUE(sim_.WaitForPackets(1, 5000));
  Settle();
  const auto start = std::chrono::steady_clock::now();
  session_->Stop();
  EXPECT_FALSE(session_->Online());
  const auto texts = window_.Texts();
  session_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(window_.Texts(), texts);
  EXPECT_FALSE(sim_.ClientConnected() && sim_.Connections() > 1);
}

TEST_F(SessionTest, StopReleasesAHandOffTheWindowNeverRuns) {
  // The window thread (this one) is busy and never runs the hand-off.
  HandOffWindow handOff(window_, [] {});
  StartSession(&handOff);
  Settle();
  const auto start = std::chrono::steady_clock::now();
  session_->Stop();
  handOff.Close();
  session_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(window_.Texts().empty());
  EXPECT_EQ(window_.Advances(), 0);
}

TEST_F(SessionTest, HandOffRunsTheWindowCallsOnTheWindowThread) {
  std::mutex mutex;
  std::condition_variable woken;
  bool wake = false;
  HandOffWindow handOff(window_, [&] {
    std::lock_guard lock(mutex);
    wake = true;
    woken.notify_all();
  });
  StartSession(&handOff);
  // This thread plays the window thread's event loop.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (window_.Count(kLogConnected) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::unique_lock lock(mutex);
    woken.wait_for(lock, std::chrono::milliseconds(10), [&] { return wake; });
    wake = false;
    lock.unlock();
    handOff.RunPending();
  }
  EXPECT_EQ(window_.Texts(), (std::vector<std::string>{kLogConnecting, kLogConnected}));
  session_->Stop();
  handOff.Close();
  session_.reset();
}

}  // namespace
}  // namespace tessar
