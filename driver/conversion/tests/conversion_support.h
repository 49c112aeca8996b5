// Helpers for the conversion's tests: receiver messages built from their
// fields, a server link that records what is posted, a window that records
// what the cycle shows, and reading files back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "conversion/decoding_cycle.h"
#include "conversion/dispatch.h"
#include "conversion/records.h"

namespace tessar::testing {

// A 23-byte ReceiverMessage; `zones` are body bytes 5..12.
struct MessageFields {
  int device = 0;
  int type = 2;
  bool test = false;
  uint8_t subaddress = 0;
  uint8_t route = 0;
  std::array<uint8_t, 8> zones{};
};
stru_arb Message(const MessageFields& fields);
// The zone matrix with the given zones (1..64) set.
ZoneMatrix Zones(std::initializer_list<int> zones);

// The records are packed: the tests read their wider fields through a copy
// (`+record.zone`), since a reference to one may be misaligned.
EventRecord ParseEvent(const Bytes& payload);
MeasurementRecord ParseMeasurement(const Bytes& payload);

// Records every post; refuses them when its ring is full; says a packet
// was written when told. One thread only.
class FakeLink : public ServerLink {
 public:
  bool Online() const override { return online; }
  PostResult PostPacket(int32_t code, const Bytes& payload) override;
  bool PacketWritten(uint64_t sequence) const override {
    return written >= static_cast<int64_t>(sequence);
  }
  // Every packet posted so far has been written.
  void WriteAll() { written = static_cast<int64_t>(sequence) - 1; }

  bool online = true;
  int room = -1;  // how many more posts are queued; -1 for no limit
  uint64_t sequence = 0;
  int64_t written = -1;
  std::vector<CodedPayload> posts;
};

class RecordingConversionWindow : public ConversionWindow {
 public:
  void SetElapsedText(const std::string& text) override { elapsed.push_back(text); }
  void ReportError(const std::string& text) override { errors.push_back(text); }
  std::vector<std::string> elapsed;
  std::vector<std::string> errors;
};

Bytes ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const Bytes& bytes);
// The names in a directory that end with `suffix`, sorted.
std::vector<std::string> FilesEndingWith(const std::string& directory, const std::string& suffix);
// Sets a file's modification time to `seconds` since 1970.
void SetModified(const std::string& path, int64_t seconds);

}  // namespace tessar::testing
