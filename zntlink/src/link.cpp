#include "link.h"

#include <algorithm>
#include <cstring>

#include "log.h"
#include "platform/clock.h"
#include "platform/thread_id.h"
#include "session.h"
#include "texts.h"
#include "timing.h"
#include "transport.h"

namespace zntlink {

int Exchange(CommSession& s, const char code[2], const uint8_t* payload, size_t length) {
  const size_t frameLength =
      BuildFrame(code, payload, length, s.transmitFrame, sizeof s.transmitFrame);
  if (frameLength > 0) {
    // The write limit is the frame length in ms plus 1 ms per byte.
    s.workingTimeouts.writeTotalConstant = static_cast<uint32_t>(frameLength);
    s.serialPort->SetTimeouts(s.workingTimeouts);
    // The attempts value is read at each attempt, so a change takes effect at once.
    for (uint32_t attempt = 0; attempt < s.Timeout(kTimeoutAttempts); ++attempt) {
      // A session that is closing abandons the exchange: the receiver did not
      // fail, so nothing is counted and the link is not marked down.
      if (!s.run)
        return 0;
      if (!WriteFrame(s, frameLength))
        continue;
      s.Count(kTxFrm);
      const int read = ReadFrame(s);
      if (read == kReadClosing)
        return 0;
      if (read != kReadFinished) {
        s.Count(kTmOut);
        continue;
      }
      s.Count(kRxFrm);
      if (s.parser.bad()) {
        s.Count(kCrc);
        DebugLine("Frame Receive CRC Error\n");
        continue;
      }
      const uint8_t* content = s.parser.content();
      if (s.parser.contentLength() >= 3 && content[0] == static_cast<uint8_t>(code[0]) &&
          content[1] == static_cast<uint8_t>(code[1]) &&
          (content[2] == kStatusAccepted || content[2] == kStatusRefused)) {
        return 1;
      }
    }
  }
  if (s.run && s.linkUp == 1)
    MarkLink(s, false);
  return 0;
}

bool RunSequence(CommSession& s, const RequestKind* kinds, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const RequestEntry& entry = Request(kinds[i]);
    if (entry.preCheck != nullptr && !entry.preCheck(s))
      continue;
    if (!Exchange(s, entry.code, nullptr, 0))
      return false;
    if (entry.handler != nullptr) {
      entry.handler(s, s.parser.content() + 3, s.parser.contentLength() - 3);
    }
  }
  return true;
}

void MarkLink(CommSession& s, bool up) {
  const int32_t value = up ? 1 : 0;
  if (s.linkUp.exchange(value) == value)
    return;
  if (!up)
    s.Count(kLink);
  TextBuffer text;
  SessionLogEntry(s.port, RenderLinkStatus(text, LocalNow(), up));
  if (up)
    s.linkSettled.Set();
}

void GoToIdle(CommSession& s) {
  s.lastError = ZNT_ERR_LINK;
  s.linkState = kLinkIdle;
  s.linkSettled.Set();
}

