// The real tessard (offscreen) with a metrics port, the receiver simulator on
// a pseudo-terminal and the message-server simulator on loopback: the figures
// scraped over loopback follow what the simulators do, `tessard --status`
// reports them with its exit status, a stalled scraper holds nothing up, and
// without a metrics port nothing more listens.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "metrics/metrics_names.h"
#include "metrics/metrics_page.h"
#include "metrics/status_report.h"
#include "netlink/packets.h"
#include "platform/tcp.h"
#include "pty_receiver.h"
#include "receiver_simulator.h"
#include "server_simulator.h"
#include "tessard_process.h"
#include "test_support.h"

namespace tessar {
namespace {

namespace fs = std::filesystem;
using tools::ReceiverSimulator;
using tools::ServerSimulator;

constexpr uint32_t kWaitMs = 15000;

// A kind-3 receiver message from `device`, type 2 (zones), zone 3 in alarm.
std::array<uint8_t, 13> Zone3Alarm(int device) {
  std::array<uint8_t, 13> body{};
  body[2] = static_cast<uint8_t>(device >> 4);
  body[3] = static_cast<uint8_t>((device & 0x0F) << 4 | 2);
  body[12] = 1 << 2;
  return body;
}

// The TCP ports process `pid` listens on, from its descriptors and the
// kernel's socket tables.
std::set<uint16_t> ListeningPorts(pid_t pid) {
  std::set<std::string> inodes;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    std::error_code error;
    const std::string target = fs::read_symlink(entry.path(), error).string();
    if (!error && target.rfind("socket:[", 0) == 0)
      inodes.insert(target.substr(8, target.size() - 9));
  }
  std::set<uint16_t> ports;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the column names
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode;
      if (state == "0A" && inodes.count(inode))
        ports.insert(
            static_cast<uint16_t>(std::stoul(local.substr(local.find(':') + 1), nullptr, 16)));
    }
  }
  return ports;
}

class MetricsEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = testing::MakeDriverHome("tessard-metrics-e2e", ZNTLINK_PATH);
    std::string error;
    ASSERT_TRUE(server_.Start(0, &error)) << error;
  }

  void TearDown() override {
    testing::KillTessard(&pid_);
    pty_.Stop();
    server_.Stop();
    fs::remove_all(home_);
  }

  // tessard.ini with the receiver on COM3 (or none) and `extra` in [main].
  void WriteIni(const std::string& port, const std::string& extra) {
    std::ofstream(home_ / "tessard.ini")
        << "[main]\r\nComPort=" << port << "\r\nFirstNumber=1\r\nTcpPort=" << tcpPort_ << "\r\n"
        << extra << "[ServerHost]\r\nAddress=127.0.0.1\r\nPort=" << server_.Port() << "\r\n";
  }

  void StartDriver() {
    pid_ = testing::StartTessard(home_, TESSARD_PATH);
    ASSERT_GE(pid_, 0);
  }

  int Stop() {
    kill(pid_, SIGTERM);
    return testing::WaitForExit(&pid_, 5000);
  }

  std::string DriverLog() { return testing::TessardLog(home_); }

  MetricsPage Scrape() {
    const FetchResult fetched = FetchMetrics("127.0.0.1", metricsPort_, 2000);
    return fetched.ok ? MetricsPage::Parse(fetched.body) : MetricsPage{};
  }

  double Value(const char* name, const std::map<std::string, std::string>& labels = {}) {
    return Scrape().Value(name, labels).value_or(-1);
  }

  // Waits until the scraped `name` satisfies `holds`.
  bool WaitForValue(const char* name, const std::function<bool(double)>& holds,
                    const std::map<std::string, std::string>& labels = {}) {
    return testing::WaitFor(
        [&] {
          const auto value = Scrape().Value(name, labels);
          return value && holds(*value);
        },
        kWaitMs);
  }

  // `tessard --status` in the driver's home: its exit status and output.
  int Status(std::string* output) {
    const fs::path out = home_ / "status.out";
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir(home_.c_str()) != 0)
        _exit(126);
      const int fd = open("status.out", O_CREAT | O_WRONLY | O_TRUNC, 0644);
      dup2(fd, STDOUT_FILENO);
      dup2(fd, STDERR_FILENO);
      execl(TESSARD_PATH, TESSARD_PATH, "--status", static_cast<char*>(nullptr));
      _exit(127);
    }
    pid_t child = pid;
    const int status = testing::WaitForExit(&child, 10000);
    if (child > 0)
      testing::KillTessard(&child);
    std::ifstream in(out);
    std::stringstream text;
    text << in.rdbuf();
    *output = text.str();
    return status;
  }

  bool ServerGot(int32_t code) {
    return server_.WaitUntil(
        [code](const ServerSimulator& s) {
          for (int32_t c : s.Codes())
            if (c == code)
              return true;
          return false;
        },
        kWaitMs);
  }

  fs::path home_;
  ReceiverSimulator receiver_;
  tools::PtyReceiver pty_{receiver_};
  ServerSimulator server_;
  uint16_t tcpPort_ = testing::FreePort();
  uint16_t metricsPort_ = testing::FreePort();
  pid_t pid_ = -1;
};

