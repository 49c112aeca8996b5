#include "log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/debug_output.h"

namespace zntlink {
namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    const auto dir = std::filesystem::temp_directory_path() /
                     ("zntlog_test." + std::to_string(random()) + std::to_string(random()));
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    dir_ = dir.string();
    ResetLogForTesting();
    SetLogDirectoryForTesting(dir_);
    SetNow(MakeSystemTime(2003, 7, 9, 12, 0, 0));
    SetLocalTimeSourceForTesting([this] {
      std::lock_guard lock(nowMutex_);
      return now_;
    });
    SetDebugSinkForTesting([this](const std::string& line) {
      std::lock_guard lock(debugMutex_);
      debugLines_.push_back(line);
    });
  }

  void TearDown() override {
    SetDebugSinkForTesting({});
    SetLocalTimeSourceForTesting({});
    ResetLogForTesting();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  void SetNow(const SYSTEMTIME& t) {
    std::lock_guard lock(nowMutex_);
    now_ = t;
  }

  std::set<std::string> Files() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
      names.insert(entry.path().filename().string());
    return names;
  }

  std::string Read(const std::string& name) const {
    std::ifstream in(dir_ + "/" + name, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }

  std::vector<std::string> DebugLines() {
    std::lock_guard lock(debugMutex_);
    return debugLines_;
  }

  std::string dir_;
  std::mutex nowMutex_;
  SYSTEMTIME now_{};
  std::mutex debugMutex_;
  std::vector<std::string> debugLines_;
};

TEST_F(LogTest, EntriesAppendToTheirFilesWithThePrefix) {
  SessionLogEntry(3, "2003/07/09 12:00:00 Session is established\r\n Chipware: 1.2\r\n");
  SessionLogEntry(3, "QueryTimeout\r\n");
  MessageLogEntry(3, "Slot1(#3) 2003/07/09 10:30:48 \r\n");
  MessageLogEntry(12, "second\r\n");

  EXPECT_EQ(Files(), (std::set<std::string>{"sy200307.log", "200307_1.log"}));
  EXPECT_EQ(Read("sy200307.log"),
            "COM3> 2003/07/09 12:00:00 Session is established\r\n Chipware: 1.2\r\n"
            "COM3> QueryTimeout\r\n");
  EXPECT_EQ(Read("200307_1.log"), "COM3> Slot1(#3) 2003/07/09 10:30:48 \r\nCOM12> second\r\n");
}

TEST_F(LogTest, ExistingFilesAreAppendedNotTruncated) {
  std::ofstream(dir_ + "/sy200307.log", std::ios::binary) << "earlier\r\n";
  SessionLogEntry(1, "later\r\n");
  EXPECT_EQ(Read("sy200307.log"), "earlier\r\nCOM1> later\r\n");
}

TEST_F(LogTest, FileNamesFollowTheDateOfEachWrite) {
  SetNow(MakeSystemTime(2003, 7, 31, 23, 59, 59, 900));
  SessionLogEntry(3, "a\r\n");
  SetNow(MakeSystemTime(2003, 8, 1, 0, 0, 0, 100));
  SessionLogEntry(3, "b\r\n");
  SetNow(MakeSystemTime(2003, 12, 31, 23, 59, 59, 900));
  SessionLogEntry(3, "c\r\n");
  SetNow(MakeSystemTime(2004, 1, 1, 0, 0, 0, 100));
  SessionLogEntry(3, "d\r\n");

  struct Day {
    int day;
    const char* file;
  };
  const Day days[] = {{1, "200402_1.log"},  {9, "200402_1.log"},  {10, "200402_2.log"},
                      {19, "200402_2.log"}, {20, "200402_3.log"}, {29, "200402_3.log"},
                      {30, "200402_4.log"}, {31, "200402_4.log"}};
  for (const Day& d : days) {
    SetNow(MakeSystemTime(2004, 2, d.day, 12, 0, 0));
    MessageLogEntry(3, (std::to_string(d.day) + "\r\n").c_str());
  }

  EXPECT_EQ(Read("sy200307.log"), "COM3> a\r\n");
  EXPECT_EQ(Read("sy200308.log"), "COM3> b\r\n");
  EXPECT_EQ(Read("sy200312.log"), "COM3> c\r\n");
  EXPECT_EQ(Read("sy200401.log"), "COM3> d\r\n");
  EXPECT_EQ(Read("200402_1.log"), "COM3> 1\r\nCOM3> 9\r\n");
  EXPECT_EQ(Read("200402_2.log"), "COM3> 10\r\nCOM3> 19\r\n");
  EXPECT_EQ(Read("200402_3.log"), "COM3> 20\r\nCOM3> 29\r\n");
  EXPECT_EQ(Read("200402_4.log"), "COM3> 30\r\nCOM3> 31\r\n");
  EXPECT_EQ(Files().size(), 8u);
}

