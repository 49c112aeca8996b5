// The serial port with the Windows communications calls.
//
// The port is opened exclusively and for overlapped I/O. Reads and writes
// happen on one thread (the link thread) and share one overlapped block with
// its manual-reset completion event; WaitEvent runs on a second thread (the
// modem thread) with a block and event of its own, and a third thread ends it
// with SetEventMask(0) and closes the port after both have finished.
//
// A port whose modem calls are not supported (some virtual ports and
// emulated ones answer GetCommModemStatus, EscapeCommFunction and WaitCommEvent
// with "not supported") reports CTS on and nothing else, produces no line
// events and ignores RTS changes, so the link can still come up on it.
#include <windows.h>

#include <atomic>
#include <string>

#include "platform/event.h"
#include "platform/port_name.h"
#include "platform/serial_port.h"

namespace zntlink {
namespace {

// The answers of a port that has no modem lines to report or to set.
bool NoModemLines(DWORD error) {
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
         error == ERROR_INVALID_PARAMETER;
}

// A failed WaitCommEvent waits this long before the caller may try again, so
// a broken port does not spin the modem thread.
constexpr DWORD kFailedWaitPauseMs = 100;

// How long past its own limit a read or write may stay pending before it is
// cancelled. On Windows the port ends the operation at its limit and this
// never comes into play; it keeps a port driver that overruns its timeouts
// (Wine on a pseudo-terminal waits without end for bytes that do not come)
// from holding the link thread, and with it a close, for ever.
constexpr DWORD kOverrunGuardMs = 250;
constexpr uint32_t kNoLimit = 0xFFFFFFFF;

// The longest a read or write may take under the timeouts: the limit the port
// applies (with interval and multiplier at kNoLimit a read waits the constant
// for its first byte), plus the guard; INFINITE when the timeouts set none.
DWORD OperationLimitMs(uint32_t multiplier, uint32_t constant, uint32_t bytes) {
  const uint64_t limit = uint64_t{multiplier} * bytes + constant;
  if (limit == 0 || limit + kOverrunGuardMs >= INFINITE)
    return INFINITE;
  return static_cast<DWORD>(limit + kOverrunGuardMs);
}

std::string SystemMessage(DWORD error) {
  char text[256] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, error, 0, text, sizeof text, nullptr);
  std::string message(text, n);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.'))
    message.pop_back();
  if (message.empty())
    message = "error " + std::to_string(error);
  return message;
}

class Win32SerialPort : public SerialPort {
 public:
  Win32SerialPort(HANDLE handle, HANDLE ioEvent, HANDLE waitEvent) : handle_(handle) {
    io_.hEvent = ioEvent;
    wait_.hEvent = waitEvent;
  }

  ~Win32SerialPort() override {
    if (handle_ != INVALID_HANDLE_VALUE)
      CloseHandle(handle_);
    CloseHandle(io_.hEvent);
    CloseHandle(wait_.hEvent);
  }

  Win32SerialPort(const Win32SerialPort&) = delete;
  Win32SerialPort& operator=(const Win32SerialPort&) = delete;

  uintptr_t Handle() const override { return reinterpret_cast<uintptr_t>(handle_); }

  PortTimeouts SaveTimeouts() override {
    foundTimeouts_ = {};
    haveFoundTimeouts_ = GetCommTimeouts(handle_, &foundTimeouts_) != FALSE;
    PortTimeouts t;
    t.readInterval = foundTimeouts_.ReadIntervalTimeout;
    t.readTotalMultiplier = foundTimeouts_.ReadTotalTimeoutMultiplier;
    t.readTotalConstant = foundTimeouts_.ReadTotalTimeoutConstant;
    t.writeTotalMultiplier = foundTimeouts_.WriteTotalTimeoutMultiplier;
    t.writeTotalConstant = foundTimeouts_.WriteTotalTimeoutConstant;
    return t;
  }

