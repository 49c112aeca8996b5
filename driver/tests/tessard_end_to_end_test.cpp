// The real tessard (offscreen) with the real libzntlink.so in a home of its
// own, the receiver simulator on a pseudo-terminal and the message-server
// simulator on loopback: one alarm travels from the receiver to the server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/ole_date.h"
#include "conversion/records.h"
#include "conversion/zone_memory.h"
#include "frame/supervision.h"
#include "netlink/packets.h"
#include "platform/clock.h"
#include "pty_receiver.h"
#include "receiver_simulator.h"
#include "server_simulator.h"
#include "tessard_process.h"
#include "test_support.h"

namespace tessar {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using tools::ReceiverSimulator;
using tools::ServerPacket;
using tools::ServerSimulator;

constexpr uint32_t kWaitMs = 15000;

// A kind-3 receiver message from device 37, type 2 (zones), zone 3 in alarm.
std::array<uint8_t, 13> Zone3Alarm() {
  constexpr int kDevice = 37;
  constexpr int kZoneType = 2;
  std::array<uint8_t, 13> body{};
  body[2] = kDevice >> 4;
  body[3] = static_cast<uint8_t>((kDevice & 0x0F) << 4 | kZoneType);
  body[12] = 1 << 2;  // zone 3: bit 2 of the last matrix byte
  return body;
}

bool IsPortState(const ServerPacket& p, uint8_t state) {
  return p.code == CMD_PORT_STATE && p.payload.size() == 8 && p.payload[7] == state;
}

size_t CountRequests(const ReceiverSimulator& receiver, const std::string& code) {
  size_t n = 0;
  for (const auto& c : receiver.RequestCodes())
    n += c == code ? 1 : 0;
  return n;
}

bool WaitFor(const std::function<bool()>& condition, uint32_t ms = kWaitMs) {
  return testing::WaitFor(condition, ms);
}

SYSTEMTIME Shifted(int seconds) {
  const platform::LocalTime now = platform::SystemClock().LocalNow();
  const platform::LocalTime t = *FromOleDate(ToOleDate(now) + seconds / 86400.0);
  return Supervision::TimeRecordOf(t);
}

class TessardEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = testing::MakeDriverHome("tessard-e2e", ZNTLINK_PATH);
    std::string error;
    ASSERT_TRUE(server_.Start(0, &error)) << error;
    ASSERT_TRUE(pty_.Start((home_ / "zntlog" / "COM3").string(), &error)) << error;
    std::ofstream(home_ / "tessard.ini")
        << "[main]\r\nComPort=COM3\r\nFirstNumber=1\r\nTcpPort=" << testing::FreePort()
        << "\r\n[ServerHost]\r\nAddress=127.0.0.1\r\nPort=" << server_.Port() << "\r\n";
  }

  void TearDown() override {
    testing::KillTessard(&pid_);
    pty_.Stop();
    server_.Stop();
    fs::remove_all(home_);
  }

  void StartDriver() {
    pid_ = testing::StartTessard(home_, TESSARD_PATH);
    ASSERT_GE(pid_, 0);
  }

  // The exit status, or -1 when it did not end within `ms`.
  int WaitForExit(uint32_t ms) { return testing::WaitForExit(&pid_, ms); }

  std::string DriverLog() { return testing::TessardLog(home_); }

  fs::path home_;
  ReceiverSimulator receiver_;
  tools::PtyReceiver pty_{receiver_};
  ServerSimulator server_;
  pid_t pid_ = -1;
};

TEST_F(TessardEndToEnd, AnAlarmReachesTheServerAndTheDriverStopsCleanly) {
  StartDriver();
  // The link comes up: CMD_PORT_STATE with state 1.
  ASSERT_TRUE(server_.WaitUntil(
      [](const ServerSimulator& s) {
        for (const auto& p : s.Packets())
          if (IsPortState(p, 1))
            return true;
        return false;
      },
      kWaitMs))
      << DriverLog();

  // Receiver clock 2 s off: left alone over a few ticks; 3 s off: set.
  receiver_.SetClock(Shifted(2));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(CountRequests(receiver_, "S1"), 0u);
  receiver_.SetClock(Shifted(3));
  ASSERT_TRUE(WaitFor([&] { return CountRequests(receiver_, "S1") >= 1; })) << DriverLog();
  const auto now = platform::SystemClock().LocalNow();
  const SYSTEMTIME set = receiver_.Clock();
  EXPECT_LE(std::abs(set.wSecond + set.wMinute * 60 - (now.second + now.minute * 60)) % 3540, 1);

  receiver_.AddMessage(ReceiverSimulator::Kind3Message(1, receiver_.Clock(), Zone3Alarm()));
  ASSERT_TRUE(server_.WaitUntil(
      [](const ServerSimulator& s) {
        for (int32_t code : s.Codes())
          if (code == CMD_EVENT)
            return true;
        return false;
      },
      kWaitMs))
      << DriverLog();
  ASSERT_TRUE(testing::EventsAreSized(server_.Packets()));
  const std::vector<EventRecord> events = testing::EventsOf(server_.Packets());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(std::string(events[0].eventCode.text, events[0].eventCode.length), "1130");
  EXPECT_EQ(+events[0].zone, 3);
  EXPECT_EQ(+events[0].objectNumber, 10037);

  // The receiver goes away: CMD_PORT_STATE with state 0.
  pty_.Stop();
  ASSERT_TRUE(server_.WaitUntil(
      [](const ServerSimulator& s) {
        for (const auto& p : s.Packets())
          if (IsPortState(p, 0))
            return true;
        return false;
      },
      kWaitMs))
      << DriverLog();

  ASSERT_EQ(kill(pid_, SIGTERM), 0);
  EXPECT_EQ(WaitForExit(5000), 0) << DriverLog();

  std::ifstream zones(home_ / "sost.mem", std::ios::binary);
  Bytes image((std::istreambuf_iterator<char>(zones)), std::istreambuf_iterator<char>());
  ZoneStateMemory memory;
  memory.Load(image);
  EXPECT_TRUE(memory.Find(37, 0).has_value()) << "the transmitter's record is kept";
}

TEST_F(TessardEndToEnd, WithoutAConfigurationFileTheDefaultsHold) {
  fs::remove(home_ / "tessard.ini");
  ServerSimulator defaultServer;
  const bool listening = defaultServer.Start(12543);
  StartDriver();
  // Port 255 is asked for (and fails: nothing is there), the server is looked
  // for at 127.0.0.1:12543; the driver runs on and stops on SIGTERM.
  ASSERT_TRUE(WaitFor([&] { return DriverLog().find("COM255") != std::string::npos; }))
      << DriverLog();
  if (listening) {
    EXPECT_TRUE(defaultServer.WaitForPackets(1, kWaitMs)) << "a session at 127.0.0.1:12543";
    EXPECT_EQ(defaultServer.Codes().front(), CMD_HELLO);
  }
  ASSERT_EQ(kill(pid_, SIGTERM), 0);
  EXPECT_EQ(WaitForExit(5000), 0) << DriverLog();
}

}  // namespace
}  // namespace tessar
