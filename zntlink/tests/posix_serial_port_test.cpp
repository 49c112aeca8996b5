#include "platform/posix_serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/port_name.h"
#include "platform/serial_port.h"

namespace zntlink {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// The receiver's end of a pseudo-terminal; the port opens the other end.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
      ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
      return;
    }
    path_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~Pty() { CloseMaster(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& path() const { return path_; }

  void CloseMaster() {
    if (master_ >= 0)
      close(master_);
    master_ = -1;
  }

  void Send(const Bytes& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Whatever arrives within the time, stopping once `count` bytes are in.
  Bytes Receive(size_t count, int timeoutMs = 1000) {
    Bytes got;
    auto deadline = Clock::now() + milliseconds(timeoutMs);
    uint8_t chunk[4096];
    while (got.size() < count) {
      int left = static_cast<int>(
          std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count());
      pollfd p{master_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, left) <= 0)
        break;
      ssize_t n = read(master_, chunk, sizeof chunk);
      if (n <= 0)
        break;
      got.insert(got.end(), chunk, chunk + n);
    }
    return got;
  }

 private:
  int master_ = -1;
  std::string path_;
};

PortTimeouts ReadWithin(uint32_t ms) {
  PortTimeouts t;
  t.readInterval = 0xFFFFFFFF;
  t.readTotalMultiplier = 0xFFFFFFFF;
  t.readTotalConstant = ms;
  t.writeTotalMultiplier = 1;
  t.writeTotalConstant = 50;
  return t;
}

// Waits until the port has `count` input bytes queued (bytes cross a
// pseudo-terminal asynchronously).
void WaitQueued(SerialPort& port, uint32_t count) {
  auto deadline = Clock::now() + milliseconds(1000);
  uint32_t queued = 0;
  while (port.ClearErrors(&queued), queued < count && Clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(1));
  ASSERT_EQ(queued, count);
}

class PtyPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = OpenPosixSerialPortPath(pty_.path());
    ASSERT_NE(port_, nullptr);
    ASSERT_TRUE(port_->ApplyLineSettings(9600));
    port_->SetTimeouts(ReadWithin(40));
  }

  Pty pty_;
  std::unique_ptr<SerialPort> port_;
};

TEST(PosixSerialPortOpen, IsExclusiveAndReopensAfterClose) {
  Pty pty;
  auto first = OpenPosixSerialPortPath(pty.path());
  ASSERT_NE(first, nullptr);
  std::string failure;
  EXPECT_EQ(OpenPosixSerialPortPath(pty.path(), &failure), nullptr);
  EXPECT_EQ(failure, pty.path() + ": held by another program (Resource temporarily unavailable)");
  EXPECT_TRUE(first->Close());
  auto second = OpenPosixSerialPortPath(pty.path());
  EXPECT_NE(second, nullptr);
  // The destructor closes a port that was not closed.
  second.reset();
  EXPECT_NE(OpenPosixSerialPortPath(pty.path()), nullptr);
}

TEST(PosixSerialPortOpen, RefusesWhatIsNotATerminal) {
  char dir[] = "/tmp/zntport-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string file = std::string(dir) + "/plain";
  close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
  const std::pair<std::string, std::string> cases[] = {
      {std::string(dir) + "/missing", std::string(dir) + "/missing: No such file or directory"},
      {file, file + ": not a serial port (Inappropriate ioctl for device)"},
      {std::string(), "no device path given"},
  };
  for (const auto& [path, reason] : cases) {
    std::string failure;
    EXPECT_EQ(OpenPosixSerialPortPath(path, &failure), nullptr) << path;
    EXPECT_EQ(failure, reason);
  }
  unlink(file.c_str());
  rmdir(dir);
}

