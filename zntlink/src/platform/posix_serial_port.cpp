// The serial port on a POSIX terminal device.
//
// The descriptor stays non-blocking for its whole life and reads and writes
// wait in poll(), so a device that fails or hangs up ends the wait. Reads and
// writes happen on one thread (the link thread), WaitEvent on a second (the
// modem thread), and a third thread ends WaitEvent with SetEventMask(0) and
// closes the port after both have finished.
//
// Line events are found by sampling the lines and the driver's line counters
// every 20 ms; the counters catch a pulse shorter than that. A wait for a line
// change in the kernel (TIOCMIWAIT) cannot be given a time limit and could only
// be ended with a signal, which would make closing depend on what the host
// program does with signals; a sampled wait ends as soon as the mask changes.
// A port without modem lines (a pseudo-terminal) has no line events and its
// wait sleeps until the mask changes.

#include "platform/posix_serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "platform/port_name.h"

namespace zntlink {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kNoLimit = 0xFFFFFFFF;
constexpr uint32_t kLineEvents = kEventCts | kEventDsr | kEventDcd | kEventRing;
// A failed read waits at least this long, so a caller that retries at once
// does not spin even with a zero read limit.
constexpr int kMinErrorWaitMs = 10;
constexpr auto kSamplePeriod = std::chrono::milliseconds(20);

int SystemGetLines(int fd, int* lines) {
  return ioctl(fd, TIOCMGET, lines);
}

int SystemGetCounts(int fd, LineCounts* counts) {
  serial_icounter_struct icount{};
  if (ioctl(fd, TIOCGICOUNT, &icount) != 0)
    return -1;
  counts->cts = static_cast<uint32_t>(icount.cts);
  counts->dsr = static_cast<uint32_t>(icount.dsr);
  counts->rng = static_cast<uint32_t>(icount.rng);
  counts->dcd = static_cast<uint32_t>(icount.dcd);
  counts->frame = static_cast<uint32_t>(icount.frame);
  counts->overrun = static_cast<uint32_t>(icount.overrun);
  counts->parity = static_cast<uint32_t>(icount.parity);
  counts->brk = static_cast<uint32_t>(icount.brk);
  counts->bufOverrun = static_cast<uint32_t>(icount.buf_overrun);
  return 0;
}

bool NoModemLines(int error) {
  return error == ENOTTY || error == EINVAL;
}

// Milliseconds left until the deadline, rounded up, for poll().
int RemainingMs(Clock::time_point deadline) {
  auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero())
    return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<int64_t>(ms, INT_MAX));
}

void SleepUntil(Clock::time_point deadline) {
  for (int ms = RemainingMs(deadline); ms > 0; ms = RemainingMs(deadline))
    poll(nullptr, 0, ms);
}

Clock::time_point DeadlineAfter(uint64_t ms) {
  // Far enough for any limit the 32-bit fields can express, without overflow.
  return Clock::now() + std::chrono::milliseconds(std::min<uint64_t>(ms, uint64_t{1} << 40));
}

// How long a read waits for its first byte. The library reads with interval
// and multiplier at kNoLimit, which means "what is waiting, or wait the
// constant for the first byte"; other settings are treated as a first-byte
// limit of multiplier * capacity + constant, and a zero limit returns at once.
uint64_t ReadLimitMs(const PortTimeouts& t, uint32_t capacity) {
  if (t.readInterval == kNoLimit && t.readTotalMultiplier == kNoLimit)
    return t.readTotalConstant;
  return uint64_t{t.readTotalMultiplier} * capacity + t.readTotalConstant;
}

struct BaudSpeed {
  uint32_t baud;
  speed_t speed;
};

constexpr BaudSpeed kBaudSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedFor(uint32_t baud, speed_t* speed) {
  for (const BaudSpeed& entry : kBaudSpeeds) {
    if (entry.baud == baud) {
      *speed = entry.speed;
      return true;
    }
  }
  return false;
}

int LinesFor(uint32_t eventMask) {
  int lines = 0;
  if (eventMask & kEventCts)
    lines |= TIOCM_CTS;
  if (eventMask & kEventDsr)
    lines |= TIOCM_DSR;
  if (eventMask & kEventDcd)
    lines |= TIOCM_CD;
  if (eventMask & kEventRing)
    lines |= TIOCM_RNG;
  return lines;
}

