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

// Reads until the parser finishes a frame: 0 (a frame, good or bad, is in the
// parser), -1 (read error) or -2 (nothing within the read limit).
int ReadFrame(CommSession& session);

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
