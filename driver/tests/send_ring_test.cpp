// The send ring keeps at most 400 packets and gives them back in order;
// packets put back before the head go first.
#include "netlink/send_ring.h"

#include <gtest/gtest.h>

namespace tessar {
namespace {

Bytes Numbered(uint32_t n) {
  return BuildPacket(CMD_EVENT, n, {});
}

TEST(SendRing, HoldsFourHundredAndRefusesTheNext) {
  SendRing ring;
  Bytes head;
  EXPECT_TRUE(ring.Empty());
  EXPECT_FALSE(ring.Peek(head));
  ring.Drop();  // nothing to drop: no effect
  EXPECT_TRUE(ring.Empty());
  for (uint32_t n = 0; n < 400; ++n)
    ASSERT_TRUE(ring.Put(Numbered(n))) << n;
  EXPECT_FALSE(ring.Put(Numbered(400)));
  EXPECT_EQ(ring.Count(), 400u);
  for (uint32_t n = 0; n < 400; ++n) {
    ASSERT_TRUE(ring.Peek(head));
    EXPECT_EQ(PacketSequence(head), n);
    ring.Drop();
  }
  EXPECT_TRUE(ring.Empty());
}

TEST(SendRing, KeepsPostingOrderAcrossTheWrap) {
  SendRing ring;
  Bytes head;
  // Move head and tail to slot 395, then fill the ring so the tail wraps.
  for (uint32_t n = 0; n < 395; ++n) {
    ring.Put(Numbered(n));
    ring.Drop();
  }
  for (uint32_t n = 1000; n < 1400; ++n)
    ASSERT_TRUE(ring.Put(Numbered(n)));
  EXPECT_FALSE(ring.Put(Numbered(1400)));
  // Peek leaves the ring as it was.
  ASSERT_TRUE(ring.Peek(head));
  ASSERT_TRUE(ring.Peek(head));
  EXPECT_EQ(PacketSequence(head), 1000u);
  for (uint32_t n = 1000; n < 1400; ++n) {
    ASSERT_TRUE(ring.Peek(head));
    ASSERT_EQ(PacketSequence(head), n);
    ring.Drop();
    // Room again at once after a drop from a full ring.
    if (n == 1000) {
      EXPECT_TRUE(ring.Put(Numbered(1400)));
    }
  }
  ASSERT_TRUE(ring.Peek(head));
  EXPECT_EQ(PacketSequence(head), 1400u);
}

// Packets put back before the head leave first, in the order put back last
// to first, at every head position (slot 0 included, where the head wraps
// backwards), and fill the ring like any other.
TEST(SendRing, PacketsPutBackBeforeTheHeadLeaveFirst) {
  for (uint32_t start : {0u, 1u, 7u}) {
    SCOPED_TRACE(start);
    SendRing ring(8);
    Bytes head;
    for (uint32_t n = 0; n < start; ++n) {
      ring.Put(Numbered(n));
      ring.Drop();
    }
    for (uint32_t n = 100; n < 105; ++n)
      ASSERT_TRUE(ring.Put(Numbered(n)));
    // Put back 2, 1 and 0: they leave as 0, 1, 2, then 100 to 104.
    ASSERT_TRUE(ring.PutFront(Numbered(2)));
    ASSERT_TRUE(ring.PutFront(Numbered(1)));
    ASSERT_TRUE(ring.PutFront(Numbered(0)));
    EXPECT_EQ(ring.Count(), 8u);
    EXPECT_FALSE(ring.PutFront(Numbered(9)));
    EXPECT_FALSE(ring.Put(Numbered(9)));
    for (uint32_t expected : {0u, 1u, 2u, 100u, 101u, 102u, 103u, 104u}) {
      ASSERT_TRUE(ring.Peek(head));
      EXPECT_EQ(PacketSequence(head), expected);
      ring.Drop();
    }
    EXPECT_TRUE(ring.Empty());
  }
}

}  // namespace
}  // namespace tessar
