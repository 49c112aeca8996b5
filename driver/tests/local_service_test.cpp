// The local TCP service: its line handling as tables, then the running
// service over loopback TCP with peers that behave and peers that do not.
#include "netlink/local_service.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "test_support.h"

namespace tessar {
namespace {

constexpr uint32_t kWaitMs = 5000;
const platform::LocalTime kNovember2010{2010, 11, 2, 5, 35, 45, 0};
const std::string kGreeting2010 = "QT6100wx V1.02\r\nsystime10,11,02,05,35,45\r\n";

// 26 hexadecimal digits: a distinct message body for every number.
std::string DataHex(unsigned number) {
  char text[32];
  std::snprintf(text, sizeof text, "%026X", number);
  return text;
}

// A "Slot" line as a peer writes it: a prefix up to ")", then "Slot", a
// token, the 13 data bytes and the echo byte.
std::string SlotLine(const std::string& data, const std::string& echo = "00",
                     const std::string& token = "t") {
  return "12:00:00 R(1) Slot01 " + token + " " + data + " " + echo + "\r\n";
}

std::vector<uint8_t> BytesOfHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

// ---- The line handling without a socket ----

TEST(LocalServiceLines, TheGreetingCarriesTheModelLineAndTheClock) {
  const struct {
    platform::LocalTime time;
    std::string expected;
  } cases[] = {
      {kNovember2010, kGreeting2010},
      {{2009, 1, 9, 23, 0, 7, 999}, "QT6100wx V1.02\r\nsystime09,01,09,23,00,07\r\n"},
      {{2100, 12, 31, 0, 59, 59, 0}, "QT6100wx V1.02\r\nsystime00,12,31,00,59,59\r\n"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(GreetingOf(c.time), c.expected) << c.expected;
}

TEST(LocalServiceLines, TheEchoAnswerHasAtMostTwoDigits) {
  const struct {
    uint8_t echo;
    const char* expected;
  } cases[] = {{0, "D0/\r\n"},   {7, "D7/\r\n"},    {12, "D12/\r\n"},
               {99, "D99/\r\n"}, {100, "D10/\r\n"}, {255, "D25/\r\n"}};
  for (const auto& c : cases)
    EXPECT_EQ(EchoAnswerOf(c.echo), c.expected) << +c.echo;
}

TEST(LocalServiceLines, ASlotLineIsCutIntoKeyDataAndEcho) {
  const std::string data = "0102030405060708090A0B0C0D";
  const struct {
    const char* name;
    std::string line;
    std::string key;
    std::vector<uint8_t> data;
    uint8_t echo;
  } cases[] = {
      {"usual line", SlotLine(data, "1F"), "Slot01 t " + data + " 1F\r\n", BytesOfHex(data), 0x1F},
      {"no bracket: only the first space cuts",
       "Slot01 t " + data + " 07\r\n",
       "t " + data + " 07\r\n",
       {0x07},
       0x07},
      {"key cut at 46 characters", SlotLine(data, "07", "abcdefghijklmnopqrst"),
       ("Slot01 abcdefghijklmnopqrst " + data).substr(0, 46), BytesOfHex(data), 0x07},
      {"lower-case hexadecimal",
       SlotLine("ff00ab", "0c"),
       "Slot01 t ff00ab 0c\r\n",
       {0xFF, 0x00, 0xAB},
       0x0C},
      {"pairs that are no number give 0",
       SlotLine("12G4+5 6", "zz"),
       "Slot01 t 12G4+5 6 zz\r\n",
       {0x12},
       0},
      {"short data: the missing bytes are 0", SlotLine("AB"), "Slot01 t AB 00\r\n", {0xAB}, 0},
  };
  for (const auto& c : cases) {
    const LineReading r = ReadServiceLine(c.line);
    EXPECT_TRUE(r.isSlot) << c.name;
    EXPECT_EQ(r.key, c.key) << c.name;
    std::array<uint8_t, kLineDataBytes> expected{};
    std::copy(c.data.begin(), c.data.end(), expected.begin());
    EXPECT_EQ(r.data, expected) << c.name;
    EXPECT_EQ(r.echo, c.echo) << c.name;
  }
}

TEST(LocalServiceLines, SearchesAreCaseSensitiveAndOnlyCrLfIsAnEmptyLine) {
  const struct {
    std::string line;
    bool slot;
    bool lineEnd;
    bool empty;
  } cases[] = {
      {"x) Slot01 #3 AA 00\r\n", true, true, false},
      {"x) slot01 #3 AA 00\r\n", false, false, false},
      {"x) SLOT01 t AA 00\r\n", false, false, false},
      {"#3 without the other word\r\n", false, false, false},
      {"\r\n", false, false, true},
      {"\n", false, false, false},
      {"\r\r\n", false, false, false},
      // Every removal finds its space and leaves CR LF alone.
      {"Slot a b c \r\n", true, false, true},
  };
  for (const auto& c : cases) {
    const LineReading r = ReadServiceLine(c.line);
    EXPECT_EQ(r.isSlot, c.slot) << c.line;
    EXPECT_EQ(r.answerLineEnd, c.lineEnd) << c.line;
    EXPECT_EQ(r.emptyLine, c.empty) << c.line;
  }
}

TEST(LocalServiceLines, TheReaderSplitsLinesAcrossChunksAndDropsOverLongOnes) {
  LineReader reader;
  std::vector<std::string> lines;
  const auto collect = [&](std::string_view line) { lines.emplace_back(line); };
  const auto feed = [&](const std::string& bytes) {
    reader.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), collect);
  };
  feed(std::string("ab\0c", 4));
  feed("\r\nd\n\ne");
  EXPECT_EQ(lines, (std::vector<std::string>{std::string("ab\0c\r\n", 6), "d\n", "\n"}));
  EXPECT_EQ(reader.PendingBytes(), 1u);

  // A megabyte without a line feed never holds more than the cap.
  lines.clear();
  for (int i = 0; i < 256; ++i) {
    feed(std::string(4096, 'x'));
    ASSERT_LE(reader.PendingBytes(), kMostLineBytes);
  }
  feed("tail of the long line\nnext\n");
  EXPECT_EQ(lines, std::vector<std::string>{"next\n"});
  EXPECT_EQ(reader.DroppedLines(), 1u);

  // A line of exactly the cap is kept; one byte more is dropped whole.
  lines.clear();
  feed(std::string(kMostLineBytes - 1, 'y') + "\n");
  feed(std::string(kMostLineBytes, 'z') + "\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), kMostLineBytes);
  EXPECT_EQ(reader.DroppedLines(), 2u);
}

// ---- The running service over loopback TCP ----

// The incoming queue as the service sees it: records kept unless full.
class RecordSink {
 public:
  bool Put(const uint8_t* bytes, int32_t count) {
    if (full.load())
      return false;
    std::lock_guard<std::mutex> lock(mutex_);
    records_.emplace_back(bytes, bytes + count);
    return true;
  }
  std::vector<std::vector<uint8_t>> Records() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }
  std::atomic<bool> full{false};

 private:
  std::mutex mutex_;
  std::vector<std::vector<uint8_t>> records_;
};

// A network peer of the service.
class Peer {
 public:
  explicit Peer(uint16_t port) {
    std::string error;
    connected_ = connection_.Connect("127.0.0.1", port, kWaitMs, &error);
  }
  bool Connected() const { return connected_; }
  platform::TcpConnection& Connection() { return connection_; }

