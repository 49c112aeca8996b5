// The real tessard (offscreen) with its local TCP service on a free port and
// the message-server simulator on loopback: a "Slot" line from a network peer
// reaches the server as an event; a taken port is reported and the driver
// runs on. No receiver port is opened (port 0 never opens).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "conversion/records.h"
#include "netlink/packets.h"
#include "platform/tcp.h"
#include "server_simulator.h"
#include "tessard_process.h"
#include "test_support.h"

namespace tessar {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using tools::ServerSimulator;

constexpr uint32_t kWaitMs = 15000;

bool WaitFor(const std::function<bool()>& condition, uint32_t ms = kWaitMs) {
  return testing::WaitFor(condition, ms);
}

// The message body of a kind-3 message from device 37, type 2 (zones), zone
// 3 in alarm, as 26 hexadecimal digits.
std::string Zone3AlarmHex() {
  std::array<uint8_t, 13> body{};
  body[2] = 37 >> 4;
  body[3] = static_cast<uint8_t>((37 & 0x0F) << 4 | 2);
  body[12] = 1 << 2;
  std::string hex;
  char pair[3];
  for (uint8_t b : body) {
    std::snprintf(pair, sizeof pair, "%02X", b);
    hex += pair;
  }
  return hex;
}

class LocalServiceEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = testing::MakeDriverHome("tessard-tcp-e2e", ZNTLINK_PATH);
    std::string error;
    ASSERT_TRUE(server_.Start(0, &error)) << error;
  }

  void TearDown() override {
    testing::KillTessard(&pid_);
    server_.Stop();
    fs::remove_all(home_);
  }

  void StartDriver(uint16_t tcpPort) {
    std::ofstream(home_ / "tessard.ini")
        << "[main]\r\nComPort=COM0\r\nFirstNumber=1\r\nTcpPort=" << tcpPort
        << "\r\n[ServerHost]\r\nAddress=127.0.0.1\r\nPort=" << server_.Port() << "\r\n";
    pid_ = testing::StartTessard(home_, TESSARD_PATH);
    ASSERT_GE(pid_, 0);
  }

  // SIGTERM, then the exit status; -1 when it did not end in time.
  int Stop() {
    kill(pid_, SIGTERM);
    return testing::WaitForExit(&pid_, 5000);
  }

  std::string DriverLog() { return testing::TessardLog(home_); }

  bool ServerGot(int32_t code) {
    return server_.WaitUntil(
        [code](const ServerSimulator& s) {
          for (int32_t c : s.Codes())
            if (c == code)
              return true;
          return false;
        },
        kWaitMs);
  }

  fs::path home_;
  ServerSimulator server_;
  pid_t pid_ = -1;
};

TEST_F(LocalServiceEndToEnd, ASlotLineFromAPeerReachesTheServerAsAnEvent) {
  const uint16_t port = testing::FreePort();
  StartDriver(port);
  platform::TcpConnection peer;
  ASSERT_TRUE(WaitFor([&] { return peer.Connect("127.0.0.1", port, 1000, nullptr); }))
      << DriverLog();
  const std::string expected = "QT6100wx V1.02\r\nsystime";
  std::string greeting(expected.size() + 19, '\0');
  size_t received = 0;
  peer.ReadExact(reinterpret_cast<uint8_t*>(greeting.data()), greeting.size(), kWaitMs, received);
  ASSERT_EQ(received, greeting.size());
  EXPECT_EQ(greeting.substr(0, expected.size()), expected);
  EXPECT_EQ(greeting.substr(greeting.size() - 2), "\r\n");

  const std::string line = "12:00:00 R(1) Slot01 t " + Zone3AlarmHex() + " 07\r\n\r\n";
  ASSERT_EQ(peer.WriteAll(reinterpret_cast<const uint8_t*>(line.data()), line.size(), kWaitMs),
            platform::IoResult::kOk);
  std::string answer(5, '\0');
  peer.ReadExact(reinterpret_cast<uint8_t*>(answer.data()), answer.size(), kWaitMs, received);
  EXPECT_EQ(answer, "D7/\r\n");

  ASSERT_TRUE(ServerGot(CMD_EVENT)) << DriverLog();
  ASSERT_TRUE(testing::EventsAreSized(server_.Packets()));
  const std::vector<EventRecord> events = testing::EventsOf(server_.Packets());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(std::string(events[0].eventCode.text, events[0].eventCode.length), "1130");
  EXPECT_EQ(+events[0].zone, 3);
  EXPECT_EQ(+events[0].objectNumber, 10037);

  // The peer is still connected: stopping the driver closes it.
  EXPECT_EQ(Stop(), 0) << DriverLog();
  uint8_t byte = 0;
  EXPECT_EQ(peer.ReadExact(&byte, 1, kWaitMs, received), platform::IoResult::kClosed);
}

TEST_F(LocalServiceEndToEnd, ATakenPortIsReportedAndTheDriverRunsOn) {
  platform::TcpListener taken;
  std::string error;
  ASSERT_TRUE(taken.Listen("127.0.0.1", 0, &error)) << error;
  StartDriver(taken.Port());
  ASSERT_TRUE(WaitFor([&] {
    return DriverLog().find("local TCP service cannot listen on port " +
                            std::to_string(taken.Port())) != std::string::npos;
  })) << DriverLog();
  EXPECT_TRUE(ServerGot(CMD_HELLO)) << "the server session runs all the same";
  EXPECT_EQ(Stop(), 0) << DriverLog();
}

}  // namespace
}  // namespace tessar
