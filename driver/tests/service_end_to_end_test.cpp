// The real tessard started the way the unit tessard.service has systemd start
// it (Type=notify, WatchdogSec=, output to the journal): NOTIFY_SOCKET names
// a datagram socket of the test, WATCHDOG_USEC and WATCHDOG_PID are set, and
// JOURNAL_STREAM names the driver's standard error. READY=1 comes once the
// start-up sequence has finished, WATCHDOG=1 follows at half the interval,
// STOPPING=1 on SIGTERM; errors carry the journal's error priority.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/tcp.h"
#include "server_simulator.h"
#include "tessard_process.h"
#include "test_support.h"

namespace tessar {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kWaitMs = 15000;
// The watchdog interval systemd would pass: the driver pings every 100 ms.
constexpr const char* kWatchdogUsec = "200000";

// The service manager's end of the notify protocol.
class NotifySocket {
 public:
  explicit NotifySocket(const fs::path& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    bound_ = bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~NotifySocket() {
    close(fd_);
    fs::remove(path_);
  }
  bool Bound() const { return bound_; }
  std::optional<std::string> Receive(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1)
      return std::nullopt;
    char buffer[512];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    return n < 0 ? std::nullopt : std::optional<std::string>(std::string(buffer, n));
  }
  // Every message that arrives within `ms`.
  std::vector<std::string> ReceiveFor(int ms) {
    std::vector<std::string> messages;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (const auto message = Receive(static_cast<int>(std::max<long>(left, 1))))
        messages.push_back(*message);
    }
    return messages;
  }

 private:
  fs::path path_;
  int fd_ = -1;
  bool bound_ = false;
};

class ServiceEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = testing::MakeDriverHome("tessard-service-e2e", ZNTLINK_PATH);
    std::string error;
    ASSERT_TRUE(server_.Start(0, &error)) << error;
    notify_.emplace(home_ / "notify");
    ASSERT_TRUE(notify_->Bound()) << std::strerror(errno);
  }
  void TearDown() override {
    testing::KillTessard(&pid_);
    server_.Stop();
    notify_.reset();
    fs::remove_all(home_);
  }

  // As systemd starts the unit; `ownWatchdog` false gives WATCHDOG_PID the pid
  // of another process, as a program started by a service would inherit it.
  void StartAsService(uint16_t tcpPort, bool ownWatchdog = true) {
    std::ofstream(home_ / "tessard.ini")
        << "[main]\r\nComPort=COM0\r\nTcpPort=" << tcpPort
        << "\r\n[ServerHost]\r\nAddress=127.0.0.1\r\nPort=" << server_.Port() << "\r\n";
    testing::ServiceEnvironment service;
    service.variables = {{"NOTIFY_SOCKET", (home_ / "notify").string()},
                         {"WATCHDOG_USEC", kWatchdogUsec}};
    if (!ownWatchdog)
      service.variables.emplace_back("WATCHDOG_PID", std::to_string(getpid()));
    service.watchdogPid = ownWatchdog;
    service.journalStream = true;
    pid_ = testing::StartTessard(home_, TESSARD_PATH, service);
    ASSERT_GT(pid_, 0);
  }

  std::string DriverLog() { return testing::TessardLog(home_); }

  // The driver's lines on standard error that contain `text`.
  std::vector<std::string> LogLinesWith(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream log(DriverLog());
    for (std::string line; std::getline(log, line);)
      if (line.find(text) != std::string::npos)
        lines.push_back(line);
    return lines;
  }

  fs::path home_;
  tools::ServerSimulator server_;
  std::optional<NotifySocket> notify_;
  pid_t pid_ = -1;
};

TEST_F(ServiceEndToEnd, ReadyAfterStartUpThenWatchdogPingsThenStoppingOnSigterm) {
  const uint16_t port = testing::FreePort();
  StartAsService(port);
  ASSERT_EQ(notify_->Receive(kWaitMs), "READY=1") << DriverLog();
  // The local TCP service is the last step of the start-up sequence: at
  // READY=1 it accepts at the first attempt.
  platform::TcpConnection peer;
  std::string error;
  EXPECT_TRUE(peer.Connect("127.0.0.1", port, 1000, &error)) << error;

  // One second at a ping every 100 ms; a loaded machine may delay a few.
  const std::vector<std::string> messages = notify_->ReceiveFor(1000);
  EXPECT_GE(messages.size(), 4u);
  EXPECT_LE(messages.size(), 12u);
  for (const std::string& m : messages)
    EXPECT_EQ(m, "WATCHDOG=1");

  kill(pid_, SIGTERM);
  std::optional<std::string> message;
  while ((message = notify_->Receive(kWaitMs)) && *message == "WATCHDOG=1") {
  }
  EXPECT_EQ(message, "STOPPING=1");
  EXPECT_EQ(testing::WaitForExit(&pid_, 5000), 0) << DriverLog();
  const auto stopping = LogLinesWith("stopping on signal 15");
  ASSERT_EQ(stopping.size(), 1u) << DriverLog();
  EXPECT_EQ(stopping[0].substr(0, 3), "<6>") << "information priority: " << stopping[0];
}

TEST_F(ServiceEndToEnd, AnErrorCarriesTheJournalsErrorPriority) {
  platform::TcpListener taken;
  std::string error;
  ASSERT_TRUE(taken.Listen("127.0.0.1", 0, &error)) << error;
  StartAsService(taken.Port());
  ASSERT_EQ(notify_->Receive(kWaitMs), "READY=1") << DriverLog();
  const std::string text = "cannot listen on port " + std::to_string(taken.Port());
  ASSERT_TRUE(testing::WaitFor([&] { return !LogLinesWith(text).empty(); }, kWaitMs))
      << DriverLog();
  for (const std::string& line : LogLinesWith(text))
    EXPECT_EQ(line.substr(0, 3), "<3>") << "error priority: " << line;
  kill(pid_, SIGTERM);
  EXPECT_EQ(testing::WaitForExit(&pid_, 5000), 0) << DriverLog();
}

TEST_F(ServiceEndToEnd, AWatchdogMeantForAnotherProcessIsNotPinged) {
  StartAsService(testing::FreePort(), /*ownWatchdog=*/false);
  ASSERT_EQ(notify_->Receive(kWaitMs), "READY=1") << DriverLog();
  EXPECT_EQ(notify_->ReceiveFor(500), std::vector<std::string>{});
  kill(pid_, SIGTERM);
  EXPECT_EQ(testing::WaitForExit(&pid_, 5000), 0) << DriverLog();
}

}  // namespace
}  // namespace tessar
