// tessar_server_sim: plays the message server on a loopback port and prints
// every packet the driver sends, decoded, on one line. Commands on stdin make
// it misbehave the ways a real server can.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

#include "server_simulator.h"

namespace {

using tessar::tools::Malformed;
using tessar::tools::ServerSimulator;

const char kUsage[] =
    "Usage: tessar_server_sim [options]\n"
    "Plays the message server on 127.0.0.1 and prints every packet received.\n"
    "\n"
    "Options:\n"
    "  --port N      TCP port to listen on (default 12543; 0 picks a free one)\n"
    "  --silent      answer nothing\n"
    "  --deny        answer CMD_VERSION with CMD_DENIED\n"
    "  --no-accept   answer CMD_VERSION with CMD_TEST (no keep-alive tests follow)\n"
    "  --f0          open answer frames with 0xF0\n"
    "  --quiet       print no answers and connection events, only packets\n"
    "  --help        this text\n"
    "\n"
    "Commands on stdin, one per line:\n"
    "  silent on|off | deny on|off | accept on|off | f0 on|off\n"
    "  drop | disconnect | query | denied | accepted | test | spoolack\n"
    "                        send this command as the next answer\n"
    "  bad KIND              send a malformed frame as the next answer; KIND:\n"
    "                        marker zero negative huge half garbage big\n"
    "  close | reset         close the driver's connection now (reset: abruptly)\n"
    "  stats                 connections, packets and violations so far\n"
    "  help                  list the commands\n"
    "  quit                  stop (as do SIGINT and SIGTERM)\n";

const char kCommands[] =
    "commands: silent|deny|accept|f0 on|off | drop | disconnect | query | denied | accepted | "
    "test | spoolack | bad marker|zero|negative|huge|half|garbage|big | close | reset | stats | "
    "help | quit";

// SIGINT and SIGTERM are blocked and read from a descriptor in the poll loop,
// so no handler runs at all.
int BlockStopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0)
    return -1;
  signal(SIGPIPE, SIG_IGN);
  return signalfd(-1, &stopSignals, SFD_CLOEXEC);
}

std::optional<bool> OnOff(const std::string& word) {
  if (word == "on")
    return true;
  if (word == "off")
    return false;
  return std::nullopt;
}

std::optional<Malformed> MalformedByName(const std::string& name) {
  static const std::pair<const char*, Malformed> kNames[] = {
      {"marker", Malformed::kWrongMarker},
      {"zero", Malformed::kZeroLength},
      {"negative", Malformed::kNegativeLength},
      {"huge", Malformed::kHugeLength},
      {"half", Malformed::kHalfFrame},
      {"garbage", Malformed::kGarbage},
      {"big", Malformed::kBigBody},
  };
  for (const auto& [text, kind] : kNames) {
    if (name == text)
      return kind;
  }
  return std::nullopt;
}

std::optional<int32_t> AnswerByName(const std::string& name) {
  static const std::pair<const char*, int32_t> kNames[] = {
      {"drop", tessar::CMD_DROP},          {"disconnect", tessar::CMD_SERVER_DISCONNECT},
      {"query", tessar::CMD_QUERY},        {"denied", tessar::CMD_DENIED},
      {"accepted", tessar::CMD_ACCEPTED},  {"test", tessar::CMD_TEST},
      {"spoolack", tessar::CMD_SPOOL_ACK},
  };
  for (const auto& [text, code] : kNames) {
    if (name == text)
      return code;
  }
  return std::nullopt;
}

