#include <gtest/gtest.h>

#include <filesystem>

#include "common/ole_date.h"
#include "conversion/decoding_cycle.h"
#include "conversion_support.h"
#include "test_support.h"

namespace tessar {
namespace {

using testing::FakeLink;
using testing::FilesEndingWith;
using testing::Message;
using testing::ParseEvent;
using testing::ReadBytes;
using testing::RecordingConversionWindow;
using testing::Zones;

class EventConversionTest : public ::testing::Test {
 protected:
  EventConversionTest() {
    state_.SetFirstNumber(1);
    conversion_.Open();
  }

  void Put(const stru_arb& message) {
    ASSERT_TRUE(conversion_.PutMessage(kSourceReceiverLibrary, message.data(),
                                       static_cast<int32_t>(message.size())));
  }
  // A message whose zone report is new each time it is called with a new device.
  void PutAlarm(int device, std::initializer_list<int> zones = {3}) {
    Put(Message({.device = device, .type = 2, .zones = Zones(zones)}));
  }
  std::vector<std::string> SpoolFiles() const { return FilesEndingWith(dir_.Path(), ".dd8"); }
  // The session confirms: the packets are written and CMD_SPOOL_ACK arrives.
  void Confirm() {
    link_.WriteAll();
    conversion_.OnSpoolAck();
  }
  // One alarm spooled while offline, then re-sent at the first tick online.
  void SpoolOneAndResend() {
    link_.online = false;
    PutAlarm(1);
    Tick();
    link_.online = true;
    Tick();
  }
  void Tick(uint32_t ms = 200) {
    clock_.Advance(ms);
    conversion_.Timer1Timer();
  }

  tessar::testing::TempDir dir_;
  platform::ManualClock clock_{0, {2024, 5, 3, 14, 5, 9, 250}};
  DriverState state_;
  FakeLink link_;
  RecordingConversionWindow window_;
  std::vector<std::string> failures_;
  DriverMetrics metrics_;
  EventConversion conversion_{state_,
                              link_,
                              window_,
                              clock_,
                              {dir_.File("sost.mem"), dir_.Path() + "/", &metrics_},
                              [this](const std::string& line) { failures_.push_back(line); }};
};

TEST_F(EventConversionTest, OnlineAZoneChangeIsPostedAndNothingIsWritten) {
  PutAlarm(37);
  conversion_.Timer1Timer();
  const auto posts = link_.posts;
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].code, CMD_EVENT);
  ASSERT_EQ(posts[0].payload.size(), 27u);
  EXPECT_EQ(posts[0].payload[0], 23);
  EXPECT_EQ(Bytes(posts[0].payload.begin() + 3, posts[0].payload.begin() + 8),
            (Bytes{4, '1', '1', '3', '0'}));
  const EventRecord record = ParseEvent(posts[0].payload);
  EXPECT_EQ(+record.objectNumber, 10037);
  EXPECT_EQ(+record.zone, 3);
  EXPECT_EQ(+record.time, ToOleDate(clock_.LocalNow()));
  EXPECT_TRUE(SpoolFiles().empty());
  // The zone record went to the file at once.
  EXPECT_EQ(ReadBytes(dir_.File("sost.mem")).size(), 29u);
}

TEST_F(EventConversionTest, OfflineEventsAndMeasurementsAreSpooledByteForByte) {
  link_.online = false;
  PutAlarm(37);
  Put(Message({.device = 37, .type = 4, .zones = {0x0B, 0xC8, 0x11, 0, 0, 0, 0x20, 0}}));
  conversion_.Timer1Timer();
  EXPECT_TRUE(link_.posts.empty());
  const auto files = SpoolFiles();
  ASSERT_EQ(files, (std::vector<std::string>{"1278D702.dd8", "1278D702_0001.dd8"}));
  const Bytes event = ReadBytes(dir_.File(files[0]));
  ASSERT_EQ(event.size(), 31u);
  EXPECT_EQ(Bytes(event.begin(), event.begin() + 4), (Bytes{0x17, 0x00, 0x00, 0x03}));
  EXPECT_EQ(ParseEvent(Bytes(event.begin() + 4, event.end())).zone, 3);
  const Bytes measurement = ReadBytes(dir_.File(files[1]));
  ASSERT_EQ(measurement.size(), 27u);
  EXPECT_EQ(Bytes(measurement.begin(), measurement.begin() + 4), (Bytes{0x11, 0x00, 0x00, 0x03}));
}

TEST_F(EventConversionTest, AFullSendRingSpoolsTheEventInsteadOfLosingIt) {
  link_.room = 1;
  PutAlarm(1);
  PutAlarm(2);
  conversion_.Timer1Timer();
  ASSERT_EQ(link_.posts.size(), 1u);
  const auto files = SpoolFiles();
  ASSERT_EQ(files.size(), 1u);
  const auto spooled = ParseSpoolFile(ReadBytes(dir_.File(files[0])));
  ASSERT_TRUE(spooled);
  EXPECT_EQ(spooled->code, CMD_EVENT);
  EXPECT_EQ(+ParseEvent(spooled->payload).objectNumber, 10002);
}

