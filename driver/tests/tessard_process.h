// Running the real tessard in a home of its own for the end-to-end tests:
// start it offscreen with its output in tessard.log, wait for conditions and
// for its exit, and read the events the message-server simulator received.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "conversion/records.h"
#include "netlink/packets.h"
#include "server_simulator.h"

namespace tessar::testing {

// Polls `condition` every 10 ms; false when it did not hold within `ms`.
inline bool WaitFor(const std::function<bool()>& condition, uint32_t ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// A fresh home for the driver under the temporary directory: zntlog/ with a
// link to the library, as an administrator sets it up.
inline std::filesystem::path MakeDriverHome(const std::string& name, const char* library) {
  const std::filesystem::path home =
      std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(home);
  std::filesystem::create_directories(home / "zntlog");
  std::filesystem::create_symlink(library, home / "zntlog" / "libzntlink.so");
  return home;
}

// Ends a driver a test left running, at once; *pid becomes -1.
inline void KillTessard(pid_t* pid) {
  if (*pid <= 0)
    return;
  kill(*pid, SIGKILL);
  waitpid(*pid, nullptr, 0);
  *pid = -1;
}

// What a service manager sets for a driver it starts, applied in the child
// between fork and exec.
struct ServiceEnvironment {
  // Further variables (NOTIFY_SOCKET, WATCHDOG_USEC...).
  std::vector<std::pair<std::string, std::string>> variables;
  // JOURNAL_STREAM as systemd sets it: the device and inode of the child's
  // standard error (tessard.log).
  bool journalStream = false;
  // WATCHDOG_PID as systemd sets it: the child's own pid.
  bool watchdogPid = false;
};

// Forks and runs `program` offscreen in `home`; its output goes to
// home/tessard.log. The child's pid, or -1.
inline pid_t StartTessard(const std::filesystem::path& home, const char* program,
                          const ServiceEnvironment& service = {}) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(home.c_str()) != 0)
      _exit(126);
    const int log = open("tessard.log", O_CREAT | O_WRONLY | O_TRUNC, 0644);
    dup2(log, STDERR_FILENO);
    dup2(log, STDOUT_FILENO);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    for (const auto& [name, value] : service.variables)
      setenv(name.c_str(), value.c_str(), 1);
    if (service.journalStream) {
      struct stat file {};
      fstat(STDERR_FILENO, &file);
      setenv("JOURNAL_STREAM",
             (std::to_string(file.st_dev) + ":" + std::to_string(file.st_ino)).c_str(), 1);
    }
    if (service.watchdogPid)
      setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
    execl(program, program, static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

// The exit status (128 + signal when killed), or -1 when it did not end
// within `ms`; *pid becomes -1 once it has ended.
inline int WaitForExit(pid_t* pid, uint32_t ms) {
  int status = 0;
  if (!WaitFor([&] { return waitpid(*pid, &status, WNOHANG) == *pid; }, ms))
    return -1;
  *pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline std::string TessardLog(const std::filesystem::path& home) {
  std::ifstream in(home / "tessard.log");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The event records of the CMD_EVENT packets; a payload of another size is
// left out (EventsAreSized tells).
inline std::vector<EventRecord> EventsOf(const std::vector<tools::ServerPacket>& packets) {
  std::vector<EventRecord> events;
  for (const auto& p : packets) {
    if (p.code != CMD_EVENT || p.payload.size() != sizeof(EventRecord))
      continue;
    EventRecord record;
    std::memcpy(&record, p.payload.data(), sizeof record);
    events.push_back(record);
  }
  return events;
}

// True when every CMD_EVENT payload has the size of an event record.
inline bool EventsAreSized(const std::vector<tools::ServerPacket>& packets) {
  for (const auto& p : packets)
    if (p.code == CMD_EVENT && p.payload.size() != sizeof(EventRecord))
      return false;
  return true;
}

}  // namespace tessar::testing
