#include "receiver_simulator.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/clock.h"

namespace tessar::tools {
namespace {

using Bytes = ReceiverSimulator::Bytes;

const Bytes kPassword{'0', '0', '0', '0'};

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Frame(const std::string& code, const Bytes& payload) {
  uint8_t out[zntlink::kFrameBufferSize];
  const size_t n =
      zntlink::BuildFrame(code.c_str(), payload.data(), payload.size(), out, sizeof out);
  return Bytes(out, out + n);
}

struct ParsedFrame {
  bool bad = false;
  Bytes content;
};

std::vector<ParsedFrame> ParseFrames(const Bytes& wire) {
  zntlink::FrameParser parser;
  std::vector<ParsedFrame> frames;
  for (uint8_t byte : wire) {
    if (parser.Feed(byte))
      frames.push_back(
          {parser.bad(), Bytes(parser.content(), parser.content() + parser.contentLength())});
  }
  return frames;
}

// Code, then status and payload, as an answer's content reads.
Bytes Content(const std::string& code, const Bytes& rest) {
  return Bytes(code.begin(), code.end()) + rest;
}

Bytes Wire(ReceiverSimulator& sim, const std::string& code, const Bytes& payload = {}) {
  const Bytes request = Frame(code, payload);
  Bytes wire;
  sim.Receive(request.data(), request.size(), wire);
  return wire;
}

// The content of the one good answer frame; empty (and a failure) otherwise.
Bytes Exchange(ReceiverSimulator& sim, const std::string& code, const Bytes& payload = {}) {
  const std::vector<ParsedFrame> frames = ParseFrames(Wire(sim, code, payload));
  EXPECT_EQ(frames.size(), 1u) << code;
  if (frames.size() != 1 || frames[0].bad)
    return {};
  return frames[0].content;
}

Bytes TimeBytes(const SYSTEMTIME& t) {
  return {static_cast<uint8_t>(t.wSecond),   static_cast<uint8_t>(t.wMinute),
          static_cast<uint8_t>(t.wHour),     static_cast<uint8_t>(t.wDay),
          static_cast<uint8_t>(t.wMonth),    static_cast<uint8_t>(t.wYear & 0xFF),
          static_cast<uint8_t>(t.wYear >> 8)};
}

Bytes Masks() {
  Bytes masks;
  for (int i = 0; i < 32; ++i)
    masks.push_back(static_cast<uint8_t>(0xA0 + i));
  return masks;
}

// A simulator with known settings, its clock running from `*now`.
std::unique_ptr<ReceiverSimulator> MakeSimulator(const SYSTEMTIME* now) {
  auto sim = std::make_unique<ReceiverSimulator>();
  sim->SetTimeSource([now] { return *now; });
  sim->SetPowerStatus(0x05);
  sim->SetFirmware(3, 7, 0x1234FA78);
  sim->SetSlotInfo({0x11, 0x02, 0, 0, 0, 0, 0, 0x0F});
  sim->SetSlotStatus({0x00, 0x05, 0x80, 0, 0, 0, 0, 0x01});
  return sim;
}

class ReceiverSimulatorTest : public ::testing::Test {
 protected:
  SYSTEMTIME now = zntlink::MakeSystemTime(2023, 12, 31, 23, 59, 30);
  std::unique_ptr<ReceiverSimulator> simulator = MakeSimulator(&now);
  ReceiverSimulator& sim = *simulator;
};

struct Step {
  std::string code;
  Bytes payload;
};

struct RequestCase {
  const char* name;
  std::vector<Step> before;  // sent first, answers not checked
  Step request;
  Bytes answer;  // expected content of the answer to `request`
};

TEST_F(ReceiverSimulatorTest, AnswersEachRequestPerTheRequestTable) {
  const Bytes refused{0x18};
  const RequestCase cases[] = {
      {"clock", {}, {"S0", {}}, Content("S0", {0x06, 30, 59, 23, 31, 12, 0xE7, 0x07})},
      {"set clock",
       {},
       {"S1", TimeBytes(zntlink::MakeSystemTime(2024, 2, 29, 1, 2, 3))},
       Content("S1", {0x06})},
      {"set clock to no date", {}, {"S1", {0, 0, 0, 30, 2, 0xE8, 0x07}}, Content("S1", refused)},
      {"set clock short", {}, {"S1", {0, 0, 0, 1, 1, 0xE8}}, Content("S1", refused)},
      {"power", {}, {"S2", {}}, Content("S2", {0x06, 0x05})},
      {"firmware", {}, {"S3", {}}, Content("S3", {0x06, 3, 7, 0x12, 0x34, 0xFA, 0x78})},
      {"slot info", {}, {"H0", {}}, Content("H0", {0x06, 8, 0x11, 0x02, 0, 0, 0, 0, 0, 0x0F})},
      {"slot status", {}, {"H1", {}}, Content("H1", {0x06, 8, 0x00, 0x05, 0x80, 0, 0, 0, 0, 0x01})},
      {"default setup", {}, {"H2", {2}}, Content("H2", {0x06, 0x01, 0x02, 0x00, 0x00})},
      {"stored setup",
       {{"H3", kPassword + Bytes{3, 0xAA, 0xFA, 0xBB}}},
       {"H2", {3}},
       Content("H2", {0x06, 0xAA, 0xFA, 0xBB})},
      {"setup of 15 bytes", {}, {"H3", kPassword + Bytes{0} + Bytes(15, 1)}, Content("H3", {0x06})},
      {"setup of 16 bytes",
       {},
       {"H3", kPassword + Bytes{0} + Bytes(16, 1)},
       Content("H3", refused)},
      {"setup of slot 8", {}, {"H2", {8}}, Content("H2", refused)},
      {"default masks", {}, {"H4", {7, 16}}, Content("H4", Bytes{0x06, 7, 16} + Bytes(32, 0))},
      {"stored masks",
       {{"H5", kPassword + Bytes{1, 16} + Masks()}},
       {"H4", {1, 16}},
       Content("H4", Bytes{0x06, 1, 16} + Masks())},
      {"mask number 17", {}, {"H4", {1, 17}}, Content("H4", refused)},
      {"masks of 31 bytes",
       {},
       {"H5", kPassword + Bytes{1, 0} + Bytes(31, 0)},
       Content("H5", refused)},
      {"slot mode", {}, {"H6", kPassword + Bytes{7, 1}}, Content("H6", {0x06})},
      {"mode of slot 8", {}, {"H6", kPassword + Bytes{8, 1}}, Content("H6", refused)},
      {"no messages", {}, {"D0", {}}, Content("D0", {0x06, 0, 0})},
      {"no message to fetch", {}, {"D1", {}}, Content("D1", {0x06, 0})},
      {"nothing to acknowledge", {}, {"D2", {}}, Content("D2", {0x06, 0, 0})},
      {"system value written", {}, {"S5", {1, 4, 0xFA}}, Content("S5", {0x06, 0xFA})},
      {"system value read", {{"S5", {1, 2, 0x5A}}}, {"S5", {0, 2, 0}}, Content("S5", {0x06, 0x5A})},
      {"system value 5", {}, {"S5", {0, 5, 0}}, Content("S5", refused)},
      {"day written", {}, {"S6", {1, 7}}, Content("S6", {0x06, 7})},
      {"day read", {{"S6", {1, 3}}}, {"S6", {0}}, Content("S6", {0x06, 3})},
      {"day 0", {}, {"S6", {1, 0}}, Content("S6", refused)},
      {"day 8", {}, {"S6", {1, 8}}, Content("S6", refused)},
      {"option read", {{"S7", {1, 0x42}}}, {"S7", {0}}, Content("S7", {0x06, 0x42})},
      {"shutdown", {}, {"S9", {1}}, Content("S9", {0x06})},
      {"shutdown mode 2", {}, {"S9", {2}}, Content("S9", refused)},
      {"unknown code", {}, {"ZZ", {1, 2}}, Content("ZZ", refused)},
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto fresh = MakeSimulator(&now);
    for (const Step& step : c.before)
      Wire(*fresh, step.code, step.payload);
    EXPECT_EQ(Exchange(*fresh, c.request.code, c.request.payload), c.answer);
  }
}

TEST_F(ReceiverSimulatorTest, WritesAreKeptForReadingBack) {
  Wire(sim, "S5", {1, 3, 0x77});
  Wire(sim, "S6", {1, 6});
  Wire(sim, "S7", {1, 0x99});
  EXPECT_EQ(sim.ShutdownMode(), -1);
  Wire(sim, "S9", {0});
  EXPECT_EQ(sim.SystemValue(3), 0x77);
  EXPECT_EQ(sim.RtcDayOfWeek(), 6);
  EXPECT_EQ(sim.RtcOption(), 0x99);
  EXPECT_EQ(sim.ShutdownMode(), 0);
}

TEST_F(ReceiverSimulatorTest, DeliversOldestMessageUntilAcknowledged) {
  const Bytes kind3 =
      ReceiverSimulator::Kind3Message(1, zntlink::MakeSystemTime(2003, 7, 9, 10, 30, 48),
                                      {0, 0, 0x07, 0xB2, 0x04, 0, 0, 0, 0, 0, 0, 0, 0xFA});
  const Bytes kind2 = ReceiverSimulator::Kind2Message(
      5, zntlink::MakeSystemTime(2024, 1, 2, 3, 4, 5), {0x45, 0x7B, 0x00});
  EXPECT_EQ(kind3, (Bytes{0x13, 48,   30, 10, 9, 7, 0xD3, 0x07, 0, 0,   0x07,
                          0xB2, 0x04, 0,  0,  0, 0, 0,    0,    0, 0xFA}));
  EXPECT_EQ(kind2, (Bytes{0x52, 5, 4, 3, 2, 1, 0xE8, 0x07, 0x45, 0x7B, 0x00}));
  sim.AddMessage(kind3);
  sim.AddMessage(kind2);

  EXPECT_EQ(Exchange(sim, "D2"), Content("D2", {0x06, 2, 0})) << "nothing delivered yet";
  EXPECT_EQ(Exchange(sim, "D0"), Content("D0", {0x06, 2, 0}));
  EXPECT_EQ(Exchange(sim, "D1"), Content("D1", Bytes{0x06, 21} + kind3));
  EXPECT_EQ(Exchange(sim, "D1"), Content("D1", Bytes{0x06, 21} + kind3)) << "not acknowledged";
  EXPECT_EQ(Exchange(sim, "D2"), Content("D2", {0x06, 1, 0}));
  EXPECT_EQ(Exchange(sim, "D2"), Content("D2", {0x06, 1, 0})) << "one D1, one removal";
  EXPECT_EQ(Exchange(sim, "D1"), Content("D1", Bytes{0x06, 11} + kind2));
  EXPECT_EQ(Exchange(sim, "D2"), Content("D2", {0x06, 0, 0}));
  EXPECT_EQ(Exchange(sim, "D1"), Content("D1", {0x06, 0}));
  EXPECT_EQ(sim.StoredMessages(), 0u);
}

TEST_F(ReceiverSimulatorTest, PasswordGuardsSettingsAndCanBeChanged) {
  const Bytes other{'1', '2', '3', '4'};
  EXPECT_EQ(Exchange(sim, "S4", other + other), Content("S4", {0x18}));
  EXPECT_EQ(Exchange(sim, "H6", other + Bytes{0, 1}), Content("H6", {0x18}));
  EXPECT_EQ(Exchange(sim, "S4", kPassword + other), Content("S4", {0x06}));
  EXPECT_EQ(Exchange(sim, "H3", kPassword + Bytes{0, 9}), Content("H3", {0x18}));
  EXPECT_EQ(Exchange(sim, "H2", {0}), Content("H2", {0x06, 0x01, 0x00, 0x00, 0x00}))
      << "a refused setup is not stored";
  EXPECT_EQ(Exchange(sim, "H3", other + Bytes{0, 9}), Content("H3", {0x06}));
  sim.SetPassword({9, 9, 9, 9});
  EXPECT_EQ(Exchange(sim, "H5", Bytes(4, 9) + Bytes{0, 0} + Masks()), Content("H5", {0x06}));
}

TEST_F(ReceiverSimulatorTest, IgnoresBadFramesAndReassemblesSplitOnes) {
  Bytes badCrc = Frame("S2", {});
  badCrc[badCrc.size() - 4] ^= 0x01;
  Bytes noEtx = Frame("S3", {});
  noEtx[noEtx.size() - 2] = 0x04;
  // The request S5 00 01 E1 has 0xFA as CRC high byte, sent stuffed.
  const Bytes stuffedCrc{0x02, 0x53, 0x35, 0x00, 0x01, 0xE1, 0x4B, 0x10, 0xFA, 0x03, 0xFA};
  const Bytes wire =
      Bytes{0x55, 0xFA} + badCrc + Frame("S0", {}) + noEtx + stuffedCrc + Bytes{0xFA};
  Bytes answers;
  for (uint8_t byte : wire)
    sim.Receive(&byte, 1, answers);

  const std::vector<ParsedFrame> frames = ParseFrames(answers);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].content, Content("S0", {0x06, 30, 59, 23, 31, 12, 0xE7, 0x07}));
  EXPECT_EQ(frames[1].content, Content("S5", {0x06, 0x00}));
  const std::vector<ReceivedRequest> requests = sim.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].code, "S5");
  EXPECT_EQ(requests[1].payload, (Bytes{0x00, 0x01, 0xE1}));
  sim.ClearRequests();
  EXPECT_TRUE(sim.RequestCodes().empty());
}

