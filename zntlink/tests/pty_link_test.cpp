// The library end to end over a real pseudo-terminal: the POSIX port on the
// slave side, the receiver simulator serving the master side.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>

#include "link_fixture.h"
#include "log.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "pty_receiver.h"
#include "timing.h"

namespace zntlink::testing {
namespace {

namespace fs = std::filesystem;
using tessar::tools::Fault;
using tessar::tools::PtyReceiver;
using tessar::tools::ReceiverSimulator;

constexpr int kPtyPort = 7;
const SYSTEMTIME kMessageTime = {2003, 7, 0, 9, 10, 30, 48, 0};
const SYSTEMTIME kNow = {2026, 12, 4, 10, 9, 15, 0, 0};

// Runs in a temporary directory holding zntlog/ with the port's link, as the
// driver runs in its home directory.
class PtyLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::temp_directory_path() / ("zntlink-pty-" + std::to_string(getpid()));
    fs::remove_all(home_);
    fs::create_directories(home_ / "zntlog");
    previous_ = fs::current_path();
    fs::current_path(home_);
    ResetLogForTesting();
    SetDebugSinkForTesting([](const std::string&) {});
    SetLocalTimeSourceForTesting([] { return kNow; });
    Timing().connectSettleMs = 2;
    Timing().readTimeoutMs = 40;
    receiver_.SetFirmware(2, 1, 0x12345678);
    receiver_.SetPowerStatus(0x06);
    std::string error;
    ASSERT_TRUE(pty_.Start("zntlog/COM" + std::to_string(kPtyPort), &error)) << error;
  }

  void TearDown() override {
    if (session_ != nullptr)
      ZNT_CloseComm(session_);
    pty_.Stop();
    SetLocalTimeSourceForTesting(nullptr);
    SetDebugSinkForTesting(nullptr);
    Timing().connectSettleMs = 10;
    Timing().readTimeoutMs = 500;
    fs::current_path(previous_);
    fs::remove_all(home_);
  }

  void OpenFast() {
    int error = -1;
    session_ = ZNT_InitCommEx(kPtyPort, 9600, &error);
    ASSERT_NE(session_, nullptr) << "error " << error;
    LinkTimeouts t;
    ZNT_GetTimeouts(session_, &t);
    t.queryWait = 5;
    t.idleWait = 20;
    ZNT_SetTimeouts(session_, &t);
  }

  std::string Log(const char* name) { return ReadFile(home_ / "zntlog" / name); }

  ReceiverSimulator receiver_;
  PtyReceiver pty_{receiver_};
  CommSession* session_ = nullptr;
  fs::path home_;
  fs::path previous_;
};

TEST_F(PtyLinkTest, MissingPortsGiveError7AndADebugLineThatSaysWhy) {
  std::vector<std::string> debug;
  SetDebugSinkForTesting([&](const std::string& line) { debug.push_back(line); });
  for (int port : {0, 199}) {
    int error = -1;
    EXPECT_EQ(ZNT_InitCommEx(port, 9600, &error), nullptr);
    EXPECT_EQ(error, ZNT_ERR_RESOURCE) << "port " << port;
  }
  SetDebugSinkForTesting([](const std::string&) {});
  EXPECT_EQ(debug, (std::vector<std::string>{
                       "Port open failed: COM0: no device has this port number\n",
                       "Port open failed: /dev/ttyS198: No such file or directory\n"}));
}