struct LineState {
  bool haveCounts = false;
  LineCounts counts;
  bool haveLines = false;
  int lines = 0;
};

// The line events between two readings: a moved counter, or a line whose level
// differs (drivers without counters, or a counter that missed a change).
uint32_t EventsBetween(const LineState& before, const LineState& after) {
  uint32_t events = 0;
  if (before.haveCounts && after.haveCounts) {
    if (before.counts.cts != after.counts.cts)
      events |= kEventCts;
    if (before.counts.dsr != after.counts.dsr)
      events |= kEventDsr;
    if (before.counts.dcd != after.counts.dcd)
      events |= kEventDcd;
    if (before.counts.rng != after.counts.rng)
      events |= kEventRing;
  }
  // Lines that can no longer be read (the device failed) count as a change of
  // every line, so the caller reads the status and sees the loss.
  if (before.haveLines && !after.haveLines)
    events |= kLineEvents;
  if (before.haveLines && after.haveLines) {
    int changed = before.lines ^ after.lines;
    if (changed & TIOCM_CTS)
      events |= kEventCts;
    if (changed & TIOCM_DSR)
      events |= kEventDsr;
    if (changed & TIOCM_CD)
      events |= kEventDcd;
    if (changed & TIOCM_RNG)
      events |= kEventRing;
  }
  return events;
}

class PosixSerialPort final : public SerialPort {
 public:
  PosixSerialPort(int fd, const termios& lineStateAtOpen, const ModemLineCalls& calls)
      : fd_(fd),
        handle_(static_cast<uintptr_t>(fd)),
        calls_(calls),
        lineStateAtOpen_(lineStateAtOpen) {
    int lines = 0;
    hasModemLines_ = calls_.getLines(fd_, &lines) == 0 || !NoModemLines(errno);
    haveErrorCounts_ = calls_.getCounts(fd_, &errorCounts_) == 0;
  }

  ~PosixSerialPort() override {
    if (fd_ >= 0)
      Close();
  }

  PosixSerialPort(const PosixSerialPort&) = delete;
  PosixSerialPort& operator=(const PosixSerialPort&) = delete;

  uintptr_t Handle() const override { return handle_; }

  PortTimeouts SaveTimeouts() override {
    std::lock_guard lock(stateMutex_);
    savedTimeouts_ = timeouts_;
    return timeouts_;
  }

