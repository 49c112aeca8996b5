// The driver's lines on standard error, time-stamped, with the journal's
// priority prefixes when systemd collects them, and the service manager's
// notify protocol (readiness, watchdog) when it asks for it.
#pragma once

#include <string>

namespace tessar::platform {

enum class Severity { kError, kWarning, kInfo };

// "YYYY-MM-DD hh:mm:ss tessard: text", prefixed "<3>", "<4>" or "<6>" under systemd.
void WriteServiceLine(Severity severity, const std::string& text);

// Sends one notify message ("READY=1", "WATCHDOG=1") when NOTIFY_SOCKET is
// set; false when there is nobody to tell or the message could not be sent.
bool NotifyServiceManager(const std::string& message);
// The watchdog interval the service manager asked for, in ms; 0 when none.
long WatchdogIntervalMs();

}  // namespace tessar::platform
