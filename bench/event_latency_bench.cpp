// End-to-end latency of one alarm: the real tessard (offscreen) in a home of
// its own, with the real libzntlink.so, the receiver simulator on a
// pseudo-terminal and the message-server simulator on loopback, both in this
// process. Messages are stored at the receiver one at a time, each a new
// transmitter (device N, zone 3 in alarm, so exactly one CMD_EVENT each); the
// time from storing a message to the server receiving its CMD_EVENT is
// measured. A pause of 0-499 ms (fixed pseudo-random sequence) before each
// message spreads the stores over every phase of the driver's timers. It runs
// twice: once without a metrics port, and once with the metrics endpoint
// scraped ten times a second all along, to show what scraping costs the
// alarm's road. Prints figures; asserts none.
//   event_latency_bench [--messages N] [--driver PATH] [--library PATH]
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "arguments.h"
#include "conversion/records.h"
#include "driver_process.h"
#include "metrics/metrics_page.h"
#include "netlink/packets.h"
#include "platform/tcp.h"
#include "pty_receiver.h"
#include "receiver_simulator.h"
#include "server_simulator.h"

namespace {

namespace fs = std::filesystem;
using namespace tessar;
using SteadyClock = std::chrono::steady_clock;
using tools::ReceiverSimulator;
using tools::ServerSimulator;

constexpr int kFirstDevice = 100;
constexpr uint32_t kEventWaitMs = 5000;
constexpr int kScrapesPerSecond = 10;

// A kind-3 message from `device`, type 2 (zones), zone 3 in alarm.
std::array<uint8_t, 13> Zone3Alarm(int device) {
  constexpr int kZoneType = 2;
  std::array<uint8_t, 13> body{};
  body[2] = static_cast<uint8_t>(device >> 4);
  body[3] = static_cast<uint8_t>((device & 0x0F) << 4 | kZoneType);
  body[12] = 1 << 2;  // zone 3: bit 2 of the last matrix byte
  return body;
}

std::vector<EventRecord> Events(const ServerSimulator& server) {
  std::vector<EventRecord> events;
  for (const auto& packet : server.Packets()) {
    if (packet.code != CMD_EVENT || packet.payload.size() != sizeof(EventRecord))
      continue;
    EventRecord record;
    std::memcpy(&record, packet.payload.data(), sizeof record);
    events.push_back(record);
  }
  return events;
}

size_t CountEvents(const ServerSimulator& server) {
  size_t n = 0;
  for (int32_t code : server.Codes())
    n += code == CMD_EVENT ? 1 : 0;
  return n;
}

// The driver as a child process in `home`, standard output and error in
// tessard.log there.
void PrintLog(const fs::path& home) {
  std::ifstream in(home / "tessard.log");
  std::fprintf(
      stderr, "--- tessard.log\n%s",
      std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()).c_str());
}

double Milliseconds(SteadyClock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The value below which `share` of the sorted values lie (nearest rank).
double Percentile(const std::vector<double>& sorted, double share) {
  const size_t rank = static_cast<size_t>(share * static_cast<double>(sorted.size()) + 0.999999);
  return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

// A free loopback port at the moment.
uint16_t FreePort() {
  platform::TcpListener probe;
  std::string error;
  return probe.Listen("127.0.0.1", 0, &error) ? probe.Port() : 0;
}

// Scrapes the metrics endpoint kScrapesPerSecond times a second until stopped.
class Scraper {
 public:
  explicit Scraper(uint16_t port)
      : thread_([this, port] {
          auto next = SteadyClock::now();
          while (!stop_) {
            const auto start = SteadyClock::now();
            const FetchResult fetched = FetchMetrics("127.0.0.1", port, 2000);
            const double ms = Milliseconds(SteadyClock::now() - start);
            if (fetched.ok && MetricsPage::Parse(fetched.body).Value("tessard_server_online")) {
              ++answered_;
              slowestMs_ = std::max(slowestMs_, ms);
            } else {
              ++failed_;
            }
            next += std::chrono::milliseconds(1000 / kScrapesPerSecond);
            std::this_thread::sleep_until(next);
          }
        }) {}
  ~Scraper() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable())
      thread_.join();
  }
  int Answered() const { return answered_; }
  int Failed() const { return failed_; }
  double SlowestMs() const { return slowestMs_; }

 private:
  std::atomic<bool> stop_{false};
  int answered_ = 0;
  int failed_ = 0;
  double slowestMs_ = 0;
  std::thread thread_;
};

struct PhaseResult {
  bool ok = false;
  double medianMs = 0;
};