  bool ApplyLineSettings(uint32_t baudRate) override {
    speed_t speed;
    if (!SpeedFor(baudRate, &speed))
      return false;
    termios t{};
    if (tcgetattr(fd_, &t) != 0)
      return false;
    cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0)
      return false;
    if (tcsetattr(fd_, TCSANOW, &t) != 0)
      return false;
    // A driver that cannot do the rate keeps another one and still succeeds.
    termios applied{};
    if (tcgetattr(fd_, &applied) != 0 || cfgetospeed(&applied) != speed)
      return false;
    int bits = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd_, TIOCMBIS, &bits) != 0 && !NoModemLines(errno))
      return false;
    return true;
  }

  void SetTimeouts(const PortTimeouts& timeouts) override {
    std::lock_guard lock(stateMutex_);
    timeouts_ = timeouts;
  }

  void Purge(uint32_t flags) override {
    if (flags & (kPurgeRxAbort | kPurgeRxClear))
      tcflush(fd_, TCIFLUSH);
    if (flags & (kPurgeTxAbort | kPurgeTxClear))
      tcflush(fd_, TCOFLUSH);
  }

  uint32_t ClearErrors(uint32_t* queued) override {
    if (queued) {
      int waiting = 0;
      *queued =
          ioctl(fd_, FIONREAD, &waiting) == 0 && waiting > 0 ? static_cast<uint32_t>(waiting) : 0;
    }
    std::lock_guard lock(stateMutex_);
    LineCounts now;
    if (!haveErrorCounts_ || calls_.getCounts(fd_, &now) != 0)
      return 0;
    uint32_t flags = 0;
    if (now.bufOverrun != errorCounts_.bufOverrun)
      flags |= 0x01;  // receive queue overflow
    if (now.overrun != errorCounts_.overrun)
      flags |= 0x02;
    if (now.parity != errorCounts_.parity)
      flags |= 0x04;
    if (now.frame != errorCounts_.frame)
      flags |= 0x08;
    if (now.brk != errorCounts_.brk)
      flags |= 0x10;
    errorCounts_ = now;
    return flags;
  }

  WriteResult Write(const uint8_t* data, uint32_t length) override {
    const PortTimeouts t = CurrentTimeouts();
    const uint64_t limitMs = uint64_t{t.writeTotalMultiplier} * length + t.writeTotalConstant;
    const bool limited = limitMs > 0;
    const Clock::time_point deadline = DeadlineAfter(limitMs);
    WriteResult result;
    bool pending = false;  // the port has made the write wait at least once
    while (result.bytesSent < length) {
      ssize_t n = ::write(fd_, data + result.bytesSent, length - result.bytesSent);
      if (n > 0) {
        result.bytesSent += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0 && errno != EAGAIN) {
        bool started = pending || result.bytesSent > 0;
        result.outcome = started ? WriteOutcome::kFailedWhileBusy : WriteOutcome::kFailedAtStart;
        return result;
      }
      pending = true;
      // Without a limit the write waits as long as the device accepts data;
      // a device that fails or hangs up ends it through POLLERR/POLLHUP.
      int waitMs = limited ? RemainingMs(deadline) : -1;
      if (waitMs == 0) {
        result.outcome = WriteOutcome::kIncomplete;
        return result;
      }
      pollfd p{fd_, POLLOUT, 0};
      int r = poll(&p, 1, waitMs);
      if (r < 0 && errno == EINTR)
        continue;
      if (r < 0 || (r > 0 && (p.revents & POLLOUT) == 0)) {
        result.outcome = WriteOutcome::kFailedWhileBusy;
        return result;
      }
    }
    result.outcome = WriteOutcome::kComplete;
    return result;
  }

  int Read(uint8_t* buffer, uint32_t capacity) override {
    const Clock::time_point deadline = DeadlineAfter(ReadLimitMs(CurrentTimeouts(), capacity));
    if (capacity == 0)
      return 0;
    capacity = std::min<uint32_t>(capacity, INT_MAX);
    bool hungUp = false;
    for (;;) {
      ssize_t n = ::read(fd_, buffer, capacity);
      if (n > 0)
        return static_cast<int>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR)
        return FailRead(deadline);
      // Nothing waiting (a raw terminal with VMIN 0 reads 0, otherwise EAGAIN).
      if (hungUp)
        return FailRead(deadline);
      int waitMs = RemainingMs(deadline);
      if (waitMs == 0)
        return 0;
      pollfd p{fd_, POLLIN, 0};
      int r = poll(&p, 1, waitMs);
      if (r < 0 && errno != EINTR)
        return FailRead(deadline);
      // After an error or hangup, take what is still buffered, then fail.
      if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)))
        hungUp = true;
    }
  }

  uint32_t ModemStatus() override {
    int lines = 0;
    if (calls_.getLines(fd_, &lines) != 0)
      return NoModemLines(errno) ? kModemCts : 0;
    uint32_t status = 0;
    if (lines & TIOCM_CTS)
      status |= kModemCts;
    if (lines & TIOCM_DSR)
      status |= kModemDsr;
    if (lines & TIOCM_RNG)
      status |= kModemRing;
    if (lines & TIOCM_CD)
      status |= kModemDcd;
    return status;
  }

  void SetEventMask(uint32_t mask) override {
    {
      std::lock_guard lock(eventMutex_);
      eventMask_ = mask;
      ++maskGeneration_;
      // Events count from here, as a fresh mask starts a fresh event history.
      if (mask != 0 && hasModemLines_)
        lastLines_ = ReadLineState();
    }
    eventChanged_.notify_all();
  }

  uint32_t WaitEvent() override {
    std::unique_lock lock(eventMutex_);
    for (;;) {
      const uint32_t mask = eventMask_;
      const uint64_t generation = maskGeneration_;
      if (mask == 0)
        return 0;
      auto maskChanged = [&] { return maskGeneration_ != generation; };
      if (!hasModemLines_ || LinesFor(mask) == 0) {
        eventChanged_.wait(lock, maskChanged);
        continue;
      }
      if (uint32_t events = TakeEvents(mask))
        return events;
      eventChanged_.wait_for(lock, kSamplePeriod, maskChanged);
    }
  }

  void Escape(uint32_t function) override {
    int bits = TIOCM_RTS;
    if (function == kEscapeSetRts)
      ioctl(fd_, TIOCMBIS, &bits);
    else if (function == kEscapeClearRts)
      ioctl(fd_, TIOCMBIC, &bits);
  }

  void RestoreLineSettings() override { tcsetattr(fd_, TCSANOW, &lineStateAtOpen_); }

  void RestoreTimeouts() override {
    std::lock_guard lock(stateMutex_);
    timeouts_ = savedTimeouts_;
  }

  bool Close() override {
    if (fd_ < 0)
      return true;
    ioctl(fd_, TIOCNXCL);
    flock(fd_, LOCK_UN);
    int rc = ::close(fd_);
    // Linux releases the descriptor even when close() reports an error, so it
    // is never closed a second time: that could close a descriptor another
    // thread has opened in the meantime.
    fd_ = -1;
    return rc == 0;
  }

 private:
  PortTimeouts CurrentTimeouts() {
    std::lock_guard lock(stateMutex_);
    return timeouts_;
  }

  // Waits out the rest of the read limit before reporting the error.
  int FailRead(Clock::time_point deadline) {
    SleepUntil(std::max(deadline, Clock::now() + std::chrono::milliseconds(kMinErrorWaitMs)));
    return -1;
  }

  LineState ReadLineState() {
    LineState state;
    state.haveCounts = calls_.getCounts(fd_, &state.counts) == 0;
    state.haveLines = calls_.getLines(fd_, &state.lines) == 0;
    return state;
  }

  // The events in the mask since the last reading; events outside it are dropped.
  uint32_t TakeEvents(uint32_t mask) {
    LineState now = ReadLineState();
    uint32_t events = EventsBetween(lastLines_, now) & mask;
    lastLines_ = now;
    return events;
  }

  int fd_;
  const uintptr_t handle_;
  const ModemLineCalls calls_;
  const termios lineStateAtOpen_;
  bool hasModemLines_ = false;

  std::mutex stateMutex_;  // timeouts and error counters
  PortTimeouts timeouts_;
  PortTimeouts savedTimeouts_;
  bool haveErrorCounts_ = false;
  LineCounts errorCounts_;

  std::mutex eventMutex_;  // everything below
  std::condition_variable eventChanged_;
  uint32_t eventMask_ = 0;
  uint64_t maskGeneration_ = 0;
  LineState lastLines_;
};

}  // namespace