TEST_F(EventConversionTest, SpoolFilesAreResentOneAtATimeAsEachIsConfirmed) {
  link_.online = false;
  for (int device = 1; device <= 3; ++device) {
    PutAlarm(device);
    Tick();
  }
  ASSERT_EQ(SpoolFiles().size(), 3u);
  // Offline, nothing goes out.
  Tick();
  EXPECT_TRUE(link_.posts.empty());
  link_.online = true;
  for (int device = 1; device <= 3; ++device) {
    Tick();
    auto posts = link_.posts;
    ASSERT_EQ(posts.size(), 1u) << "device " << device;
    EXPECT_EQ(+ParseEvent(posts[0].payload).objectNumber, 10000 + device);
    EXPECT_EQ(state_.LastSpoolPath(), dir_.File(SpoolFiles()[0]));
    // Unconfirmed, the next tick sends nothing.
    link_.posts.clear();
    Tick();
    EXPECT_TRUE(link_.posts.empty());
    Confirm();
    EXPECT_EQ(SpoolFiles().size(), static_cast<size_t>(3 - device));
  }
  Tick();
  EXPECT_TRUE(link_.posts.empty());
}

TEST_F(EventConversionTest, AnUnconfirmedFileIsResentStrictlyAfterThreeSeconds) {
  SpoolOneAndResend();
  ASSERT_EQ(link_.posts.size(), 1u);
  const double firstPost = state_.SpoolResendTime();
  Tick(3000);
  EXPECT_EQ(link_.posts.size(), 1u);
  Tick(1);
  EXPECT_EQ(link_.posts.size(), 2u);
  EXPECT_GT(state_.SpoolResendTime(), firstPost);
  EXPECT_EQ(SpoolFiles().size(), 1u);
}

TEST_F(EventConversionTest, AConfirmationDeletesTheFileOnlyOnceItsPacketWasWritten) {
  SpoolOneAndResend();
  // A confirmation of another event, while the re-sent packet still waits in the ring.
  conversion_.OnSpoolAck();
  EXPECT_EQ(SpoolFiles().size(), 1u);
  Confirm();
  EXPECT_TRUE(SpoolFiles().empty());
  EXPECT_EQ(state_.SpoolResendTime(), ToOleDate(clock_.LocalNow()) - kOneDay);
}

TEST_F(EventConversionTest, ARefusedResendIsNotTakenAsInFlight) {
  link_.online = false;
  PutAlarm(1);
  Tick();
  link_.online = true;
  link_.room = 0;
  Tick();
  EXPECT_TRUE(state_.LastSpoolPath().empty());
  Confirm();
  EXPECT_EQ(SpoolFiles().size(), 1u);
  // With room again it goes at the next tick, without waiting three seconds.
  link_.room = -1;
  Tick();
  EXPECT_EQ(link_.posts.size(), 1u);
}

TEST_F(EventConversionTest, AConfirmationAfterAReconnectionDeletesNothing) {
  SpoolOneAndResend();
  link_.WriteAll();
  // The session reconnects: it moves the re-send time back a day.
  state_.SetSpoolResendTime(ToOleDate(clock_.LocalNow()) - kOneDay);
  conversion_.OnSpoolAck();
  EXPECT_EQ(SpoolFiles().size(), 1u);
  // The file goes out again at once and its own confirmation deletes it.
  Tick();
  EXPECT_EQ(link_.posts.size(), 2u);
  Confirm();
  EXPECT_TRUE(SpoolFiles().empty());
}

TEST_F(EventConversionTest, AConfirmationForAFileAlreadyGoneChangesNothing) {
  SpoolOneAndResend();
  std::filesystem::remove(dir_.File(SpoolFiles()[0]));
  const double resend = state_.SpoolResendTime();
  Confirm();
  EXPECT_EQ(state_.SpoolResendTime(), resend);
}

TEST_F(EventConversionTest, AnUnreadableSpoolFileIsReportedAndTheQueueStillDrains) {
  link_.online = false;
  PutAlarm(1);
  Tick();
  const std::string name = SpoolFiles()[0];
  std::filesystem::remove(dir_.File(name));
  std::filesystem::create_directory(dir_.File(name));
  link_.online = true;
  PutAlarm(2);
  Tick();
  ASSERT_EQ(window_.errors.size(), 1u);
  EXPECT_NE(window_.errors[0].find(name), std::string::npos) << window_.errors[0];
  ASSERT_EQ(link_.posts.size(), 1u);
  EXPECT_EQ(+ParseEvent(link_.posts[0].payload).objectNumber, 10002);
}

