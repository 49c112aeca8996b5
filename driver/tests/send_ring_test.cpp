// The send ring keeps at most 400 packets and gives them back in order.
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

}  // namespace
}  // namespace tessar
