#include "frame/supervision.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace tessar {
namespace {

// Milliseconds on a plain day count; exact, so "2 seconds off" is not mistaken
// for a little more by floating-point rounding.
int64_t Milliseconds(const platform::LocalTime& t) {
  const std::chrono::sys_days day = std::chrono::year{t.year} /
                                    std::chrono::month(static_cast<unsigned>(t.month)) /
                                    std::chrono::day(static_cast<unsigned>(t.day));
  const int64_t seconds =
      int64_t{day.time_since_epoch().count()} * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
  return seconds * 1000 + t.millisecond;
}

}  // namespace

Supervision::Supervision(ReceiverApi& receiver, DriverState& state, FrameWindow& window,
                         const platform::Clock& clock, Links links)
    : receiver_(receiver),
      state_(state),
      window_(window),
      clock_(clock),
      links_(std::move(links)),
      lastActivity_(clock.LocalNow()) {}

void Supervision::Timer3Timer(CommSession* session, int32_t messageCounter,
                              int32_t duplicateCounter) {
  const uint8_t activity = receiver_.GetActivity(session) == 1 ? 1 : 0;
  if (activity != state_.ReceiverLinkState()) {
    state_.SetReceiverLinkState(activity);
    RedrawStation();
    links_.post(CMD_PORT_STATE, PortStatePayload(state_.PortText(), activity));
  }
  window_.ShowCounters(messageCounter, duplicateCounter);
  if (activity != 1)
    return;
  lastActivity_ = clock_.LocalNow();
  stationFrame_ = NextIndicatorFrame(stationFrame_);
  RedrawStation();
  CheckClock(session);
  FetchOneMessage(session);
}

void Supervision::RedrawStation() {
  window_.DrawStationIndicator(DrawIndicator(state_.ReceiverLinkState() == 1, stationFrame_));
}

std::optional<platform::LocalTime> Supervision::ClockOf(const SYSTEMTIME& c) {
  const std::chrono::year_month_day date{std::chrono::year{c.wYear}, std::chrono::month{c.wMonth},
                                         std::chrono::day{c.wDay}};
  if (!date.ok() || c.wYear < 100 || c.wHour > 23 || c.wMinute > 59 || c.wSecond > 59 ||
      c.wMilliseconds > 999)
    return std::nullopt;
  return platform::LocalTime{c.wYear,   c.wMonth,  c.wDay,         c.wHour,
                             c.wMinute, c.wSecond, c.wMilliseconds};
}

SYSTEMTIME Supervision::TimeRecordOf(const platform::LocalTime& t) {
  SYSTEMTIME record{};
  record.wYear = static_cast<uint16_t>(t.year);
  record.wMonth = static_cast<uint16_t>(t.month);
  record.wDay = static_cast<uint16_t>(t.day);
  record.wHour = static_cast<uint16_t>(t.hour);
  record.wMinute = static_cast<uint16_t>(t.minute);
  record.wSecond = static_cast<uint16_t>(t.second);
  record.wMilliseconds = static_cast<uint16_t>(t.millisecond);
  const std::chrono::weekday weekday{std::chrono::sys_days{
      std::chrono::year{t.year} / std::chrono::month(static_cast<unsigned>(t.month)) /
      std::chrono::day(static_cast<unsigned>(t.day))}};
  record.wDayOfWeek = static_cast<uint16_t>(weekday.c_encoding());
  return record;
}

void Supervision::CheckClock(CommSession* session) {
  receiver_.GetTime(session, &clockBuffer_);
  // A receiver clock that is no date cannot be compared; it is left alone.
  const auto receiverTime = ClockOf(clockBuffer_);
  if (!receiverTime)
    return;
  const platform::LocalTime now = clock_.LocalNow();
  const int64_t difference = Milliseconds(*receiverTime) - Milliseconds(now);
  if (std::llabs(difference) <= kClockToleranceMs)
    return;
  clockBuffer_ = TimeRecordOf(now);
  receiver_.SetTime(session, &clockBuffer_);
}

void Supervision::FetchOneMessage(CommSession* session) {
  if (receiver_.GetMsgNum(session) <= 0)
    return;
  // A message taken from the library that the queue cannot keep would be
  // lost; while the queue is full it stays in the receiver instead.
  if (!links_.queueHasRoom())
    return;
  uint8_t buffer[kMessageBufferSize] = {};
  if (receiver_.GetMsg(session, reinterpret_cast<ReceiverMessage*>(buffer)) == 1)
    links_.putMessage(buffer, kQueuedMessageSize);
}

}  // namespace tessar