namespace {

// The LINK thread moves on from the state it acted in. When the MODEM thread
// changed the state meanwhile (Reinit after the line came back, Idle after it
// was lost), that change stands and is acted on next.
bool Advance(CommSession& s, LinkState from, LinkState to) {
  int32_t expected = from;
  return s.linkState.compare_exchange_strong(expected, to);
}

uint32_t RequiredModemStatus(const CommSession& s) {
  return s.lineGroups[0].requiredStatus | s.lineGroups[1].requiredStatus;
}

// Connect could not bring the link up: error 14 and back to Idle, where the
// LINK thread waits its idle wait unless a line event wakes it. The wake event
// is reset first, so a line event that comes meanwhile is not lost, and a state
// the MODEM thread set meanwhile (Reinit when the line came back) stands.
void ConnectFailed(CommSession& s) {
  s.wakeEvent.Reset();
  s.lastError = ZNT_ERR_LINK;
  Advance(s, kLinkConnect, kLinkIdle);
  s.linkSettled.Set();
}

void ConnectStep(CommSession& s) {
  s.serialPort->Escape(s.lineGroups[0].startEscape);
  s.serialPort->Escape(s.lineGroups[1].startEscape);
  // A ready receiver answers RTS with CTS within 10 ms.
  SleepMs(Timing().connectSettleMs);
  const uint32_t required = RequiredModemStatus(s);
  if ((s.serialPort->ModemStatus() & required) != required) {
    ConnectFailed(s);
    return;
  }
  if (!RunSequence(s, kInitSequence)) {
    if (s.run)
      ConnectFailed(s);
    return;
  }
  if (Advance(s, kLinkConnect, kLinkSystem))
    MarkLink(s, true);
}

// Hands the request in the slot to the receiver. The payload is copied out
// before the exchange and the answer delivered only to the ticket that is
// still waiting for it.
void ServeRequestSlot(CommSession& s) {
  RequestSlot& slot = s.request;
  uint32_t ticket;
  uint8_t kind;
  uint16_t length;
  {
    std::lock_guard lock(slot.mutex);
    if (!slot.pending || slot.done) {
      s.requestEvent.Reset();
      return;
    }
    ticket = slot.ticket;
    kind = slot.kind;
    length = std::min<uint16_t>(slot.length, sizeof s.requestPayload);
    std::memcpy(s.requestPayload, slot.buffer, length);
  }
  int result = 0;
  if (s.run && kind != kRequestNone && kind < kRequestKindCount) {
    result = Exchange(s, Request(static_cast<RequestKind>(kind)).code, s.requestPayload, length);
    // A request that failed every attempt has marked the link down; the link
    // is brought up again through Idle and Connect, as after a failed poll.
    // Polling on in Query would leave it marked down although polls succeed.
    if (result == 0 && s.run)
      GoToIdle(s);
  }
  std::lock_guard lock(slot.mutex);
  if (slot.pending && !slot.done && slot.ticket == ticket) {
    slot.result = result;
    slot.length = static_cast<uint16_t>(std::min(s.parser.contentLength(), sizeof slot.buffer));
    if (result == 1)
      std::memcpy(slot.buffer, s.parser.content(), slot.length);
    slot.kind = kRequestNone;
    slot.done = true;
    slot.answered.notify_all();
  }
  // A request made while an abandoned one was being served keeps the event set.
  if (!slot.pending || slot.done)
    s.requestEvent.Reset();
}

}  // namespace

void LinkThreadBody(CommSession& s) {
  DebugLine("Thread COMM:  CREATED\n");
  s.runningThreads.fetch_add(1);
  DebugLine("Thread COMM:  START\n");
  s.linkThreadId = CurrentThreadId();
  DebugLine("LINK thread id= 0x%X\n", s.linkThreadId);
  while (s.run) {
    switch (s.linkState) {
      case kLinkIdle:
        DebugLine("Vertex_Idle->...\n");
        s.wakeEvent.Wait(s.Timeout(kTimeoutIdleWait));
        Advance(s, kLinkIdle, kLinkConnect);
        break;
      case kLinkReinit:
        DebugLine("Vertex_Reinit->...\n");
        if (Advance(s, kLinkReinit, kLinkConnect))
          ConnectStep(s);
        break;
      case kLinkConnect:
        ConnectStep(s);
        break;
      case kLinkSystem:
        if (RunSequence(s, kPollSequence)) {
          Advance(s, kLinkSystem, kLinkQuery);
        } else if (s.run) {
          DebugLine("Vertex_System->Error\n");
          GoToIdle(s);
        }
        break;
      case kLinkQuery:
        if (s.requestEvent.Wait(s.Timeout(kTimeoutQueryWait))) {
          DebugLine("Vertex_Query->Signaled\n");
          ServeRequestSlot(s);
        } else {
          Advance(s, kLinkQuery, kLinkSystem);
        }
        break;
      default:
        // No such state; wait like Idle rather than spin.
        s.wakeEvent.Wait(s.Timeout(kTimeoutIdleWait));
        break;
    }
  }
  s.runningThreads.fetch_sub(1);
}

}  // namespace zntlink
