// CommSession: everything one open port needs, from the serial port and the two
// threads to the copy of the receiver's state and the request slot.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "frame.h"
#include "platform/event.h"
#include "platform/serial_port.h"
#include "platform/thread.h"
#include "zntlink.h"

namespace zntlink {

enum LinkState : int32_t {
  kLinkIdle = 1,
  kLinkConnect = 2,
  kLinkReinit = 3,
  kLinkSystem = 4,
  kLinkQuery = 5,
};

// Indices into the session's LinkTimeouts values.
enum TimeoutIndex { kTimeoutAttempts = 2, kTimeoutQueryWait = 4, kTimeoutIdleWait = 5 };
constexpr std::array<uint32_t, 7> kDefaultLinkTimeouts = {100, 4, 3, 500, 200, 400, 400};

// Indices into the session's counters, in the order of LinkStatistics.
enum StatisticIndex { kTxFrm, kRxFrm, kCrc, kTmOut, kLink, kMsg, kStatisticCount };

constexpr size_t kSlotCount = 8;
constexpr size_t kMessageCapacity = 23;

// One line-control group: which line events the MODEM thread waits for, which
// modem lines a working link needs, and what to do with RTS at start and close.
struct LineControlGroup {
  uint32_t eventMask = kEventCts;
  uint32_t requiredStatus = kModemCts;
  uint32_t startEscape = kEscapeSetRts;
  uint32_t closeEscape = kEscapeClearRts;
};

// The copy of the receiver's state, written by the LINK thread's answer
// handlers and read by the getters, both under the session's state guard.
struct ReceiverState {
  uint8_t powerStatus = 0;
  uint8_t firmwareMajor = 0;
  uint8_t firmwareMinor = 0;
  uint32_t serialNumber = 0;
  uint8_t clock[7] = {};  // second, minute, hour, day, month, year low, year high
  uint8_t slotInformation[kSlotCount] = {};
  uint8_t slotStatus[kSlotCount] = {};
  uint16_t messageCount = 0;
  bool messagePresent = false;
  bool messageTaken = false;
  uint8_t messageLength = 0;
  uint8_t message[kMessageCapacity] = {};
};

// The hand-over of one API request to the LINK thread. A request is known by
// its ticket: the LINK thread delivers an answer only to the ticket it served,
// and only while its caller still waits, so a late answer never reaches a
// caller that gave up nor passes for the answer to a later request.
struct RequestSlot {
  std::mutex mutex;
  std::condition_variable answered;
  bool claimed = false;  // a caller is making a request; another one fails at once
  uint32_t ticket = 0;   // the newest request's number
  bool pending = false;  // a caller waits for the answer to `ticket`
  bool done = false;     // the answer to `ticket` is in `buffer`
  int32_t result = 0;
  uint8_t kind = 0;
  uint16_t length = 0;
  uint8_t buffer[kFrameBufferSize] = {};  // the payload going out, the answer content coming back
};

}  // namespace zntlink

struct CommSession {
  std::atomic<int32_t> port{0};                     // the low 8 bits of the number given to open
  std::unique_ptr<zntlink::SerialPort> serialPort;  // null while the port is closed
  zntlink::PortTimeouts workingTimeouts;
  uint32_t readWaitMs = 0;    // a read's wait for its first byte, set at open
  uint32_t frameLimitMs = 0;  // the longest one read of an answer may take

  std::atomic<int32_t> runningThreads{0};
  zntlink::HeldThread modemThread;
  zntlink::HeldThread linkThread;
  std::atomic<uint32_t> modemThreadId{0};
  std::atomic<uint32_t> linkThreadId{0};

  zntlink::ManualResetEvent wakeEvent;
  std::mutex stateGuard;
  zntlink::ManualResetEvent requestEvent;
  // Set whenever the link comes up or falls back to Idle, so that the open
  // operation learns the outcome of the first connection without polling.
  zntlink::ManualResetEvent linkSettled;

  std::atomic<int32_t> lastError{0};
  std::atomic<int32_t> linkUp{0};
  std::atomic<int32_t> sessionOpen{0};

  // Frame buffers and parser: used by the LINK thread only.
  uint8_t requestPayload[zntlink::kFrameBufferSize] = {};
  uint8_t transmitFrame[zntlink::kFrameBufferSize] = {};
  uint8_t readChunk[zntlink::kFrameBufferSize] = {};
  zntlink::FrameParser parser;

  std::atomic<int32_t> run{0};
  std::atomic<int32_t> linkState{0};
  std::array<std::atomic<uint32_t>, 7> timeouts{};

  zntlink::ReceiverState receiver;  // under stateGuard
  zntlink::RequestSlot request;
  zntlink::LineControlGroup lineGroups[2];
  std::array<std::atomic<uint32_t>, zntlink::kStatisticCount> statistics{};

  // Serialises open-side and close-side operations on this session.
  std::mutex lifecycle;

  CommSession();

  uint32_t Timeout(zntlink::TimeoutIndex index) const { return timeouts[index].load(); }
  void Count(zntlink::StatisticIndex index) { statistics[index].fetch_add(1); }
  LinkStatistics Statistics() const;
};

namespace zntlink {

// Sessions are never released while the library is loaded; closed ones are
// released when it is unloaded.
CommSession* CreateSession();
void DestroySession(CommSession* session);

}  // namespace zntlink
