#include "conversion/zone_memory.h"

#include <cmath>
#include <cstring>

namespace tessar {

bool ZoneSet(const ZoneMatrix& matrix, int zone) {
  const int bit = (zone - 1) % 8;
  const int byte = 7 - (zone - 1) / 8;
  return (matrix[static_cast<size_t>(byte)] >> bit) & 1;
}

std::optional<int64_t> OleMilliseconds(double date) {
  // Far beyond the year 9999 either way; keeps the conversion in range.
  if (!std::isfinite(date) || std::fabs(date) > 1e8)
    return std::nullopt;
  return std::llround(date * 86400000.0);
}

uint64_t ZoneStateMemory::IndexKey(int32_t key, uint8_t subaddress) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(key)) << 8) | subaddress;
}

void ZoneStateMemory::Load(Bytes fileBytes) {
  image_ = std::move(fileBytes);
  image_.resize(image_.size() / kZoneRecordSize * kZoneRecordSize);
  index_.clear();
  index_.reserve(Records());
  for (size_t offset = 0; offset < image_.size(); offset += kZoneRecordSize) {
    const ZoneStateRecord record = RecordAt(offset);
    // Only the first record of a pair is ever used.
    index_.try_emplace(IndexKey(record.key, record.subaddress), static_cast<uint64_t>(offset));
  }
}

ZoneStateRecord ZoneStateMemory::RecordAt(size_t offset) const {
  ZoneStateRecord record;
  std::memcpy(&record, image_.data() + offset, kZoneRecordSize);
  return record;
}

ZoneWrite ZoneStateMemory::Store(size_t offset, const ZoneStateRecord& record) {
  ZoneWrite write;
  write.offset = offset;
  std::memcpy(write.bytes.data(), &record, kZoneRecordSize);
  if (offset == image_.size())
    image_.insert(image_.end(), write.bytes.begin(), write.bytes.end());
  else
    std::memcpy(image_.data() + offset, write.bytes.data(), kZoneRecordSize);
  return write;
}

std::optional<ZoneStateRecord> ZoneStateMemory::Find(int32_t key, uint8_t subaddress) const {
  const auto found = index_.find(IndexKey(key, subaddress));
  if (found == index_.end())
    return std::nullopt;
  return RecordAt(found->second);
}

ZoneComparison ZoneStateMemory::CompareZoneStates(int32_t key, uint8_t subaddress,
                                                  const ZoneMatrix& matrix, double now) {
  ZoneComparison result;
  const auto found = index_.find(IndexKey(key, subaddress));
  if (found == index_.end()) {
    // A new transmitter: its record counts as a change from all clear.
    ZoneStateRecord record;
    record.key = key;
    record.subaddress = subaddress;
    record.changedAt = now;
    record.current = matrix;
    const size_t offset = image_.size();
    result.write = Store(offset, record);
    index_.emplace(IndexKey(key, subaddress), static_cast<uint64_t>(offset));
    for (int zone = 1; zone <= kZones; ++zone) {
      if (ZoneSet(matrix, zone))
        result.events.push_back({kCodeAlarm, static_cast<uint16_t>(zone)});
    }
    return result;
  }

  ZoneStateRecord record = RecordAt(found->second);
  const auto nowMs = OleMilliseconds(now);
  const auto changedMs = OleMilliseconds(record.changedAt);
  const bool inRepeatWindow = nowMs && changedMs && *nowMs < *changedMs + kRepeatWindowMs;
  const bool changed = record.current != matrix;
  // Unchanged and outside the window (or nothing to repeat): nothing to do.
  if (!changed && (!inRepeatWindow || record.previous == record.current))
    return result;
  for (int zone = 1; zone <= kZones; ++zone) {
    const bool reported = ZoneSet(matrix, zone);
    const bool current = ZoneSet(record.current, zone);
    const bool previous = ZoneSet(record.previous, zone);
    if (reported != current)
      result.events.push_back({reported ? kCodeAlarm : kCodeRestore, static_cast<uint16_t>(zone)});
    else if (previous != current && inRepeatWindow)
      result.events.push_back({current ? kCodeAlarm : kCodeRestore, static_cast<uint16_t>(zone)});
  }
  if (changed) {
    record.previous = record.current;
    record.current = matrix;
    record.changedAt = now;
    result.write = Store(found->second, record);
  }
  return result;
}

}  // namespace tessar