TEST(PosixSerialPortOpen, PortNumberFollowsTheZntlogLink) {
  Pty pty;
  char dir[] = "/tmp/zntport-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string links = std::string(dir) + "/zntlog";
  ASSERT_EQ(mkdir(links.c_str(), 0700), 0);
  ASSERT_EQ(symlink(pty.path().c_str(), (links + "/COM3").c_str()), 0);
  char* home = getcwd(nullptr, 0);
  ASSERT_NE(home, nullptr);
  ASSERT_EQ(chdir(dir), 0);

  auto port = OpenPosixSerialPort(3);
  auto again = OpenPosixSerialPort(3);
  std::string failure;
  auto none = OpenPosixSerialPort(0, &failure);

  EXPECT_EQ(chdir(home), 0);
  free(home);
  unlink((links + "/COM3").c_str());
  rmdir(links.c_str());
  rmdir(dir);

  ASSERT_NE(port, nullptr);
  EXPECT_EQ(again, nullptr);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(failure, "COM0: no device has this port number");
  ASSERT_TRUE(port->ApplyLineSettings(9600));
  pty.Send({0x42});
  WaitQueued(*port, 1);
}

TEST(SerialPortOpener, InstalledOpenerReplacesThePosixPort) {
  int asked = 0;
  SetPortOpenerForTesting([&](int port) {
    asked = port;
    return std::unique_ptr<SerialPort>();
  });
  EXPECT_EQ(OpenSerialPort(5), nullptr);
  EXPECT_EQ(asked, 5);
  SetPortOpenerForTesting({});
  asked = 0;
  EXPECT_EQ(OpenSerialPort(0), nullptr);
  EXPECT_EQ(asked, 0);
}

TEST(PosixSerialPortLine, BaudRates) {
  struct Case {
    uint32_t baud;
    bool accepted;
    speed_t speed;
  };
  const Case cases[] = {{9600, true, B9600},
                        {50, true, B50},
                        {115200, true, B115200},
                        {4000000, true, B4000000},
                        {12345, false, 0},
                        {14400, false, 0},
                        {0, false, 0}};
  Pty pty;
  auto port = OpenPosixSerialPortPath(pty.path());
  ASSERT_NE(port, nullptr);
  for (const Case& c : cases) {
    ASSERT_TRUE(port->ApplyLineSettings(9600));
    EXPECT_EQ(port->ApplyLineSettings(c.baud), c.accepted) << c.baud;
    termios t{};
    ASSERT_EQ(tcgetattr(static_cast<int>(port->Handle()), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), c.accepted ? c.speed : B9600) << c.baud;
  }
}

TEST(PosixSerialPortLine, RawEightNOneAndRestoreOnClose) {
  Pty pty;
  auto port = OpenPosixSerialPortPath(pty.path());
  ASSERT_NE(port, nullptr);
  int fd = static_cast<int>(port->Handle());
  termios atOpen{};
  ASSERT_EQ(tcgetattr(fd, &atOpen), 0);
  // Flow control, parity, two stop bits and 7 bits left by an earlier user.
  termios used = atOpen;
  used.c_iflag |= IXON | IXOFF | IXANY | INPCK;
  used.c_cflag = (used.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &used), 0);
  ASSERT_TRUE(port->ApplyLineSettings(9600));

  termios t{};
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL), CS8 | CREAD | CLOCAL);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | INPCK | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);

  port->RestoreLineSettings();
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  EXPECT_EQ(t.c_lflag, atOpen.c_lflag);
  EXPECT_EQ(t.c_iflag, atOpen.c_iflag);
  EXPECT_EQ(cfgetospeed(&t), cfgetospeed(&atOpen));
}

TEST_F(PtyPortTest, ControlBytesPassUnchangedBothWays) {
  // Carriage return, line feed, XON, XOFF, interrupt, erase, EOF and the
  // frame bytes would all be eaten or changed by a cooked terminal.
  const Bytes bytes = {0x0D, 0x0A, 0x11, 0x13, 0x03, 0x7F, 0x04, 0x1A, 0x00, 0xFA, 0xFB, 0xFF};
  WriteResult w = port_->Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
  EXPECT_EQ(w.outcome, WriteOutcome::kComplete);
  EXPECT_EQ(w.bytesSent, bytes.size());
  EXPECT_EQ(pty_.Receive(bytes.size()), bytes);

  pty_.Send(bytes);
  WaitQueued(*port_, static_cast<uint32_t>(bytes.size()));
  uint8_t buffer[64];
  int n = port_->Read(buffer, sizeof buffer);
  EXPECT_EQ(Bytes(buffer, buffer + std::max(n, 0)), bytes);
  // No echo comes back to the receiver.
  EXPECT_TRUE(pty_.Receive(1, 20).empty());
}

