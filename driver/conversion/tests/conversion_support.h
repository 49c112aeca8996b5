// Helpers for the conversion's tests: receiver messages built from their
// fields, a server link that records what is posted, a window that records
// what the cycle shows, and reading files back.
#pragma once

#include <cstdint>
#include <mutex>
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

EventRecord ParseEvent(const Bytes& payload);
MeasurementRecord ParseMeasurement(const Bytes& payload);

// Records every post; refuses them when its ring is full; says a packet
// was written when told.
class FakeLink : public ServerLink {
 public:
  bool Online() const override;
  PostResult PostPacket(int32_t code, const Bytes& payload) override;
  bool PacketWritten(uint64_t sequence) const override;

  void SetOnline(bool online);
  // How many more posts are queued; -1 for no limit.
  void SetRoom(int room);
  // Every packet posted so far has been written.
  void WriteAll();
  std::vector<CodedPayload> Posts() const;
  void ClearPosts();

 private:
  mutable std::mutex mutex_;
  bool online_ = true;
  int room_ = -1;
  uint64_t sequence_ = 0;
  int64_t written_ = -1;
  std::vector<CodedPayload> posts_;
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