struct FaultCase {
  const char* name;
  Fault fault;
  Bytes wire;  // the whole answer to S2 with power status 0x05
};

TEST_F(ReceiverSimulatorTest, EachFaultSwitchMisbehavesItsWay) {
  const Bytes clean{0x02, 0x53, 0x32, 0x06, 0x05, 0x0A, 0xE8, 0x03, 0xFA};
  Bytes badCrc = clean;
  badCrc[5] ^= 0x01;
  const FaultCase cases[] = {
      {"silent", Fault::kSilent, {}},
      {"status 15", Fault::kStatusRetry, Frame("S2", {0x15})},
      {"status 18", Fault::kStatusRefused, Frame("S2", {0x18})},
      {"crc", Fault::kCorruptCrc, badCrc},
      {"noise", Fault::kNoiseBefore, Bytes{0x55, 0x00, 0x10} + clean},
      {"lone end marker", Fault::kLoneEndMarkerBefore, Bytes{0xFA} + clean},
      {"wrong code", Fault::kWrongCode, Frame("S9", {0x06, 0x05})},
      {"cts off", Fault::kCtsOff, clean},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto fresh = MakeSimulator(&now);
    fresh->SetFault(c.fault, true);
    EXPECT_TRUE(fresh->FaultOn(c.fault));
    EXPECT_EQ(fresh->Cts(), c.fault != Fault::kCtsOff);
    EXPECT_EQ(Wire(*fresh, "S2"), c.wire);
    EXPECT_EQ(Wire(*fresh, "S2"), c.wire) << "a switch stays on";
    fresh->SetFault(c.fault, false);
    EXPECT_TRUE(fresh->Cts());
    EXPECT_EQ(Wire(*fresh, "S2"), clean);
    EXPECT_EQ(fresh->RequestCodes().size(), 3u);
  }
}

