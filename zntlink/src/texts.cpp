#include "texts.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace zntlink {
namespace {

// Appends formatted text to a TextBuffer, never past its end: each piece is
// formatted into the room that is left, and a piece that does not fit is cut
// short while the text stays NUL-terminated.
class Writer {
 public:
  explicit Writer(TextBuffer& out) : out_(out) {
    out_.length = 0;
    out_.text[0] = '\0';
  }

  __attribute__((format(printf, 2, 3))) void Append(const char* format, ...) {
    const size_t room = kTextBufferSize - out_.length;
    if (room <= 1)
      return;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(out_.text + out_.length, room, format, args);
    va_end(args);
    if (n <= 0)
      return;
    const size_t written = static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
    out_.length += written;
  }

  void TimeStamp(const SYSTEMTIME& t) {
    Append("%4.4d/%2.2d/%2.2d %2.2d:%2.2d:%2.2d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
           t.wSecond);
  }

  const char* Done() const { return out_.text; }

 private:
  TextBuffer& out_;
};

// The counters are printed with %d, as signed 32-bit numbers.
int Signed(uint32_t value) {
  return static_cast<int>(static_cast<int32_t>(value));
}

void AppendStatistics(Writer& w, const LinkStatistics& s) {
  w.Append(
      "  TxFrm: %-8d   RxFrm: %-8d\r\n  Crc:   %-8d   TmOut: %-8d\r\n  Link:  %-8d   Msg:   "
      "%-8d\r\n",
      Signed(s.TxFrm), Signed(s.RxFrm), Signed(s.Crc), Signed(s.TmOut), Signed(s.Link),
      Signed(s.Msg));
}

const char* const kBatteryWords[4] = {"BatFail", "BatLow", "BatNormal", "BatDamage"};

// Message type words of a kind-3 message; types 4-7 are rendered as "???".
const char* const kMessageTypeWords[4] = {"Hopper", "Service", "Obj", "Obj"};

// Registration words by state; state 0 adds nothing.
const char* const kRegistrationWords[4] = {nullptr, "Unreg", "Reg", "Timeout"};

// The most bytes a message line looks at: a kind-3 message is 21 bytes, and
// the session holds at most 23.
constexpr size_t kMessageBytesMax = 23;

}  // namespace

const char* RenderTimeStamp(TextBuffer& out, const SYSTEMTIME& now) {
  Writer w(out);
  w.TimeStamp(now);
  return w.Done();
}

const char* RenderLinkStatus(TextBuffer& out, const SYSTEMTIME& now, bool up) {
  Writer w(out);
  w.TimeStamp(now);
  w.Append(" %s\r\n", up ? "Communication is established" : "Communication is lost");
  return w.Done();
}

const char* RenderStatisticsBlock(TextBuffer& out, const LinkStatistics& stats) {
  Writer w(out);
  AppendStatistics(w, stats);
  return w.Done();
}

const char* RenderSessionEstablished(TextBuffer& out, const SYSTEMTIME& now, unsigned major,
                                     unsigned minor, uint32_t serial) {
  Writer w(out);
  w.TimeStamp(now);
  w.Append(" Session is established\r\n");
  w.Append(" Chipware: %d.%d,Serial#: %8.8X\r\n", static_cast<int>(major), static_cast<int>(minor),
           static_cast<unsigned>(serial));
  return w.Done();
}

const char* RenderSessionCompleted(TextBuffer& out, const SYSTEMTIME& now,
                                   const LinkStatistics& stats) {
  Writer w(out);
  w.TimeStamp(now);
  w.Append(" Session is completed\r\n");
  AppendStatistics(w, stats);
  return w.Done();
}

