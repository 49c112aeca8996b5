// The driver's lines on standard error, time-stamped, with the journal's
// priority prefixes when systemd collects them, and the service manager's
// notify protocol (readiness, watchdog, stopping) when it asks for it.
#pragma once

#include <string>

namespace tessar::platform {

enum class Severity { kError, kWarning, kInfo };

// "YYYY-MM-DD hh:mm:ss tessard: text", prefixed "<3>", "<4>" or "<6>" when
// standard error is the journal.
void WriteServiceLine(Severity severity, const std::string& text);

// True when JOURNAL_STREAM ("device:inode") names the file that standard error
// is. A process whose standard error was sent elsewhere may still have the
// variable it inherited; its lines then carry no prefixes.
bool StandardErrorIsJournal();

// Sends one notify message ("READY=1", "WATCHDOG=1", "STOPPING=1") when
// NOTIFY_SOCKET is set; false when there is nobody to tell or the message
// could not be sent.
bool NotifyServiceManager(const std::string& message);

// How often to send WATCHDOG=1, in ms: half the interval WATCHDOG_USEC asks
// for, at least 1 and at most what a timer holds; 0 when no watchdog was asked
// for, or when WATCHDOG_PID names another process (the variables were inherited).
int WatchdogPingMs();

}  // namespace tessar::platform