  std::string Read(size_t size, uint32_t timeoutMs = kWaitMs) {
    std::string bytes(size, '\0');
    size_t received = 0;
    connection_.ReadExact(reinterpret_cast<uint8_t*>(bytes.data()), size, timeoutMs, received);
    bytes.resize(received);
    return bytes;
  }
  std::string ReadGreeting() { return Read(kGreeting2010.size()); }
  // Up to and including the next line feed.
  std::string ReadLine() {
    std::string line;
    while (line.empty() || line.back() != '\n') {
      const std::string byte = Read(1);
      if (byte.empty())
        break;
      line += byte;
    }
    return line;
  }
  bool Send(const std::string& bytes) {
    return connection_.WriteAll(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                kWaitMs) == platform::IoResult::kOk;
  }
  // An empty line and its answer: everything sent before it has been handled.
  std::string Sync() {
    Send("\r\n");
    return ReadLine();
  }

 private:
  platform::TcpConnection connection_;
  bool connected_ = false;
};

class LocalServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(service_.Start(0, &error)) << error;
  }

  std::unique_ptr<Peer> Connect() {
    auto peer = std::make_unique<Peer>(service_.Port());
    EXPECT_TRUE(peer->Connected());
    EXPECT_EQ(peer->ReadGreeting(), kGreeting2010);
    return peer;
  }

