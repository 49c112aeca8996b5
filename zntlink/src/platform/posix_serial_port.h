// The POSIX serial port's modem-line calls, replaceable so tests can stand in
// for hardware lines that a pseudo-terminal does not have.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/serial_port.h"

namespace zntlink {

// The line and error counters a serial driver keeps (TIOCGICOUNT).
struct LineCounts {
  uint32_t cts = 0;
  uint32_t dsr = 0;
  uint32_t rng = 0;
  uint32_t dcd = 0;
  uint32_t frame = 0;
  uint32_t overrun = 0;
  uint32_t parity = 0;
  uint32_t brk = 0;
  uint32_t bufOverrun = 0;
};

// Each call returns 0, or -1 with errno set, like the ioctl it stands for.
struct ModemLineCalls {
  int (*getLines)(int fd, int* lines);           // TIOCMGET, TIOCM_* bits
  int (*getCounts)(int fd, LineCounts* counts);  // TIOCGICOUNT
};

// The calls on the real device.
ModemLineCalls SystemModemLineCalls();

// OpenPosixSerialPortPath with the given modem-line calls.
std::unique_ptr<SerialPort> OpenPosixSerialPortWithLineCalls(const std::string& path,
                                                             const ModemLineCalls& calls,
                                                             std::string* failure = nullptr);

}  // namespace zntlink
