// The answer handlers of every request kind, on the frames the parser makes
// of arbitrary line bytes. A finished frame is taken as an answer the way an
// exchange takes one (good, a known code, status 0x06 or 0x18); its payload
// goes to the handler of the kind with that code, its content is copied into
// the request slot as a served request does, and every getter then reads the
// session's state, so that what an answer stored is also read back.
#include <algorithm>
#include <cstring>

#include "frame.h"
#include "fuzz_support.h"
#include "requests.h"
#include "session.h"
#include "zntlink.h"

using tessar::fuzz::Check;
using namespace zntlink;

namespace {

const RequestEntry* EntryForCode(uint8_t first, uint8_t second) {
  for (int kind = kRequestS0; kind < kRequestKindCount; ++kind) {
    const RequestEntry& entry = Request(static_cast<RequestKind>(kind));
    if (static_cast<uint8_t>(entry.code[0]) == first &&
        static_cast<uint8_t>(entry.code[1]) == second)
      return &entry;
  }
  return nullptr;
}

void ReadEverything(CommSession& s) {
  FirmwareInfo firmware{};
  ZNT_GetFirmware(&s, &firmware);
  SYSTEMTIME time{};
  ZNT_GetTime(&s, &time);
  ZNT_GetTroubles(&s);
  ZNT_GetSlotNumActive(&s);
  SlotInfo slots{};
  ZNT_GetSlotInfo(&s, &slots);
  ZNT_GetMsgNum(&s);
  // The record is followed by a guard: the getter must never write past the
  // record the interface declares.
  struct {
    ReceiverMessage record;
    uint8_t guard[32];
  } message;
  std::memset(&message, 0xA5, sizeof message);
  ZNT_GetMsg(&s, &message.record);
  for (uint8_t byte : message.guard)
    Check(byte == 0xA5, "ZNT_GetMsg wrote past the message record");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte sets whether the session is open (state changes are then
  // logged) and whether a message is already held.
  if (size == 0)
    return 0;
  const uint8_t flags = data[0];
  auto session = std::make_unique<CommSession>();
  CommSession& s = *session;
  s.port = 3;
  s.linkUp = 1;
  s.sessionOpen = (flags & 1) != 0;
  if (flags & 2) {
    s.receiver.messageCount = 1;
    s.receiver.messageTaken = true;
  }

  FrameParser& parser = s.parser;
  for (size_t i = 1; i < size; ++i) {
    if (!parser.Feed(data[i]) || parser.bad())
      continue;
    const uint8_t* content = parser.content();
    const size_t length = parser.contentLength();
    Check(length <= kFrameBufferSize, "content longer than the buffer");
    if (length < 3 || (content[2] != kStatusAccepted && content[2] != kStatusRefused))
      continue;
    const RequestEntry* entry = EntryForCode(content[0], content[1]);
    if (entry == nullptr)
      continue;
    if (entry->handler != nullptr)
      entry->handler(s, content + 3, length - 3);

    // The copy a served request makes into the slot, and the caller's copy.
    RequestSlot& slot = s.request;
    slot.length = static_cast<uint16_t>(std::min(length, sizeof slot.buffer));
    std::memcpy(slot.buffer, content, slot.length);
    uint8_t callerBuffer[kFrameBufferSize];
    const size_t copied = std::min<size_t>(slot.length, kFrameBufferSize);
    std::memcpy(callerBuffer, slot.buffer, copied);
    std::memset(callerBuffer + copied, 0, kFrameBufferSize - copied);

    Check(s.receiver.messageLength <= kMessageCapacity, "message length beyond its capacity");
    ReadEverything(s);
  }
  return 0;
}
