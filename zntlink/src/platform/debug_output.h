// The debug-output channel: the system's debug channel (the system log at debug
// priority with ident "zntlink" on POSIX, the debugger's output on Windows), or
// standard error when ZNTLINK_DEBUG=stderr. Tests capture lines through a sink.
#pragma once

#include <functional>
#include <string>

namespace zntlink {

void WriteDebugOutput(const char* text);

// The system's own debug channel; called with the channel's lock held.
void WriteSystemDebugChannel(const char* text);

// Routes every debug line to the sink instead; an empty function restores the channel.
void SetDebugSinkForTesting(std::function<void(const std::string&)> sink);

}  // namespace zntlink
