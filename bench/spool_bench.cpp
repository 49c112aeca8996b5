// The cost of the spool re-send step with many spool files present: the
// start-up scan, and the mean and largest cost of a 200 ms tick while a
// prompt server confirms every re-sent file (so each tick reads, posts and,
// through the confirmation, deletes one file), at 0, 1,000 and 100,000 files.
// The drain rate is then one file per tick. Prints figures; asserts none.
//   spool_bench [--files N] [--ticks T]
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "conversion/dispatch.h"

namespace {

using namespace tessar;
using SteadyClock = std::chrono::steady_clock;

// Queues every post and has written it at once: a prompt server.
class PromptLink : public ServerLink {
 public:
  bool Online() const override { return true; }
  PostResult PostPacket(int32_t, const Bytes&) override {
    ++posts;
    return {true, sequence++};
  }
  bool PacketWritten(uint64_t) const override { return true; }
  uint64_t sequence = 0;
  size_t posts = 0;
};

double Ms(SteadyClock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

void Run(size_t files, size_t ticks) {
  std::string directory = (std::filesystem::temp_directory_path() / "spool-bench-XXXXXX").string();
  if (!mkdtemp(directory.data()))
    return;
  const std::string prefix = directory + "/";
  EventRecord record;
  record.recordTag = kEventRecordTag;
  const Bytes content = SpoolFileContent({CMD_EVENT, EventPayload(record)});
  for (size_t i = 0; i < files; ++i) {
    std::ofstream(prefix + std::to_string(i) + kSpoolExtension, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
  }
  platform::ManualClock clock;
  FailureReport report(clock);
  DriverState state;
  PromptLink link;
  SpoolDirectory spool(prefix, clock, report);
  SpoolInFlight inFlight(state, clock);
  EventOutput output(link, spool, inFlight, state, clock);

  const auto scanStart = SteadyClock::now();
  spool.Open();
  const double scan = Ms(SteadyClock::now() - scanStart);
  double total = 0;
  double largest = 0;
  for (size_t t = 0; t < ticks; ++t) {
    clock.Advance(200);
    const auto start = SteadyClock::now();
    output.ResendSpooled();
    const double cost = Ms(SteadyClock::now() - start);
    total += cost;
    largest = std::max(largest, cost);
    inFlight.OnSpoolAck(link);  // the session thread's part, not timed
  }
  const double seconds = static_cast<double>(ticks) * 0.2;
  std::printf(
      "%7zu files: start scan %8.1f ms, tick mean %.3f ms, largest %.3f ms; "
      "%zu files re-sent in %zu ticks (%.1f per second)\n",
      files, scan, total / static_cast<double>(ticks), largest, link.posts, ticks,
      static_cast<double>(link.posts) / seconds);
  std::filesystem::remove_all(directory);
}

}  // namespace

int main(int argc, char** argv) {
  size_t largest = 100000;
  size_t ticks = 1000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--files") == 0)
      largest = std::strtoul(argv[i + 1], nullptr, 10);
    else if (std::strcmp(argv[i], "--ticks") == 0)
      ticks = std::strtoul(argv[i + 1], nullptr, 10);
  }
  std::printf(
      "spool re-send tick with a prompt server (target: under 2 ms a tick at 100000 files)\n");
  for (const size_t files : {size_t{0}, std::min<size_t>(1000, largest), largest})
    Run(files, ticks);
  return 0;
}
