// An in-memory serial line between the library and the receiver simulator:
// what the library writes reaches the simulator at once and its answer waits
// in the input queue. A read finding nothing reports the read limit as run out
// at once, so a silent receiver costs no real time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/serial_port.h"
#include "receiver_simulator.h"

namespace zntlink::testing {

struct MemoryLine {
  tessar::tools::ReceiverSimulator receiver;

  // Injects bytes into the library's input queue, as if the receiver sent them.
  void Inject(const std::vector<uint8_t>& bytes);
  // Raises a line event (kEventCts ...) for the MODEM thread.
  void RaiseEvent(uint32_t events);
  // While held, the library's reads block: its exchange stalls mid-request.
  void HoldReads(bool hold);
  // Waits until a read is blocked by HoldReads; false after 10 s.
  bool WaitForHeldRead();
  // Answers arrive one byte per read, `milliseconds` apart (0: all at once).
  void SetByteDelay(uint32_t milliseconds);
  // While on, the line streams printable text that never forms a frame, as a
  // device on the wrong port would; what the receiver answers is not heard.
  void SetBabble(bool on);
  // Modem-status bits reported besides CTS (which follows the simulator).
  void SetExtraModemStatus(uint32_t bits);
  // The next `times` writes fail this way (-1: until set to kComplete again).
  void FailWrites(WriteOutcome outcome, int times = -1);
  // The next `times` reads fail (-1: until called with 0).
  void FailReads(int times);

  bool IsOpen();
  std::vector<uint32_t> Escapes();
  uint32_t LastBaudRate();

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<uint8_t> input;
  std::deque<uint32_t> events;
  uint32_t eventMask = 0;
  bool hold = false;
  int heldReads = 0;
  uint32_t byteDelayMs = 0;
  bool babble = false;
  int writeFailuresLeft = -1;
  bool open = false;
  uint32_t extraModemStatus = 0;
  WriteOutcome writeFailure = WriteOutcome::kComplete;
  int readFailuresLeft = 0;
  std::vector<uint32_t> escapes;
  uint32_t baudRate = 0;
};

// Installs a port opener under which port `portNumber` is the line and every
// other port is missing; restores the POSIX opener on destruction.
class MemoryPortInstaller {
 public:
  MemoryPortInstaller(std::shared_ptr<MemoryLine> line, int portNumber);
  ~MemoryPortInstaller();
};

}  // namespace zntlink::testing