TEST_F(EventConversionTest, ATickDrainsAFullQueueInOrder) {
  // Ten thousand new transmitters, each reporting one zone.
  for (int i = 0; i < IncomingQueue::kSlots; ++i)
    Put(Message({.device = i % 4096,
                 .type = 2,
                 .subaddress = static_cast<uint8_t>(i / 4096),
                 .zones = Zones({1})}));
  const stru_arb extra = Message({.device = 1, .type = 2, .zones = Zones({9})});
  EXPECT_FALSE(conversion_.PutMessage(kSourceTcpService, extra.data(), 23));
  conversion_.Timer1Timer();
  const auto posts = link_.posts;
  ASSERT_EQ(posts.size(), static_cast<size_t>(IncomingQueue::kSlots));
  for (int i = 0; i < IncomingQueue::kSlots; ++i) {
    const EventRecord record = ParseEvent(posts[static_cast<size_t>(i)].payload);
    ASSERT_EQ(+record.objectNumber, 10000 + i % 4096) << i;
    ASSERT_EQ(record.subaddress, i / 4096) << i;
  }
  EXPECT_EQ(conversion_.Zones().Records(), static_cast<size_t>(IncomingQueue::kSlots));
  EXPECT_EQ(ReadBytes(dir_.File("sost.mem")), conversion_.Zones().Image());
  EXPECT_TRUE(conversion_.PutMessage(kSourceTcpService, extra.data(), 23));
}

// What the conversion counts for the metrics: payloads posted as they were
// made, spool files written and re-sent, payloads whose spool file failed;
// and after each tick the queue's depth, the spool files and the zone records.
TEST_F(EventConversionTest, MetricsFollowPostingSpoolingAndTheQueue) {
  const auto expect = [&](uint64_t events, uint64_t measurements, uint64_t written, uint64_t resent,
                          uint64_t failed, int64_t spoolFiles) {
    EXPECT_EQ(metrics_.eventsPosted.load(), events);
    EXPECT_EQ(metrics_.measurementsPosted.load(), measurements);
    EXPECT_EQ(metrics_.spoolWritten.load(), written);
    EXPECT_EQ(metrics_.spoolResent.load(), resent);
    EXPECT_EQ(metrics_.spoolWriteFailures.load(), failed);
    EXPECT_EQ(metrics_.spoolFiles.load(), spoolFiles);
  };
  PutAlarm(37);
  Put(Message({.device = 37, .type = 4, .zones = {0x0B, 0xC8, 0x11, 0, 0, 0, 0x20, 0}}));
  EXPECT_EQ(metrics_.incomingQueueMessages.load(), 2);
  Tick();
  EXPECT_EQ(metrics_.incomingQueueMessages.load(), 0);
  EXPECT_EQ(metrics_.zoneRecords.load(), 1);
  expect(1, 1, 0, 0, 0, 0);

  {
    SCOPED_TRACE("offline: spooled");
    link_.online = false;
    PutAlarm(1);
    PutAlarm(2);
    Tick();
    expect(1, 1, 2, 0, 0, 2);
    EXPECT_EQ(metrics_.zoneRecords.load(), 3);
  }
  {
    SCOPED_TRACE("a spool file that cannot be written");
    conversion_.Spool().beforeRename = [](const std::string& path) {
      std::filesystem::remove(path);
    };
    PutAlarm(3);
    Tick();
    expect(1, 1, 2, 0, 1, 2);
    conversion_.Spool().beforeRename = nullptr;
  }
  {
    SCOPED_TRACE("online again: re-sent one at a time");
    link_.online = true;
    Tick();
    expect(1, 1, 2, 1, 1, 2);
    Confirm();
    Tick();
    expect(1, 1, 2, 2, 1, 1);
    Confirm();
    Tick();
    expect(1, 1, 2, 2, 1, 0);
  }
}

TEST_F(EventConversionTest, AnEmptyTickShowsTheElapsedTimeOnly) {
  conversion_.SetLastActivity(ToOleDate({2024, 5, 3, 13, 3, 6, 250}));
  Tick(0);
  Tick(24 * 3600 * 1000);
  EXPECT_EQ(window_.elapsed, (std::vector<std::string>{"1:02:03", "1:02:03"}));
  EXPECT_TRUE(link_.posts.empty());
  EXPECT_TRUE(window_.errors.empty());
}

TEST(ElapsedText, FormatsHoursMinutesAndSeconds) {
  const double start = ToOleDate({2024, 5, 3, 12, 0, 0, 0});
  const struct {
    double to;
    const char* text;
  } cases[] = {
      {start, "0:00:00"},
      {ToOleDate({2024, 5, 3, 12, 0, 59, 999}), "0:00:59"},
      {ToOleDate({2024, 5, 3, 23, 59, 59, 0}), "11:59:59"},
      {ToOleDate({2024, 5, 4, 12, 0, 5, 0}), "0:00:05"},
      {ToOleDate({2024, 5, 3, 11, 0, 0, 0}), "0:00:00"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ElapsedText(start, c.to), c.text) << c.text;
}

}  // namespace
}  // namespace tessar