TEST_F(PtyPortTest, ReadReturnsWhatIsWaitingAtOnce) {
  port_->SetTimeouts(ReadWithin(5000));
  pty_.Send({1, 2, 3, 4, 5});
  WaitQueued(*port_, 5);
  uint8_t buffer[128];
  auto start = Clock::now();
  EXPECT_EQ(port_->Read(buffer, 3), 3);
  EXPECT_EQ(port_->Read(buffer + 3, sizeof buffer - 3), 2);
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_EQ(Bytes(buffer, buffer + 5), Bytes({1, 2, 3, 4, 5}));
}

TEST_F(PtyPortTest, ReadWaitsForTheFirstByte) {
  port_->SetTimeouts(ReadWithin(5000));
  std::thread receiver([&] {
    std::this_thread::sleep_for(milliseconds(20));
    pty_.Send({0x7E});
  });
  uint8_t buffer[16];
  auto start = Clock::now();
  int n = port_->Read(buffer, sizeof buffer);
  receiver.join();
  EXPECT_EQ(n, 1);
  EXPECT_EQ(buffer[0], 0x7E);
  EXPECT_LT(MsSince(start), 1000);
}

TEST_F(PtyPortTest, ReadGivesZeroAfterTheLimitWhenNothingComes) {
  uint8_t buffer[16];
  auto start = Clock::now();
  EXPECT_EQ(port_->Read(buffer, sizeof buffer), 0);
  auto took = MsSince(start);
  EXPECT_GE(took, 39);
  EXPECT_LT(took, 1000);
}

TEST_F(PtyPortTest, PurgeDropsWaitingInput) {
  pty_.Send({1, 2, 3});
  WaitQueued(*port_, 3);
  port_->Purge(kPurgeRxClear);
  uint32_t queued = 99;
  EXPECT_EQ(port_->ClearErrors(&queued), 0u);
  EXPECT_EQ(queued, 0u);
}

TEST_F(PtyPortTest, WriteStopsAtItsLimitWhenTheLineIsFull) {
  // The receiver reads nothing, so the pseudo-terminal's buffers fill up.
  PortTimeouts t = ReadWithin(40);
  t.writeTotalMultiplier = 0;
  t.writeTotalConstant = 40;
  port_->SetTimeouts(t);
  Bytes big(1 << 20, 0x55);
  auto start = Clock::now();
  WriteResult w = port_->Write(big.data(), static_cast<uint32_t>(big.size()));
  EXPECT_EQ(w.outcome, WriteOutcome::kIncomplete);
  EXPECT_GT(w.bytesSent, 0u);
  EXPECT_LT(w.bytesSent, big.size());
  EXPECT_GE(MsSince(start), 39);
}

TEST_F(PtyPortTest, HangupFailsWithoutSpinning) {
  pty_.CloseMaster();
  uint8_t buffer[16];
  auto start = Clock::now();
  EXPECT_EQ(port_->Read(buffer, sizeof buffer), -1);
  EXPECT_GE(MsSince(start), 39);
  const uint8_t frame[] = {0xFA, 0x01};
  EXPECT_EQ(port_->Write(frame, sizeof frame).outcome, WriteOutcome::kFailedAtStart);
}

TEST_F(PtyPortTest, PtyHasOnlyCtsAndNoLineEvents) {
  EXPECT_EQ(port_->ModemStatus(), kModemCts);
  uint32_t queued = 99;
  EXPECT_EQ(port_->ClearErrors(&queued), 0u);
  EXPECT_EQ(queued, 0u);
  port_->Escape(kEscapeSetRts);  // no modem lines: ignored
  port_->Escape(kEscapeClearRts);

  port_->SetEventMask(kEventCts | kEventDsr);
  std::atomic<bool> returned{false};
  uint32_t events = 99;
  std::thread waiter([&] {
    events = port_->WaitEvent();
    returned = true;
  });
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_FALSE(returned);
  auto start = Clock::now();
  port_->SetEventMask(0);
  waiter.join();
  EXPECT_EQ(events, 0u);
  // Prompt, not after some long timeout; generous for a loaded machine.
  EXPECT_LT(MsSince(start), 2000);
  EXPECT_TRUE(port_->Close());
}

