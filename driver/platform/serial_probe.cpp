#include "platform/serial_probe.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>

namespace tessar::platform {
namespace {

bool ApplyLineSettings(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0)
    return false;
  cfmakeraw(&settings);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
  settings.c_cflag |= CS8 | CLOCAL | CREAD;
  settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  if (cfsetispeed(&settings, B9600) != 0 || cfsetospeed(&settings, B9600) != 0)
    return false;
  // TCSANOW: the settings take effect without waiting for output to drain.
  return tcsetattr(fd, TCSANOW, &settings) == 0;
}

}  // namespace

bool ProbeSerialPort(const std::string& devicePath) {
  if (devicePath.empty())
    return false;
  const int fd = open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return false;
  // The lock first: only a port nobody holds gets the exclusive mode and the
  // line settings.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return false;
  }
  bool usable = false;
  if (ioctl(fd, TIOCEXCL) == 0) {
    usable = ApplyLineSettings(fd);
    // The exclusive mode belongs to the terminal, not to this descriptor, and
    // would outlive it where the terminal stays (a pseudo-terminal whose other
    // end is open): the next opener, the receiver library, must find it clear.
    ioctl(fd, TIOCNXCL);
  }
  flock(fd, LOCK_UN);
  close(fd);
  return usable;
}

std::string LinkTarget(const std::string& path) {
  std::array<char, 4096> buffer{};
  const ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size() - 1);
  if (length <= 0)
    return {};
  return std::string(buffer.data(), static_cast<size_t>(length));
}

}  // namespace tessar::platform
