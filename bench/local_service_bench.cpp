// The local TCP service under load, on loopback: 50 clients sending "Slot"
// lines at once (one in ten a repeat of the line before) into the incoming
// queue, drained every --tick-ms (1 ms measures the service itself; 200 ms is
// the decoding cycle, whose 10000 slots per tick then bound the rate); then
// the memory that 200 idle clients cost. Prints figures; asserts none.
//   local_service_bench [--clients N] [--lines N] [--idle N] [--tick-ms N]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "conversion/incoming_queue.h"
#include "netlink/local_service.h"
#include "platform/tcp.h"

namespace {

using namespace tessar;
using SteadyClock = std::chrono::steady_clock;

constexpr uint32_t kWaitMs = 30000;
constexpr size_t kGreetingBytes = 42;

// The resident set size of this process in kilobytes, from /proc.
long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0)
      return std::atol(line.c_str() + 6);
  }
  return -1;
}

bool ReadGreeting(platform::TcpConnection& connection) {
  uint8_t greeting[kGreetingBytes];
  size_t received = 0;
  return connection.ReadExact(greeting, sizeof greeting, kWaitMs, received) ==
         platform::IoResult::kOk;
}

std::string SlotLine(unsigned number) {
  char line[96];
  std::snprintf(line, sizeof line, "12:00:00 R(1) Slot01 t %026X 07\r\n", number);
  return line;
}

// Connects, sends its lines, then an empty line, and waits for the answer to
// it: every line before has been handled then.
bool RunClient(uint16_t port, unsigned client, int lines) {
  platform::TcpConnection connection;
  if (!connection.Connect("127.0.0.1", port, kWaitMs, nullptr) || !ReadGreeting(connection))
    return false;
  std::string batch;
  for (int i = 0; i < lines; ++i) {
    const unsigned number = client * 1000000u + static_cast<unsigned>(i % 10 == 9 ? i - 1 : i);
    batch += SlotLine(number);
  }
  batch += "\r\n";
  if (connection.WriteAll(reinterpret_cast<const uint8_t*>(batch.data()), batch.size(), kWaitMs) !=
      platform::IoResult::kOk)
    return false;
  uint8_t answer[5];
  size_t received = 0;
  return connection.ReadExact(answer, sizeof answer, kWaitMs, received) == platform::IoResult::kOk;
}

}  // namespace

int main(int argc, char** argv) {
  int clients = 50;
  int lines = 4000;
  int idle = 200;
  int tickMs = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--clients") == 0)
      clients = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--lines") == 0)
      lines = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--idle") == 0)
      idle = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--tick-ms") == 0)
      tickMs = std::atoi(argv[i + 1]);
  }
  if (clients < 1 || clients > 500 || lines < 10 || lines > 1000000 || idle < 0 || idle > 900 ||
      tickMs < 1 || tickMs > 1000) {
    std::fprintf(stderr,
                 "usage: local_service_bench [--clients 1-500] [--lines 10-1000000 per client] "
                 "[--idle 0-900] [--tick-ms 1-1000]\n");
    return 2;
  }

  IncomingQueue queue;
  std::atomic<int32_t> messages{0};
  std::atomic<int32_t> duplicates{0};
  std::atomic<int64_t> lost{0};
  LocalService::Settings settings;
  settings.address = "127.0.0.1";
  LocalService service(
      platform::SystemClock(),
      [&](const uint8_t* bytes, int32_t count) {
        const bool kept = queue.PutMessage(kSourceTcpService, bytes, count);
        lost += kept ? 0 : 1;
        return kept;
      },
      messages, duplicates, settings);
  const long residentBeforeKb = ResidentKb();
  std::string error;
  if (!service.Start(0, &error)) {
    std::fprintf(stderr, "local_service_bench: %s\n", error.c_str());
    return 1;
  }

  std::atomic<bool> draining{true};
  std::thread decoding([&] {
    int32_t source = 0;
    stru_arb bytes;
    while (draining.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(tickMs));
      while (queue.TakeMessage(source, bytes)) {
      }
    }
  });

  const auto start = SteadyClock::now();
  std::vector<std::thread> senders;
  std::atomic<int> failed{0};
  for (int c = 0; c < clients; ++c) {
    senders.emplace_back([&, c] {
      if (!RunClient(service.Port(), static_cast<unsigned>(c), lines))
        ++failed;
    });
  }
  for (auto& sender : senders)
    sender.join();
  const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
  const long total = static_cast<long>(clients) * lines;
  std::printf("%d clients x %d lines: %ld lines in %.3f s = %.0f lines/s (target > 20000)\n",
              clients, lines, total, seconds, static_cast<double>(total) / seconds);
  const double accepted = messages.load() + duplicates.load();
  std::printf("accepted (queued, or detected as repeats): %.0f lines/s\n", accepted / seconds);
  // A repeat is detected while its first copy is among the last 200 distinct
  // keys of all clients together, so a little under one in ten.
  std::printf(
      "queue drained every %d ms: new lines %d, duplicates detected %d of %ld repeats "
      "sent, lost to a full queue %lld, failed clients %d\n",
      tickMs, messages.load(), duplicates.load(), total / 10, static_cast<long long>(lost.load()),
      failed.load());

  const long residentServingKb = ResidentKb();
  std::vector<std::unique_ptr<platform::TcpConnection>> idlers;
  for (int i = 0; i < idle; ++i) {
    auto connection = std::make_unique<platform::TcpConnection>();
    if (connection->Connect("127.0.0.1", service.Port(), kWaitMs, nullptr) &&
        ReadGreeting(*connection))
      idlers.push_back(std::move(connection));
  }
  const auto settle = SteadyClock::now() + std::chrono::seconds(5);
  while (service.ClientCount() < idlers.size() && SteadyClock::now() < settle)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const long residentIdleKb = ResidentKb();
  std::printf(
      "RSS: %ld kB before the service, %ld kB after the load, %ld kB with %zu idle "
      "clients (%.1f kB per client)\n",
      residentBeforeKb, residentServingKb, residentIdleKb, service.ClientCount(),
      idle > 0 ? static_cast<double>(residentIdleKb - residentServingKb) / idle : 0.0);

  const auto stopping = SteadyClock::now();
  service.Stop();
  std::printf("stopping with %zu clients connected: %.1f ms\n", idlers.size(),
              std::chrono::duration<double, std::milli>(SteadyClock::now() - stopping).count());
  draining = false;
  decoding.join();
  return failed.load() == 0 ? 0 : 1;
}
