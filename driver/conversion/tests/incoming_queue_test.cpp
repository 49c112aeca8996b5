#include "conversion/incoming_queue.h"

#include <gtest/gtest.h>

#include <thread>

namespace tessar {
namespace {

stru_arb Numbered(int number) {
  stru_arb bytes(23, 0);
  bytes[0] = static_cast<uint8_t>(number);
  bytes[1] = static_cast<uint8_t>(number >> 8);
  return bytes;
}

int NumberOf(const stru_arb& bytes) {
  return bytes[0] | (bytes[1] << 8);
}

TEST(IncomingQueue, HoldsTenThousandAndDrainsThemInOrderAcrossTheWrap) {
  IncomingQueue queue;
  int32_t source = 0;
  stru_arb taken;
  // Move the indexes off zero first so that the ring wraps while full.
  for (int i = 0; i < 1234; ++i) {
    ASSERT_TRUE(queue.PutMessage(kSourceTcpService, Numbered(i).data(), 23));
    ASSERT_TRUE(queue.TakeMessage(source, taken));
  }
  for (int i = 0; i < IncomingQueue::kSlots; ++i)
    ASSERT_TRUE(queue.PutMessage(i % 2 ? kSourceTcpService : kSourceReceiverLibrary,
                                 Numbered(i).data(), 23))
        << i;
  EXPECT_FALSE(queue.PutMessage(kSourceReceiverLibrary, Numbered(99).data(), 23));
  for (int i = 0; i < IncomingQueue::kSlots; ++i) {
    ASSERT_TRUE(queue.TakeMessage(source, taken)) << i;
    EXPECT_EQ(NumberOf(taken), i);
    EXPECT_EQ(source, i % 2 ? kSourceTcpService : kSourceReceiverLibrary);
  }
  EXPECT_FALSE(queue.TakeMessage(source, taken));
  EXPECT_TRUE(queue.PutMessage(kSourceReceiverLibrary, Numbered(7).data(), 23));
  ASSERT_TRUE(queue.TakeMessage(source, taken));
  EXPECT_EQ(NumberOf(taken), 7);
}

TEST(IncomingQueue, AnEmptyMessageIsRemovedButReportsFalse) {
  IncomingQueue queue;
  ASSERT_TRUE(queue.PutMessage(kSourceTcpService, nullptr, 0));
  ASSERT_TRUE(queue.PutMessage(kSourceTcpService, Numbered(5).data(), 23));
  int32_t source = 0;
  stru_arb taken = Numbered(1);
  EXPECT_FALSE(queue.TakeMessage(source, taken));
  EXPECT_TRUE(taken.empty());
  ASSERT_TRUE(queue.TakeMessage(source, taken));
  EXPECT_EQ(NumberOf(taken), 5);
}

TEST(IncomingQueue, RefusesWhatCannotBeCopied) {
  IncomingQueue queue;
  EXPECT_FALSE(queue.PutMessage(kSourceTcpService, Numbered(1).data(), -1));
  EXPECT_FALSE(queue.PutMessage(kSourceTcpService, nullptr, 23));
  int32_t source = 0;
  stru_arb taken;
  EXPECT_FALSE(queue.TakeMessage(source, taken));
}

TEST(IncomingQueue, KeepsEachProducersOrderUnderConcurrentPuts) {
  IncomingQueue queue;
  constexpr int kEach = 20000;
  auto produce = [&queue](int32_t source) {
    for (int i = 0; i < kEach;) {
      stru_arb bytes = Numbered(i);
      bytes[2] = static_cast<uint8_t>(i >> 16);
      if (queue.PutMessage(source, bytes.data(), 23))
        ++i;
      else
        std::this_thread::yield();
    }
  };
  std::thread library(produce, kSourceReceiverLibrary);
  std::thread tcp(produce, kSourceTcpService);
  int next[3] = {0, 0, 0};
  int32_t source = 0;
  stru_arb taken;
  while (next[1] < kEach || next[2] < kEach) {
    if (!queue.TakeMessage(source, taken)) {
      std::this_thread::yield();
      continue;
    }
    const int number = NumberOf(taken) | (taken[2] << 16);
    ASSERT_EQ(number, next[source]) << "source " << source;
    ++next[source];
  }
  library.join();
  tcp.join();
}

}  // namespace
}  // namespace tessar