  platform::ManualClock clock_{0, kNovember2010};
  RecordSink sink_;
  std::atomic<int32_t> messages_{0};
  std::atomic<int32_t> duplicates_{0};
  DriverMetrics metrics_;
  LocalService service_{
      clock_, [this](const uint8_t* bytes, int32_t count) { return sink_.Put(bytes, count); },
      messages_, duplicates_, Narrow()};

  // The loopback address only, and small send buffers so that a client that
  // does not read fills its buffers soon.
  LocalService::Settings Narrow() {
    LocalService::Settings settings;
    settings.address = "127.0.0.1";
    settings.clientSendBufferBytes = 8192;
    settings.metrics = &metrics_;
    return settings;
  }

  // The window's counters and the metrics agree.
  void ExpectCounted(int32_t messages, int32_t duplicates) {
    EXPECT_EQ(messages_.load(), messages);
    EXPECT_EQ(duplicates_.load(), duplicates);
    EXPECT_EQ(metrics_.tcpMessages.load(), static_cast<uint64_t>(messages));
    EXPECT_EQ(metrics_.tcpDuplicates.load(), static_cast<uint64_t>(duplicates));
  }
};

TEST_F(LocalServiceTest, ANewClientGetsTheGreetingBeforeItSendsAnything) {
  Peer peer(service_.Port());
  ASSERT_TRUE(peer.Connected());
  EXPECT_EQ(peer.Read(kGreeting2010.size()), kGreeting2010);
  // Then nothing more until the peer speaks.
  EXPECT_EQ(peer.Sync(), "D0/\r\n");
}

TEST_F(LocalServiceTest, ANewSlotLineQueuesOneRecordAndARepeatOnlyCounts) {
  auto peer = Connect();
  const std::string data = "00025200000000000000000004";
  peer->Send(SlotLine(data, "07"));
  EXPECT_EQ(peer->Sync(), "D7/\r\n");
  auto records = sink_.Records();
  ASSERT_EQ(records.size(), 1u);
  ASSERT_EQ(records[0].size(), kServiceRecordBytes);
  std::vector<uint8_t> expected(kServiceRecordBodyOffset, 0);
  const auto body = BytesOfHex(data);
  expected.insert(expected.end(), body.begin(), body.end());
  EXPECT_EQ(records[0], expected) << "bytes 10-22 are the data bytes, 0-9 are zero";
  ExpectCounted(1, 0);

  // The same key: another prefix before ")", or a change past 46 characters,
  // from another client as well.
  auto other = Connect();
  other->Send("other prefix(9) " + SlotLine(data, "07").substr(14));
  peer->Send(SlotLine(data, "07"));
  EXPECT_EQ(other->Sync(), "D7/\r\n");
  EXPECT_EQ(peer->Sync(), "D7/\r\n");
  EXPECT_EQ(sink_.Records().size(), 1u);
  ExpectCounted(1, 2);
}

TEST_F(LocalServiceTest, The201stDistinctKeyEvictsTheFirst) {
  auto peer = Connect();
  std::string lines;
  for (unsigned i = 1; i <= 201; ++i)
    lines += SlotLine(DataHex(i));
  peer->Send(lines);
  peer->Sync();
  EXPECT_EQ(messages_.load(), 201);
  EXPECT_EQ(duplicates_.load(), 0);
  // Key 1 was overwritten by key 201; taking it again overwrites key 2.
  peer->Send(SlotLine(DataHex(1)));
  peer->Sync();
  EXPECT_EQ(messages_.load(), 202);
  peer->Send(SlotLine(DataHex(3)) + SlotLine(DataHex(201)) + SlotLine(DataHex(2)));
  peer->Sync();
  EXPECT_EQ(duplicates_.load(), 2) << "keys 3 and 201 are still known";
  EXPECT_EQ(messages_.load(), 203) << "key 2 was evicted";
  EXPECT_EQ(sink_.Records().size(), 203u);
}

