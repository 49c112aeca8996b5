#include "conversion/records.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tessar {
namespace {

template <typename Record>
Bytes RecordBytes(const Record& record) {
  Bytes bytes(sizeof record);
  std::memcpy(bytes.data(), &record, sizeof record);
  return bytes;
}

}  // namespace

EventCode MakeEventCode(std::string_view text) {
  EventCode code;
  code.length = static_cast<uint8_t>(std::min<size_t>(text.size(), sizeof code.text));
  std::memcpy(code.text, text.data(), code.length);
  return code;
}

std::string EventCodeText(const EventCode& code) {
  return std::string(code.text, std::min<size_t>(code.length, sizeof code.text));
}

Bytes EventPayload(const EventRecord& record) {
  return RecordBytes(record);
}

Bytes MeasurementPayload(const MeasurementRecord& record) {
  return RecordBytes(record);
}

Bytes SpoolFileContent(const CodedPayload& item) {
  Bytes content(4 + item.payload.size());
  PutInt32(content.data(), item.code);
  std::copy(item.payload.begin(), item.payload.end(), content.begin() + 4);
  return content;
}

std::optional<CodedPayload> ParseSpoolFile(const Bytes& content) {
  if (content.size() < 4)
    return std::nullopt;
  return CodedPayload{GetInt32(content.data()), Bytes(content.begin() + 4, content.end())};
}

bool IsWholeDriverSpoolFile(const Bytes& content) {
  const auto item = ParseSpoolFile(content);
  if (!item)
    return false;
  if (item->code == CMD_EVENT)
    return item->payload.size() == sizeof(EventRecord) && item->payload[0] == kEventRecordTag;
  return item->code == CMD_MEASUREMENT && item->payload.size() == sizeof(MeasurementRecord);
}

std::string SpoolName(const platform::LocalTime& time) {
  const uint32_t seconds =
      static_cast<uint32_t>(time.day) * 86400u + static_cast<uint32_t>(time.hour) * 3600u +
      static_cast<uint32_t>(time.minute) * 60u + static_cast<uint32_t>(time.second);
  const uint32_t value = seconds * 1000u + static_cast<uint32_t>(time.millisecond);
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(value));
  return text;
}

}  // namespace tessar