  bool ApplyLineSettings(uint32_t baudRate) override {
    foundState_ = {};
    foundState_.DCBlength = sizeof(DCB);
    if (!GetCommState(handle_, &foundState_))
      return false;
    haveFoundState_ = true;
    DCB working = foundState_;
    working.DCBlength = sizeof(DCB);
    working.BaudRate = baudRate;
    working.ByteSize = 8;
    working.Parity = NOPARITY;
    working.StopBits = ONESTOPBIT;
    working.fBinary = TRUE;
    working.fParity = FALSE;
    working.fOutxCtsFlow = FALSE;
    working.fOutxDsrFlow = FALSE;
    working.fDtrControl = DTR_CONTROL_ENABLE;
    working.fDsrSensitivity = FALSE;
    working.fTXContinueOnXoff = FALSE;
    working.fOutX = FALSE;
    working.fInX = FALSE;
    working.fErrorChar = FALSE;
    working.fNull = FALSE;
    working.fRtsControl = RTS_CONTROL_ENABLE;
    working.XonLim = 0;
    working.XoffLim = 0;
    return SetCommState(handle_, &working) != FALSE;
  }

  void SetTimeouts(const PortTimeouts& t) override {
    timeouts_ = t;
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = t.readInterval;
    timeouts.ReadTotalTimeoutMultiplier = t.readTotalMultiplier;
    timeouts.ReadTotalTimeoutConstant = t.readTotalConstant;
    timeouts.WriteTotalTimeoutMultiplier = t.writeTotalMultiplier;
    timeouts.WriteTotalTimeoutConstant = t.writeTotalConstant;
    SetCommTimeouts(handle_, &timeouts);
  }

  void Purge(uint32_t flags) override { PurgeComm(handle_, flags); }

