#include "transport.h"

#include <algorithm>

#include "link.h"
#include "log.h"
#include "platform/clock.h"
#include "platform/thread_id.h"
#include "session.h"
#include "texts.h"
#include "timing.h"

namespace zntlink {
namespace {

// With interval and multiplier at their maximum a read returns what is
// waiting at once, or waits the constant for the first byte.
constexpr uint32_t kReadReturnWaiting = 0xFFFFFFFF;
constexpr uint32_t kWriteMsPerByte = 1;
constexpr uint32_t kDefaultWriteConstant = 200;
constexpr unsigned long kInvalidHandle = 0xFFFFFFFF;
// Every stored byte of a full receive buffer stuffed, plus ETX and end marker.
constexpr uint32_t kLongestStuffedFrame = 2 * kFrameBufferSize + 2;
constexpr uint32_t kBitsPerByte = 10;  // 8N1: start, eight data bits, stop
constexpr uint32_t kFrameLimitMarginMs = 50;

}  // namespace

bool ConfigurePort(CommSession& s, uint32_t baudRate) {
  SerialPort& port = *s.serialPort;
  port.Purge(kPurgeAll);
  s.workingTimeouts = port.SaveTimeouts();
  s.lineGroups[0] = LineControlGroup{};
  s.lineGroups[1] = LineControlGroup{};
  s.workingTimeouts.readInterval = kReadReturnWaiting;
  s.workingTimeouts.readTotalMultiplier = kReadReturnWaiting;
  s.readWaitMs = Timing().readTimeoutMs;
  s.frameLimitMs = FrameLimitMs(s.readWaitMs, baudRate);
  s.workingTimeouts.readTotalConstant = s.readWaitMs;
  s.workingTimeouts.writeTotalMultiplier = kWriteMsPerByte;
  s.workingTimeouts.writeTotalConstant = kDefaultWriteConstant;
  return port.ApplyLineSettings(baudRate);
}

bool WriteFrame(CommSession& s, size_t frameLength) {
  SerialPort& port = *s.serialPort;
  port.Purge(kPurgeTransmit);
  const WriteResult written = port.Write(s.transmitFrame, static_cast<uint32_t>(frameLength));
  uint32_t queued = 0;
  switch (written.outcome) {
    case WriteOutcome::kComplete:
      return true;
    case WriteOutcome::kFailedAtStart:
      DebugLine("WriteError= 0x%X\n", port.ClearErrors(&queued));
      s.lastError = ZNT_ERR_WRITE;
      return false;
    case WriteOutcome::kFailedWhileBusy:
      DebugLine("WriteError= 0x%X\n", port.ClearErrors(&queued));
      return false;
    case WriteOutcome::kIncomplete:
      DebugLine("WriteTimeout: %ld bytes sent\n", written.bytesSent);
      return false;
  }
  return false;
}

uint32_t FrameLimitMs(uint32_t firstByteWaitMs, uint32_t baudRate) {
  const uint64_t bits = uint64_t{kLongestStuffedFrame} * kBitsPerByte * 1000;
  const uint64_t lineMs = baudRate == 0 ? 0 : (bits + baudRate - 1) / baudRate;
  return static_cast<uint32_t>(
      std::min<uint64_t>(uint64_t{firstByteWaitMs} + lineMs + kFrameLimitMarginMs, 0x7FFFFFFF));
}

int ReadFrame(CommSession& s) {
  SerialPort& port = *s.serialPort;
  // Each answer is parsed from its own start byte: what a read that ran out
  // left half-assembled is not glued to the next answer.
  s.parser.Reset();
  const uint32_t deadline = TickMs() + s.frameLimitMs;
  uint32_t firstByteWait = s.readWaitMs;
  // Near the frame limit a read waits only for what is left of it.
  auto limitWait = [&](uint32_t wait) {
    if (wait == firstByteWait)
      return;
    firstByteWait = wait;
    s.workingTimeouts.readTotalConstant = wait;
    port.SetTimeouts(s.workingTimeouts);
  };
  auto finish = [&](int outcome) {
    limitWait(s.readWaitMs);
    return outcome;
  };
  for (;;) {
    if (!s.run)
      return finish(kReadClosing);
    const int32_t left = static_cast<int32_t>(deadline - TickMs());
    if (left <= 0)
      return finish(kReadTimeout);
    limitWait(std::min(s.readWaitMs, static_cast<uint32_t>(left)));
    uint32_t queued = 0;
    port.ClearErrors(&queued);
    const uint32_t want = std::clamp<uint32_t>(queued, 1, sizeof s.readChunk);
    const int got = port.Read(s.readChunk, want);
    if (got < 0) {
      DebugLine("ReadError= 0x%X\n", port.ClearErrors(&queued));
      return finish(s.run ? kReadError : kReadClosing);
    }
    if (got == 0)
      return finish(s.run ? kReadTimeout : kReadClosing);
    bool finished = false;
    s.parser.Feed(s.readChunk, static_cast<size_t>(got), &finished);
    if (finished)
      return finish(kReadFinished);
  }
}

void ModemThreadBody(CommSession& s) {
  DebugLine("Thread TIMER: CREATED\n");
  s.runningThreads.fetch_add(1);
  s.modemThreadId = CurrentThreadId();
  DebugLine("MODEM thread id= 0x%X\n", s.modemThreadId);
  SerialPort& port = *s.serialPort;
  const uint32_t mask = s.lineGroups[0].eventMask | s.lineGroups[1].eventMask;
  const uint32_t required = s.lineGroups[0].requiredStatus | s.lineGroups[1].requiredStatus;
  port.SetEventMask(mask);
  while (s.run) {
    const uint32_t events = port.WaitEvent();
    if ((events & mask) == 0)
      continue;
    // Only the required lines, and nothing else, count as a working line.
    if (required != 0 && port.ModemStatus() == required) {
      s.linkState = kLinkReinit;
    } else {
      MarkLink(s, false);
      GoToIdle(s);
    }
    s.wakeEvent.Set();
  }
  // The MODEM thread ends after the LINK thread.
  while (s.runningThreads.load() > 1)
    SleepMs(1);
  s.runningThreads.fetch_sub(1);
}

bool StartThreads(CommSession& s) {
  if (s.run.exchange(1) == 1)
    return false;
  s.runningThreads = 0;
  s.linkState = kLinkConnect;
  s.linkSettled.Reset();
  // Both threads are created first and held, so that a failure to create the
  // second leaves neither running. Once released, a body always runs, even
  // when a close has already cleared the run flag: it then only announces
  // itself and ends.
  if (!s.modemThread.Create([&s] { ModemThreadBody(s); }) ||
      !s.linkThread.Create([&s] { LinkThreadBody(s); })) {
    s.run = 0;
    s.modemThread.Abandon();
    s.linkThread.Abandon();
    s.modemThread.Join();
    s.linkThread.Join();
    return false;
  }
  s.modemThread.Release();
  s.linkThread.Release();
  // The LINK thread's first pass through Connect either brings the link up or
  // sets error 14.
  for (;;) {
    if (s.lastError == ZNT_ERR_LINK) {
      StopThreads(s);
      return false;
    }
    if (s.linkUp == 1)
      return true;
    s.linkSettled.Wait(100);
    s.linkSettled.Reset();
  }
}

bool StopThreads(CommSession& s) {
  s.run = 0;
  if (s.serialPort)
    s.serialPort->SetEventMask(0);
  s.wakeEvent.Set();
  s.requestEvent.Set();
  if (!s.linkThread.Exists() && !s.modemThread.Exists())
    return false;
  // The LINK thread ends first; the MODEM thread waits for it.
  const bool linkClosed = s.linkThread.Join();
  const bool modemClosed = s.modemThread.Join();
  DebugLine("Threads stoping...\n");
  if (modemClosed)
    DebugLine("Thread MODEM closed (%X)\n", s.modemThreadId.exchange(0));
  if (linkClosed)
    DebugLine("Thread LINK closed (%X)\n", s.linkThreadId.exchange(0));
  TextBuffer text;
  DebugLine(RenderStatisticsBlock(text, s.Statistics()));
  return linkClosed && modemClosed;
}

int ClosePort(CommSession& s) {
  if (!s.serialPort)
    return 0;
  DebugLine("COM port closing...\n");
  TextBuffer text;
  SessionLogEntry(s.port, RenderSessionCompleted(text, LocalNow(), s.Statistics()));
  s.sessionOpen = 0;
  SerialPort& port = *s.serialPort;
  port.Purge(kPurgeAll);
  port.RestoreLineSettings();
  port.Escape(s.lineGroups[0].closeEscape);
  port.Escape(s.lineGroups[1].closeEscape);
  port.RestoreTimeouts();
  if (!port.Close())
    return 0;
  s.serialPort.reset();
  DebugLine("Port closed,HANDLE= 0x%lx\n", kInvalidHandle);
  return 1;
}

}  // namespace zntlink