TEST_F(LogTest, MissingDirectoryOrNullTextWritesNothing) {
  SessionLogEntry(3, nullptr);
  MessageLogEntry(3, nullptr);
  EXPECT_TRUE(Files().empty());

  SetLogDirectoryForTesting(dir_ + "/absent");
  SessionLogEntry(3, "lost\r\n");
  MessageLogEntry(3, "lost\r\n");
  EXPECT_TRUE(Files().empty());
}

TEST_F(LogTest, DebugLinesOnlyAfterTheSwitch) {
  DebugLine("Memory allocated\n");
  DebugLine("ReadError= 0x%X\n", 0x10);
  EXPECT_TRUE(DebugLines().empty());

  DebugSwitchOn();
  DebugLine("Memory allocated\n");
  DebugLine(nullptr);
  DebugLine(nullptr, 1);
  EXPECT_EQ(DebugLines(), std::vector<std::string>{"Memory allocated\n"});

  ResetLogForTesting();
  DebugLine("after reset\n");
  EXPECT_EQ(DebugLines().size(), 1u);
}

TEST_F(LogTest, DebugLineFormatsOneValue) {
  DebugSwitchOn();
  struct Case {
    const char* format;
    unsigned long value;
    const char* expected;
  };
  const Case cases[] = {
      {"Port opened,HANDLE= 0x%lx\n", 0x7ul, "Port opened,HANDLE= 0x7\n"},
      {"Port closed,HANDLE= 0x%lx\n", 0xFFFFFFFFul, "Port closed,HANDLE= 0xffffffff\n"},
      {"MODEM thread id= 0x%X\n", 0x1A2Bu, "MODEM thread id= 0x1A2B\n"},
      {"LINK thread id= 0x%X\n", 0xFFFFFFFFul, "LINK thread id= 0xFFFFFFFF\n"},
      {"WriteError= 0x%X\n", 0x8u, "WriteError= 0x8\n"},
      {"WriteTimeout: %ld bytes sent\n", 17ul, "WriteTimeout: 17 bytes sent\n"},
      {"Thread LINK closed (%X)\n", 0xBEEFu, "Thread LINK closed (BEEF)\n"},
      {"Slot%d\n", 5ul, "Slot5\n"},
  };
  for (const Case& c : cases)
    DebugLine(c.format, c.value);
  // A format with two conversions, or one this cannot pass a value to, is dropped.
  DebugLine("%X %X\n", 1ul);
  DebugLine("%s\n", 1ul);

  std::vector<std::string> expected;
  for (const Case& c : cases)
    expected.push_back(c.expected);
  EXPECT_EQ(DebugLines(), expected);
}

TEST_F(LogTest, DebugLineStaysWithinItsBuffer) {
  DebugSwitchOn();
  const std::string longFormat = std::string(300, 'x') + "%X\n";
  DebugLine(longFormat.c_str(), 1ul);
  ASSERT_EQ(DebugLines().size(), 1u);
  EXPECT_EQ(DebugLines()[0], std::string(255, 'x'));
}

TEST_F(LogTest, ConcurrentEntriesStayWholeLines) {
  DebugSwitchOn();
  constexpr int kThreads = 4;
  constexpr int kEntries = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      // Long enough that a split write would show as a broken line.
      const std::string text =
          std::to_string(t) + std::string(300, static_cast<char>('a' + t)) + "\r\n second line\r\n";
      for (int i = 0; i < kEntries; ++i) {
        SessionLogEntry(t, text.c_str());
        MessageLogEntry(t, text.c_str());
        DebugLine("Thread LINK closed (%X)\n", static_cast<unsigned long>(t));
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();

  for (const char* name : {"sy200307.log", "200307_1.log"}) {
    SCOPED_TRACE(name);
    std::map<std::string, int> counts;
    std::istringstream in(Read(name));
    std::string first;
    std::string second;
    while (std::getline(in, first) && std::getline(in, second))
      ++counts[first + "|" + second];
    ASSERT_EQ(counts.size(), static_cast<size_t>(kThreads));
    for (int t = 0; t < kThreads; ++t) {
      const std::string line = "COM" + std::to_string(t) + "> " + std::to_string(t) +
                               std::string(300, static_cast<char>('a' + t)) + "\r| second line\r";
      EXPECT_EQ(counts[line], kEntries);
    }
  }
  EXPECT_EQ(DebugLines().size(), static_cast<size_t>(kThreads * kEntries));
}

}  // namespace
}  // namespace zntlink