TEST_F(MetricsEndToEnd, TheFiguresFollowTheSimulatorsAndTheStatusCommandReportsThem) {
  std::string error;
  ASSERT_TRUE(pty_.Start((home_ / "zntlog" / "COM3").string(), &error)) << error;
  WriteIni("COM3", "MetricsPort=" + std::to_string(metricsPort_) + "\r\n");
  StartDriver();
  ASSERT_TRUE(WaitForValue(metric::kReceiverLinkUp, [](double v) { return v == 1; }))
      << DriverLog();
  ASSERT_TRUE(WaitForValue(metric::kServerOnline, [](double v) { return v == 1; })) << DriverLog();
  EXPECT_EQ(ListeningPorts(pid_), (std::set<uint16_t>{tcpPort_, metricsPort_}));
  std::string output;
  EXPECT_EQ(Status(&output), kStatusUp) << output;
  EXPECT_NE(output.find("status: up"), std::string::npos) << output;

  // A scraper that connects, starts a request and stalls stays connected
  // from here to the end; the driver goes on regardless.
  platform::TcpConnection stalled;
  ASSERT_TRUE(stalled.Connect("127.0.0.1", metricsPort_, 1000, nullptr));
  const std::string half = "GET /met";
  stalled.WriteAll(reinterpret_cast<const uint8_t*>(half.data()), half.size(), 1000);

  receiver_.AddMessage(ReceiverSimulator::Kind3Message(1, receiver_.Clock(), Zone3Alarm(37)));
  ASSERT_TRUE(ServerGot(CMD_EVENT)) << DriverLog();
  ASSERT_TRUE(WaitForValue(metric::kEventsPosted, [](double v) { return v == 1; })) << DriverLog();
  const MetricsPage page = Scrape();
  EXPECT_EQ(page.Value(metric::kMessages, {{metric::kSourceLabel, metric::kSourceReceiver}}), 1);
  EXPECT_EQ(page.Value(metric::kMessages, {{metric::kSourceLabel, metric::kSourceTcp}}), 0);
  EXPECT_EQ(page.Value(metric::kZoneRecords), 1);
  EXPECT_LT(page.Value(metric::kSinceReceiverMessage).value_or(99), 10);
  EXPECT_GE(page.Value(metric::kPacketsSent).value_or(0), 5) << "the hello group and the event";
  EXPECT_GE(page.Value(metric::kServerAnswers).value_or(0), 5);
  EXPECT_EQ(page.Value(metric::kSpoolFiles), 0);

  // The server goes away: offline, and the next alarm is spooled.
  server_.Stop();
  ASSERT_TRUE(WaitForValue(metric::kServerOnline, [](double v) { return v == 0; })) << DriverLog();
  receiver_.AddMessage(ReceiverSimulator::Kind3Message(1, receiver_.Clock(), Zone3Alarm(38)));
  ASSERT_TRUE(WaitForValue(metric::kSpoolFiles, [](double v) { return v == 1; })) << DriverLog();
  EXPECT_EQ(Value(metric::kSpoolWritten), 1);
  EXPECT_EQ(Value(metric::kEventsPosted), 1);
  EXPECT_EQ(Status(&output), kStatusDown) << output;
  EXPECT_NE(output.find("status: down (server session offline)"), std::string::npos) << output;
  EXPECT_NE(output.find("1 file waiting"), std::string::npos) << output;

  // The receiver goes away: the link is down.
  pty_.Stop();
  ASSERT_TRUE(WaitForValue(metric::kReceiverLinkUp, [](double v) { return v == 0; }))
      << DriverLog();

  // The stalled scraper is still connected: stopping is not held up by it.
  EXPECT_EQ(Stop(), 0) << DriverLog();
  EXPECT_EQ(Status(&output), kStatusNoDriver) << output;
  EXPECT_NE(output.find("no driver answers"), std::string::npos) << output;
}

TEST_F(MetricsEndToEnd, WithoutAMetricsPortNothingMoreListens) {
  WriteIni("COM0", "");
  StartDriver();
  ASSERT_TRUE(ServerGot(CMD_VERSION)) << DriverLog();
  EXPECT_EQ(ListeningPorts(pid_), (std::set<uint16_t>{tcpPort_}));
  std::string output;
  EXPECT_EQ(Status(&output), kStatusNoDriver) << output;
  EXPECT_NE(output.find("metrics are off"), std::string::npos) << output;
  EXPECT_EQ(Stop(), 0) << DriverLog();
}

TEST_F(MetricsEndToEnd, ATakenMetricsPortIsReportedOnceAndTheDriverRunsOn) {
  platform::TcpListener taken;
  std::string error;
  ASSERT_TRUE(taken.Listen("127.0.0.1", 0, &error)) << error;
  WriteIni("COM0", "MetricsPort=" + std::to_string(taken.Port()) + "\r\n");
  StartDriver();
  const std::string report =
      "metrics endpoint cannot listen on 127.0.0.1:" + std::to_string(taken.Port());
  ASSERT_TRUE(
      testing::WaitFor([&] { return DriverLog().find(report) != std::string::npos; }, kWaitMs))
      << DriverLog();
  EXPECT_TRUE(ServerGot(CMD_VERSION)) << "the server session runs all the same";
  const std::string log = DriverLog();
  EXPECT_EQ(log.find(report), log.rfind(report)) << "reported once\n" << log;
  EXPECT_EQ(Stop(), 0) << DriverLog();
}

}  // namespace
}  // namespace tessar