TEST_F(PtyLinkTest, OpenGivesUpOnALineThatNeverFinishesAFrame) {
  receiver_.SetFault(Fault::kSilent, true);
  pty_.SetBabble(true);
  auto open = std::async(std::launch::async, [] {
    int error = -1;
    CommSession* session = ZNT_InitCommEx(kPtyPort, 9600, &error);
    return std::pair{session, error};
  });
  ASSERT_EQ(open.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "open must not read the stream for ever";
  const auto [session, error] = open.get();
  EXPECT_EQ(session, nullptr);
  EXPECT_EQ(error, ZNT_ERR_LINK);
  EXPECT_EQ(receiver_.RequestCodes(), (std::vector<std::string>{"S3", "S3", "S3"}))
      << "one attempt at the link, each read ended by the frame limit";
}

TEST_F(PtyLinkTest, MessagesRequestsLinkLossRecoveryAndClose) {
  OpenFast();
  EXPECT_EQ(ZNT_GetActivity(session_), 1);
  FirmwareInfo firmware{};
  ASSERT_EQ(ZNT_GetFirmware(session_, &firmware), 1);
  EXPECT_EQ(firmware.serial, 0x12345678u);

  // A second open of the same port is refused while the session holds it.
  int error = 0;
  EXPECT_EQ(ZNT_InitCommEx(kPtyPort, 9600, &error), nullptr);
  EXPECT_EQ(error, ZNT_ERR_RESOURCE);

  for (uint8_t device = 1; device <= 3; ++device) {
    receiver_.AddMessage(ReceiverSimulator::Kind3Message(1, kMessageTime, {0, 0, device, 0x32}));
  }
  std::vector<uint8_t> devices;
  ASSERT_TRUE(WaitUntil([&] {
    uint8_t record[ZNT_MESSAGE_RECORD_MAX] = {};
    if (ZNT_GetMsg(session_, reinterpret_cast<ReceiverMessage*>(record)) == 1) {
      devices.push_back(record[12]);
    }
    return devices.size() == 3;
  }));
  EXPECT_EQ(devices, (std::vector<uint8_t>{1, 2, 3})) << "in order, each once";

  const SYSTEMTIME set = {2024, 2, 0, 29, 23, 59, 58, 0};
  EXPECT_EQ(ZNT_SetTime(session_, &set), 1);
  EXPECT_EQ(ZNT_SetSystemValue(session_, 2, 0x5A), 1);
  EXPECT_EQ(ZNT_GetSystemValue(session_, 2), 0x5A);

  // Silent receiver: down within the attempts of one exchange.
  receiver_.SetFault(Fault::kSilent, true);
  ASSERT_TRUE(WaitUntil([&] { return ZNT_GetActivity(session_) == 0; }));
  EXPECT_TRUE(WaitUntil([&] { return ZNT_GetLastError(session_) == ZNT_ERR_LINK; }));
  receiver_.SetFault(Fault::kSilent, false);
  ASSERT_TRUE(WaitUntil([&] { return ZNT_GetActivity(session_) == 1; }));

  EXPECT_EQ(ZNT_CloseComm(session_), 1);
  EXPECT_EQ(ZNT_CloseComm(session_), 0);
  session_ = nullptr;

  const std::string sessionLog = Log("sy202612.log");
  for (const char* entry :
       {"COM7> 2026/12/10 09:15:00 Communication is established\r\n",
        "COM7> 2026/12/10 09:15:00 Session is established\r\n Chipware: 2.1,Serial#: 12345678\r\n",
        "COM7> 2026/12/10 09:15:00 Communication is lost\r\n",
        "COM7> 2026/12/10 09:15:00 Session is completed\r\n  TxFrm: "}) {
    EXPECT_NE(sessionLog.find(entry), std::string::npos) << entry << "\nin\n" << sessionLog;
  }
  // The port can be opened again after close.
  error = -1;
  session_ = ZNT_InitCommEx(kPtyPort, 9600, &error);
  EXPECT_NE(session_, nullptr) << error;
}

TEST_F(PtyLinkTest, LogFilesHoldTheExactTexts) {
  OpenFast();
  receiver_.AddMessage(
      ReceiverSimulator::Kind3Message(1, kMessageTime, {0x00, 0x00, 0x07, 0xB2, 0x04}));
  receiver_.AddMessage(ReceiverSimulator::Kind2Message(0, kMessageTime, {0x45, 0x7B, 0x00}));
  ASSERT_TRUE(WaitUntil([&] {
    uint8_t record[ZNT_MESSAGE_RECORD_MAX];
    ZNT_GetMsg(session_, reinterpret_cast<ReceiverMessage*>(record));
    return receiver_.StoredMessages() == 0;
  }));
  receiver_.SetPowerStatus(0x02);
  ASSERT_TRUE(WaitUntil([&] { return (ZNT_GetTroubles(session_) & 0xFF) == 0x02; }));
  receiver_.SetPowerStatus(0x06);
  ASSERT_TRUE(WaitUntil([&] { return (ZNT_GetTroubles(session_) & 0xFF) == 0x06; }));
  receiver_.SetPowerStatus(0x05);
  ASSERT_TRUE(WaitUntil([&] { return (ZNT_GetTroubles(session_) & 0xFF) == 0x05; }));
  receiver_.SetSlotStatus({0, 0, 0x05, 0, 0, 0, 0, 0});
  ASSERT_TRUE(WaitUntil([&] {
    SlotInfo info{};
    return ZNT_GetSlotInfo(session_, &info) == 1 && info.slots[2].status == 0x05;
  }));
  ZNT_CloseComm(session_);
  session_ = nullptr;

  // Messages of the 10th go to the second ten-day file.
  EXPECT_EQ(Log("202612_2.log"),
            "COM7> Slot1(#3) 2003/07/09 10:30:48 000007B2040000000000000000  Obj 123   Unreg\r\n"
            "COM7> Slot0(#2) 2003/07/09 10:30:48 457B00                      Hopper 1403\r\n");
  const std::string sessionLog = Log("sy202612.log");
  for (const char* entry :
       {"COM7> 2026/12/10 09:15:00 Power status changes (0x02): AC_Lost\r\n",
        "COM7> 2026/12/10 09:15:00 Power status changes (0x05):  BatLow\r\n",
        "COM7> 2026/12/10 09:15:00 Slot status changed! Dump: 00 00 05 00 00 00 "
        "00 00\r\n  Slot2: Rmv St_Lost\r\n"}) {
    EXPECT_NE(sessionLog.find(entry), std::string::npos) << entry << "\nin\n" << sessionLog;
  }
}

}  // namespace
}  // namespace zntlink::testing