std::string Execute(ServerSimulator& sim, const std::string& line, bool& quit) {
  std::istringstream in(line);
  std::string command, argument, extra;
  in >> command >> argument >> extra;
  if (!extra.empty())
    return "error: too many words (try help)";
  if (command == "silent" || command == "deny" || command == "accept" || command == "f0") {
    const auto on = OnOff(argument);
    if (!on)
      return "error: usage: " + command + " on|off";
    if (command == "silent")
      sim.SetSilent(*on);
    else if (command == "deny")
      sim.SetDeny(*on);
    else if (command == "accept")
      sim.SetAccept(*on);
    else
      sim.SetF0Framing(*on);
    return "ok: " + command + " " + argument;
  }
  if (const auto code = AnswerByName(command); code && argument.empty()) {
    sim.QueueAnswer(*code);
    return "ok: next answer " + tessar::CommandName(*code);
  }
  if (command == "bad") {
    const auto kind = MalformedByName(argument);
    if (!kind)
      return "error: usage: bad marker|zero|negative|huge|half|garbage|big";
    sim.QueueMalformed(*kind);
    return "ok: next answer a malformed frame (" + argument + ")";
  }
  if ((command == "close" || command == "reset") && argument.empty()) {
    sim.CloseClient(command == "reset");
    return "ok: closing the connection";
  }
  if (command == "stats" && argument.empty()) {
    return "ok: " + std::to_string(sim.Connections()) + " connections, " +
           std::to_string(sim.Packets().size()) + " packets, " +
           std::to_string(sim.Violations().size()) + " violations";
  }
  if (command == "help")
    return kCommands;
  if (command == "quit") {
    quit = true;
    return "ok: bye";
  }
  return "error: unknown command '" + line + "' (try help)";
}

void PrintLine(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  long port = 12543;
  bool quiet = false;
  ServerSimulator sim;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--port" && i + 1 < argc) {
      char* end = nullptr;
      port = std::strtol(argv[++i], &end, 10);
      if (*argv[i] == '\0' || *end != '\0' || port < 0 || port > 65535) {
        std::fprintf(stderr, "tessar_server_sim: --port needs a number 0-65535\n");
        return 1;
      }
    } else if (arg == "--silent") {
      sim.SetSilent(true);
    } else if (arg == "--deny") {
      sim.SetDeny(true);
    } else if (arg == "--no-accept") {
      sim.SetAccept(false);
    } else if (arg == "--f0") {
      sim.SetF0Framing(true);
    } else if (arg == "--quiet") {
      quiet = true;
    } else {
      std::fprintf(stderr, "tessar_server_sim: unknown option %s (try --help)\n", arg.c_str());
      return 1;
    }
  }
  // Blocked before the simulator's thread starts, so it inherits the mask.
  const int signals = BlockStopSignals();
  if (signals < 0) {
    std::perror("tessar_server_sim: signals");
    return 1;
  }
  sim.SetObserver([quiet](const std::string& line) {
    if (!quiet || line.rfind("[", 0) == 0 || line.rfind("VIOLATION", 0) == 0)
      PrintLine(line);
  });
  std::string error;
  if (!sim.Start(static_cast<uint16_t>(port), &error)) {
    std::fprintf(stderr, "tessar_server_sim: %s\n", error.c_str());
    return 1;
  }
  PrintLine("listening on 127.0.0.1:" + std::to_string(sim.Port()));
  bool stdinOpen = true;
  std::string input;
  for (;;) {
    pollfd fds[2] = {{stdinOpen ? STDIN_FILENO : -1, POLLIN, 0}, {signals, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      std::perror("tessar_server_sim: poll");
      return 1;
    }
    if (fds[1].revents != 0)
      break;
    if (fds[0].revents == 0)
      continue;
    char buffer[1024];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
      // End of input leaves the server running until a signal stops it.
      stdinOpen = false;
      continue;
    }
    input.append(buffer, static_cast<size_t>(n));
    bool quit = false;
    for (size_t end; !quit && (end = input.find('\n')) != std::string::npos;) {
      const std::string line = input.substr(0, end);
      input.erase(0, end + 1);
      if (line.find_first_not_of(" \t\r") != std::string::npos)
        PrintLine(Execute(sim, line, quit));
    }
    if (quit)
      break;
  }
  sim.Stop();
  return 0;
}
