// The receiver supervision cycle, one tick every 500 ms on the main thread:
// report changes of the receiver link to the message server, show the two
// counters, keep the receiver clock within 2 seconds of the computer's, and
// take at most one message from the library into the incoming queue.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "common/driver_state.h"
#include "frame/frame_window.h"
#include "frame/receiver_library.h"
#include "netlink/packets.h"
#include "platform/clock.h"

namespace tessar {

// The most the receiver clock may be off before it is set.
constexpr int64_t kClockToleranceMs = 2000;
// The message buffer a fetch passes to the library, and the record kept of it.
constexpr size_t kMessageBufferSize = 101;
constexpr size_t kQueuedMessageSize = 23;

class Supervision {
 public:
  struct Links {
    // Posts one packet to the message server.
    std::function<void(int32_t code, const Bytes& payload)> post;
    // True while the incoming queue can take one more message.
    std::function<bool()> queueHasRoom;
    // Puts one receiver message (source tag 1) into the incoming queue.
    std::function<void(const uint8_t* bytes, size_t count)> putMessage;
  };

  Supervision(ReceiverApi& receiver, DriverState& state, FrameWindow& window,
              const platform::Clock& clock, Links links);

  // One tick with the current session handle (null: no activity).
  void Timer3Timer(CommSession* session, int32_t messageCounter, int32_t duplicateCounter);

  // Local time of the latest tick that found the link up (the start time before).
  platform::LocalTime LastActivityTime() const { return lastActivity_; }
  void SetLastActivityTime(const platform::LocalTime& time) { lastActivity_ = time; }
  int32_t StationFrame() const { return stationFrame_; }

  // The receiver clock as a local time, when it is a valid date.
  static std::optional<platform::LocalTime> ClockOf(const SYSTEMTIME& receiverClock);
  // A local time as the library's time record, day of week included.
  static SYSTEMTIME TimeRecordOf(const platform::LocalTime& time);

 private:
  void RedrawStation();
  void CheckClock(CommSession* session);
  void FetchOneMessage(CommSession* session);

  ReceiverApi& receiver_;
  DriverState& state_;
  FrameWindow& window_;
  const platform::Clock& clock_;
  Links links_;
  platform::LocalTime lastActivity_;
  int32_t stationFrame_ = 0;
  SYSTEMTIME clockBuffer_{};
};

}  // namespace tessar
