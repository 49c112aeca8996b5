// The library's traces: debug lines to the debug-output channel (only after the
// first open switched them on), and entries appended to the session log
// (zntlog/syYYYYMM.log) and the message log (zntlog/YYYYMM_P.log, P the
// ten-day period), each prefixed "COM<port>> ".
#pragma once

#include <cstdint>
#include <string>

namespace zntlink {

void DebugSwitchOn();
void DebugLine(const char* text);
// Formats one value with a printf-style format (e.g. "ReadError= 0x%X\n").
void DebugLine(const char* format, unsigned long value);
// A line that explains a failure to the administrator; written whether or not
// the debug lines were switched on, as a failed first open never switches them on.
void DebugFailureLine(const std::string& text);

// Append one entry; a null text, or a file that cannot be opened, writes nothing.
void SessionLogEntry(int port, const char* text);
void MessageLogEntry(int port, const char* text);

// The directory holding the log files, "zntlog" by default.
void SetLogDirectoryForTesting(const std::string& directory);
// Back to the defaults: debug switch off, directory "zntlog".
void ResetLogForTesting();

}  // namespace zntlink