TEST_F(PtyPortTest, TimeoutsSaveAndRestore) {
  EXPECT_EQ(port_->SaveTimeouts().readTotalConstant, 40u);
  port_->SetTimeouts(ReadWithin(5000));
  port_->RestoreTimeouts();
  EXPECT_EQ(port_->SaveTimeouts().readTotalConstant, 40u);
}

// Modem lines that a pseudo-terminal lacks, played by the test: the port
// samples them through these calls.
struct FakeLines {
  std::mutex mutex;
  LineCounts counts;
  bool countsWork = true;
  int lines = 0;
  int linesError = 0;
};
FakeLines* fake = nullptr;

int FakeGetLines(int, int* lines) {
  std::lock_guard lock(fake->mutex);
  if (fake->linesError != 0) {
    errno = fake->linesError;
    return -1;
  }
  *lines = fake->lines;
  return 0;
}

int FakeGetCounts(int, LineCounts* counts) {
  std::lock_guard lock(fake->mutex);
  if (!fake->countsWork) {
    errno = EINVAL;
    return -1;
  }
  *counts = fake->counts;
  return 0;
}

class FakeLinesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = &lines_;
    lines_.lines = TIOCM_CTS;
    port_ =
        OpenPosixSerialPortWithLineCalls(pty_.path(), ModemLineCalls{FakeGetLines, FakeGetCounts});
    ASSERT_NE(port_, nullptr);
  }
  void TearDown() override {
    port_.reset();
    fake = nullptr;
  }

  template <typename Change>
  void ChangeLines(Change change) {
    std::lock_guard lock(lines_.mutex);
    change(lines_);
  }

  // Runs WaitEvent on its own thread, as the modem thread does.
  struct Waiter {
    explicit Waiter(SerialPort& port)
        : port(port), thread([this, &port] {
            events = port.WaitEvent();
            done = true;
          }) {}
    // Fails, rather than hangs, when WaitEvent does not return.
    uint32_t Join() {
      auto deadline = Clock::now() + milliseconds(2000);
      while (!done && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(1));
      if (!done) {
        ADD_FAILURE() << "WaitEvent did not return";
        port.SetEventMask(0);
      }
      thread.join();
      return events;
    }
    SerialPort& port;
    std::atomic<bool> done{false};
    uint32_t events = 99;
    std::thread thread;
  };

  Pty pty_;
  FakeLines lines_;
  std::unique_ptr<SerialPort> port_;
};

TEST_F(FakeLinesTest, ModemStatusBits) {
  struct Case {
    int lines;
    int error;
    uint32_t status;
  };
  const Case cases[] = {
      {TIOCM_CTS, 0, kModemCts},
      {TIOCM_DSR, 0, kModemDsr},
      {TIOCM_RNG, 0, kModemRing},
      {TIOCM_CD, 0, kModemDcd},
      {TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD, 0, 0xF0},
      {TIOCM_RTS | TIOCM_DTR, 0, 0},  // outputs are not status
      {0, ENOTTY, kModemCts},         // no modem lines
      {0, EINVAL, kModemCts},
      {0, EIO, 0},  // a failed device has no lines on
  };
  for (const Case& c : cases) {
    ChangeLines([&](FakeLines& f) {
      f.lines = c.lines;
      f.linesError = c.error;
    });
    EXPECT_EQ(port_->ModemStatus(), c.status) << c.lines << " " << c.error;
  }
}

TEST_F(FakeLinesTest, ErrorFlagsReportNewCountsOnce) {
  struct Case {
    uint32_t LineCounts::*counter;
    uint32_t flag;
  };
  const Case cases[] = {{&LineCounts::bufOverrun, 0x01},
                        {&LineCounts::overrun, 0x02},
                        {&LineCounts::parity, 0x04},
                        {&LineCounts::frame, 0x08},
                        {&LineCounts::brk, 0x10}};
  for (const Case& c : cases) {
    ChangeLines([&](FakeLines& f) { f.counts.*c.counter += 3; });
    EXPECT_EQ(port_->ClearErrors(nullptr), c.flag);
    EXPECT_EQ(port_->ClearErrors(nullptr), 0u);
  }
}