  uint32_t ClearErrors(uint32_t* queued) override {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle_, &errors, &status)) {
      *queued = 0;
      return 0;
    }
    *queued = status.cbInQue;
    return errors;
  }

  WriteResult Write(const uint8_t* data, uint32_t length) override {
    ResetEvent(io_.hEvent);
    DWORD sent = 0;
    if (WriteFile(handle_, data, length, &sent, &io_))
      return {WriteOutcome::kComplete, sent};
    if (GetLastError() != ERROR_IO_PENDING)
      return {WriteOutcome::kFailedAtStart, 0};
    const bool cancelled = !WaitOrCancel(
        OperationLimitMs(timeouts_.writeTotalMultiplier, timeouts_.writeTotalConstant, length));
    uint32_t total = 0;
    for (;;) {
      DWORD part = 0;
      if (GetOverlappedResult(handle_, &io_, &part, TRUE)) {
        total += part;
        break;
      }
      const DWORD error = GetLastError();
      if (cancelled && error == ERROR_OPERATION_ABORTED) {
        total += part;  // ended at its limit: what was sent counts
        break;
      }
      if (error != ERROR_IO_INCOMPLETE)
        return {WriteOutcome::kFailedWhileBusy, total + part};
      total += part;
    }
    if (total != length)
      return {WriteOutcome::kIncomplete, total};
    return {WriteOutcome::kComplete, total};
  }

  int Read(uint8_t* buffer, uint32_t capacity) override {
    ResetEvent(io_.hEvent);
    DWORD got = 0;
    if (ReadFile(handle_, buffer, capacity, &got, &io_))
      return static_cast<int>(got);
    if (GetLastError() != ERROR_IO_PENDING)
      return -1;
    const bool cancelled = !WaitOrCancel(ReadLimitMs(capacity));
    if (!GetOverlappedResult(handle_, &io_, &got, TRUE)) {
      // A read cancelled at its limit has read nothing more: no data, not an error.
      if (cancelled && GetLastError() == ERROR_OPERATION_ABORTED)
        return static_cast<int>(got);
      return -1;
    }
    return static_cast<int>(got);
  }

  uint32_t ModemStatus() override {
    DWORD status = 0;
    if (GetCommModemStatus(handle_, &status))
      return status & (kModemCts | kModemDsr | kModemRing | kModemDcd);
    return NoModemLines(GetLastError()) ? kModemCts : 0;
  }

  void SetEventMask(uint32_t mask) override {
    mask_ = mask;
    if (mask == 0)
      maskCleared_.Set();
    else
      maskCleared_.Reset();
    // On Windows this also ends a WaitCommEvent in progress.
    SetCommMask(handle_, mask);
  }

  uint32_t WaitEvent() override {
    while (mask_.load() != 0) {
      if (!lineEvents_) {
        // Nothing to wait for but the end of the wait.
        maskCleared_.Wait(kWaitForever);
        continue;
      }
      DWORD events = 0;
      ResetEvent(wait_.hEvent);
      if (WaitCommEvent(handle_, &events, &wait_))
        return events;
      const DWORD error = GetLastError();
      if (error == ERROR_IO_PENDING)
        return FinishPendingWait(events);
      if (NoModemLines(error)) {
        lineEvents_ = false;
        continue;
      }
      maskCleared_.Wait(kFailedWaitPauseMs);
      return 0;
    }
    return 0;
  }

  void Escape(uint32_t function) override {
    // A port without modem lines has no RTS to set; that is not an error.
    EscapeCommFunction(handle_, function);
  }

  void RestoreLineSettings() override {
    if (haveFoundState_)
      SetCommState(handle_, &foundState_);
    foundState_ = {};
    haveFoundState_ = false;
  }

  void RestoreTimeouts() override {
    if (haveFoundTimeouts_)
      SetCommTimeouts(handle_, &foundTimeouts_);
  }

  bool Close() override {
    if (handle_ == INVALID_HANDLE_VALUE)
      return true;
    if (!CloseHandle(handle_))
      return false;
    handle_ = INVALID_HANDLE_VALUE;
    return true;
  }

 private:
  DWORD ReadLimitMs(uint32_t capacity) const {
    if (timeouts_.readInterval == kNoLimit && timeouts_.readTotalMultiplier == kNoLimit)
      return OperationLimitMs(0, timeouts_.readTotalConstant, 0);
    return OperationLimitMs(timeouts_.readTotalMultiplier, timeouts_.readTotalConstant, capacity);
  }

  // Waits for the pending read or write on io_ for at most limitMs, and
  // cancels it then; false when it had to be cancelled.
  bool WaitOrCancel(DWORD limitMs) {
    if (WaitForSingleObject(io_.hEvent, limitMs) == WAIT_OBJECT_0)
      return true;
    CancelIo(handle_);
    return false;
  }

  // Waits for a pending WaitCommEvent, or for the mask to be cleared, which
  // ends the wait even where clearing the port's mask does not complete it.
  uint32_t FinishPendingWait(DWORD& events) {
    HANDLE waits[2] = {wait_.hEvent, maskCleared_.Handle()};
    const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (woken != WAIT_OBJECT_0)
      CancelIo(handle_);
    DWORD unused = 0;
    // The block and `events` belong to the system until the wait has ended.
    if (!GetOverlappedResult(handle_, &wait_, &unused, TRUE))
      return 0;
    return woken == WAIT_OBJECT_0 ? events : 0;
  }

  HANDLE handle_;
  OVERLAPPED io_{};        // reads and writes, on the link thread
  PortTimeouts timeouts_;  // as last applied, for the overrun guard
  OVERLAPPED wait_{};      // line events, on the modem thread
  DCB foundState_{};
  bool haveFoundState_ = false;
  COMMTIMEOUTS foundTimeouts_{};
  bool haveFoundTimeouts_ = false;
  std::atomic<uint32_t> mask_{0};
  ManualResetEvent maskCleared_{false};
  bool lineEvents_ = true;  // used by the modem thread only
};

}  // namespace

std::unique_ptr<SerialPort> OpenWin32SerialPort(int port, std::string* failure) {
  const std::string name = PortDevicePath(port);
  auto fail = [&](const std::string& why) -> std::unique_ptr<SerialPort> {
    if (failure != nullptr)
      *failure = why;
    return nullptr;
  };
  if (name.empty())
    return fail("COM" + std::to_string(port) + ": no device has this port number");
  // Not shared, existing device only, overlapped.
  HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return fail(name + ": " + SystemMessage(GetLastError()));
  HANDLE ioEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE waitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (ioEvent == nullptr || waitEvent == nullptr) {
    const DWORD error = GetLastError();
    if (ioEvent != nullptr)
      CloseHandle(ioEvent);
    if (waitEvent != nullptr)
      CloseHandle(waitEvent);
    CloseHandle(handle);
    return fail(name + ": " + SystemMessage(error));
  }
  try {
    return std::make_unique<Win32SerialPort>(handle, ioEvent, waitEvent);
  } catch (...) {
    CloseHandle(ioEvent);
    CloseHandle(waitEvent);
    CloseHandle(handle);
    return fail(name + ": out of memory");
  }
}

}  // namespace zntlink