const char* RenderPowerStatus(TextBuffer& out, const SYSTEMTIME& now, uint8_t oldStatus,
                              uint8_t newStatus) {
  Writer w(out);
  w.TimeStamp(now);
  w.Append(" Power status changes (0x%2.2X): ", static_cast<unsigned>(newStatus));
  const unsigned changed = static_cast<unsigned>(oldStatus ^ newStatus);
  if (changed & 0x04)
    w.Append("%s", (newStatus & 0x04) ? "AC_Normal" : "AC_Lost");
  if (changed & 0x03)
    w.Append(" %s", kBatteryWords[newStatus & 0x03]);
  w.Append("\r\n");
  return w.Done();
}

const char* RenderSlotStatus(TextBuffer& out, const SYSTEMTIME& now, const uint8_t oldStatus[8],
                             const uint8_t newStatus[8]) {
  struct BitWords {
    unsigned mask;
    const char* set;
    const char* clear;
  };
  // The order in which changed bits are reported.
  static const BitWords kWords[] = {
      {0x01, "Rmv", "Ins"},
      {0x02, "Off", "On"},
      {0x80, "HW_F", "HW_R"},
      {0x04, "St_Lost", "St_Load"},
  };

  Writer w(out);
  w.TimeStamp(now);
  w.Append(" Slot status changed! Dump:");
  for (int i = 0; i < 8; ++i)
    w.Append(" %2.2X", static_cast<unsigned>(newStatus[i]));
  w.Append("\r\n");
  for (int i = 0; i < 8; ++i) {
    const unsigned changed = static_cast<unsigned>(oldStatus[i] ^ newStatus[i]);
    if (changed == 0)
      continue;
    w.Append("  Slot%d:", i);
    for (const BitWords& bit : kWords) {
      if (changed & bit.mask)
        w.Append(" %s", (newStatus[i] & bit.mask) ? bit.set : bit.clear);
    }
    if (changed & 0x18)
      w.Append(" Flags");
    w.Append("\r\n");
  }
  return w.Done();
}

const char* RenderMessageLine(TextBuffer& out, const uint8_t* message, size_t length) {
  // Work on a zero-filled copy so that a message shorter than its kind needs
  // reads as zeros beyond its end instead of from the caller's memory.
  uint8_t m[kMessageBytesMax] = {};
  if (message != nullptr)
    std::memcpy(m, message, length < sizeof m ? length : sizeof m);

  const unsigned slot = m[0] >> 4;
  const unsigned kind = m[0] & 0x0F;
  const uint8_t* body = m + 8;

  Writer w(out);
  w.Append("Slot%d(#%d) ", static_cast<int>(slot), static_cast<int>(kind));
  w.Append("%4.4d/%2.2d/%2.2d %2.2d:%2.2d:%2.2d ", m[6] | (m[7] << 8), m[5], m[4], m[3], m[2],
           m[1]);

  if (kind == 2) {
    for (int i = 0; i < 3; ++i)
      w.Append("%2.2X", static_cast<unsigned>(body[i]));
    // Ten body bytes fewer than kind 3, plus its two-space gap: the words
    // start in the same column for both kinds.
    for (int i = 0; i < 11; ++i)
      w.Append("  ");
    const int device = ((body[0] & 0x0F) << 8) | body[1];
    w.Append("%s %-4d", (body[0] & 0x40) ? "Hopper" : "Obj", device);
    if (body[0] & 0x10)
      w.Append("(Test)");
  } else if (kind == 3) {
    for (int i = 0; i < 13; ++i)
      w.Append("%2.2X", static_cast<unsigned>(body[i]));
    w.Append("  ");
    const int device = (body[2] << 4) | (body[3] >> 4);
    const unsigned type = body[3] & 0x07;
    if (type & 0x04)
      w.Append("??? %-4d", device);
    else
      w.Append("%s %-4d ", kMessageTypeWords[type], device);
    if (body[3] & 0x08)
      w.Append("(Test)");
    const unsigned registration = (body[4] >> 2) & 0x03;
    if (registration != 0)
      w.Append(" %s", kRegistrationWords[registration]);
  }
  w.Append("\r\n");
  return w.Done();
}

}  // namespace zntlink
