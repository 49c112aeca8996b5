#include "conversion_support.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tessar::testing {

stru_arb Message(const MessageFields& fields) {
  stru_arb message(kReceiverMessageSize, 0);
  uint8_t* body = message.data() + kBodyOffset;
  body[0] = fields.subaddress;
  body[1] = fields.route;
  body[2] = static_cast<uint8_t>(fields.device >> 4);
  body[3] = static_cast<uint8_t>(((fields.device & 0x0F) << 4) | (fields.test ? kTestFlag : 0) |
                                 (fields.type & 0x07));
  std::copy(fields.zones.begin(), fields.zones.end(), body + 5);
  return message;
}

ZoneMatrix Zones(std::initializer_list<int> zones) {
  ZoneMatrix matrix{};
  for (const int zone : zones)
    matrix[static_cast<size_t>(7 - (zone - 1) / 8)] |= static_cast<uint8_t>(1u << ((zone - 1) % 8));
  return matrix;
}

EventRecord ParseEvent(const Bytes& payload) {
  if (payload.size() != sizeof(EventRecord))
    throw std::runtime_error("not an event record");
  EventRecord record;
  std::memcpy(&record, payload.data(), sizeof record);
  return record;
}

MeasurementRecord ParseMeasurement(const Bytes& payload) {
  if (payload.size() != sizeof(MeasurementRecord))
    throw std::runtime_error("not a measurement record");
  MeasurementRecord record;
  std::memcpy(&record, payload.data(), sizeof record);
  return record;
}

PostResult FakeLink::PostPacket(int32_t code, const Bytes& payload) {
  PostResult result;
  result.sequence = sequence++;
  if (room == 0)
    return result;
  if (room > 0)
    --room;
  result.queued = true;
  posts.push_back({code, payload});
  return result;
}

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> FilesEndingWith(const std::string& directory, const std::string& suffix) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    if (name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void SetModified(const std::string& path, int64_t seconds) {
  timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
    throw std::runtime_error("utimensat " + path);
}

}  // namespace tessar::testing
