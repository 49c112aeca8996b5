// The port scan's test of one serial device: can it be opened exclusively and
// take line settings right now? The device is closed again before the answer.
#pragma once

#include <string>

namespace tessar::platform {

// Opens `devicePath` without waiting (O_NONBLOCK, no controlling terminal),
// locks it (flock, exclusive, not waiting), makes it exclusive (TIOCEXCL),
// applies raw 8N1 9600 baud line settings, then undoes the exclusive mode and
// closes it. True only when every step succeeded. A port that another
// descriptor or process holds fails at the open or the lock and is left as it
// was: nothing is written to it and its settings are not touched.
bool ProbeSerialPort(const std::string& devicePath);

// Where a symbolic link points (its own text, one level); "" when `path` is
// not a link.
std::string LinkTarget(const std::string& path);

}  // namespace tessar::platform
