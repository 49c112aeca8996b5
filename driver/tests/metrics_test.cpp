// The metrics: where the endpoint listens, the endpoint itself over loopback
// (what it serves, that a stalled or greedy scraper holds nothing up), reading
// a page back, and the status command's summary and exit status.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "common/profile_file.h"
#include "metrics/metrics_endpoint.h"
#include "metrics/metrics_names.h"
#include "metrics/metrics_page.h"
#include "metrics/metrics_settings.h"
#include "metrics/status_report.h"
#include "platform/clock.h"
#include "platform/tcp.h"
#include "test_support.h"

namespace tessar {
namespace {

using SteadyClock = std::chrono::steady_clock;

double Milliseconds(SteadyClock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

TEST(MetricsSettings, OffUnlessAUsablePortIsSet) {
  const struct {
    const char* ini;
    bool enabled;
    const char* address;
    uint16_t port;
    bool problem;
  } cases[] = {
      {"", false, "127.0.0.1", 0, false},
      {"[main]\nMetricsPort=\n", false, "127.0.0.1", 0, false},
      {"[main]\nMetricsPort=9109\n", true, "127.0.0.1", 9109, false},
      {"[MAIN]\nmetricsport = 0x2395\n", true, "127.0.0.1", 9109, false},
      {"[main]\nMetricsPort=9109\nMetricsAddress=0.0.0.0\n", true, "0.0.0.0", 9109, false},
      {"[main]\nMetricsPort=9109\nMetricsAddress=10.1.2.3\n", true, "10.1.2.3", 9109, false},
      {"[main]\nMetricsPort=0\n", false, "127.0.0.1", 0, true},
      {"[main]\nMetricsPort=65536\n", false, "127.0.0.1", 0, true},
      {"[main]\nMetricsPort=-1\n", false, "127.0.0.1", 0, true},
      {"[main]\nMetricsPort=nine\n", false, "127.0.0.1", 0, true},
      {"[main]\nMetricsPort=9109\nMetricsAddress=localhost\n", false, "127.0.0.1", 0, true},
      {"[main]\nMetricsPort=9109\nMetricsAddress=1.2.3\n", false, "127.0.0.1", 0, true},
      {"[ServerHost]\nMetricsPort=9109\n", false, "127.0.0.1", 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ini);
    const MetricsSettings settings = ReadMetricsSettings(ProfileFile::FromText(c.ini));
    EXPECT_EQ(settings.enabled, c.enabled);
    EXPECT_EQ(settings.address, c.address);
    EXPECT_EQ(settings.port, c.port);
    EXPECT_EQ(!settings.problem.empty(), c.problem) << settings.problem;
  }
  MetricsSettings every;
  every.address = "0.0.0.0";
  EXPECT_EQ(LocalAddressOf(every), "127.0.0.1");
}

TEST(MetricsPage, ReadsSamplesWithTheirLabelsAndSkipsTheRest) {
  const MetricsPage page = MetricsPage::Parse(
      "# HELP tessard_messages_total Messages\n"
      "# TYPE tessard_messages_total counter\n"
      "tessard_messages_total{source=\"receiver\"} 12\n"
      "tessard_messages_total{source=\"tcp\"} 3 1700000000000\r\n"
      "tessard_server_online 1\n"
      "odd{a=\"x\\\"y\",b=\"2\",} 1.5e3\n"
      "\n"
      "broken{a=\"unterminated} 1\n"
      "novalue\n"
      "trailing 4x\n"
      "9starts_with_a_digit 1\n"
      "last_line_without_newline -2.25");
  EXPECT_EQ(page.Samples().size(), 5u);
  EXPECT_EQ(page.Value("tessard_messages_total", {{"source", "receiver"}}), 12);
  EXPECT_EQ(page.Value("tessard_messages_total", {{"source", "tcp"}}), 3);
  EXPECT_EQ(page.Value("tessard_messages_total"), std::nullopt) << "labels must match exactly";
  EXPECT_EQ(page.Value("tessard_server_online"), 1);
  EXPECT_EQ(page.Value("odd", {{"a", "x\"y"}, {"b", "2"}}), 1500);
  EXPECT_EQ(page.Value("last_line_without_newline"), -2.25);
  EXPECT_EQ(page.Value("broken", {{"a", "unterminated} 1"}}), std::nullopt);
}

// A page as the endpoint serves it, with the two states given.
std::string Page(int linkUp, int online) {
  return std::string("tessard_receiver_link_up ") + std::to_string(linkUp) +
         "\ntessard_server_online " + std::to_string(online) +
         "\ntessard_start_time_seconds 1000\n"
         "tessard_messages_total{source=\"receiver\"} 12\n"
         "tessard_messages_total{source=\"tcp\"} 3\n"
         "tessard_tcp_duplicates_total 1\n"
         "tessard_events_posted_total 10\n"
         "tessard_measurements_posted_total 2\n"
         "tessard_server_session_drops_total{cause=\"server_command\"} 1\n"
         "tessard_spool_files 4\n"
         "tessard_seconds_since_receiver_message 3.4\n";
}

TEST(StatusReport, ExitStatusAndSummaryFollowTheTwoLinks) {
  const struct {
    std::string page;
    int exitStatus;
    const char* lastLine;
  } cases[] = {
      {Page(1, 1), kStatusUp, "status: up\n"},
      {Page(0, 1), kStatusDown, "status: down (receiver link down)\n"},
      {Page(1, 0), kStatusDown, "status: down (server session offline)\n"},
      {Page(0, 0), kStatusDown, "status: down (receiver link down, server session offline)\n"},
      {"tessard_server_online 1\n", kStatusNoDriver, "is no tessard metrics page\n"},
      {"<html>hello</html>", kStatusNoDriver, "is no tessard metrics page\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.page);
    const StatusReport report = ReportStatus(MetricsPage::Parse(c.page), "127.0.0.1:9", 4723);
    EXPECT_EQ(report.exitStatus, c.exitStatus);
    const std::string last = c.lastLine;
    ASSERT_GE(report.text.size(), last.size());
    EXPECT_EQ(report.text.substr(report.text.size() - last.size()), last) << report.text;
  }
  const std::string text = ReportStatus(MetricsPage::Parse(Page(1, 0)), "127.0.0.1:9", 4723).text;
  for (const char* part :
       {"tessard at 127.0.0.1:9: running for 1:02:03\n", "receiver link   up, last message 0:00:03",
        "server session  OFFLINE", "12 from the receiver, 3 from the local TCP service, 1 repeat",
        "10 events, 2 measurements", "session drops   1 (errors 0, server_command 1",
        "4 files waiting"})
    EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
}

class MetricsEndpointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Stamp(metrics_.startMonotonicMs, clock_.MonotonicMs());
    std::string error;
    ASSERT_TRUE(endpoint_->Start(settings_, &error)) << error;
    ASSERT_NE(endpoint_->Port(), 0);
  }

  MetricsPage Scrape() {
    const FetchResult fetched = FetchMetrics("127.0.0.1", endpoint_->Port(), 5000);
    EXPECT_TRUE(fetched.ok) << fetched.error;
    return MetricsPage::Parse(fetched.body);
  }

  platform::ManualClock clock_{1000};
  DriverMetrics metrics_;
  MetricsEndpoint::Settings settings_ = [] {
    MetricsEndpoint::Settings s;
    s.requestTimeoutMs = 500;
    return s;
  }();
  std::unique_ptr<MetricsEndpoint> endpoint_ = std::make_unique<MetricsEndpoint>(metrics_, clock_);
};

TEST_F(MetricsEndpointTest, ServesEveryFigureAsItIsAtTheScrape) {
  MetricsPage page = Scrape();
  // Every metric is there from the start, the labelled ones with every label.
  for (const char* name :
       {metric::kReceiverLinkUp, metric::kServerOnline, metric::kTcpDuplicates,
        metric::kEventsPosted, metric::kMeasurementsPosted, metric::kPacketsSent,
        metric::kServerAnswers, metric::kSpoolFiles, metric::kSpoolWritten, metric::kSpoolResent,
        metric::kSpoolWriteFailures, metric::kSendRingPackets, metric::kIncomingQueueMessages,
        metric::kZoneRecords, metric::kSinceReceiverMessage, metric::kSinceServerAnswer,
        metric::kStartTime})
    EXPECT_EQ(page.Value(name), 0) << name;
  for (const char* source : {metric::kSourceReceiver, metric::kSourceTcp})
    EXPECT_EQ(page.Value(metric::kMessages, {{metric::kSourceLabel, source}}), 0) << source;
  for (const char* cause : metric::kDropCauses)
    EXPECT_EQ(page.Value(metric::kSessionDrops, {{metric::kCauseLabel, cause}}), 0) << cause;

  SetFlag(metrics_.receiverLinkUp, true);
  SetFlag(metrics_.serverOnline, true);
  for (int i = 0; i < 7; ++i)
    Count(metrics_.receiverMessages);
  Count(metrics_.tcpMessages);
  Count(metrics_.eventsPosted);
  CountDrop(metrics_, SessionDropCause::kWriteFailure);
  SetGauge(metrics_.spoolFiles, 1234567);
  SetGauge(metrics_.sendRingPackets, 404);
  SetGauge(metrics_.startUnixSeconds, 1765380000);
  clock_.Advance(2500);
  Stamp(metrics_.lastServerAnswerMs, clock_.MonotonicMs());
  clock_.Advance(1500);
  page = Scrape();
  EXPECT_EQ(page.Value(metric::kReceiverLinkUp), 1);
  EXPECT_EQ(page.Value(metric::kServerOnline), 1);
  EXPECT_EQ(page.Value(metric::kMessages, {{metric::kSourceLabel, metric::kSourceReceiver}}), 7);
  EXPECT_EQ(page.Value(metric::kMessages, {{metric::kSourceLabel, metric::kSourceTcp}}), 1);
  EXPECT_EQ(page.Value(metric::kEventsPosted), 1);
  EXPECT_EQ(page.Value(metric::kSessionDrops, {{metric::kCauseLabel, "write_failure"}}), 1);
  EXPECT_EQ(page.Value(metric::kSessionDrops, {{metric::kCauseLabel, "errors"}}), 0);
  EXPECT_EQ(page.Value(metric::kSpoolFiles), 1234567);
  EXPECT_EQ(page.Value(metric::kSendRingPackets), 404);
  EXPECT_EQ(page.Value(metric::kStartTime), 1765380000);
  // Before the first message the age counts from the start.
  EXPECT_EQ(page.Value(metric::kSinceReceiverMessage), 4.0);
  EXPECT_EQ(page.Value(metric::kSinceServerAnswer), 1.5);
}

TEST_F(MetricsEndpointTest, ATakenPortIsRefusedWithItsReason) {
  MetricsEndpoint second(metrics_, clock_);
  MetricsEndpoint::Settings settings;
  settings.port = endpoint_->Port();
  std::string error;
  EXPECT_FALSE(second.Start(settings, &error));
  EXPECT_FALSE(second.Running());
  EXPECT_FALSE(error.empty());
  // The first one serves on.
  EXPECT_EQ(Scrape().Value(metric::kServerOnline), 0);
}

TEST_F(MetricsEndpointTest, StalledAndGreedyScrapersHoldNothingUp) {
  const uint16_t port = endpoint_->Port();
  // Scrapers that connect and never finish a request, more of them than the
  // endpoint has threads, and one that asks and never reads its answer.
  std::vector<std::unique_ptr<platform::TcpConnection>> stalled;
  for (int i = 0; i < 4; ++i) {
    stalled.push_back(std::make_unique<platform::TcpConnection>());
    ASSERT_TRUE(stalled.back()->Connect("127.0.0.1", port, 1000, nullptr));
    const std::string half = "GET /metr";
    stalled.back()->WriteAll(reinterpret_cast<const uint8_t*>(half.data()), half.size(), 1000);
  }
  platform::TcpConnection greedy;
  ASSERT_TRUE(greedy.Connect("127.0.0.1", port, 1000, nullptr));
  const std::string request = "GET /metrics HTTP/1.0\r\n\r\n";
  greedy.WriteAll(reinterpret_cast<const uint8_t*>(request.data()), request.size(), 1000);

  // The figures go on changing while they hang on.
  for (int i = 0; i < 1000; ++i)
    Count(metrics_.packetsSent);

  // A well-behaved scraper is answered once the stalled ones time out.
  const FetchResult fetched = FetchMetrics("127.0.0.1", port, 5000);
  ASSERT_TRUE(fetched.ok) << fetched.error;
  EXPECT_EQ(MetricsPage::Parse(fetched.body).Value(metric::kPacketsSent), 1000);

  // Stopping with scrapers still connected ends within about the request timeout.
  for (int i = 0; i < 2; ++i) {
    stalled.push_back(std::make_unique<platform::TcpConnection>());
    stalled.back()->Connect("127.0.0.1", port, 1000, nullptr);
  }
  const auto stopping = SteadyClock::now();
  endpoint_.reset();
  EXPECT_LT(Milliseconds(SteadyClock::now() - stopping), 4000.0);
}

TEST_F(MetricsEndpointTest, TheStatusCommandAsksTheEndpointNamedInTessardIni) {
  testing::TempDir home;
  const auto check = [&](const std::string& ini) {
    home.Write("tessard.ini", ini);
    return CheckStatus(home.File("tessard.ini"), 3000);
  };
  const std::string port = std::to_string(endpoint_->Port());
  const std::string ini = "[main]\r\nMetricsPort=" + port + "\r\n";

  StatusReport report = check(ini);
  EXPECT_EQ(report.exitStatus, kStatusDown) << report.text;
  SetFlag(metrics_.receiverLinkUp, true);
  SetFlag(metrics_.serverOnline, true);
  report = check(ini + "MetricsAddress=0.0.0.0\r\n");
  EXPECT_EQ(report.exitStatus, kStatusUp) << report.text;
  EXPECT_NE(report.text.find("tessard at 127.0.0.1:" + port), std::string::npos) << report.text;

  report = check("[main]\r\nComPort=COM3\r\n");
  EXPECT_EQ(report.exitStatus, kStatusNoDriver);
  EXPECT_NE(report.text.find("metrics are off"), std::string::npos) << report.text;
  report = check("[main]\r\nMetricsPort=70000\r\n");
  EXPECT_EQ(report.exitStatus, kStatusNoDriver);
  EXPECT_NE(report.text.find("no port number"), std::string::npos) << report.text;

  endpoint_.reset();
  report = check(ini);
  EXPECT_EQ(report.exitStatus, kStatusNoDriver);
  EXPECT_NE(report.text.find("no driver answers at 127.0.0.1:" + port), std::string::npos)
      << report.text;

  // Something else on the port: an answer that is no metrics page.
  platform::TcpListener other;
  std::string error;
  ASSERT_TRUE(other.Listen("127.0.0.1", 0, &error)) << error;
  std::thread answerer([&] {
    if (other.WaitForClient(nullptr, 5000) != platform::IoResult::kOk)
      return;
    platform::TcpConnection client(other.AcceptWaiting(), nullptr);
    uint8_t buffer[512];
    size_t received = 0;
    client.ReadSome(buffer, sizeof buffer, 2000, received);
    const std::string answer = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    client.WriteAll(reinterpret_cast<const uint8_t*>(answer.data()), answer.size(), 2000);
  });
  report = check("[main]\r\nMetricsPort=" + std::to_string(other.Port()) + "\r\n");
  answerer.join();
  EXPECT_EQ(report.exitStatus, kStatusNoDriver);
  EXPECT_NE(report.text.find("404 Not Found"), std::string::npos) << report.text;
}

}  // namespace
}  // namespace tessar
