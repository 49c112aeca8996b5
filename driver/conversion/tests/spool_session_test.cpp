// The event conversion with the real session thread against the
// message-server simulator over loopback TCP: events posted while online,
// spooled while the server is away, re-sent oldest first when it returns and
// deleted on its CMD_SPOOL_ACK. The clock is a manual one; socket timeouts
// are shortened.
#include <gtest/gtest.h>

#include <memory>

#include "conversion/decoding_cycle.h"
#include "conversion_support.h"
#include "server_simulator.h"
#include "test_support.h"

namespace tessar {
namespace {

using testing::Eventually;
using testing::FilesEndingWith;
using testing::Message;
using testing::ParseEvent;
using testing::RecordingConversionWindow;
using testing::Zones;
using tools::ServerPacket;
using tools::ServerSimulator;

class SpoolSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state_.SetFirstNumber(1);
    conversion_.Open();
    ASSERT_TRUE(first_.Start(0));
    WriteIni(first_.Port());
    cl::Options options;
    options.startDirectory = dir_.Path();
    options.timings.connectTimeoutMs = 1000;
    // Long enough that a slow (sanitized, loaded) run never reads an answer a
    // step late: with the clock frozen between ticks no later step would read it.
    options.timings.readTimeoutMs = 3000;
    options.timings.writeTimeoutMs = 1000;
    options.timings.pauseMs = 2;
    options.onSpoolAck = [this] { conversion_.OnSpoolAck(); };
    session_ = std::make_unique<cl>(state_, sessionWindow_, clock_, options);
    link_.Attach(session_.get());
    session_->Start();
  }

  void WriteIni(uint16_t port) {
    dir_.Write("tessard.ini",
               "[ServerHost]\r\nAddress=127.0.0.1\r\nPort=" + std::to_string(port) + "\r\n");
  }

  void PutAlarm(int device) {
    const stru_arb message = Message({.device = device, .type = 2, .zones = Zones({3})});
    ASSERT_TRUE(conversion_.PutMessage(kSourceReceiverLibrary, message.data(), 23));
  }

  void Tick() {
    clock_.Advance(200);
    conversion_.Timer1Timer();
  }

  std::vector<std::string> SpoolFiles() const { return FilesEndingWith(dir_.Path(), ".dd8"); }

  static std::vector<int32_t> EventObjects(const ServerSimulator& sim) {
    std::vector<int32_t> objects;
    for (const ServerPacket& packet : sim.Packets()) {
      if (packet.code == CMD_EVENT)
        objects.push_back(+ParseEvent(packet.payload).objectNumber);
    }
    return objects;
  }

  tessar::testing::TempDir dir_;
  platform::ManualClock clock_{0, {2024, 5, 3, 14, 5, 9, 250}};
  DriverState state_;
  SessionLink link_;
  RecordingConversionWindow window_;
  EventConversion conversion_{
      state_, link_, window_, clock_, {dir_.File("sost.mem"), dir_.Path() + "/"}};
  tessar::testing::RecordingWindow sessionWindow_;
  ServerSimulator first_;
  ServerSimulator second_;
  std::unique_ptr<cl> session_;  // stopped first, before what its handler uses
};

TEST_F(SpoolSessionTest, EventsGoOutOnlineAndAreSpooledAndResentOldestFirstWhileAway) {
  ASSERT_TRUE(Eventually([&] { return session_->Online(); }));
  PutAlarm(1);
  Tick();
  ASSERT_TRUE(first_.WaitUntil(
      [](const ServerSimulator& sim) { return !EventObjects(sim).empty(); }, 5000));
  EXPECT_EQ(EventObjects(first_), std::vector<int32_t>{10001});
  EXPECT_TRUE(SpoolFiles().empty());

  // The server goes away; the next keep-alive test finds the connection gone.
  first_.Stop();
  clock_.Advance(600);
  ASSERT_TRUE(Eventually([&] { return !session_->Online(); }));
  for (int device = 2; device <= 4; ++device) {
    PutAlarm(device);
    Tick();
  }
  ASSERT_EQ(SpoolFiles().size(), 3u);

  // It comes back elsewhere; the next attempt reads the new port.
  ASSERT_TRUE(second_.Start(0));
  WriteIni(second_.Port());
  clock_.Advance(5001);
  ASSERT_TRUE(Eventually([&] { return session_->Online(); }));
  for (size_t left = 2;; --left) {
    Tick();
    ASSERT_TRUE(Eventually([&] { return SpoolFiles().size() == left; })) << left;
    if (left == 0)
      break;
  }
  EXPECT_EQ(EventObjects(second_), (std::vector<int32_t>{10002, 10003, 10004}));
  EXPECT_TRUE(second_.Violations().empty());
  EXPECT_TRUE(window_.errors.empty());
}

}  // namespace
}  // namespace tessar