// One run of the driver: `scrape` gives it a metrics port and scrapes it all along.
PhaseResult RunPhase(int messages, const std::string& program, const std::string& library,
                     bool scrape) {
  PhaseResult result;
  const fs::path home =
      fs::temp_directory_path() /
      ("tessard-latency-bench-" + std::to_string(getpid()) + (scrape ? "-scraped" : ""));
  fs::remove_all(home);
  fs::create_directories(home / "zntlog");
  fs::create_symlink(library, home / "zntlog" / "libzntlink.so");
  struct RemoveHome {
    fs::path path;
    ~RemoveHome() {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  } removeHome{home};

  ServerSimulator server;
  ReceiverSimulator receiver;
  tools::PtyReceiver pty(receiver);
  std::string error;
  if (!server.Start(0, &error) || !pty.Start((home / "zntlog" / "COM3").string(), &error)) {
    std::fprintf(stderr, "event_latency_bench: %s\n", error.c_str());
    return result;
  }
  const uint16_t metricsPort = scrape ? FreePort() : 0;
  std::ofstream(home / "tessard.ini")
      << "[main]\r\nComPort=COM3\r\nFirstNumber=1\r\nTcpPort=" << FreePort() << "\r\n"
      << (scrape ? "MetricsPort=" + std::to_string(metricsPort) + "\r\n" : "")
      << "[ServerHost]\r\nAddress=127.0.0.1\r\nPort=" << server.Port() << "\r\n";
  std::printf("%s\n", scrape ? "with the metrics endpoint scraped 10 times a second:"
                             : "without a metrics port:");

  tessar::tools::DriverProcess driver;
  const auto started = SteadyClock::now();
  if (!driver.Start(program, home, /*truncateLog=*/true)) {
    std::fprintf(stderr, "event_latency_bench: cannot start %s\n", program.c_str());
    return result;
  }
  // Ready: the session accepted (CMD_VERSION answered) and the receiver link up.
  const bool ready = server.WaitUntil(
      [](const ServerSimulator& s) {
        bool version = false;
        bool linkUp = false;
        for (const auto& p : s.Packets()) {
          version = version || p.code == CMD_VERSION;
          linkUp =
              linkUp || (p.code == CMD_PORT_STATE && p.payload.size() == 8 && p.payload[7] == 1);
        }
        return version && linkUp;
      },
      20000);
  if (!ready || !driver.Running()) {
    std::fprintf(stderr, "event_latency_bench: the driver did not bring both links up\n");
    PrintLog(home);
    return result;
  }
  std::unique_ptr<Scraper> scraper;
  if (scrape)
    scraper = std::make_unique<Scraper>(metricsPort);
  std::printf("  driver ready after %.0f ms (server session accepted, receiver link up)\n",
              Milliseconds(SteadyClock::now() - started));

  std::minstd_rand pauses(20240501);
  std::vector<double> latencies;
  int wrong = 0;
  for (int i = 0; i < messages; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pauses() % 500));
    const int device = kFirstDevice + i;
    const size_t before = CountEvents(server);
    const auto stored = SteadyClock::now();
    receiver.AddMessage(ReceiverSimulator::Kind3Message(1, receiver.Clock(), Zone3Alarm(device)));
    const bool arrived = server.WaitUntil(
        [before](const ServerSimulator& s) { return CountEvents(s) > before; }, kEventWaitMs);
    const auto received = SteadyClock::now();
    if (!arrived) {
      std::fprintf(stderr, "event_latency_bench: no CMD_EVENT within %u ms for device %d\n",
                   kEventWaitMs, device);
      PrintLog(home);
      return result;
    }
    latencies.push_back(Milliseconds(received - stored));
    const EventRecord event = Events(server).back();
    if (event.objectNumber != 10000 + device || event.zone != 3)
      ++wrong;
  }
  // Let a late second event for the last message show up in the count.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const size_t events = CountEvents(server);
  if (scraper)
    scraper->Stop();
  const int status = driver.Stop(5000);

  std::vector<double> sorted = latencies;
  std::sort(sorted.begin(), sorted.end());
  double sum = 0;
  for (double value : sorted)
    sum += value;
  std::printf(
      "  messages stored one at a time: %d, CMD_EVENT received: %zu, wrong object or zone: %d\n",
      messages, events, wrong);
  std::printf("  latency, receiver store -> server CMD_EVENT (ms):\n");
  std::printf("    median %.0f  max %.0f  min %.0f  mean %.0f  90%% %.0f\n",
              Percentile(sorted, 0.5), sorted.back(), sorted.front(),
              sum / static_cast<double>(sorted.size()), Percentile(sorted, 0.9));
  if (scraper)
    std::printf("  scrapes answered: %d, failed: %d, slowest %.1f ms\n", scraper->Answered(),
                scraper->Failed(), scraper->SlowestMs());
  std::printf("  driver exit status after SIGTERM: %d\n", status);
  if (status != 0)
    PrintLog(home);
  result.ok = status == 0 && wrong == 0 && events == latencies.size() &&
              (!scraper || (scraper->Answered() > 0 && scraper->Failed() == 0));
  result.medianMs = Percentile(sorted, 0.5);
  return result;
}

int Run(int messages, const std::string& program, const std::string& library) {
  const PhaseResult plain = RunPhase(messages, program, library, false);
  if (!plain.ok)
    return 1;
  const PhaseResult scraped = RunPhase(messages, program, library, true);
  if (!scraped.ok)
    return 1;
  std::printf(
      "median latency: %.0f ms without a metrics port, %.0f ms scraped 10 times a second "
      "(difference %+.0f ms)\n",
      plain.medianMs, scraped.medianMs, scraped.medianMs - plain.medianMs);
  std::printf("target: median under 700 ms\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int messages = 50;
  std::string program = TESSARD_PATH;
  std::string library = ZNTLINK_PATH;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--messages" && value != nullptr) {
      const auto number = tools::ParseInt(value, 1, 4000);
      if (!number) {
        std::fprintf(stderr, "event_latency_bench: --messages needs a number 1-4000\n");
        return 2;
      }
      messages = *number;
      ++i;
    } else if (arg == "--driver" && value != nullptr) {
      program = value;
      ++i;
    } else if (arg == "--library" && value != nullptr) {
      library = fs::absolute(value).string();
      ++i;
    } else {
      std::fprintf(stderr,
                   "usage: event_latency_bench [--messages 1-4000] [--driver PATH] "
                   "[--library PATH]\n");
      return 2;
    }
  }
  return Run(messages, program, library);
}