TEST_F(ReceiverSimulatorTest, CorruptCrcFrameStaysWholeWhateverTheCrc) {
  // Over all 256 values some CRC bytes are 0xFA or become 0xFA when flipped.
  sim.SetFault(Fault::kCorruptCrc, true);
  for (int value = 0; value < 256; ++value) {
    const Bytes wire = Wire(sim, "S5", {1, 0, static_cast<uint8_t>(value)});
    const std::vector<ParsedFrame> frames = ParseFrames(wire);
    ASSERT_EQ(frames.size(), 1u) << value;
    EXPECT_TRUE(frames[0].bad) << value;
    EXPECT_EQ(Bytes(wire.end() - 2, wire.end()), (Bytes{0x03, 0xFA}));
  }
}

TEST_F(ReceiverSimulatorTest, CountedFaultsSwitchThemselvesOff) {
  // A silenced request is not carried out and does not use up the other faults.
  sim.SetFaultForAnswers(Fault::kSilent, 1);
  sim.SetFaultForAnswers(Fault::kStatusRetry, 2);
  sim.SetFaultForAnswers(Fault::kNoiseBefore, 1);
  EXPECT_TRUE(Wire(sim, "S5", {1, 0, 0x11}).empty());
  EXPECT_EQ(sim.SystemValue(0), 0);
  EXPECT_FALSE(sim.FaultOn(Fault::kSilent));
  EXPECT_EQ(Wire(sim, "S5", {1, 0, 0x22}), (Bytes{0x55, 0x00, 0x10} + Frame("S5", {0x15})));
  EXPECT_FALSE(sim.FaultOn(Fault::kNoiseBefore));
  EXPECT_EQ(Exchange(sim, "S5", {1, 0, 0x33}), Content("S5", {0x15}));
  EXPECT_EQ(sim.SystemValue(0), 0) << "a busy answer is not carried out";
  EXPECT_FALSE(sim.FaultOn(Fault::kStatusRetry));
  EXPECT_EQ(Exchange(sim, "S5", {1, 0, 0x44}), Content("S5", {0x06, 0x44}));
  EXPECT_EQ(sim.RequestCodes().size(), 4u);

  sim.SetFaultForAnswers(Fault::kCtsOff, 1);
  EXPECT_FALSE(sim.Cts());
  Wire(sim, "S0");
  EXPECT_TRUE(sim.Cts());
  sim.SetFaultForAnswers(Fault::kWrongCode, 0);
  EXPECT_FALSE(sim.FaultOn(Fault::kWrongCode));
}