TEST_F(FakeLinesTest, WaitReportsLineChangesInTheMask) {
  struct Case {
    const char* name;
    bool countsWork;
    void (*change)(FakeLines&);
    uint32_t events;
  };
  const Case cases[] = {
      {"CTS counted", true, [](FakeLines& f) { ++f.counts.cts; }, kEventCts},
      {"DSR counted twice", true, [](FakeLines& f) { f.counts.dsr += 2; }, kEventDsr},
      // A pulse that is over before the next sample still moved the counter.
      {"CTS pulse, counted", true, [](FakeLines& f) { f.counts.cts += 2; }, kEventCts},
      {"CTS level, no counters", false, [](FakeLines& f) { f.lines ^= TIOCM_CTS; }, kEventCts},
      // A device whose lines can no longer be read has lost them all.
      {"lines unreadable", false, [](FakeLines& f) { f.linesError = EIO; }, kEventCts | kEventDsr},
  };
  for (const Case& c : cases) {
    ChangeLines([&](FakeLines& f) {
      f.countsWork = c.countsWork;
      f.linesError = 0;
    });
    port_->SetEventMask(kEventCts | kEventDsr);
    Waiter waiter(*port_);
    std::this_thread::sleep_for(milliseconds(5));
    // A change outside the mask is not reported.
    if (c.countsWork)
      ChangeLines([](FakeLines& f) { ++f.counts.dcd; });
    ChangeLines(c.change);
    EXPECT_EQ(waiter.Join(), c.events) << c.name;
  }
}

TEST_F(FakeLinesTest, ChangeBeforeTheWaitIsKept) {
  port_->SetEventMask(kEventDcd);
  ChangeLines([](FakeLines& f) { ++f.counts.dcd; });
  EXPECT_EQ(port_->WaitEvent(), kEventDcd);
  // Reported once: the next wait waits for the next change.
  Waiter next(*port_);
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_FALSE(next.done);
  port_->SetEventMask(0);
  EXPECT_EQ(next.Join(), 0u);
}

TEST_F(FakeLinesTest, NewMaskTakesEffectDuringTheWait) {
  port_->SetEventMask(kEventCts);
  Waiter waiter(*port_);
  std::this_thread::sleep_for(milliseconds(5));
  port_->SetEventMask(kEventDcd);
  ChangeLines([](FakeLines& f) { ++f.counts.cts; });  // no longer waited for
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_FALSE(waiter.done);
  ChangeLines([](FakeLines& f) { ++f.counts.dcd; });
  EXPECT_EQ(waiter.Join(), kEventDcd);
}

TEST_F(FakeLinesTest, ZeroMaskEndsTheWaitPromptlyWhateverTheHostDoesWithSignals) {
  // A host program that, after the port's first wait, ignores or takes over
  // every real-time signal must not be able to keep the wait, and so closing
  // the port, from ending.
  port_->SetEventMask(kEventCts);
  Waiter first(*port_);
  ChangeLines([](FakeLines& f) { ++f.counts.cts; });
  EXPECT_EQ(first.Join(), kEventCts);
  std::vector<std::pair<int, struct sigaction>> saved;
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    if (sigaction(signal, &ignore, &previous) == 0)
      saved.emplace_back(signal, previous);
  }
  // Stop at different moments: before, while and after the waiter starts.
  for (int round = 0; round < 20; ++round) {
    port_->SetEventMask(kEventCts);
    Waiter waiter(*port_);
    std::this_thread::sleep_for(std::chrono::microseconds(round * 500));
    port_->SetEventMask(0);
    EXPECT_EQ(waiter.Join(), 0u) << round;
  }
  for (const auto& [signal, previous] : saved)
    sigaction(signal, &previous, nullptr);
}

}  // namespace
}  // namespace zntlink
