// The library's use of the serial port: configuring it, writing one request
// frame, reading one answer frame, the MODEM thread, starting and stopping the
// session's threads, and restoring and closing the port.
#pragma once

#include <cstddef>
#include <cstdint>

struct CommSession;

namespace zntlink {

// Purge, timeouts, line-control defaults and line settings; false when the
// port rejected the line settings.
bool ConfigurePort(CommSession& session, uint32_t baudRate);

// One write attempt of the frame in the session's transmit buffer.
bool WriteFrame(CommSession& session, size_t frameLength);

// Outcomes of ReadFrame.
constexpr int kReadFinished = 0;  // a frame, good or bad, is in the parser
constexpr int kReadError = -1;
constexpr int kReadTimeout =
    -2;  // no byte within the read limit, or no frame within the frame limit
constexpr int kReadClosing = -3;  // the session is closing; the answer is abandoned

// Reads until the parser finishes a frame. One read of an answer is bounded by
// the session's frame limit, so a line that sends bytes without ever finishing
// a frame ends it like a silent one.
int ReadFrame(CommSession& session);

// The frame limit: the wait for the first byte, plus the time the longest
// stuffed frame takes on the line at this baud rate, plus a margin.
uint32_t FrameLimitMs(uint32_t firstByteWaitMs, uint32_t baudRate);

// Starts the MODEM and LINK threads and waits for the first connection's
// outcome; true when the link came up.
bool StartThreads(CommSession& session);
// Stops both threads; the LINK thread finishes its exchange first.
bool StopThreads(CommSession& session);

// Writes the session-completed entry, restores and closes the port. 1 when the
// port was closed, 0 when there was none or closing failed.
int ClosePort(CommSession& session);

void ModemThreadBody(CommSession& session);

}  // namespace zntlink
