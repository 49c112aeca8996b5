#include "receiver_simulator.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "platform/clock.h"

namespace tessar::tools {
namespace {

constexpr uint8_t kStatusRetry = 0x15;
constexpr int64_t kSecondsPerDay = 86400;

// The clock is kept as seconds on a plain day count (no time zone, no DST):
// the broken-down time of the source is read as if it were UTC, the offset is
// added, and the result is broken down the same way.
bool ValidTime(const SYSTEMTIME& t) {
  const std::chrono::year_month_day date{std::chrono::year{t.wYear}, std::chrono::month{t.wMonth},
                                         std::chrono::day{t.wDay}};
  return date.ok() && t.wHour < 24 && t.wMinute < 60 && t.wSecond < 60;
}

int64_t ToSeconds(const SYSTEMTIME& t) {
  const std::chrono::sys_days date =
      std::chrono::year{t.wYear} / std::chrono::month{t.wMonth} / std::chrono::day{t.wDay};
  return static_cast<int64_t>(date.time_since_epoch().count()) * kSecondsPerDay + t.wHour * 3600 +
         t.wMinute * 60 + t.wSecond;
}

SYSTEMTIME FromSeconds(int64_t seconds) {
  int64_t days = seconds / kSecondsPerDay;
  int64_t rest = seconds % kSecondsPerDay;
  if (rest < 0) {
    rest += kSecondsPerDay;
    --days;
  }
  const std::chrono::sys_days date{std::chrono::days{days}};
  const std::chrono::year_month_day ymd{date};
  SYSTEMTIME t{};
  t.wYear = static_cast<uint16_t>(static_cast<int>(ymd.year()));
  t.wMonth = static_cast<uint16_t>(static_cast<unsigned>(ymd.month()));
  t.wDay = static_cast<uint16_t>(static_cast<unsigned>(ymd.day()));
  t.wDayOfWeek = static_cast<uint16_t>(std::chrono::weekday{date}.c_encoding());
  t.wHour = static_cast<uint16_t>(rest / 3600);
  t.wMinute = static_cast<uint16_t>(rest / 60 % 60);
  t.wSecond = static_cast<uint16_t>(rest % 60);
  return t;
}

// Message and clock bytes: second, minute, hour, day, month, year low, year high.
void AppendTime(const SYSTEMTIME& t, ReceiverSimulator::Bytes& out) {
  out.push_back(static_cast<uint8_t>(t.wSecond));
  out.push_back(static_cast<uint8_t>(t.wMinute));
  out.push_back(static_cast<uint8_t>(t.wHour));
  out.push_back(static_cast<uint8_t>(t.wDay));
  out.push_back(static_cast<uint8_t>(t.wMonth));
  out.push_back(static_cast<uint8_t>(t.wYear & 0xFF));
  out.push_back(static_cast<uint8_t>(t.wYear >> 8));
}

void AppendCount(size_t count, ReceiverSimulator::Bytes& out) {
  const uint16_t value = count > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(count);
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

std::string Hex(const uint8_t* data, size_t length) {
  std::string text;
  char byte[4];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(byte, sizeof byte, " %02X", data[i]);
    text += byte;
  }
  return text;
}

void AppendStuffed(uint8_t byte, ReceiverSimulator::Bytes& out) {
  if (byte == zntlink::kFrameEnd)
    out.push_back(zntlink::kFrameEscape);
  out.push_back(byte);
}

// The answer frame; with `corruptCrc` the CRC goes out with its lowest bit
// flipped (and stuffed as a CRC would be, so only the check fails).
ReceiverSimulator::Bytes AnswerFrame(const char code[2], const ReceiverSimulator::Bytes& body,
                                     bool corruptCrc) {
  ReceiverSimulator::Bytes frame(2 * (body.size() + 5) + 2);
  frame.resize(zntlink::BuildFrame(code, body.data(), body.size(), frame.data(), frame.size()));
  if (!corruptCrc || frame.empty())
    return frame;
  ReceiverSimulator::Bytes raw{zntlink::kFrameStart, static_cast<uint8_t>(code[0]),
                               static_cast<uint8_t>(code[1])};
  raw.insert(raw.end(), body.begin(), body.end());
  size_t stuffedLength = raw.size();
  for (uint8_t byte : raw)
    stuffedLength += byte == zntlink::kFrameEnd ? 1 : 0;
  const uint16_t crc = zntlink::Crc16Arc(raw.data(), raw.size()) ^ 0x0001;
  frame.resize(stuffedLength);
  AppendStuffed(static_cast<uint8_t>(crc & 0xFF), frame);
  AppendStuffed(static_cast<uint8_t>(crc >> 8), frame);
  frame.push_back(zntlink::kFrameEtx);
  frame.push_back(zntlink::kFrameEnd);
  return frame;
}

}  // namespace

ReceiverSimulator::ReceiverSimulator() : timeSource_(zntlink::SystemLocalTime) {
  slotInfo_ = {0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  for (size_t slot = 0; slot < kSlots; ++slot)
    setup_[slot] = {0x01, static_cast<uint8_t>(slot), 0x00, 0x00};
  password_ = {'0', '0', '0', '0'};
}

void ReceiverSimulator::Receive(const uint8_t* data, size_t length, Bytes& answer) {
  std::vector<std::string> trace;
  std::function<void(const std::string&)> sink;
  {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < length; ++i) {
      if (parser_.Feed(data[i]) && !parser_.bad())
        HandleFrameLocked(parser_.content(), parser_.contentLength(), answer, trace);
    }
    if (!trace.empty())
      sink = traceSink_;
  }
  // Outside the lock, so that a sink may call back into the simulator.
  for (const std::string& line : trace)
    sink(line);
}

void ReceiverSimulator::HandleFrameLocked(const uint8_t* content, size_t length, Bytes& answer,
                                          std::vector<std::string>& trace) {
  if (length < 2)
    return;
  const std::string code(reinterpret_cast<const char*>(content), 2);
  const Bytes payload(content + 2, content + length);
  requests_.push_back({code, payload});
  const bool tracing = static_cast<bool>(traceSink_);
  if (tracing)
    trace.push_back("<- " + code + Hex(payload.data(), payload.size()));

  // A receiver that does not hear the request, or answers busy or refused,
  // does not carry it out; an answer garbled on the line was carried out.
  if (FaultOnLocked(Fault::kSilent, code)) {
    CountDownLocked(Fault::kSilent, code);
    if (tracing)
      trace.push_back("-- " + code + " not answered [silent]");
    return;
  }
  std::string notes;
  Reply reply;
  if (FaultOnLocked(Fault::kStatusRefused, code)) {
    reply.status = zntlink::kStatusRefused;
    notes += " [status18]";
  } else if (FaultOnLocked(Fault::kStatusRetry, code)) {
    reply.status = kStatusRetry;
    notes += " [status15]";
  } else {
    reply = ExecuteLocked(code, payload);
  }

  char answerCode[2] = {code[0], code[1]};
  if (FaultOnLocked(Fault::kWrongCode, code)) {
    const char* other = code == "S9" ? "XX" : "S9";
    answerCode[0] = other[0];
    answerCode[1] = other[1];
    notes += " [code]";
  }
  if (FaultOnLocked(Fault::kNoiseBefore, code)) {
    answer.insert(answer.end(), {0x55, 0x00, 0x10});
    notes += " [noise]";
  }
  if (FaultOnLocked(Fault::kLoneEndMarkerBefore, code)) {
    answer.push_back(zntlink::kFrameEnd);
    notes += " [fa]";
  }
  const bool corrupt = FaultOnLocked(Fault::kCorruptCrc, code);
  if (corrupt)
    notes += " [crc]";
  if (FaultOnLocked(Fault::kCtsOff, code))
    notes += " [cts off]";

  Bytes body;
  body.reserve(1 + reply.payload.size());
  body.push_back(reply.status);
  body.insert(body.end(), reply.payload.begin(), reply.payload.end());
  const Bytes frame = AnswerFrame(answerCode, body, corrupt);
  answer.insert(answer.end(), frame.begin(), frame.end());
  if (tracing)
    trace.push_back("-> " + std::string(answerCode, 2) + Hex(body.data(), body.size()) + notes);

  for (size_t f = 0; f < kFaultCount; ++f) {
    if (static_cast<Fault>(f) != Fault::kSilent)
      CountDownLocked(static_cast<Fault>(f), code);
  }
}

ReceiverSimulator::Reply ReceiverSimulator::ExecuteLocked(const std::string& code,
                                                          const Bytes& payload) {
  Reply reply;
  const Reply refused{zntlink::kStatusRefused, {}};
  Bytes& out = reply.payload;
  const size_t n = payload.size();

  if (code == "S0") {
    AppendTime(FromSeconds(NowSecondsLocked()), out);
  } else if (code == "S1") {
    if (n != 7)
      return refused;
    SYSTEMTIME t{};
    t.wSecond = payload[0];
    t.wMinute = payload[1];
    t.wHour = payload[2];
    t.wDay = payload[3];
    t.wMonth = payload[4];
    t.wYear = static_cast<uint16_t>(payload[5] | payload[6] << 8);
    if (!ValidTime(t))
      return refused;
    clockOffset_ = ToSeconds(t) - ToSeconds(timeSource_());
  } else if (code == "S2") {
    out.push_back(power_);
  } else if (code == "S3") {
    out = {firmwareMajor_,
           firmwareMinor_,
           static_cast<uint8_t>(serial_ >> 24),
           static_cast<uint8_t>(serial_ >> 16),
           static_cast<uint8_t>(serial_ >> 8),
           static_cast<uint8_t>(serial_)};
  } else if (code == "S4") {
    if (n != 8 || !PasswordMatchesLocked(payload))
      return refused;
    std::copy(payload.begin() + 4, payload.end(), password_.begin());
  } else if (code == "H0" || code == "H1") {
    const auto& table = code == "H0" ? slotInfo_ : slotStatus_;
    out.push_back(static_cast<uint8_t>(kSlots));
    out.insert(out.end(), table.begin(), table.end());
  } else if (code == "H2") {
    if (n != 1 || payload[0] >= kSlots)
      return refused;
    out = setup_[payload[0]];
  } else if (code == "H3") {
    if (n < 5 || n > 5 + kSetupCapacity || !PasswordMatchesLocked(payload) || payload[4] >= kSlots)
      return refused;
    setup_[payload[4]].assign(payload.begin() + 5, payload.end());
  } else if (code == "H4") {
    if (n != 2 || payload[0] >= kSlots || payload[1] >= kMaskSets)
      return refused;
    const auto& masks = masks_[payload[0]][payload[1]];
    out = {payload[0], payload[1]};
    out.insert(out.end(), masks.begin(), masks.end());
  } else if (code == "H5") {
    if (n != 6 + kMaskBytes || !PasswordMatchesLocked(payload) || payload[4] >= kSlots ||
        payload[5] >= kMaskSets)
      return refused;
    std::copy(payload.begin() + 6, payload.end(), masks_[payload[4]][payload[5]].begin());
  } else if (code == "H6") {
    if (n != 6 || !PasswordMatchesLocked(payload) || payload[4] >= kSlots || payload[5] > 1)
      return refused;
    slotMode_[payload[4]] = payload[5];
  } else if (code == "D0") {
    AppendCount(messages_.size(), out);
  } else if (code == "D1") {
    messageDelivered_ = !messages_.empty();
    if (messages_.empty()) {
      out.push_back(0);
    } else {
      const Bytes& message = messages_.front();
      out.push_back(static_cast<uint8_t>(message.size()));
      out.insert(out.end(), message.begin(), message.end());
    }
  } else if (code == "D2") {
    if (messageDelivered_ && !messages_.empty())
      messages_.pop_front();
    messageDelivered_ = false;
    AppendCount(messages_.size(), out);
  } else if (code == "S5") {
    if (n < 2 || payload[0] > 1 || payload[1] >= kSystemValues || (payload[0] == 1 && n < 3))
      return refused;
    if (payload[0] == 1)
      systemValues_[payload[1]] = payload[2];
    out.push_back(systemValues_[payload[1]]);
  } else if (code == "S6") {
    if (n < 1 || payload[0] > 1)
      return refused;
    if (payload[0] == 1) {
      if (n < 2 || payload[1] < 1 || payload[1] > 7)
        return refused;
      rtcDayOfWeek_ = payload[1];
    }
    out.push_back(rtcDayOfWeek_);
  } else if (code == "S7") {
    if (n < 1 || payload[0] > 1 || (payload[0] == 1 && n < 2))
      return refused;
    if (payload[0] == 1)
      rtcOption_ = payload[1];
    out.push_back(rtcOption_);
  } else if (code == "S9") {
    if (n != 1 || payload[0] > 1)
      return refused;
    shutdownMode_ = payload[0];
  } else {
    return refused;
  }
  return reply;
}

bool ReceiverSimulator::PasswordMatchesLocked(const Bytes& payload) const {
  return payload.size() >= password_.size() &&
         std::equal(password_.begin(), password_.end(), payload.begin());
}

bool ReceiverSimulator::FaultOnLocked(Fault fault, const std::string& code) const {
  const FaultState& state = faults_[static_cast<size_t>(fault)];
  return state.on && (state.code.empty() || state.code == code);
}

void ReceiverSimulator::CountDownLocked(Fault fault, const std::string& code) {
  FaultState& state = faults_[static_cast<size_t>(fault)];
  if (FaultOnLocked(fault, code) && state.remaining > 0 && --state.remaining == 0)
    state.on = false;
}

// The time source is called with the lock held; it must not call back into the simulator.
int64_t ReceiverSimulator::NowSecondsLocked() const {
  return ToSeconds(timeSource_()) + clockOffset_;
}

void ReceiverSimulator::SetFault(Fault fault, bool on) {
  std::lock_guard lock(mutex_);
  faults_[static_cast<size_t>(fault)] = {on, 0, {}};
}

void ReceiverSimulator::SetFaultForAnswers(Fault fault, int answers) {
  std::lock_guard lock(mutex_);
  faults_[static_cast<size_t>(fault)] = {answers > 0, answers > 0 ? answers : 0, {}};
}

void ReceiverSimulator::SetFaultForCode(Fault fault, const std::string& code, int answers) {
  std::lock_guard lock(mutex_);
  faults_[static_cast<size_t>(fault)] = {answers > 0, answers > 0 ? answers : 0, code};
}

bool ReceiverSimulator::FaultOn(Fault fault) const {
  std::lock_guard lock(mutex_);
  return FaultOnLocked(fault);
}

bool ReceiverSimulator::Cts() const {
  return !FaultOn(Fault::kCtsOff);
}

void ReceiverSimulator::SetPowerStatus(uint8_t status) {
  std::lock_guard lock(mutex_);
  power_ = status;
}

uint8_t ReceiverSimulator::PowerStatus() const {
  std::lock_guard lock(mutex_);
  return power_;
}

void ReceiverSimulator::SetFirmware(uint8_t major, uint8_t minor, uint32_t serial) {
  std::lock_guard lock(mutex_);
  firmwareMajor_ = major;
  firmwareMinor_ = minor;
  serial_ = serial;
}

void ReceiverSimulator::SetSlotInfo(const std::array<uint8_t, 8>& info) {
  std::lock_guard lock(mutex_);
  slotInfo_ = info;
}

void ReceiverSimulator::SetSlotStatus(const std::array<uint8_t, 8>& status) {
  std::lock_guard lock(mutex_);
  slotStatus_ = status;
}

std::array<uint8_t, 8> ReceiverSimulator::SlotStatus() const {
  std::lock_guard lock(mutex_);
  return slotStatus_;
}

void ReceiverSimulator::SetPassword(const std::array<uint8_t, 4>& password) {
  std::lock_guard lock(mutex_);
  password_ = password;
}

void ReceiverSimulator::SetTimeSource(std::function<SYSTEMTIME()> source) {
  std::lock_guard lock(mutex_);
  // The offset set by S1 or SetClock stays: the clock now runs from this source.
  timeSource_ = source ? std::move(source) : zntlink::SystemLocalTime;
}

void ReceiverSimulator::SetClock(const SYSTEMTIME& time) {
  if (!ValidTime(time))
    return;
  std::lock_guard lock(mutex_);
  clockOffset_ = ToSeconds(time) - ToSeconds(timeSource_());
}

SYSTEMTIME ReceiverSimulator::Clock() const {
  std::lock_guard lock(mutex_);
  return FromSeconds(NowSecondsLocked());
}

void ReceiverSimulator::AddMessage(const Bytes& message) {
  std::lock_guard lock(mutex_);
  // The length travels in one byte.
  messages_.emplace_back(
      message.begin(),
      message.begin() + static_cast<std::ptrdiff_t>(message.size() > 0xFF ? 0xFF : message.size()));
}

size_t ReceiverSimulator::StoredMessages() const {
  std::lock_guard lock(mutex_);
  return messages_.size();
}

ReceiverSimulator::Bytes ReceiverSimulator::Kind2Message(uint8_t slot, const SYSTEMTIME& time,
                                                         const std::array<uint8_t, 3>& body) {
  Bytes message{static_cast<uint8_t>(slot << 4 | 2)};
  AppendTime(time, message);
  message.insert(message.end(), body.begin(), body.end());
  return message;
}

ReceiverSimulator::Bytes ReceiverSimulator::Kind3Message(uint8_t slot, const SYSTEMTIME& time,
                                                         const std::array<uint8_t, 13>& body) {
  Bytes message{static_cast<uint8_t>(slot << 4 | 3)};
  AppendTime(time, message);
  message.insert(message.end(), body.begin(), body.end());
  return message;
}

std::vector<ReceivedRequest> ReceiverSimulator::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<std::string> ReceiverSimulator::RequestCodes() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> codes;
  codes.reserve(requests_.size());
  for (const ReceivedRequest& request : requests_)
    codes.push_back(request.code);
  return codes;
}

void ReceiverSimulator::ClearRequests() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

uint8_t ReceiverSimulator::SystemValue(unsigned index) const {
  std::lock_guard lock(mutex_);
  return index < kSystemValues ? systemValues_[index] : 0;
}

uint8_t ReceiverSimulator::RtcDayOfWeek() const {
  std::lock_guard lock(mutex_);
  return rtcDayOfWeek_;
}

uint8_t ReceiverSimulator::RtcOption() const {
  std::lock_guard lock(mutex_);
  return rtcOption_;
}

int ReceiverSimulator::ShutdownMode() const {
  std::lock_guard lock(mutex_);
  return shutdownMode_;
}

void ReceiverSimulator::SetTraceSink(std::function<void(const std::string&)> sink) {
  std::lock_guard lock(mutex_);
  traceSink_ = std::move(sink);
}

}  // namespace tessar::tools
