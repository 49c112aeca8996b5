#include "texts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace zntlink {
namespace {

using Bytes = std::vector<uint8_t>;

const SYSTEMTIME kNow = MakeSystemTime(2003, 7, 9, 8, 5, 3);
const std::string kStamp = "2003/07/09 08:05:03";

// A message of the given kind and slot, time 2003-07-09 10:30:48, then body.
Bytes Message(int slot, int kind, const Bytes& body) {
  Bytes m = {static_cast<uint8_t>(slot << 4 | kind), 48, 30, 10, 9, 7, 0xD3, 0x07};
  m.insert(m.end(), body.begin(), body.end());
  return m;
}

// Renders the message from a heap copy of exactly its length, so reading past
// the end is caught by AddressSanitizer.
std::string Line(const Bytes& m) {
  auto exact = std::make_unique<uint8_t[]>(m.size());
  if (!m.empty())
    std::memcpy(exact.get(), m.data(), m.size());
  TextBuffer out;
  std::string text = RenderMessageLine(out, m.empty() ? nullptr : exact.get(), m.size());
  EXPECT_EQ(out.length, text.size());
  return text;
}

struct Case {
  const char* name;
  std::function<const char*(TextBuffer&)> render;
  std::string expected;
};

std::string Spaces(int n) {
  return std::string(static_cast<size_t>(n), ' ');
}

TEST(Texts, RenderExactBytes) {
  const LinkStatistics stats{12, 34567890, 0, 4, 2, 99999999};
  const std::string statsBlock =
      "  TxFrm: 12         RxFrm: 34567890\r\n"
      "  Crc:   0          TmOut: 4       \r\n"
      "  Link:  2          Msg:   99999999\r\n";
  const Case cases[] = {
      {"time stamp",
       [](TextBuffer& o) { return RenderTimeStamp(o, MakeSystemTime(987, 1, 2, 3, 4, 5)); },
       "0987/01/02 03:04:05"},
      {"link up", [](TextBuffer& o) { return RenderLinkStatus(o, kNow, true); },
       kStamp + " Communication is established\r\n"},
      {"link down", [](TextBuffer& o) { return RenderLinkStatus(o, kNow, false); },
       kStamp + " Communication is lost\r\n"},
      {"statistics", [&](TextBuffer& o) { return RenderStatisticsBlock(o, stats); }, statsBlock},
      {"session established",
       [](TextBuffer& o) { return RenderSessionEstablished(o, kNow, 2, 15, 0x00A1B2C3); },
       kStamp + " Session is established\r\n Chipware: 2.15,Serial#: 00A1B2C3\r\n"},
      {"session completed", [&](TextBuffer& o) { return RenderSessionCompleted(o, kNow, stats); },
       kStamp + " Session is completed\r\n" + statsBlock},
      {"power AC lost", [](TextBuffer& o) { return RenderPowerStatus(o, kNow, 0x06, 0x02); },
       kStamp + " Power status changes (0x02): AC_Lost\r\n"},
      {"power battery low", [](TextBuffer& o) { return RenderPowerStatus(o, kNow, 0x06, 0x05); },
       kStamp + " Power status changes (0x05):  BatLow\r\n"},
      {"power both", [](TextBuffer& o) { return RenderPowerStatus(o, kNow, 0x00, 0x07); },
       kStamp + " Power status changes (0x07): AC_Normal BatDamage\r\n"},
      {"power battery fail", [](TextBuffer& o) { return RenderPowerStatus(o, kNow, 0x06, 0x04); },
       kStamp + " Power status changes (0x04):  BatFail\r\n"},
      {"power upper bits only",
       [](TextBuffer& o) { return RenderPowerStatus(o, kNow, 0x06, 0xFE); },
       kStamp + " Power status changes (0xFE): \r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TextBuffer out;
    const char* text = c.render(out);
    EXPECT_EQ(text, out.text);
    EXPECT_EQ(out.length, std::strlen(out.text));
    EXPECT_EQ(std::string(text), c.expected);
  }
}

TEST(Texts, SlotStatus) {
  const std::string dump = kStamp + " Slot status changed! Dump:";
  struct SlotCase {
    const char* name;
    uint8_t before[8];
    uint8_t after[8];
    std::string expected;
  };
  const SlotCase cases[] = {
      {"slot 2 removed and station lost",
       {0, 0, 0x00, 0, 0, 0, 0, 0},
       {0, 0, 0x05, 0, 0, 0, 0, 0},
       dump + " 00 00 05 00 00 00 00 00\r\n  Slot2: Rmv St_Lost\r\n"},
      {"back to normal, flags and hardware",
       {0x8F, 0, 0, 0, 0, 0, 0, 0x10},
       {0x00, 0, 0, 0, 0, 0, 0, 0x08},
       dump +
           " 00 00 00 00 00 00 00 08\r\n  Slot0: Ins On HW_R St_Load Flags\r\n  Slot7: Flags\r\n"},
      {"uninterpreted bits only",
       {0, 0, 0, 0, 0, 0x00, 0, 0},
       {0, 0, 0, 0, 0, 0x60, 0, 0},
       dump + " 00 00 00 00 00 60 00 00\r\n  Slot5:\r\n"},
  };
  for (const SlotCase& c : cases) {
    SCOPED_TRACE(c.name);
    TextBuffer out;
    EXPECT_EQ(std::string(RenderSlotStatus(out, kNow, c.before, c.after)), c.expected);
    EXPECT_EQ(out.length, c.expected.size());
  }
}

TEST(Texts, LongestSlotStatusFits) {
  const uint8_t before[8] = {};
  const uint8_t after[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  TextBuffer out;
  std::string expected = kStamp + " Slot status changed! Dump: FF FF FF FF FF FF FF FF\r\n";
  for (int i = 0; i < 8; ++i)
    expected += "  Slot" + std::to_string(i) + ": Rmv Off HW_F St_Lost Flags\r\n";
  EXPECT_EQ(std::string(RenderSlotStatus(out, kNow, before, after)), expected);
  EXPECT_EQ(out.length, 368u);
}

TEST(Texts, MessageLines) {
  const std::string head3 = "Slot1(#3) 2003/07/09 10:30:48 ";
  const Bytes zeros8(8, 0);
  auto kind3 = [&](uint8_t b3, uint8_t b4) {
    Bytes body = {0x00, 0x00, 0x07, b3, b4};
    body.insert(body.end(), zeros8.begin(), zeros8.end());
    return Message(1, 3, body);
  };
  struct MessageCase {
    const char* name;
    Bytes message;
    std::string expected;
  };
  const MessageCase cases[] = {
      {"kind 3 object unregistered", kind3(0xB2, 0x04),
       head3 + "000007B2040000000000000000  Obj 123   Unreg\r\n"},
      {"kind 3 undefined type", kind3(0xB5, 0x00),
       head3 + "000007B5000000000000000000  ??? 123 \r\n"},
      {"kind 3 test bit", kind3(0xB8, 0x08),
       head3 + "000007B8080000000000000000  Hopper 123  (Test) Reg\r\n"},
      {"kind 3 service, timeout", kind3(0xB1, 0x0C),
       head3 + "000007B10C0000000000000000  Service 123   Timeout\r\n"},
      {"kind 3 undefined type with test", kind3(0xBE, 0x00),
       head3 + "000007BE000000000000000000  ??? 123 (Test)\r\n"},
      {"kind 2 hopper", Message(4, 2, {0x45, 0x7B, 0x00}),
       "Slot4(#2) 2003/07/09 10:30:48 457B00" + Spaces(22) + "Hopper 1403\r\n"},
      {"kind 2 object with test", Message(0, 2, {0x10, 0x07, 0xAB}),
       "Slot0(#2) 2003/07/09 10:30:48 1007AB" + Spaces(22) + "Obj 7   (Test)\r\n"},
      {"kind 1", Message(15, 1, {0x45, 0x7B, 0x00}), "Slot15(#1) 2003/07/09 10:30:48 \r\n"},
      {"kind 4", Message(2, 4, Bytes(13, 0xFF)), "Slot2(#4) 2003/07/09 10:30:48 \r\n"},
  };
  for (const MessageCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Line(c.message), c.expected);
  }
}

TEST(Texts, ShortMessageReadsZerosBeyondItsLength) {
  // A kind-3 message cut after body byte 3 (12 bytes instead of 21).
  Bytes cut = Message(1, 3, {0x00, 0x00, 0x07, 0xB2});
  EXPECT_EQ(Line(cut), "Slot1(#3) 2003/07/09 10:30:48 000007B2000000000000000000  Obj 123  \r\n");
  // A kind-2 message cut inside its time stamp.
  EXPECT_EQ(Line({0x32, 1, 2, 3, 4, 5}),
            "Slot3(#2) 0000/05/04 03:02:01 000000" + Spaces(22) + "Obj 0   \r\n");
  EXPECT_EQ(Line({}), "Slot0(#0) 0000/00/00 00:00:00 \r\n");
}

}  // namespace
}  // namespace zntlink
