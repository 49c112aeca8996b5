#include "requests.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "log.h"
#include "platform/clock.h"
#include "session.h"
#include "texts.h"

namespace zntlink {
namespace {

// Answers are bounded by what the session can hold: a count larger than the
// bytes that came, or than the table, is cut to fit.
size_t CountedLength(const uint8_t* payload, size_t length, size_t capacity) {
  if (length == 0)
    return 0;
  return std::min({static_cast<size_t>(payload[0]), length - 1, capacity});
}

bool MessageWanted(CommSession& s) {
  std::lock_guard guard(s.stateGuard);
  return !s.receiver.messagePresent && !s.receiver.messageTaken && s.receiver.messageCount > 0;
}

bool MessageTaken(CommSession& s) {
  std::lock_guard guard(s.stateGuard);
  return s.receiver.messageTaken;
}

void StoreClock(CommSession& s, const uint8_t* payload, size_t length) {
  std::lock_guard guard(s.stateGuard);
  std::memcpy(s.receiver.clock, payload, std::min(length, sizeof s.receiver.clock));
}

void StorePowerStatus(CommSession& s, const uint8_t* payload, size_t length) {
  if (length < 1)
    return;
  uint8_t old;
  {
    std::lock_guard guard(s.stateGuard);
    old = s.receiver.powerStatus;
    s.receiver.powerStatus = payload[0];
  }
  if (s.sessionOpen && old != payload[0]) {
    TextBuffer text;
    SessionLogEntry(s.port, RenderPowerStatus(text, LocalNow(), old, payload[0]));
  }
}

void StoreFirmware(CommSession& s, const uint8_t* payload, size_t length) {
  if (length < 6)
    return;
  std::lock_guard guard(s.stateGuard);
  s.receiver.firmwareMajor = payload[0];
  s.receiver.firmwareMinor = payload[1];
  s.receiver.serialNumber = static_cast<uint32_t>(payload[2]) << 24 |
                            static_cast<uint32_t>(payload[3]) << 16 |
                            static_cast<uint32_t>(payload[4]) << 8 | payload[5];
}

void StoreSlotInformation(CommSession& s, const uint8_t* payload, size_t length) {
  size_t n = CountedLength(payload, length, kSlotCount);
  std::lock_guard guard(s.stateGuard);
  std::memcpy(s.receiver.slotInformation, payload + 1, n);
}

void StoreSlotStatus(CommSession& s, const uint8_t* payload, size_t length) {
  size_t n = CountedLength(payload, length, kSlotCount);
  uint8_t old[kSlotCount];
  uint8_t now[kSlotCount];
  {
    std::lock_guard guard(s.stateGuard);
    std::memcpy(old, s.receiver.slotStatus, kSlotCount);
    std::memcpy(s.receiver.slotStatus, payload + 1, n);
    std::memcpy(now, s.receiver.slotStatus, kSlotCount);
  }
  if (s.sessionOpen && std::memcmp(old, now, n) != 0) {
    TextBuffer text;
    SessionLogEntry(s.port, RenderSlotStatus(text, LocalNow(), old, now));
  }
}

void StoreCount(CommSession& s, const uint8_t* payload, size_t length) {
  if (length < 2)
    return;
  std::lock_guard guard(s.stateGuard);
  s.receiver.messageCount = static_cast<uint16_t>(payload[0] | payload[1] << 8);
}

void StoreMessage(CommSession& s, const uint8_t* payload, size_t length) {
  size_t n = CountedLength(payload, length, kMessageCapacity);
  // An answer without message bytes (a refusal, or a count of 0) holds no
  // message: nothing is marked present, so nothing blank is handed over.
  if (n == 0)
    return;
  uint8_t message[kMessageCapacity];
  {
    std::lock_guard guard(s.stateGuard);
    std::memcpy(s.receiver.message, payload + 1, n);
    s.receiver.messageLength = static_cast<uint8_t>(n);
    s.receiver.messagePresent = true;
    std::memcpy(message, s.receiver.message, n);
  }
  TextBuffer text;
  MessageLogEntry(s.port, RenderMessageLine(text, message, n));
}

void MessageAcknowledged(CommSession& s, const uint8_t* payload, size_t length) {
  std::lock_guard guard(s.stateGuard);
  if (length >= 2)
    s.receiver.messageCount = static_cast<uint16_t>(payload[0] | payload[1] << 8);
  s.receiver.messageTaken = false;
}

constexpr RequestEntry kRequestTable[kRequestKindCount] = {
    {{0, 0}, nullptr, nullptr},
    {{'S', '0'}, nullptr, StoreClock},
    {{'S', '1'}, nullptr, nullptr},
    {{'S', '2'}, nullptr, StorePowerStatus},
    {{'S', '3'}, nullptr, StoreFirmware},
    {{'S', '4'}, nullptr, nullptr},
    {{'H', '0'}, nullptr, StoreSlotInformation},
    {{'H', '1'}, nullptr, StoreSlotStatus},
    {{'H', '2'}, nullptr, nullptr},
    {{'H', '3'}, nullptr, nullptr},
    {{'H', '4'}, nullptr, nullptr},
    {{'H', '5'}, nullptr, nullptr},
    {{'H', '6'}, nullptr, nullptr},
    {{'D', '0'}, nullptr, StoreCount},
    {{'D', '1'}, MessageWanted, StoreMessage},
    {{'D', '2'}, MessageTaken, MessageAcknowledged},
    {{'S', '5'}, nullptr, nullptr},
    {{'S', '6'}, nullptr, nullptr},
    {{'S', '7'}, nullptr, nullptr},
    {{'S', '9'}, nullptr, nullptr},
};

}  // namespace

const RequestEntry& Request(RequestKind kind) {
  return kRequestTable[kind < kRequestKindCount ? kind : kRequestNone];
}

}  // namespace zntlink
