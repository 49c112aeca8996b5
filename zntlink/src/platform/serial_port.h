// The port interface: the few primitives the link protocol needs from a serial
// port. The protocol core calls only these; the POSIX port implements them for
// real devices and tests put an in-memory port in their place.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace zntlink {

// Modem-status bits, event-mask bits and escape functions keep the values of
// the original platform so the line-control groups read as written.
constexpr uint32_t kModemCts = 0x10;
constexpr uint32_t kModemDsr = 0x20;
constexpr uint32_t kModemRing = 0x40;
constexpr uint32_t kModemDcd = 0x80;
constexpr uint32_t kEventCts = 0x0008;
constexpr uint32_t kEventDsr = 0x0010;
constexpr uint32_t kEventDcd = 0x0020;
constexpr uint32_t kEventRing = 0x0100;
constexpr uint32_t kEscapeSetRts = 3;
constexpr uint32_t kEscapeClearRts = 4;
constexpr uint32_t kPurgeTxAbort = 0x01;
constexpr uint32_t kPurgeRxAbort = 0x02;
constexpr uint32_t kPurgeTxClear = 0x04;
constexpr uint32_t kPurgeRxClear = 0x08;
constexpr uint32_t kPurgeAll = 0x0F;
constexpr uint32_t kPurgeTransmit = kPurgeTxAbort | kPurgeTxClear;

// Read and write limits, in the meaning of the original platform's port timeouts.
// With interval and multiplier 0xFFFFFFFF a read returns what is waiting at
// once, or waits readTotalConstant ms for the first byte.
struct PortTimeouts {
  uint32_t readInterval = 0;
  uint32_t readTotalMultiplier = 0;
  uint32_t readTotalConstant = 0;
  uint32_t writeTotalMultiplier = 0;
  uint32_t writeTotalConstant = 0;
};

enum class WriteOutcome {
  kComplete,         // every byte was written
  kFailedAtStart,    // the write could not be started
  kFailedWhileBusy,  // the write started and then failed
  kIncomplete,       // the write limit ran out with bytes left
};

struct WriteResult {
  WriteOutcome outcome = WriteOutcome::kComplete;
  uint32_t bytesSent = 0;
};

class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // A number that identifies the open port in the debug lines.
  virtual uintptr_t Handle() const = 0;

  // Reads the port's timeouts (kept for Restore) and returns them.
  virtual PortTimeouts SaveTimeouts() = 0;
  // Keeps the line state found at open, then applies raw 8N1 at the baud rate,
  // no flow control, DTR and RTS on. False when the port rejects the settings.
  virtual bool ApplyLineSettings(uint32_t baudRate) = 0;
  virtual void SetTimeouts(const PortTimeouts& timeouts) = 0;
  virtual void Purge(uint32_t flags) = 0;

  // Reads and clears the port's error flags; *queued gets the input bytes waiting.
  virtual uint32_t ClearErrors(uint32_t* queued) = 0;
  // Writes the frame within the write limit of the current timeouts.
  virtual WriteResult Write(const uint8_t* data, uint32_t length) = 0;
  // Reads at most capacity bytes under the current timeouts: the count read,
  // 0 when no byte came within the read limit, -1 on a read error.
  virtual int Read(uint8_t* buffer, uint32_t capacity) = 0;

  virtual uint32_t ModemStatus() = 0;
  // Sets the line events WaitEvent reports; a mask of 0 ends a running WaitEvent.
  virtual void SetEventMask(uint32_t mask) = 0;
  // Blocks until a line event of the mask happens and returns its event bits;
  // returns 0 when the mask was set to 0.
  virtual uint32_t WaitEvent() = 0;
  virtual void Escape(uint32_t function) = 0;

  // Writes back the line state found at open.
  virtual void RestoreLineSettings() = 0;
  // Writes back the timeouts found at open.
  virtual void RestoreTimeouts() = 0;
  // False when the device could not be closed; the port stays usable then.
  virtual bool Close() = 0;
};

using PortOpener = std::function<std::unique_ptr<SerialPort>(int port)>;

// Opens the port exclusively through the installed opener (the system's port
// by default); null when it is missing or busy, with the path tried and the
// reason in *failure.
std::unique_ptr<SerialPort> OpenSerialPort(int port, std::string* failure = nullptr);

// Replaces the opener; an empty function restores the system's port.
void SetPortOpenerForTesting(PortOpener opener);

#if defined(_WIN32)
// The Windows implementation, on "\\.\COM<n>".
std::unique_ptr<SerialPort> OpenWin32SerialPort(int port, std::string* failure = nullptr);
#else
// The POSIX implementation.
std::unique_ptr<SerialPort> OpenPosixSerialPort(int port, std::string* failure = nullptr);

// The POSIX port on a device path (a terminal device); null when it is missing,
// busy or not a terminal, with the path and the reason in *failure.
std::unique_ptr<SerialPort> OpenPosixSerialPortPath(const std::string& path,
                                                    std::string* failure = nullptr);
#endif

}  // namespace zntlink
