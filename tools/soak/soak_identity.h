// The identity of every message the soak stores: a transmitter (device
// number and subaddress) that appears once only, and a pattern of one to
// three zones in alarm. A transmitter the zone-state memory has never seen
// yields one "1130" event per set zone, so each expected event is known by
// (device, subaddress, zone) and can be recognised in the CMD_EVENT records
// the message server receives.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tessar::soak {

// Receiver messages use devices 1-3999; lines of the local TCP service
// 4000-4095, so the two producers never share a transmitter.
inline constexpr int kReceiverFirstDevice = 1;
inline constexpr int kReceiverDevices = 3999;
inline constexpr int kServiceFirstDevice = 4000;
inline constexpr int kServiceDevices = 96;
inline constexpr int kSubaddresses = 256;
inline constexpr uint8_t kZoneMessageType = 2;

struct EventKey {
  int device = 0;
  int subaddress = 0;
  int zone = 0;
  auto operator<=>(const EventKey&) const = default;
};

struct MessageIdentity {
  int device = 0;
  int subaddress = 0;
  std::vector<int> zones;  // ascending, 1-64
};

// The identity of the n-th message (n from 0) of a producer whose devices
// start at `firstDevice` and number `devices`.
inline MessageIdentity IdentityOf(uint32_t n, int firstDevice, int devices) {
  MessageIdentity id;
  id.subaddress = static_cast<int>(n % kSubaddresses);
  id.device = firstDevice + static_cast<int>((n / kSubaddresses) % static_cast<uint32_t>(devices));
  const int first = 1 + static_cast<int>(n % 64);
  id.zones.push_back(first);
  // Every third message has a second zone, every seventh a third, so that
  // messages with several events are checked too.
  if (n % 3 == 0) {
    const int second = 1 + static_cast<int>((n * 7 + 13) % 64);
    if (second != first)
      id.zones.push_back(second);
  }
  if (n % 7 == 0) {
    const int third = 1 + static_cast<int>((n * 11 + 29) % 64);
    bool taken = false;
    for (int z : id.zones)
      taken = taken || z == third;
    if (!taken)
      id.zones.push_back(third);
  }
  std::sort(id.zones.begin(), id.zones.end());
  return id;
}

// The 13 body bytes of a type-2 zone message with this identity: subaddress,
// route bits 1, the device number in bytes 2 and 3, and the zone matrix in
// bytes 5-12 (byte 12 holds zones 1-8, bit 0 = zone 1).
inline std::array<uint8_t, 13> BodyOf(const MessageIdentity& id) {
  std::array<uint8_t, 13> body{};
  body[0] = static_cast<uint8_t>(id.subaddress);
  body[1] = 1;
  body[2] = static_cast<uint8_t>(id.device >> 4);
  body[3] = static_cast<uint8_t>((id.device & 0x0F) << 4 | kZoneMessageType);
  for (int z : id.zones)
    body[static_cast<size_t>(12 - (z - 1) / 8)] |= static_cast<uint8_t>(1 << ((z - 1) % 8));
  return body;
}

// A "Slot" line of the local TCP service carrying these body bytes.
inline std::string ServiceLineOf(const std::array<uint8_t, 13>& body) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string line = "12:00:00 R(1) Slot01 t ";
  for (uint8_t b : body) {
    line += kHex[b >> 4];
    line += kHex[b & 0x0F];
  }
  line += " 07\r\n";
  return line;
}

}  // namespace tessar::soak