ModemLineCalls SystemModemLineCalls() {
  return ModemLineCalls{SystemGetLines, SystemGetCounts};
}

std::unique_ptr<SerialPort> OpenPosixSerialPortWithLineCalls(const std::string& path,
                                                             const ModemLineCalls& calls,
                                                             std::string* failure) {
  auto fail = [&](const std::string& why) -> std::unique_ptr<SerialPort> {
    if (failure != nullptr)
      *failure = why;
    return nullptr;
  };
  if (path.empty())
    return fail("no device path given");
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return fail(path + ": " + std::strerror(errno));
  // flock keeps out every other opener that locks, root included; TIOCEXCL
  // keeps out other programs that do not lock. Neither works on a non-terminal.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    const int error = errno;
    close(fd);
    if (error == ENOTTY)
      return fail(path + ": not a serial port (" + std::strerror(error) + ")");
    return fail(path + ": held by another program (" + std::strerror(error) + ")");
  }
  termios found{};
  if (tcgetattr(fd, &found) != 0) {
    const std::string why = std::strerror(errno);
    ioctl(fd, TIOCNXCL);
    close(fd);
    return fail(path + ": not a serial port (" + why + ")");
  }
  return std::make_unique<PosixSerialPort>(fd, found, calls);
}

std::unique_ptr<SerialPort> OpenPosixSerialPortPath(const std::string& path, std::string* failure) {
  return OpenPosixSerialPortWithLineCalls(path, SystemModemLineCalls(), failure);
}

std::unique_ptr<SerialPort> OpenPosixSerialPort(int port, std::string* failure) {
  const std::string path = PortDevicePath(port);
  if (path.empty()) {
    if (failure != nullptr)
      *failure = "COM" + std::to_string(port) + ": no device has this port number";
    return nullptr;
  }
  return OpenPosixSerialPortPath(path, failure);
}

}  // namespace zntlink
