// The cost of a zone message against the zone-state memory, with the records
// found through the index: zone messages per second for an unchanged report
// and for a changing one (one event and one 29-byte write each), at 10
// records and at every possible key (1,052,672 records), and the time to load
// the full-size file. Prints figures; asserts none.
//   zone_bench [--records N] [--messages M]
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "conversion/message_decoding.h"
#include "conversion/zone_state_file.h"

namespace {

using namespace tessar;
using SteadyClock = std::chrono::steady_clock;

// 4096 devices × 256 subaddresses, and 4096 type-0 devices.
constexpr size_t kAllKeys = 4096 * 256 + 4096;
constexpr double kLongAgo = 40000.0;
constexpr double kNow = 45000.5;

double Seconds(SteadyClock::time_point since) {
  return std::chrono::duration<double>(SteadyClock::now() - since).count();
}

// The (device, subaddress) of record i, in the order the file holds them.
std::pair<int, int> KeyOf(size_t i) {
  if (i < 4096 * 256)
    return {static_cast<int>(i % 4096), static_cast<int>(i / 4096)};
  return {static_cast<int>(i - 4096 * 256), -1};  // type 0
}

void WriteFile(const std::string& path, size_t records) {
  std::vector<uint8_t> bytes(records * kZoneRecordSize);
  for (size_t i = 0; i < records; ++i) {
    const auto [device, subaddress] = KeyOf(i);
    ZoneStateRecord record;
    record.key = subaddress < 0 ? device + kType0Offset : device;
    record.subaddress = static_cast<uint8_t>(subaddress < 0 ? 0 : subaddress);
    record.changedAt = kLongAgo;
    std::memcpy(bytes.data() + i * kZoneRecordSize, &record, kZoneRecordSize);
  }
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

stru_arb MessageFor(size_t i, bool zoneOne) {
  const auto [device, subaddress] = KeyOf(i);
  stru_arb message(kReceiverMessageSize, 0);
  uint8_t* body = message.data() + kBodyOffset;
  body[0] = static_cast<uint8_t>(subaddress < 0 ? 0 : subaddress);
  body[2] = static_cast<uint8_t>(device >> 4);
  body[3] = static_cast<uint8_t>(((device & 0x0F) << 4) | (subaddress < 0 ? 0 : 2));
  body[12] = zoneOne ? 1 : 0;
  return message;
}

void Run(const std::string& directory, size_t records, size_t messages) {
  const std::string path = directory + "/sost.mem";
  WriteFile(path, records);
  FailureReport report(platform::SystemClock());
  ZoneStateMemory memory;
  ZoneStateFile file(report);
  const auto loadStart = SteadyClock::now();
  file.Open(path, memory);
  const double load = Seconds(loadStart);

  // Spread the messages over all records with a stride prime to their count:
  // an unchanged report, or one that sets or clears zone 1 (one event and
  // one write each).
  const size_t stride = records > 7919 ? 7919 : 1;
  MessageDecoder decoder(memory);
  size_t events = 0;
  auto start = SteadyClock::now();
  for (size_t m = 0, i = 0; m < messages; ++m, i = (i + stride) % records) {
    const DecodeResult result = decoder.Decode(MessageFor(i, false), kNow, 1);
    events += result.payloads.size();
  }
  const double unchangedRate = static_cast<double>(messages) / Seconds(start);
  start = SteadyClock::now();
  for (size_t m = 0, i = 0; m < messages; ++m, i = (i + stride) % records) {
    // Each record is reported with zone 1 set, then clear, then set...
    const bool set = (m / records) % 2 == 0;
    const DecodeResult result = decoder.Decode(MessageFor(i, set), kNow, 1);
    events += result.payloads.size();
    if (result.zoneWrite)
      file.Write(*result.zoneWrite);
  }
  const double changingRate = static_cast<double>(messages) / Seconds(start);
  std::printf(
      "%9zu records: load %7.1f ms, unchanged %10.0f msg/s, changing %9.0f msg/s (%zu events)\n",
      records, load * 1000, unchangedRate, changingRate, events);
}

}  // namespace

int main(int argc, char** argv) {
  size_t records = kAllKeys;
  size_t messages = 1000000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--records") == 0)
      records = std::strtoul(argv[i + 1], nullptr, 10);
    else if (std::strcmp(argv[i], "--messages") == 0)
      messages = std::strtoul(argv[i + 1], nullptr, 10);
  }
  std::string directory = (std::filesystem::temp_directory_path() / "zone-bench-XXXXXX").string();
  if (!mkdtemp(directory.data()))
    return 1;
  std::printf(
      "zone messages against the zone-state memory (target: over 200000 msg/s unchanged at %zu "
      "records, load under 1 s)\n",
      kAllKeys);
  Run(directory, std::min<size_t>(10, records), messages);
  Run(directory, records, messages);
  std::filesystem::remove_all(directory);
  return 0;
}
