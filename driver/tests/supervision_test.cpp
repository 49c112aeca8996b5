// The supervision tick against a fake receiver and a recording window.
#include "frame/supervision.h"

#include <gtest/gtest.h>

#include "common/ole_date.h"
#include "fake_receiver.h"

namespace tessar {
namespace {

using testing::FakeReceiver;

struct RecordingWindow : FrameWindow {
  void ShowCounters(int32_t m, int32_t d) override {
    messages = m;
    duplicates = d;
  }
  void DrawStationIndicator(const IndicatorPixels& p) override { station.push_back(p); }
  void DrawServerIndicator(const IndicatorPixels& p) override { server.push_back(p); }
  void ReportError(const std::string& text) override { errors.push_back(text); }
  int32_t messages = -1;
  int32_t duplicates = -1;
  std::vector<IndicatorPixels> station;
  std::vector<IndicatorPixels> server;
  std::vector<std::string> errors;
};

struct Posted {
  int32_t code;
  Bytes payload;
};

SYSTEMTIME Receiver(const platform::LocalTime& t) {
  return Supervision::TimeRecordOf(t);
}

class SupervisionTest : public ::testing::Test {
 protected:
  SupervisionTest()
      : clock_(0, {2026, 12, 10, 9, 30, 15, 0}),
        supervision_(receiver_, state_, window_, clock_,
                     {[this](int32_t code, const Bytes& payload) {
                        posted_.push_back({code, payload});
                      },
                      [this] { return queued_.size() < queueRoom_; },
                      [this](const uint8_t* bytes, size_t count) {
                        queued_.emplace_back(bytes, bytes + count);
                      }}) {
    state_.SetPortText("12");
    receiver_.clock = Receiver(clock_.LocalNow());
  }

  void Tick() { supervision_.Timer3Timer(FakeReceiver::Handle(), 4, 2); }

  FakeReceiver receiver_;
  DriverState state_;
  RecordingWindow window_;
  platform::ManualClock clock_;
  std::vector<Posted> posted_;
  std::vector<Bytes> queued_;
  size_t queueRoom_ = 100;
  Supervision supervision_;
};

TEST_F(SupervisionTest, LinkChangesArePostedOnceEach) {
  Tick();
  EXPECT_TRUE(posted_.empty()) << "down at start, down now: nothing to report";
  EXPECT_TRUE(window_.station.empty()) << "the indicator stays blank";
  EXPECT_EQ(window_.messages, 4);
  EXPECT_EQ(window_.duplicates, 2);

  receiver_.activity = 1;
  Tick();
  ASSERT_EQ(posted_.size(), 1u);
  EXPECT_EQ(posted_[0].code, CMD_PORT_STATE);
  EXPECT_EQ(posted_[0].payload, (Bytes{0x05, 'C', 'O', 'M', '1', '2', 0x00, 0x01}));
  EXPECT_EQ(state_.ReceiverLinkState(), 1);
  // Drawn for the change and again for the step of the bar.
  ASSERT_EQ(window_.station.size(), 2u);
  EXPECT_EQ(window_.station.back(), DrawIndicator(true, 1));
  Tick();
  EXPECT_EQ(posted_.size(), 1u);

  receiver_.activity = 0;
  clock_.Advance(5000);
  Tick();
  ASSERT_EQ(posted_.size(), 2u);
  EXPECT_EQ(posted_[1].payload.back(), 0x00);
  EXPECT_EQ(window_.station.back(), DrawIndicator(false, 2));
  EXPECT_EQ(supervision_.LastActivityTime().second, 15) << "stops moving while down";
}

TEST_F(SupervisionTest, ActiveTicksAdvanceTheFrameAndTheActivityTime) {
  receiver_.activity = 1;
  for (int tick = 0; tick < 17; ++tick) {
    clock_.Advance(500);
    receiver_.clock = Receiver(clock_.LocalNow());
    Tick();
  }
  EXPECT_EQ(supervision_.StationFrame(), 0) << "after 17 active ticks";
  EXPECT_EQ(supervision_.LastActivityTime().second, clock_.LocalNow().second);
}

TEST_F(SupervisionTest, TheClockIsSetWhenMoreThanTwoSecondsOff) {
  receiver_.activity = 1;
  struct Case {
    int offSeconds;
    bool set;
  } cases[] = {{0, false}, {2, false}, {-2, false}, {3, true}, {-3, true}, {3600, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offSeconds);
    receiver_.setTimes.clear();
    const double now = ToOleDate(clock_.LocalNow());
    const platform::LocalTime off = *FromOleDate(now + c.offSeconds / 86400.0 + 1e-9);
    receiver_.clock = Receiver(off);
    Tick();
    ASSERT_EQ(receiver_.setTimes.size(), c.set ? 1u : 0u);
    if (c.set) {
      const SYSTEMTIME& t = receiver_.setTimes[0];
      EXPECT_EQ(t.wYear, 2026);
      EXPECT_EQ(t.wHour, 9);
      EXPECT_EQ(t.wMinute, 30);
      EXPECT_EQ(t.wSecond, 15);
      EXPECT_EQ(t.wDayOfWeek, 4) << "Thursday";
    }
  }
}

TEST_F(SupervisionTest, AClockThatIsNoDateIsLeftAloneAndMessagesStillCome) {
  receiver_.activity = 1;
  receiver_.clock.wMonth = 0;
  receiver_.messages.push_back(Bytes(13, 0x42));
  Tick();
  EXPECT_TRUE(receiver_.setTimes.empty());
  EXPECT_EQ(queued_.size(), 1u);
}

TEST_F(SupervisionTest, OneMessagePerTickAndNoneWhileTheQueueIsFull) {
  receiver_.activity = 1;
  for (int i = 0; i < 5; ++i)
    receiver_.messages.push_back(Bytes(13, static_cast<uint8_t>(i)));
  queueRoom_ = 2;
  for (int tick = 0; tick < 4; ++tick)
    Tick();
  ASSERT_EQ(queued_.size(), 2u);
  EXPECT_EQ(receiver_.messages.size(), 3u) << "the rest stay in the receiver";
  // A 13-byte record is queued as 23 bytes, the rest zero.
  EXPECT_EQ(queued_[1],
            (Bytes{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  queueRoom_ = 100;
  for (int tick = 0; tick < 5; ++tick)
    Tick();
  EXPECT_EQ(queued_.size(), 5u);
}

TEST_F(SupervisionTest, ANullSessionHasNoActivity) {
  receiver_.activity = 1;
  supervision_.Timer3Timer(nullptr, 0, 0);
  EXPECT_TRUE(posted_.empty());
  EXPECT_TRUE(window_.station.empty());
}

}  // namespace
}  // namespace tessar