TEST_F(ReceiverSimulatorTest, ClockKeepsRunningFromTheTimeItWasSetTo) {
  sim.SetClock(zntlink::MakeSystemTime(2024, 2, 28, 23, 59, 50));
  now = zntlink::MakeSystemTime(2024, 1, 1, 0, 0,
                                5);  // the source moved on by 35 s, over a year's end
  const SYSTEMTIME clock = sim.Clock();
  EXPECT_EQ(TimeBytes(clock), TimeBytes(zntlink::MakeSystemTime(2024, 2, 29, 0, 0, 25)));
  EXPECT_EQ(clock.wDayOfWeek, 4);  // Thursday

  EXPECT_EQ(Exchange(sim, "S1", TimeBytes(zntlink::MakeSystemTime(2023, 3, 26, 1, 59, 59))),
            Content("S1", {0x06}));
  now = zntlink::MakeSystemTime(2024, 1, 1, 0, 0, 7);
  EXPECT_EQ(Exchange(sim, "S0"),
            Content("S0", Bytes{0x06} + TimeBytes(zntlink::MakeSystemTime(2023, 3, 26, 2, 0, 1))));
}

TEST(ReceiverSimulatorClock, RunsFromLocalTimeByDefault) {
  ReceiverSimulator sim;
  const SYSTEMTIME clock = sim.Clock();
  const time_t seconds = time(nullptr);
  tm local{};
  localtime_r(&seconds, &local);
  tm fromClock{};
  fromClock.tm_year = clock.wYear - 1900;
  fromClock.tm_mon = clock.wMonth - 1;
  fromClock.tm_mday = clock.wDay;
  fromClock.tm_hour = clock.wHour;
  fromClock.tm_min = clock.wMinute;
  fromClock.tm_sec = clock.wSecond;
  EXPECT_LE(std::abs(static_cast<long>(timegm(&local) - timegm(&fromClock))), 2);
}