TEST_F(LocalServiceTest, LinesWithHashThreeGetCrLfAtOnceDuplicatesToo) {
  auto peer = Connect();
  const std::string line = "x(1) Slot01 #3 " + DataHex(5) + " 00\r\n";
  peer->Send(line);
  EXPECT_EQ(peer->Read(2), "\r\n");
  peer->Send(line);
  EXPECT_EQ(peer->Read(2), "\r\n");
  EXPECT_EQ(peer->Sync(), "D0/\r\n") << "nothing else was answered";
  EXPECT_EQ(messages_.load(), 1);
  EXPECT_EQ(duplicates_.load(), 1);
}

TEST_F(LocalServiceTest, TheEchoAnswerFollowsTheLastSlotLineOfAnyClient) {
  auto peer = Connect();
  auto other = Connect();
  const struct {
    const char* echo;
    const char* answer;
  } cases[] = {{"07", "D7/\r\n"}, {"0C", "D12/\r\n"}, {"FF", "D25/\r\n"}, {"xx", "D0/\r\n"}};
  unsigned n = 100;
  for (const auto& c : cases) {
    other->Send(SlotLine(DataHex(++n), c.echo));
    other->Sync();
    EXPECT_EQ(peer->Sync(), c.answer) << c.echo;
  }
  // A duplicate sets the echo value too: the echo lies past the key here.
  const std::string longToken = "abcdefghijklmnopqrst";
  other->Send(SlotLine(DataHex(1), "07", longToken));
  other->Send(SlotLine(DataHex(1), "0C", longToken));
  EXPECT_EQ(other->Sync(), "D12/\r\n");
  EXPECT_EQ(duplicates_.load(), 1);
}

TEST_F(LocalServiceTest, ALoneLineFeedAndOtherLinesGetNothingAndSearchesAreCaseSensitive) {
  auto peer = Connect();
  peer->Send("\n");
  peer->Send("hello\r\n");
  peer->Send("x(1) slot01 t " + DataHex(1) + " 07\r\n");
  peer->Send("x(1) SLOT01 #3 " + DataHex(2) + " 07\r\n");
  // Upper- and lower-case hexadecimal give the same bytes but distinct keys.
  peer->Send(SlotLine("ABCDEF", "01"));
  peer->Send(SlotLine("abcdef", "02"));
  EXPECT_EQ(peer->Sync(), "D2/\r\n") << "the first answer is the one to the empty line";
  EXPECT_EQ(messages_.load(), 2);
  EXPECT_EQ(duplicates_.load(), 0);
  const auto records = sink_.Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], records[1]);
}

TEST_F(LocalServiceTest, GarbageNulBytesAndInvalidUtf8AreHarmless) {
  auto peer = Connect();
  std::string garbage;
  for (int i = 0; i < 4096; ++i)
    garbage += static_cast<char>((i * 37 + 11) % 256 == '\n' ? 0 : (i * 37 + 11) % 256);
  peer->Send(garbage + "\n");
  peer->Send(std::string("\0\xFF\xFE\xC0\x80", 5) + "(1) Slot01 t " + DataHex(9) + " 03\r\n");
  peer->Send("x(1) Slot01 \xC3\x28" + std::string(2, '\0') + " " + DataHex(8) + " zz\r\n");
  EXPECT_EQ(peer->Sync(), "D0/\r\n") << "the last Slot line's echo is no hexadecimal number";
  EXPECT_EQ(messages_.load(), 2);
  const auto records = sink_.Records();
  ASSERT_EQ(records.size(), 2u);
  const auto nine = BytesOfHex(DataHex(9));
  EXPECT_TRUE(std::equal(nine.begin(), nine.end(), records[0].begin() + kServiceRecordBodyOffset));
}

TEST_F(LocalServiceTest, AnOverLongLineIsDroppedAndTheClientGoesOn) {
  auto peer = Connect();
  // A megabyte without a line feed, its end, then a real line.
  const std::string block(64 * 1024, 'S');
  for (int i = 0; i < 16; ++i)
    ASSERT_TRUE(peer->Send(block));
  peer->Send("Slot #3 end of the long line\n");
  peer->Send(SlotLine(DataHex(77), "05"));
  EXPECT_EQ(peer->Sync(), "D5/\r\n") << "no CR LF for the dropped line";
  EXPECT_EQ(messages_.load(), 1);
  EXPECT_EQ(sink_.Records().size(), 1u);
}

