#include "conversion/spool_directory.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <thread>

#include "conversion_support.h"
#include "test_support.h"

namespace tessar {
namespace {

using testing::FilesEndingWith;
using testing::ReadBytes;
using testing::SetModified;
using testing::WriteBytes;

const platform::LocalTime kDay3{2024, 5, 3, 14, 5, 9, 250};

CodedPayload Event(uint8_t marker) {
  EventRecord record;
  record.recordTag = kEventRecordTag;
  record.zone = marker;
  return {CMD_EVENT, EventPayload(record)};
}

TEST(SpoolName, IsTheTimeInTheMonthInMillisecondsInHexadecimal) {
  const struct {
    platform::LocalTime time;
    const char* name;
  } cases[] = {
      {{2024, 5, 1, 0, 0, 0, 0}, "5265C00"},
      {{2024, 5, 3, 14, 5, 9, 250}, "1278D702"},
      {{2024, 5, 31, 23, 59, 59, 999}, "A4CB7FFF"},
      // From day 25 on the value is above 2^31 - 1 and still written unsigned.
      {{2024, 5, 25, 0, 0, 0, 0}, "80BEFC00"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(SpoolName(c.time), c.name) << c.name;
}

TEST(SpoolFileContent, IsTheCodeThenThePayload) {
  const CodedPayload event = Event(3);
  const Bytes content = SpoolFileContent(event);
  ASSERT_EQ(content.size(), 31u);
  EXPECT_EQ(Bytes(content.begin(), content.begin() + 4), (Bytes{0x17, 0x00, 0x00, 0x03}));
  EXPECT_EQ(ParseSpoolFile(content), event);
  EXPECT_TRUE(IsWholeDriverSpoolFile(content));
  const Bytes measurement = SpoolFileContent({CMD_MEASUREMENT, Bytes(23, 0)});
  ASSERT_EQ(measurement.size(), 27u);
  EXPECT_EQ(Bytes(measurement.begin(), measurement.begin() + 4), (Bytes{0x11, 0x00, 0x00, 0x03}));
  EXPECT_TRUE(IsWholeDriverSpoolFile(measurement));
  EXPECT_FALSE(ParseSpoolFile({1, 2, 3}));
  EXPECT_EQ(ParseSpoolFile({1, 2, 3, 4}), (CodedPayload{0x04030201, {}}));
  EXPECT_FALSE(IsWholeDriverSpoolFile(Bytes(content.begin(), content.end() - 1)));
}

class SpoolDirectoryTest : public ::testing::Test {
 protected:
  std::string Prefix() const { return dir_.Path() + "/"; }
  std::unique_ptr<SpoolDirectory> Make(const std::string& prefix) {
    auto spool = std::make_unique<SpoolDirectory>(prefix, clock_, report_);
    spool->Open();
    return spool;
  }

  tessar::testing::TempDir dir_;
  platform::ManualClock clock_;
  std::vector<std::string> reports_;
  FailureReport report_{clock_, [this](const std::string& line) { reports_.push_back(line); }};
};

TEST_F(SpoolDirectoryTest, PayloadsSpooledAtOneClockReadingGetNamesOfTheirOwn) {
  auto spool = Make(Prefix());
  // A file of the same day and time of another month, put there after the start.
  WriteBytes(dir_.File("1278D702_0001.dd8"), SpoolFileContent(Event(99)));
  for (uint8_t marker = 1; marker <= 3; ++marker)
    ASSERT_TRUE(spool->Spool(Event(marker), kDay3));
  EXPECT_EQ(FilesEndingWith(dir_.Path(), ".dd8"),
            (std::vector<std::string>{"1278D702.dd8", "1278D702_0001.dd8", "1278D702_0002.dd8",
                                      "1278D702_0003.dd8"}));
  EXPECT_EQ(ReadBytes(dir_.File("1278D702_0001.dd8")), SpoolFileContent(Event(99)));
  EXPECT_EQ(ReadBytes(dir_.File("1278D702_0002.dd8")), SpoolFileContent(Event(2)));
  EXPECT_TRUE(FilesEndingWith(dir_.Path(), ".tmp").empty());
  // Spooled in this order, and so re-sent in it.
  const auto names = spool->Names();
  EXPECT_EQ(names,
            (std::vector<std::string>{"1278D702.dd8", "1278D702_0002.dd8", "1278D702_0003.dd8"}));
}

TEST_F(SpoolDirectoryTest, ThePrefixMayEndInTheStartOfAName) {
  auto spool = Make(dir_.File("ev_"));
  ASSERT_TRUE(spool->Spool(Event(1), {2024, 5, 1, 0, 0, 0, 0}));
  EXPECT_EQ(FilesEndingWith(dir_.Path(), ".dd8"), std::vector<std::string>{"ev_5265C00.dd8"});
  WriteBytes(dir_.File("other.dd8"), SpoolFileContent(Event(2)));
  EXPECT_EQ(Make(dir_.File("ev_"))->Names(), std::vector<std::string>{"ev_5265C00.dd8"});
}

TEST_F(SpoolDirectoryTest, OldestFirstByModificationTimeThenName) {
  const struct {
    const char* name;
    int64_t modified;
  } files[] = {
      {"1278D702.dd8", 2000}, {"A4CB7FFF.dd8", 1000}, {"5265C00.dd8", 1000}, {"9.dd8", 3000}};
  for (const auto& f : files) {
    WriteBytes(dir_.File(f.name), SpoolFileContent(Event(1)));
    SetModified(dir_.File(f.name), f.modified);
  }
  WriteBytes(dir_.File("notes.txt"), {1, 2, 3, 4});
  auto spool = Make(Prefix());
  EXPECT_EQ(spool->Names(),
            (std::vector<std::string>{"5265C00.dd8", "A4CB7FFF.dd8", "1278D702.dd8", "9.dd8"}));
  const auto oldest = spool->Oldest();
  ASSERT_TRUE(oldest);
  EXPECT_EQ(oldest->path, dir_.File("5265C00.dd8"));
  EXPECT_EQ(oldest->item, Event(1));
}

TEST_F(SpoolDirectoryTest, FilesThatCannotBeResentDoNotStopTheOthers) {
  auto spool = Make(Prefix());
  ASSERT_TRUE(spool->Spool(Event(1), {2024, 5, 1, 0, 0, 0, 1}));
  ASSERT_TRUE(spool->Spool(Event(2), {2024, 5, 1, 0, 0, 0, 2}));
  ASSERT_TRUE(spool->Spool(Event(3), {2024, 5, 1, 0, 0, 0, 3}));
  const auto names = spool->Names();
  // The first is cut short, the second is gone.
  WriteBytes(dir_.File(names[0]), {0x17, 0x00, 0x00});
  std::filesystem::remove(dir_.File(names[1]));
  const auto oldest = spool->Oldest();
  ASSERT_TRUE(oldest);
  EXPECT_EQ(oldest->item, Event(3));
  EXPECT_EQ(spool->Names(), std::vector<std::string>{names[2]});
  EXPECT_EQ(FilesEndingWith(dir_.Path(), ".bad"), std::vector<std::string>{names[0] + ".bad"});
  EXPECT_EQ(ReadBytes(dir_.File(names[0] + ".bad")), (Bytes{0x17, 0x00, 0x00}));
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_NE(reports_[0].find("set aside"), std::string::npos) << reports_[0];
}

TEST_F(SpoolDirectoryTest, AnUnreadableFileIsReportedAndWaitsBehindTheOthers) {
  auto spool = Make(Prefix());
  ASSERT_TRUE(spool->Spool(Event(1), {2024, 5, 1, 0, 0, 0, 1}));
  ASSERT_TRUE(spool->Spool(Event(2), {2024, 5, 1, 0, 0, 0, 2}));
  const auto names = spool->Names();
  // A directory under the name: it lists, but cannot be read as a file.
  std::filesystem::remove(dir_.File(names[0]));
  std::filesystem::create_directory(dir_.File(names[0]));
  EXPECT_THROW(spool->Oldest(), std::runtime_error);
  auto next = spool->Oldest();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->item, Event(2));
  std::filesystem::remove(dir_.File(names[1]));
  // Held back for a while, then tried again.
  EXPECT_FALSE(spool->Oldest());
  clock_.Advance(SpoolDirectory::kUnreadableHoldMs);
  std::filesystem::remove(dir_.File(names[0]));
  WriteBytes(dir_.File(names[0]), SpoolFileContent(Event(1)));
  next = spool->Oldest();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->item, Event(1));
}

TEST_F(SpoolDirectoryTest, AFailedWriteIsReportedOnceAMinuteWithTheCountLost) {
  auto spool = Make(dir_.File("missing/"));
  for (int i = 0; i < 3; ++i)
    EXPECT_FALSE(spool->Spool(Event(1), kDay3));
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_NE(reports_[0].find(dir_.File("missing/1278D702.dd8")), std::string::npos) << reports_[0];
  EXPECT_NE(reports_[0].find("No such file or directory"), std::string::npos) << reports_[0];
  clock_.Advance(FailureReport::kIntervalMs);
  EXPECT_FALSE(spool->Spool(Event(1), kDay3));
  ASSERT_EQ(reports_.size(), 2u);
  EXPECT_NE(reports_[1].find("2 more"), std::string::npos) << reports_[1];
  EXPECT_TRUE(spool->Empty());
}

TEST_F(SpoolDirectoryTest, FilesPutThereByOtherMeansAreFoundByTheOccasionalScan) {
  auto spool = Make(Prefix());
  WriteBytes(dir_.File("5265C00.dd8"), SpoolFileContent(Event(1)));
  spool->ContinueScan();
  EXPECT_TRUE(spool->Empty());
  clock_.Advance(SpoolDirectory::kRescanIntervalMs);
  spool->ContinueScan();
  EXPECT_EQ(spool->Names(), std::vector<std::string>{"5265C00.dd8"});
}

TEST_F(SpoolDirectoryTest, AFailureBetweenWriteAndRenameLeavesNoSpoolFile) {
  auto spool = Make(Prefix());
  spool->beforeRename = [](const std::string&) { throw std::runtime_error("power lost"); };
  EXPECT_THROW(spool->Spool(Event(7), kDay3), std::runtime_error);
  EXPECT_TRUE(FilesEndingWith(dir_.Path(), ".dd8").empty());
  EXPECT_EQ(FilesEndingWith(dir_.Path(), ".tmp"), std::vector<std::string>{"1278D702.dd8.tmp"});
  // The next start completes the whole leftover and sets a broken one aside.
  WriteBytes(dir_.File("5265C00.dd8.tmp"), {0x17, 0x00, 0x00, 0x03, 0x17});
  spool = Make(Prefix());
  EXPECT_EQ(spool->Names(), std::vector<std::string>{"1278D702.dd8"});
  EXPECT_EQ(ReadBytes(dir_.File("1278D702.dd8")), SpoolFileContent(Event(7)));
  EXPECT_TRUE(FilesEndingWith(dir_.Path(), ".tmp").empty());
  EXPECT_EQ(FilesEndingWith(dir_.Path(), ".bad"), std::vector<std::string>{"5265C00.dd8.tmp.bad"});
}

TEST_F(SpoolDirectoryTest, AProcessKilledWhileSpoolingNeverLeavesAHalfFile) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child spools without end until it is killed.
    platform::ManualClock clock;
    FailureReport report(clock, [](const std::string&) {});
    SpoolDirectory spool(Prefix(), clock, report);
    spool.Open();
    for (int marker = 0;; ++marker) {
      spool.Spool(Event(static_cast<uint8_t>(marker)), clock.LocalNow());
      clock.Advance(1);
    }
  }
  // Let it write a few dozen files, then kill it wherever it is.
  for (int i = 0; i < 2000 && FilesEndingWith(dir_.Path(), ".dd8").size() < 40; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  const auto whole = [this] {
    for (const std::string& name : FilesEndingWith(dir_.Path(), ".dd8")) {
      if (!IsWholeDriverSpoolFile(ReadBytes(dir_.File(name))))
        return false;
    }
    return true;
  };
  EXPECT_FALSE(FilesEndingWith(dir_.Path(), ".dd8").empty());
  EXPECT_TRUE(whole());
  auto spool = Make(Prefix());
  EXPECT_TRUE(whole());
  EXPECT_TRUE(FilesEndingWith(dir_.Path(), ".tmp").empty());
  EXPECT_EQ(spool->Count(), FilesEndingWith(dir_.Path(), ".dd8").size());
}

}  // namespace
}  // namespace tessar
