#include "conversion/zone_memory.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "common/ole_date.h"
#include "conversion/zone_state_file.h"
#include "conversion_support.h"
#include "test_support.h"

namespace tessar {
namespace {

using testing::ReadBytes;
using testing::WriteBytes;
using testing::Zones;

constexpr double kMinute = 1.0 / 1440;
constexpr double kSecond = kMinute / 60;
const double kStart = ToOleDate({2024, 5, 3, 14, 5, 9, 250});

std::vector<ZoneEvent> Alarms(std::initializer_list<int> zones,
                              std::string_view code = kCodeAlarm) {
  std::vector<ZoneEvent> events;
  for (const int zone : zones)
    events.push_back({code, static_cast<uint16_t>(zone)});
  return events;
}

TEST(ZoneSet, CountsZonesFromTheLastMatrixByte) {
  const ZoneMatrix matrix = {0x80, 0, 0, 0, 0, 0, 0x02, 0x01};
  for (int zone = 1; zone <= 64; ++zone)
    EXPECT_EQ(ZoneSet(matrix, zone), zone == 1 || zone == 10 || zone == 64) << "zone " << zone;
}

// The repeat-window story of one transmitter, step by step.
TEST(ZoneStateMemory, ChangesAndTheirRepeatsWithinOneMinute) {
  struct Step {
    const char* name;
    double at;
    ZoneMatrix report;
    std::vector<ZoneEvent> events;
    bool written;
  };
  const double change = kStart + 3 * kMinute;
  const std::vector<Step> steps = {
      {"new transmitter, zones 1 and 10", kStart, Zones({1, 10}), Alarms({1, 10}), true},
      {"the same 10 s later repeats both", kStart + 10 * kSecond, Zones({1, 10}), Alarms({1, 10}),
       false},
      {"59.999 s after the change still repeats", kStart + 59.999 * kSecond, Zones({1, 10}),
       Alarms({1, 10}), false},
      {"exactly one minute after the change: nothing", kStart + kMinute, Zones({1, 10}), {}, false},
      {"two minutes after: nothing", kStart + 2 * kMinute, Zones({1, 10}), {}, false},
      {"zone 1 clears", change, Zones({10}), Alarms({1}, kCodeRestore), true},
      {"repeat within the minute restores zone 1 only", change + 30 * kSecond, Zones({10}),
       Alarms({1}, kCodeRestore), false},
      {"zone 2 set within the window: change and repeat interleaved",
       change + 40 * kSecond,
       Zones({2, 10}),
       {{kCodeRestore, 1}, {kCodeAlarm, 2}},
       true},
      {"the newest change has its own window", change + 50 * kSecond, Zones({2, 10}), Alarms({2}),
       false},
      {"after its minute: nothing", change + 100 * kSecond, Zones({2, 10}), {}, false},
  };
  ZoneStateMemory memory;
  for (const Step& step : steps) {
    const ZoneComparison result = memory.CompareZoneStates(37, 4, step.report, step.at);
    EXPECT_EQ(result.events, step.events) << step.name;
    EXPECT_EQ(result.write.has_value(), step.written) << step.name;
    if (result.write) {
      EXPECT_EQ(result.write->offset, 0u) << step.name;
    }
  }
  ASSERT_EQ(memory.Records(), 1u);
  const ZoneStateRecord record = *memory.Find(37, 4);
  EXPECT_EQ(record.current, Zones({2, 10}));
  EXPECT_EQ(record.previous, Zones({10}));
  EXPECT_EQ(+record.changedAt, change + 40 * kSecond);
}

TEST(ZoneStateMemory, AChangeRecordsPreviousCurrentAndTime) {
  ZoneStateMemory memory;
  memory.CompareZoneStates(37, 0, Zones({1, 10}), kStart);
  const double later = kStart + 2 * kMinute;
  const ZoneComparison result = memory.CompareZoneStates(37, 0, Zones({10}), later);
  ASSERT_TRUE(result.write);
  ZoneStateRecord written;
  std::memcpy(&written, result.write->bytes.data(), sizeof written);
  EXPECT_EQ(+written.key, 37);
  EXPECT_EQ(written.previous, Zones({1, 10}));
  EXPECT_EQ(written.current, Zones({10}));
  EXPECT_EQ(+written.changedAt, later);
  EXPECT_EQ(Bytes(memory.Image().begin(), memory.Image().end()),
            Bytes(result.write->bytes.begin(), result.write->bytes.end()));
}

TEST(ZoneStateMemory, EachKeyAndSubaddressHasARecordOfItsOwn) {
  ZoneStateMemory memory;
  // Device 5 on subaddresses 0 and 1, and as a type-0 device (key 9005).
  const struct {
    int32_t key;
    uint8_t subaddress;
    uint64_t offset;
  } records[] = {{5, 0, 0}, {5, 1, 29}, {9005, 0, 58}};
  for (const auto& r : records) {
    const ZoneComparison result = memory.CompareZoneStates(r.key, r.subaddress, Zones({3}), kStart);
    EXPECT_EQ(result.events, Alarms({3})) << r.key << "/" << int(r.subaddress);
    ASSERT_TRUE(result.write);
    EXPECT_EQ(result.write->offset, r.offset);
  }
  EXPECT_EQ(memory.Records(), 3u);
  EXPECT_TRUE(memory.CompareZoneStates(5, 1, Zones({3}), kStart + kMinute).events.empty());
}

TEST(ZoneStateMemory, OnlyTheFirstOfTwoRecordsWithOnePairIsUsed) {
  ZoneStateRecord first{.key = 8, .subaddress = 2, .changedAt = kStart, .current = Zones({1})};
  ZoneStateRecord second{.key = 8, .subaddress = 2, .changedAt = kStart, .current = Zones({2})};
  Bytes file(2 * kZoneRecordSize);
  std::memcpy(file.data(), &first, kZoneRecordSize);
  std::memcpy(file.data() + kZoneRecordSize, &second, kZoneRecordSize);
  ZoneStateMemory memory;
  memory.Load(file);
  const ZoneComparison result = memory.CompareZoneStates(8, 2, Zones({2}), kStart + kMinute);
  EXPECT_EQ(result.events, (std::vector<ZoneEvent>{{kCodeRestore, 1}, {kCodeAlarm, 2}}));
  ASSERT_TRUE(result.write);
  EXPECT_EQ(result.write->offset, 0u);
}

TEST(ZoneStateMemory, APartialLastRecordIsNeverSearchedAndIsReplacedByTheNextNewOne) {
  ZoneStateRecord kept{.key = 1, .subaddress = 0, .changedAt = kStart, .current = Zones({4})};
  // A whole record, then 20 bytes that begin like a record of key 2.
  Bytes file(kZoneRecordSize + 20, 0);
  std::memcpy(file.data(), &kept, kZoneRecordSize);
  file[kZoneRecordSize] = 2;
  ZoneStateMemory memory;
  memory.Load(file);
  EXPECT_EQ(memory.Records(), 1u);
  EXPECT_FALSE(memory.Find(2, 0));
  const ZoneComparison result = memory.CompareZoneStates(2, 0, Zones({1}), kStart);
  ASSERT_TRUE(result.write);
  EXPECT_EQ(result.write->offset, kZoneRecordSize);
  EXPECT_EQ(memory.Image().size(), 2 * kZoneRecordSize);
}

TEST(ZoneStateMemory, ADateThatIsNoDateOpensNoRepeatWindow) {
  ZoneStateRecord broken{.key = 1,
                         .subaddress = 0,
                         .changedAt = std::nan(""),
                         .current = Zones({1}),
                         .previous = Zones({2})};
  Bytes file(kZoneRecordSize);
  std::memcpy(file.data(), &broken, kZoneRecordSize);
  ZoneStateMemory memory;
  memory.Load(file);
  EXPECT_TRUE(memory.CompareZoneStates(1, 0, Zones({1}), kStart).events.empty());
}

class ZoneStateFileTest : public ::testing::Test {
 protected:
  tessar::testing::TempDir dir_;
  std::string path_ = dir_.File("sost.mem");
  platform::ManualClock clock_;
  std::vector<std::string> reports_;
  FailureReport report_{clock_, [this](const std::string& line) { reports_.push_back(line); }};
};

TEST_F(ZoneStateFileTest, AMissingFileIsCreatedEmptyAndRecordsGoToTheirOffsets) {
  ZoneStateMemory memory;
  ZoneStateFile file(report_);
  file.Open(path_, memory);
  EXPECT_TRUE(ReadBytes(path_).empty());
  for (int32_t key : {1, 2, 3}) {
    const ZoneComparison result = memory.CompareZoneStates(key, 0, Zones({1}), kStart);
    file.Write(*result.write);
  }
  file.Write(*memory.CompareZoneStates(2, 0, Zones({}), kStart + kMinute).write);
  EXPECT_EQ(ReadBytes(path_), memory.Image());
  EXPECT_TRUE(reports_.empty());
}

TEST_F(ZoneStateFileTest, StatesSurviveARestart) {
  const double change = kStart + 5 * kMinute;
  {
    ZoneStateMemory memory;
    ZoneStateFile file(report_);
    file.Open(path_, memory);
    file.Write(*memory.CompareZoneStates(7, 1, Zones({1}), kStart).write);
    file.Write(*memory.CompareZoneStates(8, 1, Zones({1}), kStart).write);
    file.Write(*memory.CompareZoneStates(8, 1, Zones({2}), change).write);
  }
  ZoneStateMemory memory;
  ZoneStateFile file(report_);
  file.Open(path_, memory);
  EXPECT_EQ(memory.Records(), 2u);
  // More than a minute after its last change: an unchanged report is quiet.
  EXPECT_TRUE(memory.CompareZoneStates(7, 1, Zones({1}), change + 10 * kSecond).events.empty());
  // The window of a change made just before the restart still runs.
  EXPECT_EQ(memory.CompareZoneStates(8, 1, Zones({2}), change + 10 * kSecond).events,
            (std::vector<ZoneEvent>{{kCodeRestore, 1}, {kCodeAlarm, 2}}));
}

TEST_F(ZoneStateFileTest, AnUnchangedReportWritesNothing) {
  {
    ZoneStateMemory memory;
    ZoneStateFile file(report_);
    file.Open(path_, memory);
    file.Write(*memory.CompareZoneStates(7, 1, Zones({1}), kStart).write);
  }
  ZoneStateMemory memory;
  ZoneStateFile file(report_);
  file.Open(path_, memory);
  // Another program changes the file; an unchanged report must not undo that.
  Bytes changed = ReadBytes(path_);
  changed[20] ^= 0xFF;
  WriteBytes(path_, changed);
  const ZoneComparison result = memory.CompareZoneStates(7, 1, Zones({1}), kStart + 10 * kSecond);
  EXPECT_EQ(result.events, Alarms({1}));
  EXPECT_FALSE(result.write);
  EXPECT_EQ(ReadBytes(path_), changed);
}

TEST_F(ZoneStateFileTest, AFileThatCannotBeOpenedIsAnError) {
  ZoneStateMemory memory;
  ZoneStateFile file(report_);
  EXPECT_THROW(file.Open(dir_.File("missing/sost.mem"), memory), std::runtime_error);
}

}  // namespace
}  // namespace tessar
