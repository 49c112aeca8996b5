// The zone-state memory: for every transmitter seen, the zone matrix it last
// reported, so that only changes (and, for one minute, their repetitions)
// become events. This class holds the memory image of "sost.mem" and decides;
// it does no I/O: a comparison returns its events and the record to write.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "conversion/records.h"

namespace tessar {

using ZoneMatrix = std::array<uint8_t, 8>;

#pragma pack(push, 1)
struct ZoneStateRecord {
  int32_t key = 0;  // device number; + 9000 for type-0 messages
  uint8_t subaddress = 0;
  double changedAt = 0;  // OLE Automation date of creation or of the last change
  ZoneMatrix current{};
  ZoneMatrix previous{};
};
#pragma pack(pop)
static_assert(sizeof(ZoneStateRecord) == 29);

constexpr size_t kZoneRecordSize = sizeof(ZoneStateRecord);
constexpr int kZones = 64;
// Further reports of a change repeat its events for this long.
constexpr int64_t kRepeatWindowMs = 60 * 1000;

// Zone z (1..64) is bit (z - 1) mod 8 of matrix byte 7 - (z - 1) div 8.
bool ZoneSet(const ZoneMatrix& matrix, int zone);

// One event of a comparison: an alarm or restore code and its zone.
struct ZoneEvent {
  std::string_view code;
  uint16_t zone = 0;
  bool operator==(const ZoneEvent&) const = default;
};

// A record to store at a byte offset of the file.
struct ZoneWrite {
  uint64_t offset = 0;
  std::array<uint8_t, kZoneRecordSize> bytes{};
};

struct ZoneComparison {
  std::vector<ZoneEvent> events;   // in ascending zone order
  std::optional<ZoneWrite> write;  // none when the stored record did not change
};

class ZoneStateMemory {
 public:
  // Takes the file's bytes as the image. Only whole records count: bytes
  // after the last whole record are neither searched nor kept, and the first
  // new record takes their place, so records always lie at multiples of 29.
  void Load(Bytes fileBytes);

  // Compares a reported matrix at local time `now` (an OLE Automation date)
  // with the transmitter's record and updates the image.
  ZoneComparison CompareZoneStates(int32_t key, uint8_t subaddress, const ZoneMatrix& matrix,
                                   double now);

  size_t Records() const { return image_.size() / kZoneRecordSize; }
  // The whole records, in file order.
  const Bytes& Image() const { return image_; }
  std::optional<ZoneStateRecord> Find(int32_t key, uint8_t subaddress) const;

 private:
  static uint64_t IndexKey(int32_t key, uint8_t subaddress);
  ZoneStateRecord RecordAt(size_t offset) const;
  ZoneWrite Store(size_t offset, const ZoneStateRecord& record);

  Bytes image_;
  // (key, subaddress) -> offset of the first record in file order with that pair.
  std::unordered_map<uint64_t, uint64_t> index_;
};

// Milliseconds since 1899-12-30 00:00 of an OLE Automation date; none for a
// value that is no date (not finite or far out of range).
std::optional<int64_t> OleMilliseconds(double date);

}  // namespace tessar
