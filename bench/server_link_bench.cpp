// The server link's cost against a prompt simulator on loopback, with the real
// timings: how fast the send ring empties, what a step costs beyond its 30 ms
// pause, and the session thread's CPU while idle and online (keep-alive tests
// every 500 ms). Prints figures; asserts none.
//   server_link_bench [--packets N] [--idle-seconds S]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "netlink/Unit7.h"
#include "server_simulator.h"

namespace {

using namespace tessar;
using SteadyClock = std::chrono::steady_clock;

class NullWindow : public SessionWindow {
 public:
  void WriteLogLine(const std::string&) override {}
  void AdvanceServerIndicator() override {}
};

bool WaitFor(const std::function<bool()>& condition, int seconds) {
  const auto deadline = SteadyClock::now() + std::chrono::seconds(seconds);
  while (SteadyClock::now() < deadline) {
    if (condition())
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  int packets = 400;
  double idleSeconds = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--packets") == 0)
      packets = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--idle-seconds") == 0)
      idleSeconds = std::atof(argv[i + 1]);
  }
  if (packets < 1 || packets > 400 || idleSeconds <= 0) {
    std::fprintf(stderr, "usage: server_link_bench [--packets 1-400] [--idle-seconds S]\n");
    return 2;
  }

  tools::ServerSimulator sim;
  std::string error;
  if (!sim.Start(0, &error)) {
    std::fprintf(stderr, "server_link_bench: %s\n", error.c_str());
    return 1;
  }
  const std::filesystem::path home =
      std::filesystem::temp_directory_path() / ("tessar-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(home);
  std::ofstream(home / "tessard.ini") << "[ServerHost]\nPort=" << sim.Port() << "\n";

  DriverState state;
  NullWindow window;
  cl::Options options;
  options.startDirectory = home.string();
  auto session = std::make_unique<cl>(state, window, platform::SystemClock(), options);
  session->Start();
  if (!WaitFor([&] { return session->Online() && sim.Packets().size() >= 4; }, 10)) {
    std::fprintf(stderr, "server_link_bench: the session did not come online\n");
    return 1;
  }
  // Let the hello exchange finish before timing.
  WaitFor([&] { return session->QueuedPackets() == 0 && sim.AnswersSent() >= 4; }, 10);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  const size_t before = sim.Packets().size();
  const auto start = SteadyClock::now();
  for (int i = 0; i < packets; ++i)
    session->PostPacket(CMD_EVENT, Bytes(27, static_cast<uint8_t>(i)));
  auto events = [&] {
    size_t count = 0;
    for (const auto& packet : sim.Packets())
      count += packet.code == CMD_EVENT;
    return count;
  };
  if (!WaitFor([&] { return events() >= static_cast<size_t>(packets); }, 60)) {
    std::fprintf(stderr, "server_link_bench: only %zu of %d packets arrived\n", events(), packets);
    return 1;
  }
  const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
  const double perStepMs = seconds * 1000.0 / packets;
  const size_t tests = sim.Packets().size() - before - static_cast<size_t>(packets);

  // Idle and online: only keep-alive tests go out.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double cpuStart = session->ThreadCpuSeconds();
  const auto idleStart = SteadyClock::now();
  const size_t packetsBeforeIdle = sim.Packets().size();
  std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
  const double idleWall = std::chrono::duration<double>(SteadyClock::now() - idleStart).count();
  const double idleCpu = session->ThreadCpuSeconds() - cpuStart;
  const size_t keepAlives = sim.Packets().size() - packetsBeforeIdle;

  std::printf("server link, %d packets posted at once to a prompt simulator on loopback:\n",
              packets);
  std::printf("  %.1f packets per second (%.3f s; %zu keep-alive tests in between)\n",
              packets / seconds, seconds, tests);
  std::printf("  %.2f ms per step, %.2f ms beyond the %u ms pause\n", perStepMs,
              perStepMs - SessionTimings{}.pauseMs, SessionTimings{}.pauseMs);
  std::printf(
      "idle and online for %.1f s: %zu keep-alive tests, session thread CPU %.3f%% of "
      "one core (target under 0.5%%)\n",
      idleWall, keepAlives, 100.0 * idleCpu / idleWall);
  std::printf("simulator violations: %zu\n", sim.Violations().size());
  session.reset();
  sim.Stop();
  std::filesystem::remove_all(home);
  return sim.Violations().empty() ? 0 : 1;
}
