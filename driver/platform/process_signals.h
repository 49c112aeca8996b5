// Stop requests from the system (SIGTERM, SIGINT) carried to the event loop:
// the handler only writes one byte to a socket pair, and the event loop
// watches the other end. Nothing else happens inside the handler.
#pragma once

namespace tessar::platform {

// Installs the handlers once; the descriptor to watch for readability, or -1.
int InstallStopSignals();
// Reads what the handler wrote; the number of the signal, 0 when none was there.
int TakeStopSignal();

}  // namespace tessar::platform
