// The exported functions against the receiver simulator on an in-memory line.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <future>

#include "link_fixture.h"
#include "timing.h"

namespace zntlink::testing {
namespace {

using tessar::tools::Fault;
using tessar::tools::ReceiverSimulator;
using Codes = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

const SYSTEMTIME kMessageTime = {2003, 7, 0, 9, 10, 30, 48, 0};

Codes Tail(const Codes& all, size_t from) {
  return Codes(all.begin() + static_cast<long>(from), all.end());
}

class ApiTest : public LinkTest {};

TEST_F(ApiTest, OpenRunsTheInitSequenceAndBringsTheLinkUp) {
  Open();
  const Codes codes = line->receiver.RequestCodes();
  ASSERT_GE(codes.size(), 6u);
  EXPECT_EQ(Codes(codes.begin(), codes.begin() + 6), (Codes{"S3", "H0", "H1", "S2", "S0", "D0"}));
  EXPECT_EQ(ZNT_GetActivity(session), 1);
  EXPECT_EQ(ZNT_GetCommPort(session), kPort);
  EXPECT_EQ(line->LastBaudRate(), 9600u);
  EXPECT_EQ(line->Escapes(), (std::vector<uint32_t>{kEscapeSetRts, kEscapeSetRts}));

  FirmwareInfo firmware{};
  ASSERT_EQ(ZNT_GetFirmware(session, &firmware), 1);
  EXPECT_EQ(firmware.major, 3u);
  EXPECT_EQ(firmware.minor, 7u);
  EXPECT_EQ(firmware.serial, 0x00A1B2C3u);
  EXPECT_EQ(ZNT_GetTroubles(session), 0x10000006);
  EXPECT_EQ(ZNT_GetSlotNum(session), 8);
  EXPECT_EQ(ZNT_GetSlotNumActive(session), 2);

  // The link-status entry, then the session entry; no power or slot entry for
  // the first connection.
  const std::string log = SessionLog();
  EXPECT_NE(log.find(" Communication is established\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" Session is established\r\n Chipware: 3.7,Serial#: 00A1B2C3\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("Power status"), std::string::npos);
  EXPECT_EQ(log.find("Slot status"), std::string::npos);
}

TEST_F(ApiTest, OpenFailures) {
  struct Case {
    const char* name;
    int port;
    int baud;
    std::function<void(MemoryLine&)> prepare;
    int error;
  } cases[] = {
      {"no such port", 6, 9600, nullptr, ZNT_ERR_RESOURCE},
      {"port 0", 0, 9600, nullptr, ZNT_ERR_RESOURCE},
      {"line settings rejected", kPort, 0, nullptr, ZNT_ERR_LINE_SETTINGS},
      {"receiver silent", kPort, 9600,
       [](MemoryLine& l) { l.receiver.SetFault(Fault::kSilent, true); }, ZNT_ERR_LINK},
      {"CTS missing", kPort, 9600, [](MemoryLine& l) { l.receiver.SetFault(Fault::kCtsOff, true); },
       ZNT_ERR_LINK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto caseLine = std::make_shared<MemoryLine>();
    MemoryPortInstaller caseInstaller(caseLine, kPort);
    if (c.prepare)
      c.prepare(*caseLine);
    int error = -1;
    EXPECT_EQ(ZNT_InitCommEx(c.port, c.baud, &error), nullptr);
    EXPECT_EQ(error, c.error);
    EXPECT_FALSE(caseLine->IsOpen());
  }
  EXPECT_EQ(ZNT_InitComm(6), nullptr);
}

TEST_F(ApiTest, FailedFirstConnectionWritesOnlyTheSessionCompletedEntry) {
  line->receiver.SetFault(Fault::kSilent, true);
  int error = 0;
  EXPECT_EQ(ZNT_InitCommEx(kPort, 9600, &error), nullptr);
  EXPECT_EQ(error, ZNT_ERR_LINK);
  const std::string log = SessionLog();
  EXPECT_NE(log.find(" Session is completed\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Session is established"), std::string::npos);
  // One attempt at the link: the first init request, three times.
  EXPECT_EQ(line->receiver.RequestCodes(), (Codes{"S3", "S3", "S3"}));
}

TEST_F(ApiTest, PollsAndHandsMessagesOverOneAtATime) {
  Open();
  SetQueryWait(1);
  ASSERT_TRUE(WaitForRequests("D0", 3));
  // Without messages every poll is S0, S2, H1, D0: no D2, no D1.
  Codes idle = line->receiver.RequestCodes();
  idle.erase(idle.begin(), std::find(idle.begin() + 6, idle.end(), "S0"));
  for (size_t i = 0; i + 4 <= idle.size(); i += 4) {
    EXPECT_EQ(Codes(idle.begin() + static_cast<long>(i), idle.begin() + static_cast<long>(i) + 4),
              (Codes{"S0", "S2", "H1", "D0"}));
  }

  const Bytes first = ReceiverSimulator::Kind3Message(1, kMessageTime, {0, 0, 0x07, 0xB2, 0x04});
  const Bytes second = ReceiverSimulator::Kind2Message(2, kMessageTime, {0x45, 0x7B, 0x00});
  // Both messages are stored while the LINK thread is stalled, so every count
  // it reads afterwards is 2.
  line->HoldReads(true);
  ASSERT_TRUE(line->WaitForHeldRead());
  line->receiver.AddMessage(first);
  line->receiver.AddMessage(second);
  line->HoldReads(false);
  ASSERT_TRUE(WaitUntil([&] { return CountRequests("D1") == 1; }));
  EXPECT_EQ(ZNT_GetMsgNum(session), 2);

  // Present and not taken: the polls fetch nothing more and acknowledge nothing.
  size_t mark = line->receiver.RequestCodes().size();
  ASSERT_TRUE(WaitForRequests("D0", 3));
  for (const auto& code : Tail(line->receiver.RequestCodes(), mark)) {
    EXPECT_TRUE(code != "D1" && code != "D2") << code;
  }

  uint8_t record[sizeof(ReceiverMessage) + 8];
  std::memset(record, 0xEE, sizeof record);
  // No poll may run between the two hand-overs below.
  line->HoldReads(true);
  ASSERT_TRUE(line->WaitForHeldRead());
  mark = line->receiver.RequestCodes().size();
  ASSERT_EQ(ZNT_GetMsg(session, reinterpret_cast<ReceiverMessage*>(record)), 1);
  const Bytes expectedFirst = {0x00, 3,    1,    48, 30, 10, 9, 7, 0xD3, 0x07, 0x00, 0x00,
                               0x07, 0xB2, 0x04, 0,  0,  0,  0, 0, 0,    0,    0};
  EXPECT_EQ(Bytes(record, record + 23), expectedFirst);
  EXPECT_EQ(record[23], 0xEE) << "nothing written past the 23 bytes of a kind-3 record";
  EXPECT_EQ(ZNT_GetMsg(session, reinterpret_cast<ReceiverMessage*>(record)), 0)
      << "taken, not present";
  line->HoldReads(false);

  // The next poll acknowledges before it counts and fetches the next message.
  ASSERT_TRUE(WaitUntil([&] {
    std::memset(record, 0xEE, sizeof record);
    return ZNT_GetMsg(session, reinterpret_cast<ReceiverMessage*>(record)) == 1;
  }));
  Codes afterTake = Tail(line->receiver.RequestCodes(), mark);
  auto d2 = std::find(afterTake.begin(), afterTake.end(), "D2");
  ASSERT_NE(d2, afterTake.end());
  EXPECT_EQ(Codes(d2, d2 + 3), (Codes{"D2", "D0", "D1"}));
  EXPECT_EQ(Bytes(record, record + 13),
            (Bytes{0x45, 2, 2, 48, 30, 10, 9, 7, 0xD3, 0x07, 0x45, 0x7B, 0x00}));
  EXPECT_EQ(record[13], 0xEE) << "a kind-2 record is 13 bytes";
  EXPECT_EQ(session->Statistics().Msg, 2u);

  ASSERT_TRUE(WaitUntil([&] { return line->receiver.StoredMessages() == 0; }));
  ASSERT_TRUE(WaitUntil([&] { return ZNT_GetMsgNum(session) == 0; }));
  EXPECT_EQ(ZNT_GetMsg(session, reinterpret_cast<ReceiverMessage*>(record)), 0);
  EXPECT_NE(MessageLog().find("Obj 123"), std::string::npos) << MessageLog();
}

TEST_F(ApiTest, GetMsgWithACountButNoFetchedMessageLeavesTheRecordAlone) {
  Open();
  SetQueryWait(100000);  // no polls: the count is known, the message not fetched
  {
    std::lock_guard guard(session->stateGuard);
    session->receiver.messageCount = 3;
  }
  ReceiverMessage record;
  std::memset(&record, 0x5A, sizeof record);
  EXPECT_EQ(ZNT_GetMsg(session, &record), 0);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(&record)[0], 0x5A);
  EXPECT_EQ(ZNT_GetLastError(session), 0);
}

struct RequestCase {
  const char* name;
  std::function<int(CommSession*)> call;  // returns the result as an int
  const char* code;
  Bytes payload;
  int accepted;  // result when the receiver accepts
  int refused;   // result when it refuses
};

const uint8_t kPassword[4] = {'0', '0', '0', '0'};
const uint8_t kNewPassword[4] = {'1', '2', '3', '4'};
const uint8_t kSetup[3] = {0xA1, 0xA2, 0xA3};

std::vector<RequestCase> RequestCases() {
  static const SYSTEMTIME time = {2026, 12, 4, 10, 9, 58, 7, 0};
  Bytes masks(32);
  for (size_t i = 0; i < masks.size(); ++i)
    masks[i] = static_cast<uint8_t>(0x80 + i);
  Bytes h5 = {'0', '0', '0', '0', 3, 16};
  h5.insert(h5.end(), masks.begin(), masks.end());
  return {
      {"SetTime",
       [](CommSession* s) { return ZNT_SetTime(s, &time); },
       "S1",
       {7, 58, 9, 10, 12, 0xEA, 0x07},
       1,
       1},
      {"ChangePassword",
       [](CommSession* s) { return ZNT_ChangePassword(s, kPassword, kNewPassword); },
       "S4",
       {'0', '0', '0', '0', '1', '2', '3', '4'},
       1,
       2},
      {"SetSlotSetup",
       [](CommSession* s) { return ZNT_SetSlotSetup(s, 2, kSetup, 3, kPassword); },
       "H3",
       {'0', '0', '0', '0', 2, 0xA1, 0xA2, 0xA3},
       1,
       2},
      {"SetSlotSetup, length 0",
       [](CommSession* s) { return ZNT_SetSlotSetup(s, 7, kSetup, 0, kPassword); },
       "H3",
       {'0', '0', '0', '0', 7},
       1,
       2},
      {"SetSlotMasks",
       [masks](CommSession* s) { return ZNT_SetSlotMasks(s, 3, 16, masks.data(), 32, kPassword); },
       "H5", h5, 1, 2},
      {"SetSlotMode",
       [](CommSession* s) { return ZNT_SetSlotMode(s, 4, 1, kPassword); },
       "H6",
       {'0', '0', '0', '0', 4, 1},
       1,
       2},
      {"SetSystemValue",
       [](CommSession* s) { return ZNT_SetSystemValue(s, 4, 0x1FE); },
       "S5",
       {1, 4, 0xFE},
       1,
       1},
      {"SetRtcOption",
       [](CommSession* s) { return ZNT_SetRtcOption(s, 0x102); },
       "S7",
       {1, 2},
       1,
       1},
      {"SetRtcDayOfWeek, only the low byte counts",
       [](CommSession* s) { return ZNT_SetRtcDayOfWeek(s, 0x101); },
       "S6",
       {1, 1},
       1,
       1},
      {"Shutdown", [](CommSession* s) { return ZNT_Shutdown(s, 1); }, "S9", {1}, 1, 1},
      {"GetSystemValue",
       [](CommSession* s) { return ZNT_GetSystemValue(s, 4); },
       "S5",
       {0, 4, 0},
       0xFE,
       -1},
      {"GetRtcOption", [](CommSession* s) { return ZNT_GetRtcOption(s); }, "S7", {0}, 2, -1},
      {"GetRtcDayOfWeek", [](CommSession* s) { return ZNT_GetRtcDayOfWeek(s); }, "S6", {0}, 1, -1},
      {"GetSlotSetup",
       [](CommSession* s) { return ZNT_GetSlotSetup(s, 2) != nullptr ? 1 : 0; },
       "H2",
       {2},
       1,
       0},
      // A refusal is still an answer: the record is filled from it.
      {"GetSlotMasks",
       [](CommSession* s) { return ZNT_GetSlotMasks(s, 3, 16) != nullptr ? 1 : 0; },
       "H4",
       {3, 16},
       1,
       1},
  };
}

TEST_F(ApiTest, EveryRequestSendsItsExactPayloadAndReturnsItsResult) {
  Open();
  SetQueryWait(100000);
  for (bool refuse : {false, true}) {
    line->receiver.SetFault(Fault::kStatusRefused, refuse);
    for (const auto& c : RequestCases()) {
      SCOPED_TRACE(std::string(c.name) + (refuse ? " (refused)" : " (accepted)"));
      line->receiver.SetPassword({'0', '0', '0', '0'});
      line->receiver.ClearRequests();
      EXPECT_EQ(c.call(session), refuse ? c.refused : c.accepted);
      const auto requests = line->receiver.Requests();
      ASSERT_EQ(requests.size(), 1u);
      EXPECT_EQ(requests[0].code, c.code);
      EXPECT_EQ(requests[0].payload, c.payload);
    }
  }
  EXPECT_EQ(ZNT_GetLastError(session), 0);
}

TEST_F(ApiTest, SlotSetupAndMasksPointIntoTheAnswer) {
  Open();
  SetQueryWait(100000);
  const uint8_t data[4] = {0x21, 0x22, 0x23, 0x24};
  ASSERT_EQ(ZNT_SetSlotSetup(session, 1, data, 4, kPassword), 1);
  const uint8_t* setup = ZNT_GetSlotSetup(session, 1);
  ASSERT_NE(setup, nullptr);
  EXPECT_EQ(Bytes(setup, setup + 4), Bytes(data, data + 4));

  uint8_t masks[32];
  for (int i = 0; i < 32; ++i)
    masks[i] = static_cast<uint8_t>(i * 3);
  ASSERT_EQ(ZNT_SetSlotMasks(session, 1, 5, masks, 32, kPassword), 1);
  const SlotMasks* read = ZNT_GetSlotMasks(session, 1, 5);
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->count, 32);
  EXPECT_EQ(Bytes(read->masks, read->masks + 32), Bytes(masks, masks + 32));
}

TEST_F(ApiTest, BadArgumentsSendNothing) {
  Open();
  SetQueryWait(100000);
  const uint8_t masks[33] = {};
  struct Case {
    const char* name;
    std::function<bool(CommSession*)> failed;  // true when the call gave its failure value
    int error;
  } cases[] = {
      {"SetTime without a record", [](CommSession* s) { return ZNT_SetTime(s, nullptr) == 0; },
       ZNT_ERR_TIME},
      {"ChangePassword null",
       [](CommSession* s) { return ZNT_ChangePassword(s, kPassword, nullptr) == 0; },
       ZNT_ERR_ARGUMENT},
      {"GetSlotSetup slot 8", [](CommSession* s) { return ZNT_GetSlotSetup(s, 8) == nullptr; },
       ZNT_ERR_ARGUMENT},
      {"GetSlotSetup slot -1",
       [](CommSession* s) { return ZNT_GetSlotSetup(s, static_cast<unsigned>(-1)) == nullptr; },
       ZNT_ERR_ARGUMENT},
      {"SetSlotSetup length 16",
       [](CommSession* s) { return ZNT_SetSlotSetup(s, 0, kSetup, 16, kPassword) == 0; },
       ZNT_ERR_ARGUMENT},
      {"SetSlotSetup no data",
       [](CommSession* s) { return ZNT_SetSlotSetup(s, 0, nullptr, 1, kPassword) == 0; },
       ZNT_ERR_ARGUMENT},
      {"GetSlotMasks mask 17", [](CommSession* s) { return ZNT_GetSlotMasks(s, 0, 17) == nullptr; },
       ZNT_ERR_ARGUMENT},
      {"SetSlotMasks 31 masks",
       [&](CommSession* s) { return ZNT_SetSlotMasks(s, 0, 0, masks, 31, kPassword) == 0; },
       ZNT_ERR_ARGUMENT},
      {"SetSlotMasks 33 masks",
       [&](CommSession* s) { return ZNT_SetSlotMasks(s, 0, 0, masks, 33, kPassword) == 0; },
       ZNT_ERR_ARGUMENT},
      {"SetSlotMasks no password",
       [&](CommSession* s) { return ZNT_SetSlotMasks(s, 0, 0, masks, 32, nullptr) == 0; },
       ZNT_ERR_ARGUMENT},
      {"SetSlotMode mode 2",
       [](CommSession* s) { return ZNT_SetSlotMode(s, 0, 2, kPassword) == 0; }, ZNT_ERR_ARGUMENT},
      {"GetSystemValue index 5", [](CommSession* s) { return ZNT_GetSystemValue(s, 5) == -1; },
       ZNT_ERR_ARGUMENT},
      {"SetSystemValue index 5", [](CommSession* s) { return ZNT_SetSystemValue(s, 5, 1) == 0; },
       ZNT_ERR_ARGUMENT},
      {"SetRtcDayOfWeek 0", [](CommSession* s) { return ZNT_SetRtcDayOfWeek(s, 0) == 0; },
       ZNT_ERR_ARGUMENT},
      {"SetRtcDayOfWeek 8", [](CommSession* s) { return ZNT_SetRtcDayOfWeek(s, 8) == 0; },
       ZNT_ERR_ARGUMENT},
      {"Shutdown mode 2", [](CommSession* s) { return ZNT_Shutdown(s, 2) == 0; }, ZNT_ERR_ARGUMENT},
      {"GetFirmware null", [](CommSession* s) { return ZNT_GetFirmware(s, nullptr) == 0; },
       ZNT_ERR_ARGUMENT},
      {"GetTime null", [](CommSession* s) { return ZNT_GetTime(s, nullptr) == 0; },
       ZNT_ERR_ARGUMENT},
      {"GetSlotInfo null", [](CommSession* s) { return ZNT_GetSlotInfo(s, nullptr) == 0; },
       ZNT_ERR_ARGUMENT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    session->lastError = 0;
    line->receiver.ClearRequests();
    EXPECT_TRUE(c.failed(session));
    EXPECT_EQ(ZNT_GetLastError(session), c.error);
    EXPECT_TRUE(line->receiver.Requests().empty());
  }
}

TEST_F(ApiTest, NullHandle) {
  SYSTEMTIME t{};
  LinkTimeouts timeouts{};
  LinkStatistics stats{};
  EXPECT_EQ(ZNT_CloseComm(nullptr), 0);
  EXPECT_EQ(ZNT_GetActivity(nullptr), 0);
  EXPECT_EQ(ZNT_GetCommPort(nullptr), 0);
  EXPECT_EQ(ZNT_GetLastError(nullptr), 0);
  EXPECT_EQ(ZNT_GetTimeouts(nullptr, &timeouts), 0);
  EXPECT_EQ(ZNT_SetTimeouts(nullptr, &timeouts), 0);
  EXPECT_EQ(ZNT_GetStatistics(nullptr, &stats), 0);
  EXPECT_EQ(ZNT_GetSlotNum(nullptr), 8);
  EXPECT_EQ(ZNT_GetTroubles(nullptr), 0);
  EXPECT_EQ(ZNT_GetSlotNumActive(nullptr), -1);
  EXPECT_EQ(ZNT_GetMsgNum(nullptr), 0);
  EXPECT_EQ(ZNT_GetTime(nullptr, &t), 0);
  EXPECT_EQ(ZNT_SetTime(nullptr, &t), 0);
  EXPECT_EQ(ZNT_GetRtcOption(nullptr), -1);
  EXPECT_EQ(ZNT_GetSlotMasks(nullptr, 0, 0), nullptr);
}

TEST_F(ApiTest, ASecondRequestWhileOneIsInProgressFailsAtOnce) {
  Open();
  SetQueryWait(100000);
  line->HoldReads(true);
  auto first = std::async(std::launch::async, [&] { return ZNT_GetRtcOption(session); });
  ASSERT_TRUE(WaitUntil([&] { return CountRequests("S7") == 1; }));
  session->lastError = 0;
  EXPECT_EQ(ZNT_GetSystemValue(session, 1), -1);
  EXPECT_EQ(ZNT_SetRtcOption(session, 1), 0);
  EXPECT_EQ(ZNT_GetLastError(session), 0) << "the error code is unchanged";
  line->HoldReads(false);
  EXPECT_EQ(first.get(), 0) << "the receiver's default option";
  EXPECT_EQ(CountRequests("S5"), 0u);
}

TEST_F(ApiTest, ALateAnswerReachesNobody) {
  Open();
  SetQueryWait(100000);
  Timing().requestWaitMs = 30;
  ASSERT_EQ(ZNT_SetSystemValue(session, 0, 0x11), 1);
  ASSERT_EQ(ZNT_SetSystemValue(session, 1, 0x22), 1);

  line->HoldReads(true);
  EXPECT_EQ(ZNT_GetSystemValue(session, 0), -1) << "gave up after the wait";
  EXPECT_NE(SessionLog().find("COM5> QueryTimeout\r\n"), std::string::npos) << SessionLog();
  line->HoldReads(false);  // the LINK thread now completes the abandoned request

  Timing().requestWaitMs = 500;
  EXPECT_EQ(ZNT_GetSystemValue(session, 1), 0x22) << "its own answer, not the late one";
  EXPECT_EQ(ZNT_GetSystemValue(session, 0), 0x11);
}

struct RetryCase {
  const char* name;
  Fault fault;
  int faultyAnswers;
  int result;
  LinkStatistics delta;  // TxFrm, RxFrm, Crc, TmOut, Link, Msg
};

TEST_F(ApiTest, RetriesAndStatistics) {
  Open();
  SetQueryWait(100000);
  ASSERT_EQ(ZNT_SetRtcOption(session, 2), 1);
  const RetryCase cases[] = {
      {"clean", Fault::kSilent, 0, 2, {1, 1, 0, 0, 0, 0}},
      {"noise before the answer", Fault::kNoiseBefore, 1, 2, {1, 1, 0, 0, 0, 0}},
      {"a lone 0xFA before the answer", Fault::kLoneEndMarkerBefore, 1, 2, {1, 1, 0, 0, 0, 0}},
      {"bad CRC once", Fault::kCorruptCrc, 1, 2, {2, 2, 1, 0, 0, 0}},
      {"status 0x15 once", Fault::kStatusRetry, 1, 2, {2, 2, 0, 0, 0, 0}},
      {"wrong code twice", Fault::kWrongCode, 2, 2, {3, 3, 0, 0, 0, 0}},
      {"silent twice", Fault::kSilent, 2, 2, {3, 1, 0, 2, 0, 0}},
      {"status 0x15 three times", Fault::kStatusRetry, 3, -1, {3, 3, 0, 0, 1, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (ZNT_GetActivity(session) == 0)
      session->linkUp = 1;  // as the next Connect would
    if (c.faultyAnswers > 0)
      line->receiver.SetFaultForAnswers(c.fault, c.faultyAnswers);
    const LinkStatistics before = session->Statistics();
    EXPECT_EQ(ZNT_GetRtcOption(session), c.result);
    const LinkStatistics after = session->Statistics();
    EXPECT_EQ(after.TxFrm - before.TxFrm, c.delta.TxFrm);
    EXPECT_EQ(after.RxFrm - before.RxFrm, c.delta.RxFrm);
    EXPECT_EQ(after.Crc - before.Crc, c.delta.Crc);
    EXPECT_EQ(after.TmOut - before.TmOut, c.delta.TmOut);
    EXPECT_EQ(after.Link - before.Link, c.delta.Link);
  }
}

TEST_F(ApiTest, PortFailuresEndTheAttempt) {
  Open();
  SetQueryWait(100000);
  // Each failure lasts exactly the three attempts of one request, so the
  // reconnection that follows it finds a working line.
  struct Case {
    const char* name;
    std::function<void(MemoryLine&)> fail;
    const char* debugLine;
    uint32_t txFrm;  // request frames counted as written
    uint32_t tmOut;
  } cases[] = {
      {"write fails at once", [](MemoryLine& l) { l.FailWrites(WriteOutcome::kFailedAtStart, 3); },
       "WriteError= 0x0\n", 0, 0},
      {"write fails while busy",
       [](MemoryLine& l) { l.FailWrites(WriteOutcome::kFailedWhileBusy, 3); }, "WriteError= 0x0\n",
       0, 0},
      {"write runs out of time", [](MemoryLine& l) { l.FailWrites(WriteOutcome::kIncomplete, 3); },
       "WriteTimeout: 0 bytes sent\n", 0, 0},
      {"read fails", [](MemoryLine& l) { l.FailReads(3); }, "ReadError= 0x0\n", 3, 3},
  };
  SetIdleWait(1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(WaitForQuery());
    const LinkStatistics before = session->Statistics();
    ResetDebugLines();
    c.fail(*line);
    EXPECT_EQ(ZNT_GetRtcOption(session), -1);
    const LinkStatistics after = session->Statistics();
    EXPECT_EQ(after.TxFrm - before.TxFrm, c.txFrm);
    EXPECT_EQ(after.TmOut - before.TmOut, c.tmOut);
    EXPECT_EQ(after.Link - before.Link, 1u);
    // The failed request sent the link back to Idle.
    EXPECT_EQ(ZNT_GetLastError(session), ZNT_ERR_LINK);
    const auto debug = DebugLines();
    EXPECT_EQ(std::count(debug.begin(), debug.end(), c.debugLine), 3) << "one per attempt";
  }
  // A write that fails at once sets error 9, also when a later attempt succeeds.
  ASSERT_TRUE(WaitForQuery());
  session->lastError = 0;
  line->FailWrites(WriteOutcome::kFailedAtStart, 1);
  EXPECT_EQ(ZNT_GetRtcOption(session), 0);
  EXPECT_EQ(ZNT_GetLastError(session), ZNT_ERR_WRITE);
}

TEST_F(ApiTest, DebugLinesOfASession) {
  // Debug output comes on with the first open, after that open's "Memory allocated".
  Open();
  ZNT_CloseComm(session);
  ResetDebugLines();
  Open();
  SetQueryWait(100000);
  line->receiver.SetFaultForAnswers(Fault::kCorruptCrc, 1);
  EXPECT_EQ(ZNT_GetRtcOption(session), 0);
  ZNT_CloseComm(session);
  session = nullptr;
  const auto debug = DebugLines();
  auto has = [&](const std::string& text) {
    return std::find(debug.begin(), debug.end(), text) != debug.end();
  };
  auto hasPrefix = [&](const std::string& prefix) {
    return std::any_of(debug.begin(), debug.end(),
                       [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  };
  for (const char* text :
       {"Memory allocated\n", "Port opened,HANDLE= 0x1234\n", "Frame environment created\n",
        "Events created\n", "Thread TIMER: CREATED\n", "Thread COMM:  CREATED\n",
        "Thread COMM:  START\n", "Vertex_Query->Signaled\n", "Frame Receive CRC Error\n",
        "Threads stoping...\n", "COM port closing...\n", "Port closed,HANDLE= 0xffffffff\n"}) {
    EXPECT_TRUE(has(text)) << text;
  }
  for (const char* prefix : {"MODEM thread id= 0x", "LINK thread id= 0x", "Thread MODEM closed (",
                             "Thread LINK closed (", "  TxFrm: "}) {
    EXPECT_TRUE(hasPrefix(prefix)) << prefix;
  }
}

TEST_F(ApiTest, ARequestThatFailsEveryAttemptBringsTheLinkUpAgainThroughConnect) {
  Open();
  SetIdleWait(20);
  SetQueryWait(1);
  const Bytes message = ReceiverSimulator::Kind2Message(3, kMessageTime, {0x45, 0x7B, 0x00});
  line->receiver.AddMessage(message);
  ASSERT_TRUE(WaitUntil([&] { return CountRequests("D1") == 1; }));

  line->receiver.SetFaultForCode(Fault::kSilent, "S7", 3);
  EXPECT_EQ(ZNT_GetRtcOption(session), -1);
  EXPECT_EQ(session->Statistics().Link, 1u);
  EXPECT_EQ(ZNT_GetLastError(session), ZNT_ERR_LINK);
  EXPECT_NE(SessionLog().find(" Communication is lost\r\n"), std::string::npos);

  // After the idle wait the link is established again, as after a failed poll.
  ASSERT_TRUE(WaitUntil([&] { return ZNT_GetActivity(session) == 1; }));
  ASSERT_TRUE(WaitUntil([&] {
    const std::string log = SessionLog();
    return log.find(" Communication is established", log.find(" Communication is lost")) !=
           std::string::npos;
  }));
  const Codes codes = line->receiver.RequestCodes();
  const auto lastS7 = std::find(codes.rbegin(), codes.rend(), "S7").base();
  ASSERT_GE(codes.end() - lastS7, 6);
  EXPECT_EQ(Codes(lastS7, lastS7 + 6), (Codes{"S3", "H0", "H1", "S2", "S0", "D0"}));
  ReceiverMessage record{};
  ASSERT_TRUE(WaitUntil([&] { return ZNT_GetMsg(session, &record) == 1; }));
  EXPECT_EQ(record.kind, 2);
  EXPECT_EQ(record.slot, 3);
}

TEST_F(ApiTest, LinkLossAndRecoveryWhenTheReceiverFallsSilent) {
  Open();
  LinkTimeouts t;
  ZNT_GetTimeouts(session, &t);
  t.queryWait = 1;
  t.idleWait = 5;
  ZNT_SetTimeouts(session, &t);
  line->receiver.SetFault(Fault::kSilent, true);
  ASSERT_TRUE(WaitUntil([&] { return ZNT_GetActivity(session) == 0; }));
  EXPECT_TRUE(WaitUntil([&] { return ZNT_GetLastError(session) == ZNT_ERR_LINK; }));
  EXPECT_EQ(ZNT_GetMsgNum(session), 0);
  line->receiver.SetFault(Fault::kSilent, false);
  ASSERT_TRUE(WaitUntil([&] { return ZNT_GetActivity(session) == 1; }));
  const std::string log = SessionLog();
  EXPECT_NE(log.find(" Communication is lost\r\n"), std::string::npos);
  EXPECT_EQ(session->Statistics().Link, 1u);
}

TEST_F(ApiTest, ZeroAttemptsFailEveryExchangeAtOnce) {
  Open();
  SetAttempts(0);
  SetQueryWait(1);
  ASSERT_TRUE(WaitUntil([&] { return ZNT_GetActivity(session) == 0; }));
  EXPECT_EQ(session->Statistics().Link, 1u);
}

TEST_F(ApiTest, LineEvents) {
  Open();
  SetQueryWait(1);
  // CTS alone: the link is initialised again.
  line->receiver.ClearRequests();
  line->RaiseEvent(kEventCts);
  ASSERT_TRUE(WaitUntil([&] { return CountRequests("S3") >= 1; }));
  ASSERT_TRUE(WaitUntil([&] { return session->linkState == kLinkQuery; }));
  EXPECT_EQ(ZNT_GetActivity(session), 1);

  // CTS falls: the link is lost at once.
  line->receiver.SetFault(Fault::kCtsOff, true);
  line->RaiseEvent(kEventCts);
  ASSERT_TRUE(WaitUntil([&] { return ZNT_GetActivity(session) == 0; }));
  EXPECT_TRUE(WaitUntil([&] { return ZNT_GetLastError(session) == ZNT_ERR_LINK; }));

  // CTS back: up again.
  line->receiver.SetFault(Fault::kCtsOff, false);
  line->RaiseEvent(kEventCts);
  ASSERT_TRUE(WaitUntil([&] { return ZNT_GetActivity(session) == 1; }));

  // A CTS change while DSR is also on counts as a loss of the line; Connect,
  // which only needs CTS, brings the link straight back.
  line->SetExtraModemStatus(kModemDsr);
  line->RaiseEvent(kEventCts);
  ASSERT_TRUE(WaitUntil([&] { return session->Statistics().Link == 2; }));
  ASSERT_TRUE(WaitUntil([&] { return ZNT_GetActivity(session) == 1; }));
  // Events outside the mask change nothing.
  line->RaiseEvent(kEventRing);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(ZNT_GetActivity(session), 1);
  EXPECT_EQ(session->Statistics().Link, 2u);
}

TEST_F(ApiTest, PowerAndSlotChangesAfterOpenAreLogged) {
  Open();
  SetQueryWait(1);
  line->receiver.SetPowerStatus(0x02);
  line->receiver.SetSlotStatus({0, 0, 0x05, 0, 0, 0, 0, 0});
  ASSERT_TRUE(WaitUntil([&] { return (ZNT_GetTroubles(session) & 0xFF) == 0x02; }));
  ASSERT_TRUE(
      WaitUntil([&] { return SessionLog().find("Slot2: Rmv St_Lost") != std::string::npos; }));
  const std::string log = SessionLog();
  EXPECT_NE(log.find(" Power status changes (0x02): AC_Lost\r\n"), std::string::npos) << log;
  EXPECT_NE(
      log.find(" Slot status changed! Dump: 00 00 05 00 00 00 00 00\r\n  Slot2: Rmv St_Lost\r\n"),
      std::string::npos)
      << log;
  SlotInfo info{};
  ASSERT_EQ(ZNT_GetSlotInfo(session, &info), 1);
  EXPECT_EQ(info.slots[1].type, 2);
  EXPECT_EQ(info.slots[2].status, 0x05);
}

TEST_F(ApiTest, ClockIsReadAndSet) {
  line->receiver.SetClock({2025, 3, 0, 14, 8, 9, 10, 0});
  Open();
  SYSTEMTIME t;
  std::memset(&t, 0xFF, sizeof t);
  ASSERT_EQ(ZNT_GetTime(session, &t), 1);
  EXPECT_EQ(t.wYear, 2025);
  EXPECT_EQ(t.wMonth, 3);
  EXPECT_EQ(t.wDay, 14);
  EXPECT_EQ(t.wHour, 8);
  EXPECT_EQ(t.wMinute, 9);
  EXPECT_LE(t.wSecond, 12);
  EXPECT_EQ(t.wDayOfWeek, 0xFFFF) << "left as the caller had it";
  EXPECT_EQ(t.wMilliseconds, 0xFFFF);
  EXPECT_EQ(ZNT_SetSystemTime(session), 1);
  EXPECT_EQ(line->receiver.Requests().back().code, "S1");
}

TEST_F(ApiTest, CloseTwiceAndUseAfterClose) {
  Open();
  SetQueryWait(1);
  line->receiver.AddMessage(ReceiverSimulator::Kind2Message(0, kMessageTime, {1, 2, 3}));
  ASSERT_TRUE(WaitUntil([&] { return CountRequests("D1") >= 1; }));
  LinkStatistics preset = {100, 200, 3, 4, 5, 6};
  ASSERT_EQ(ZNT_GetStatistics(session, &preset), 1);
  EXPECT_EQ(ZNT_GetStatistics(session, nullptr), 0);

  EXPECT_EQ(ZNT_CloseComm(session), 1);
  EXPECT_EQ(ZNT_CloseComm(session), 0);
  EXPECT_FALSE(line->IsOpen());
  const auto escapes = line->Escapes();
  EXPECT_EQ(std::vector<uint32_t>(escapes.end() - 2, escapes.end()),
            (std::vector<uint32_t>{kEscapeClearRts, kEscapeClearRts}));

  EXPECT_EQ(ZNT_GetActivity(session), 0);
  ReceiverMessage record{};
  EXPECT_EQ(ZNT_GetMsg(session, &record), 0);
  const std::string logBefore = SessionLog();
  SYSTEMTIME t{};
  EXPECT_EQ(ZNT_SetTime(session, &t), 0);
  EXPECT_EQ(ZNT_GetLastError(session), ZNT_ERR_TIME);
  EXPECT_EQ(SessionLog(), logBefore);
  EXPECT_EQ(ZNT_GetCommPort(session), kPort);
  LinkTimeouts timeouts{};
  EXPECT_EQ(ZNT_GetTimeouts(session, &timeouts), 1);
  EXPECT_EQ(timeouts.queryWait, 1u);

  // The close entry reports the counters the caller passed in plus what came after.
  const auto completed = logBefore.find(" Session is completed\r\n");
  ASSERT_NE(completed, std::string::npos) << logBefore;
  EXPECT_NE(logBefore.find("  TxFrm: 1", completed), std::string::npos) << logBefore;
  EXPECT_NE(logBefore.find("  Link:  5          Msg:   6       \r\n", completed), std::string::npos)
      << logBefore;

  const auto debug = DebugLines();
  for (const char* expected :
       {"Threads stoping...\n", "COM port closing...\n", "Port closed,HANDLE= 0xffffffff\n"}) {
    EXPECT_NE(std::find(debug.begin(), debug.end(), expected), debug.end()) << expected;
  }
  session = nullptr;
}

TEST_F(ApiTest, GettersSeeWholeRecordsWhileTheClockIsRewritten) {
  // The receiver's clock jumps between two times that differ in every field.
  const SYSTEMTIME a = {2001, 1, 0, 1, 1, 1, 1, 0};
  const SYSTEMTIME b = {2022, 12, 0, 22, 22, 22, 22, 0};
  std::atomic<bool> flip{false};
  line->receiver.SetTimeSource([&] { return flip.exchange(!flip.load()) ? a : b; });
  Open();
  SetQueryWait(0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  while (std::chrono::steady_clock::now() < deadline) {
    SYSTEMTIME t{};
    ASSERT_EQ(ZNT_GetTime(session, &t), 1);
    const bool isA =
        t.wYear == 2001 && t.wMonth == 1 && t.wDay == 1 && t.wHour == 1 && t.wMinute == 1;
    const bool isB =
        t.wYear == 2022 && t.wMonth == 12 && t.wDay == 22 && t.wHour == 22 && t.wMinute == 22;
    ASSERT_TRUE(isA || isB) << t.wYear << "-" << t.wMonth << "-" << t.wDay << " " << t.wHour << ":"
                            << t.wMinute;
  }
}

TEST_F(ApiTest, ClosingDuringAnAnswerIsNoLinkLoss) {
  Open();
  SetQueryWait(1);
  // Answers trickle in a byte every 3 ms, as they do at 9600 baud.
  line->SetByteDelay(3);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard lock(line->mutex);
    return line->input.size() > 2;
  }));
  const uint32_t timeoutsBefore = session->Statistics().TmOut;
  EXPECT_EQ(ZNT_CloseComm(session), 1);
  const LinkStatistics after = session->Statistics();
  session = nullptr;
  EXPECT_EQ(after.Link, 0u);
  EXPECT_EQ(after.TmOut, timeoutsBefore);
  const std::string log = SessionLog();
  const auto established = log.find(" Session is established");
  ASSERT_NE(established, std::string::npos) << log;
  EXPECT_EQ(log.find(" Communication is", established), std::string::npos) << log;
  EXPECT_NE(log.find(" Session is completed", established), std::string::npos) << log;
}

TEST_F(ApiTest, AChangedAttemptsValueTakesEffectAtTheNextAttempt) {
  Open();
  SetQueryWait(100000);
  line->receiver.SetFault(Fault::kSilent, true);
  line->HoldReads(true);
  const uint32_t sentBefore = session->Statistics().TxFrm;
  auto request = std::async(std::launch::async, [&] { return ZNT_GetRtcOption(session); });
  ASSERT_TRUE(line->WaitForHeldRead());  // the first attempt waits for its answer
  SetAttempts(1);
  line->HoldReads(false);
  EXPECT_EQ(request.get(), -1);
  EXPECT_EQ(session->Statistics().TxFrm - sentBefore, 1u);
}

TEST_F(ApiTest, ASecondRequestFailsAtOnceAlsoWhenItNeedsTheSharedBuffer) {
  Open();
  SetQueryWait(100000);
  Timing().requestWaitMs = 5000;
  line->HoldReads(true);
  auto first = std::async(std::launch::async, [&] { return ZNT_GetSlotSetup(session, 1); });
  ASSERT_TRUE(line->WaitForHeldRead());
  EXPECT_EQ(ZNT_ChangePassword(session, kPassword, kNewPassword), 0);
  EXPECT_EQ(ZNT_SetSlotMode(session, 1, 1, kPassword), 0);
  EXPECT_EQ(first.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
      << "the second requests did not wait for the first";
  line->HoldReads(false);
  EXPECT_NE(first.get(), nullptr);
  EXPECT_EQ(CountRequests("S4") + CountRequests("H6"), 0u);
}

TEST_F(ApiTest, ALineThatNeverFinishesAFrameTakesTheLinkDownUntilItStops) {
  // A short first-byte wait and a fast line keep the frame limit short.
  Timing().readTimeoutMs = 20;
  Open(115200);
  SetIdleWait(10);
  SetQueryWait(1);
  const uint32_t timeoutsBefore = session->Statistics().TmOut;
  line->SetBabble(true);
  ASSERT_TRUE(WaitUntil([&] { return ZNT_GetActivity(session) == 0; }));
  EXPECT_EQ(session->Statistics().Link, 1u);
  EXPECT_GE(session->Statistics().TmOut - timeoutsBefore, 3u) << "each read ended as a timeout";
  EXPECT_TRUE(WaitUntil([&] { return ZNT_GetLastError(session) == ZNT_ERR_LINK; }));
  line->SetBabble(false);
  ASSERT_TRUE(WaitUntil([&] { return ZNT_GetActivity(session) == 1; }));
}

TEST_F(ApiTest, ARefusedFetchInventsNoMessage) {
  Open();
  SetQueryWait(1);
  line->receiver.SetFaultForCode(Fault::kStatusRefused, "D1", 1000);
  line->receiver.AddMessage(ReceiverSimulator::Kind2Message(4, kMessageTime, {1, 2, 3}));
  ASSERT_TRUE(WaitForRequests("D1", 3));
  ReceiverMessage record{};
  EXPECT_EQ(ZNT_GetMsg(session, &record), 0);
  EXPECT_EQ(session->Statistics().Msg, 0u);
  EXPECT_EQ(CountRequests("D2"), 0u) << "nothing was taken, so nothing is acknowledged";

  line->receiver.SetFault(Fault::kStatusRefused, false);
  ASSERT_TRUE(WaitUntil([&] { return ZNT_GetMsg(session, &record) == 1; }));
  EXPECT_EQ(record.slot, 4);
  EXPECT_EQ(record.body[0], 1);
}

TEST_F(ApiTest, AMissingLineWaitsTheIdleWaitBetweenConnectAttempts) {
  Open();
  SetQueryWait(1);
  SetIdleWait(60000);
  const size_t escapesBefore = line->Escapes().size();
  line->receiver.SetFault(Fault::kCtsOff, true);
  line->RaiseEvent(kEventCts);
  ASSERT_TRUE(WaitUntil([&] { return ZNT_GetActivity(session) == 0; }));
  // One Connect (two escapes) finds CTS missing; then the LINK thread waits in Idle.
  ASSERT_TRUE(WaitUntil([&] {
    return line->Escapes().size() >= escapesBefore + 2 && session->linkState == kLinkIdle &&
           !session->wakeEvent.IsSet();
  }));
  const size_t escapes = line->Escapes().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(line->Escapes().size(), escapes) << "no Connect while the line stays missing";

  // The line's return wakes it at once.
  line->receiver.SetFault(Fault::kCtsOff, false);
  line->RaiseEvent(kEventCts);
  ASSERT_TRUE(WaitUntil([&] { return ZNT_GetActivity(session) == 1; }));
}

}  // namespace
}  // namespace zntlink::testing
