// Runs the library against the receiver simulator on a pseudo-terminal with
// the real timings and prints what an idle, healthy link costs: poll cycles
// per second, the mean time of one exchange and the CPU time the library's
// two threads use per second of wall time.
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "arguments.h"
#include "platform/debug_output.h"
#include "pty_receiver.h"
#include "session.h"
#include "zntlink.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double ThreadCpuSeconds(zntlink::HeldThread& thread) {
  clockid_t clock;
  timespec t{};
  if (pthread_getcpuclockid(thread.NativeHandle(), &clock) != 0 || clock_gettime(clock, &t) != 0) {
    return 0;
  }
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double LibraryCpuSeconds(CommSession* session) {
  return ThreadCpuSeconds(session->linkThread) + ThreadCpuSeconds(session->modemThread);
}

size_t Count(const tessar::tools::ReceiverSimulator& receiver, const char* code) {
  size_t n = 0;
  for (const auto& c : receiver.RequestCodes())
    n += c == code ? 1 : 0;
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 10;
  int requests = 200;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const std::string value = i + 1 < argc ? argv[i + 1] : "";
    if (option == "--seconds") {
      const auto parsed = tessar::tools::ParseSeconds(value, 0.1, 86400);
      if (!parsed) {
        std::fprintf(stderr, "link_bench: --seconds needs a number of seconds (0.1-86400)\n");
        return 2;
      }
      seconds = *parsed;
      ++i;
    } else if (option == "--requests") {
      const auto parsed = tessar::tools::ParseInt(value, 0, 1000000);
      if (!parsed) {
        std::fprintf(stderr, "link_bench: --requests needs a count (0-1000000)\n");
        return 2;
      }
      requests = *parsed;
      ++i;
    } else {
      std::fprintf(stderr, "usage: %s [--seconds S] [--requests N]\n", argv[0]);
      return 2;
    }
  }
  const fs::path home = fs::temp_directory_path() / ("zntlink-bench-" + std::to_string(getpid()));
  fs::create_directories(home / "zntlog");
  fs::current_path(home);
  zntlink::SetDebugSinkForTesting([](const std::string&) {});

  tessar::tools::ReceiverSimulator receiver;
  tessar::tools::PtyReceiver pty(receiver);
  std::string error;
  if (!pty.Start("zntlog/COM9", &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  int openError = 0;
  CommSession* session = ZNT_InitCommEx(9, 9600, &openError);
  if (session == nullptr) {
    std::fprintf(stderr, "open failed, error %d\n", openError);
    return 1;
  }

  // Idle link, default timings: polls only.
  const size_t polls0 = Count(receiver, "S0");
  const size_t requests0 = receiver.RequestCodes().size();
  const double cpu0 = LibraryCpuSeconds(session);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = LibraryCpuSeconds(session) - cpu0;
  const double polls = static_cast<double>(Count(receiver, "S0") - polls0);
  const double exchanges = static_cast<double>(receiver.RequestCodes().size() - requests0);

  // Requests back to back: each is one exchange plus the hand-over.
  const auto requestStart = Clock::now();
  int answered = 0;
  for (int i = 0; i < requests; ++i)
    answered += ZNT_GetRtcOption(session) >= 0 ? 1 : 0;
  const double requestWall = std::chrono::duration<double>(Clock::now() - requestStart).count();

  std::printf("idle link, default timings, %.1f s on a pseudo-terminal:\n", wall);
  std::printf("  poll cycles per second:   %.2f  (%.1f exchanges per second)\n", polls / wall,
              exchanges / wall);
  std::printf("  library CPU per second:   %.3f ms  = %.3f%% of one core (target < 1%%)\n",
              cpu / wall * 1000, cpu / wall * 100);
  if (requests > 0) {
    std::printf("  mean exchange time:       %.3f ms  (%d of %d requests answered)\n",
                requestWall / requests * 1000, answered, requests);
  }
  ZNT_CloseComm(session);
  pty.Stop();
  fs::current_path(fs::temp_directory_path());
  fs::remove_all(home);
  return answered == requests ? 0 : 1;
}