TEST_F(LocalServiceTest, AClientGoneMidLineQueuesNothingAndOthersGoOn) {
  {
    auto peer = Connect();
    peer->Send(SlotLine(DataHex(1)).substr(0, 30));
  }
  auto silent = Connect();  // connects and never sends
  auto peer = Connect();
  peer->Send(SlotLine(DataHex(2), "09"));
  EXPECT_EQ(peer->Sync(), "D9/\r\n");
  EXPECT_EQ(messages_.load(), 1);
  EXPECT_TRUE(testing::Eventually([&] { return service_.ClientCount() == 2; }));
  // Stopping does not wait for the silent client.
  service_.Stop();
  EXPECT_EQ(service_.ClientCount(), 0u);
  EXPECT_EQ(silent->Read(1, kWaitMs), "") << "closed by the service";
}

TEST_F(LocalServiceTest, AClientThatNeverReadsStallsNeitherItselfNorOthers) {
  auto stuck = Connect();
  // A hundred thousand empty lines, each answered, none of it read.
  std::string lines;
  for (int i = 0; i < 100000; ++i)
    lines += "\r\n";
  std::thread writer([&] { EXPECT_TRUE(stuck->Send(lines)); });
  auto peer = Connect();
  peer->Send(SlotLine(DataHex(3), "0A"));
  EXPECT_EQ(peer->Sync(), "D10/\r\n");
  writer.join();
  EXPECT_TRUE(stuck->Send(SlotLine(DataHex(4))));
  EXPECT_TRUE(testing::Eventually([&] { return messages_.load() == 2; }))
      << "the stuck client's lines are still handled";
  service_.Stop();
}

TEST_F(LocalServiceTest, AFullQueueKeepsNeitherTheRecordNorTheKey) {
  auto peer = Connect();
  sink_.full = true;
  peer->Send(SlotLine(DataHex(6), "06"));
  EXPECT_EQ(peer->Sync(), "D6/\r\n");
  ExpectCounted(0, 0);
  sink_.full = false;
  peer->Send(SlotLine(DataHex(6), "06"));
  peer->Sync();
  SCOPED_TRACE("the next copy is taken as new");
  ExpectCounted(1, 0);
  EXPECT_EQ(sink_.Records().size(), 1u);
}

TEST_F(LocalServiceTest, TwoHundredClientsAtOnceAndOneLineFromManyClientsQueuedOnce) {
  std::vector<std::unique_ptr<Peer>> peers;
  for (int i = 0; i < 200; ++i)
    peers.push_back(Connect());
  EXPECT_TRUE(testing::Eventually([&] { return service_.ClientCount() == 200; }));
  for (unsigned i = 0; i < peers.size(); ++i)
    peers[i]->Send(SlotLine(DataHex(1000 + i)));
  for (auto& peer : peers)
    peer->Sync();
  EXPECT_EQ(messages_.load(), 200);

  // Eight clients send the same 50 lines at the same time: each is queued once.
  std::vector<std::thread> senders;
  for (int c = 0; c < 8; ++c) {
    senders.emplace_back([&, c] {
      std::string lines;
      for (unsigned i = 0; i < 50; ++i)
        lines += SlotLine(DataHex(5000 + i));
      peers[c]->Send(lines);
      peers[c]->Sync();
    });
  }
  for (auto& sender : senders)
    sender.join();
  EXPECT_EQ(messages_.load(), 250);
  EXPECT_EQ(duplicates_.load(), 350);
  EXPECT_EQ(sink_.Records().size(), 250u);
  service_.Stop();
  EXPECT_EQ(service_.ClientCount(), 0u);
}

TEST(LocalServiceStart, ATakenPortIsRefusedWithItsReason) {
  platform::ManualClock clock;
  std::atomic<int32_t> messages{0}, duplicates{0};
  const auto put = [](const uint8_t*, int32_t) { return true; };
  LocalService first(clock, put, messages, duplicates, LocalService::Settings{"127.0.0.1"});
  std::string error;
  ASSERT_TRUE(first.Start(0, &error)) << error;
  LocalService second(clock, put, messages, duplicates, LocalService::Settings{"127.0.0.1"});
  EXPECT_FALSE(second.Start(first.Port(), &error));
  EXPECT_NE(error.find(std::to_string(first.Port())), std::string::npos) << error;
  EXPECT_FALSE(second.Running());
  // Stopped and started again, the service listens again.
  first.Stop();
  EXPECT_TRUE(second.Start(first.Port(), &error)) << error;
}

}  // namespace
}  // namespace tessar
