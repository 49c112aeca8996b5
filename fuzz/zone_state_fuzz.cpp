// "sost.mem" loading and search: the input is the file. It is opened and
// loaded through the zone-state file as at start, every record's pair is
// searched, and reports compared against the first records and a new
// transmitter are stored back through the file. Checked: a search finds the
// first record of its pair; events are alarms and restores of zones 1 to 64
// in ascending order; a stored record lies at a multiple of 29 bytes within
// the image; and afterwards the file begins with exactly the image.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "conversion/failure_report.h"
#include "conversion/zone_memory.h"
#include "conversion/zone_state_file.h"
#include "fuzz_support.h"
#include "platform/clock.h"

using tessar::fuzz::Check;
using namespace tessar;

namespace {

constexpr size_t kComparedRecords = 16;

void CheckComparison(const ZoneComparison& comparison, const ZoneStateMemory& memory) {
  int lastZone = 0;
  for (const ZoneEvent& event : comparison.events) {
    Check(event.code == kCodeAlarm || event.code == kCodeRestore, "an event of another code");
    Check(event.zone > lastZone && event.zone <= kZones, "zones out of order or out of range");
    lastZone = event.zone;
  }
  if (comparison.write) {
    Check(comparison.write->offset % kZoneRecordSize == 0 &&
              comparison.write->offset + kZoneRecordSize <= memory.Image().size(),
          "a record stored outside the image");
    Check(std::memcmp(memory.Image().data() + comparison.write->offset,
                      comparison.write->bytes.data(), kZoneRecordSize) == 0,
          "the stored record is not the image's");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz::ScratchDirectory() + "/sost.mem";
  fuzz::WriteWholeFile(path, std::string_view(reinterpret_cast<const char*>(data), size));

  platform::ManualClock clock;
  FailureReport report(clock, [](const std::string&) {});
  ZoneStateMemory memory;
  {
    ZoneStateFile file(report);
    file.Open(path, memory);
    Check(memory.Records() == size / kZoneRecordSize, "whole records not all loaded");
    Check(std::equal(memory.Image().begin(), memory.Image().end(), data),
          "the image is not the file");

    // Search every record's pair: the first record of the pair is found.
    std::vector<ZoneStateRecord> records(memory.Records());
    for (size_t i = 0; i < records.size(); ++i)
      std::memcpy(&records[i], data + i * kZoneRecordSize, kZoneRecordSize);
    int32_t largestKey = 0;
    for (size_t i = 0; i < records.size(); ++i) {
      const auto found = memory.Find(records[i].key, records[i].subaddress);
      Check(found.has_value(), "a record of the file is not found");
      Check(found->key == records[i].key && found->subaddress == records[i].subaddress,
            "a search found another pair");
      for (size_t j = 0; j < i; ++j) {
        if (records[j].key == records[i].key && records[j].subaddress == records[i].subaddress) {
          Check(std::memcmp(&*found, &records[j], kZoneRecordSize) == 0,
                "a search did not find the first record of its pair");
          break;
        }
      }
      largestKey = std::max(largestKey, +records[i].key);
    }

    // Reports against the first records: the same matrix, then a changed one,
    // at times inside and beyond the repeat window of the stored date.
    for (size_t i = 0; i < std::min(records.size(), kComparedRecords); ++i) {
      const ZoneStateRecord& record = records[i];
      const double stored = record.changedAt;
      const double now =
          std::isfinite(stored) ? stored + static_cast<double>(i) * 15.0 / 86400.0 : 45000.5;
      ZoneMatrix changed = record.current;
      changed[i % changed.size()] ^= static_cast<uint8_t>(1u << (i % 8));
      for (const ZoneMatrix& matrix : {record.current, changed}) {
        const ZoneComparison comparison =
            memory.CompareZoneStates(record.key, record.subaddress, matrix, now);
        CheckComparison(comparison, memory);
        if (comparison.write)
          file.Write(*comparison.write);
      }
    }
    // A transmitter never seen: appended after the whole records.
    const int32_t newKey = largestKey == INT32_MAX ? INT32_MIN : largestKey + 1;
    const ZoneComparison comparison =
        memory.CompareZoneStates(newKey, 0, ZoneMatrix{0, 0, 0, 0, 0, 0, 0, 0x81}, 45000.5);
    Check(comparison.write.has_value(), "a new transmitter is not stored");
    CheckComparison(comparison, memory);
    file.Write(*comparison.write);
  }

  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> stored{std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>()};
  Check(stored.size() >= memory.Image().size() &&
            std::equal(memory.Image().begin(), memory.Image().end(), stored.begin()),
        "the file does not begin with the image");
  return 0;
}