TEST_F(ReceiverSimulatorTest, TracesRequestsAndAnswersOutsideTheLock) {
  std::vector<std::string> lines;
  sim.SetTraceSink([&](const std::string& line) {
    lines.push_back(line);
    sim.StoredMessages();  // would deadlock if called under the lock
  });
  Wire(sim, "S5", {0x00, 0x01, 0xE1});
  sim.SetFault(Fault::kSilent, true);
  Wire(sim, "D0");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "<- S5 00 01 E1");
  EXPECT_EQ(lines[1], "-> S5 06 00");
  EXPECT_EQ(lines[2], "<- D0");
  EXPECT_EQ(lines[3].rfind("-- D0", 0), 0u) << lines[3];
}

TEST(ReceiverSimulatorThreads, LineAndConsoleSidesRunTogether) {
  ReceiverSimulator sim;
  sim.SetTraceSink([](const std::string&) {});
  constexpr int kMessages = 200;
  std::thread console([&] {
    for (int i = 0; i < kMessages; ++i) {
      sim.AddMessage(
          ReceiverSimulator::Kind2Message(1, sim.Clock(), {0, static_cast<uint8_t>(i), 0}));
      sim.SetFault(Fault::kNoiseBefore, i % 2 == 0);
      sim.SetPowerStatus(static_cast<uint8_t>(i));
    }
    sim.SetFault(Fault::kNoiseBefore, false);
  });
  // Each D1 that delivers is followed by a D2 that removes what it delivered.
  size_t delivered = 0;
  for (int i = 0; i < 2 * kMessages; ++i) {
    const Bytes d1 = Exchange(sim, "D1");
    delivered += d1.size() > 3 && d1[3] > 0 ? 1 : 0;
    Exchange(sim, "D2");
  }
  console.join();
  EXPECT_EQ(delivered + sim.StoredMessages(), static_cast<size_t>(kMessages));
}

}  // namespace
}  // namespace tessar::tools
