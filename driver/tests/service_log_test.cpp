// The driver's side of running under systemd: priority prefixes only when
// standard error is the journal stream (lost data at error priority), notify messages over a real
// datagram socket, and the watchdog's ping interval from the variables systemd sets.
#include "platform/service_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "conversion/failure_report.h"
#include "platform/clock.h"
#include "test_support.h"

namespace tessar::platform {
namespace {

const char* const kVariables[] = {"JOURNAL_STREAM", "NOTIFY_SOCKET", "WATCHDOG_USEC",
                                  "WATCHDOG_PID"};

// Keeps the process's service variables and standard error as they were.
class ServiceLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kVariables) {
      if (const char* value = std::getenv(name))
        saved_[name] = value;
      unsetenv(name);
    }
  }
  void TearDown() override {
    RestoreStandardError();
    for (const char* name : kVariables) {
      unsetenv(name);
      if (const auto found = saved_.find(name); found != saved_.end())
        setenv(name, found->second.c_str(), 1);
    }
  }

  // Points standard error at `name` in the temporary directory.
  void RedirectStandardError(const std::string& name) {
    std::fflush(stderr);
    if (savedStderr_ < 0)
      savedStderr_ = dup(STDERR_FILENO);
    const int file = open(dir_.File(name).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(file, 0);
    dup2(file, STDERR_FILENO);
    close(file);
  }
  void RestoreStandardError() {
    if (savedStderr_ < 0)
      return;
    std::fflush(stderr);
    dup2(savedStderr_, STDERR_FILENO);
    close(savedStderr_);
    savedStderr_ = -1;
  }
  static std::string IdentityOf(const std::string& path) {
    struct stat file {};
    EXPECT_EQ(stat(path.c_str(), &file), 0) << path;
    return std::to_string(file.st_dev) + ":" + std::to_string(file.st_ino);
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(dir_.File(name));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  testing::TempDir dir_;
  std::map<std::string, std::string> saved_;
  int savedStderr_ = -1;
};

TEST_F(ServiceLogTest, PrefixesOnlyWhenStandardErrorIsTheNamedStream) {
  RedirectStandardError("stderr.txt");
  const std::string own = IdentityOf(dir_.File("stderr.txt"));
  dir_.Write("other.txt", "");
  const std::string other = IdentityOf(dir_.File("other.txt"));
  const std::string device = own.substr(0, own.find(':'));
  const struct {
    std::optional<std::string> stream;
    bool journal;
  } cases[] = {
      {std::nullopt, false},  {own, true},
      {other, false},  // inherited, but standard error was sent elsewhere
      {device + ":0", false}, {"", false},
      {device, false},        {own + "x", false},
      {"x" + own, false},     {":" + own.substr(own.find(':') + 1), false},
      {"-" + own, false},
  };
  for (const auto& c : cases) {
    const std::string label = c.stream ? "JOURNAL_STREAM=\"" + *c.stream + "\"" : "unset";
    if (c.stream)
      setenv("JOURNAL_STREAM", c.stream->c_str(), 1);
    else
      unsetenv("JOURNAL_STREAM");
    EXPECT_EQ(StandardErrorIsJournal(), c.journal) << label;
  }
}

TEST_F(ServiceLogTest, EachSeverityCarriesItsJournalPriority) {
  RedirectStandardError("journal.txt");
  setenv("JOURNAL_STREAM", IdentityOf(dir_.File("journal.txt")).c_str(), 1);
  WriteServiceLine(Severity::kError, "lost");
  WriteServiceLine(Severity::kWarning, "odd");
  WriteServiceLine(Severity::kInfo, "fine");
  RedirectStandardError("file.txt");  // JOURNAL_STREAM still names journal.txt
  WriteServiceLine(Severity::kError, "in a file");
  RestoreStandardError();

  std::istringstream journal(Read("journal.txt"));
  const struct {
    const char* prefix;
    const char* text;
  } expected[] = {{"<3>", "lost"}, {"<4>", "odd"}, {"<6>", "fine"}};
  std::string line;
  for (const auto& e : expected) {
    ASSERT_TRUE(std::getline(journal, line)) << e.text;
    EXPECT_EQ(line.substr(0, 3), e.prefix) << line;
    EXPECT_EQ(line.substr(line.size() - std::strlen(e.text) - 9), std::string("tessard: ") + e.text)
        << line;
  }
  EXPECT_FALSE(std::getline(journal, line)) << line;
  const std::string file = Read("file.txt");
  ASSERT_FALSE(file.empty());
  EXPECT_TRUE(file[0] >= '0' && file[0] <= '9') << "no prefix in a plain file: " << file;
}

TEST_F(ServiceLogTest, LostDataIsReportedAtErrorPriority) {
  RedirectStandardError("journal.txt");
  setenv("JOURNAL_STREAM", IdentityOf(dir_.File("journal.txt")).c_str(), 1);
  FailureReport report(SystemClock());
  report.Failure("spool file 20261210120000.dd8 not written", "No space left on device");
  RestoreStandardError();
  const std::string line = Read("journal.txt");
  EXPECT_EQ(line.substr(0, 3), "<3>") << line;
  EXPECT_NE(line.find("spool file 20261210120000.dd8 not written: No space left on device"),
            std::string::npos)
      << line;
}

// A datagram socket standing in for systemd's notify socket.
class NotifyReceiver {
 public:
  explicit NotifyReceiver(const std::string& name) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@')
      address.sun_path[0] = '\0';
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    bound_ = bind(fd_, reinterpret_cast<const sockaddr*>(&address), size) == 0;
  }
  ~NotifyReceiver() { close(fd_); }
  bool Bound() const { return bound_; }
  std::optional<std::string> Receive(int timeoutMs = 2000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1)
      return std::nullopt;
    char buffer[256];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    return n < 0 ? std::nullopt : std::optional<std::string>(std::string(buffer, n));
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

TEST_F(ServiceLogTest, NotifyMessagesReachTheSocketNamedByNotifySocket) {
  EXPECT_FALSE(NotifyServiceManager("READY=1")) << "nobody to tell";
  setenv("NOTIFY_SOCKET", "", 1);
  EXPECT_FALSE(NotifyServiceManager("READY=1")) << "empty NOTIFY_SOCKET";

  const std::string abstractName = "@tessar-notify-test-" + std::to_string(getpid());
  for (const std::string& name : {dir_.File("notify"), abstractName}) {
    NotifyReceiver receiver(name);
    ASSERT_TRUE(receiver.Bound()) << name << ": " << std::strerror(errno);
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
    for (const char* message : {"READY=1", "WATCHDOG=1", "STOPPING=1"}) {
      EXPECT_TRUE(NotifyServiceManager(message)) << name << " " << message;
      EXPECT_EQ(receiver.Receive(), message) << name;
    }
  }
  setenv("NOTIFY_SOCKET", dir_.File("nobody-listens").c_str(), 1);
  EXPECT_FALSE(NotifyServiceManager("READY=1")) << "a socket that is not there";
  setenv("NOTIFY_SOCKET", ("/" + std::string(200, 'x')).c_str(), 1);
  EXPECT_FALSE(NotifyServiceManager("READY=1")) << "a path too long for a socket address";
}

TEST_F(ServiceLogTest, TheWatchdogIsPingedAtHalfItsIntervalForThisProcessOnly) {
  const std::string self = std::to_string(getpid());
  const std::string parent = std::to_string(getppid());
  const struct {
    std::optional<std::string> usec;
    std::optional<std::string> pid;
    int pingMs;
  } cases[] = {
      {std::nullopt, std::nullopt, 0},
      {"20000000", std::nullopt, 10000},
      {"20000000", self, 10000},
      {"20000000", parent, 0},  // inherited from the process systemd started
      {"20000000", "x", 0},
      {"20000000", "", 0},
      {"3000", self, 1},
      {"1", self, 1},  // under a millisecond: as often as a timer fires
      {"0", self, 0},
      {"", self, 0},
      {"abc", self, 0},
      {"-20000000", self, 0},
      {"20000000s", self, 0},
      {"99999999999999999999999", self, 0},  // out of range
      {"9223372036854775807", self, INT_MAX},
  };
  for (const auto& c : cases) {
    const std::string label = "WATCHDOG_USEC=" + c.usec.value_or("(unset)") +
                              " WATCHDOG_PID=" + c.pid.value_or("(unset)");
    c.usec ? setenv("WATCHDOG_USEC", c.usec->c_str(), 1) : unsetenv("WATCHDOG_USEC");
    c.pid ? setenv("WATCHDOG_PID", c.pid->c_str(), 1) : unsetenv("WATCHDOG_PID");
    EXPECT_EQ(WatchdogPingMs(), c.pingMs) << label;
  }
}

}  // namespace
}  // namespace tessar::platform
