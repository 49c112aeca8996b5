// znt_receiver_sim: serves a simulated receiver on a pseudo-terminal so that
// the library can open it as a serial port. The slave side is published as
// DIR/COM<N>, where the library looks for its ports first. Commands on stdin
// change the receiver's state and switch line faults on and off.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "arguments.h"
#include "platform/clock.h"
#include "pty_receiver.h"
#include "receiver_simulator.h"

namespace {

using tessar::tools::Fault;
using tessar::tools::ParseInt;
using tessar::tools::PtyReceiver;
using tessar::tools::ReceiverSimulator;
using Bytes = ReceiverSimulator::Bytes;
using SteadyClock = std::chrono::steady_clock;

const char kUsage[] =
    "Usage: znt_receiver_sim [options]\n"
    "Simulates the alarm receiver on a pseudo-terminal published as DIR/COM<N>.\n"
    "\n"
    "Options:\n"
    "  --dir DIR         directory of the port link (default zntlog; created if missing)\n"
    "  --port N          port number, the link is DIR/COM<N> (default 1)\n"
    "  --verbose         print every request received and every answer sent\n"
    "  --quiet           print only the startup line and command replies (default)\n"
    "  --scenario        store a plausible message every few seconds\n"
    "  --interval SEC    seconds between scenario messages (default 3)\n"
    "  --help            this text\n"
    "\n"
    "Commands on stdin, one per line:\n"
    "  msg2 SLOT HEX         store a kind-2 message, body of 3 bytes in hex\n"
    "  msg3 SLOT HEX         store a kind-3 message, body of 13 bytes in hex\n"
    "  power HEX             set the power-status byte\n"
    "  slot HEX*8            set all eight slot-status bytes\n"
    "  slot INDEX HEX        set the status byte of one slot\n"
    "  clock YYYY-MM-DD hh:mm:ss   set the receiver clock\n"
    "  fault NAME on|off|N   switch a fault on, off, or on for the next N answers;\n"
    "                        NAME: silent status15 status18 crc noise fa code cts\n"
    "  count                 number of stored messages\n"
    "  help                  list the commands\n"
    "  quit                  stop (as do SIGINT and SIGTERM; EOF only on a terminal)\n";

const char kCommands[] =
    "commands: msg2 SLOT HEX | msg3 SLOT HEX | power HEX | slot HEX*8 | slot INDEX HEX | "
    "clock YYYY-MM-DD hh:mm:ss | fault NAME on|off|N | count | help | quit";

struct Options {
  std::string dir = "zntlog";
  int port = 1;
  bool verbose = false;
  bool scenario = false;
  int interval = 3;
};

// Returns 0 to run, 1 on a usage error, 2 after --help.
int ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 2;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--quiet") {
      options.verbose = false;
    } else if (arg == "--scenario") {
      options.scenario = true;
    } else if (arg == "--dir") {
      const char* dir = value();
      if (dir == nullptr || *dir == '\0') {
        std::fprintf(stderr, "znt_receiver_sim: --dir needs a directory\n");
        return 1;
      }
      options.dir = dir;
    } else if (arg == "--port" || arg == "--interval") {
      const char* text = value();
      const auto number = ParseInt(text ? text : "", 1, arg == "--port" ? 255 : 3600);
      if (!number) {
        std::fprintf(stderr, "znt_receiver_sim: %s needs a number (%s)\n", arg.c_str(),
                     arg == "--port" ? "1-255" : "1-3600 seconds");
        return 1;
      }
      (arg == "--port" ? options.port : options.interval) = *number;
    } else {
      std::fprintf(stderr, "znt_receiver_sim: unknown option %s (try --help)\n", arg.c_str());
      return 1;
    }
  }
  return 0;
}

// --- Signals: the handler only wakes the poll loop through a pipe. ---

int signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const int saved = errno;
  const char byte = 1;
  const ssize_t written = write(signalPipe[1], &byte, 1);
  (void)written;
  errno = saved;
}

bool InstallSignalHandlers() {
  if (pipe(signalPipe) != 0)
    return false;
  for (int fd : signalPipe) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0)
    return false;
  signal(SIGPIPE, SIG_IGN);
  return true;
}

// --- The directory of the link. ---

bool MakeDirectories(const std::string& dir, std::string& error) {
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    const std::string part = dir.substr(0, slash);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      error = "cannot create " + part + ": " + std::strerror(errno);
      return false;
    }
    if (slash == std::string::npos)
      break;
  }
  struct stat info {};
  if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    error = dir + " is not a directory";
    return false;
  }
  return true;
}

// --- Commands. ---

std::optional<Bytes> ParseHex(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == '\t')
      continue;
    if (!std::isxdigit(static_cast<unsigned char>(c)))
      return std::nullopt;
    digits += c;
  }
  if (digits.empty() || digits.size() % 2 != 0)
    return std::nullopt;
  Bytes bytes;
  for (size_t i = 0; i < digits.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::optional<Fault> FaultByName(const std::string& name) {
  static const std::pair<const char*, Fault> kNames[] = {
      {"silent", Fault::kSilent},          {"status15", Fault::kStatusRetry},
      {"status18", Fault::kStatusRefused}, {"crc", Fault::kCorruptCrc},
      {"noise", Fault::kNoiseBefore},      {"fa", Fault::kLoneEndMarkerBefore},
      {"code", Fault::kWrongCode},         {"cts", Fault::kCtsOff},
  };
  for (const auto& [text, fault] : kNames) {
    if (name == text)
      return fault;
  }
  return std::nullopt;
}

std::string RestOf(std::istringstream& in) {
  std::string rest;
  std::getline(in >> std::ws, rest);
  return rest;
}

std::string Stored(const ReceiverSimulator& sim) {
  return " (" + std::to_string(sim.StoredMessages()) + " stored)";
}

std::string StoreMessage(ReceiverSimulator& sim, int kind, std::istringstream& in) {
  std::string slotText;
  in >> slotText;
  const auto slot = ParseInt(slotText, 0, 15);
  const auto body = ParseHex(RestOf(in));
  const size_t length = kind == 2 ? 3 : 13;
  if (!slot || !body || body->size() != length)
    return "error: usage: msg" + std::to_string(kind) + " SLOT(0-15) HEX(" +
           std::to_string(length) + " bytes)";
  const SYSTEMTIME now = sim.Clock();
  if (kind == 2) {
    std::array<uint8_t, 3> bytes{};
    std::copy(body->begin(), body->end(), bytes.begin());
    sim.AddMessage(ReceiverSimulator::Kind2Message(static_cast<uint8_t>(*slot), now, bytes));
  } else {
    std::array<uint8_t, 13> bytes{};
    std::copy(body->begin(), body->end(), bytes.begin());
    sim.AddMessage(ReceiverSimulator::Kind3Message(static_cast<uint8_t>(*slot), now, bytes));
  }
  return "ok: kind-" + std::to_string(kind) + " message from slot " + std::to_string(*slot) +
         " stored" + Stored(sim);
}

std::string SetSlots(ReceiverSimulator& sim, std::istringstream& in) {
  std::vector<std::string> words;
  for (std::string word; in >> word;)
    words.push_back(word);
  std::array<uint8_t, 8> status = sim.SlotStatus();
  const auto index = words.size() == 2 ? ParseInt(words[0], 0, 7) : std::nullopt;
  if (index) {
    const auto value = ParseHex(words[1]);
    if (!value || value->size() != 1)
      return "error: usage: slot INDEX(0-7) HEX";
    status[static_cast<size_t>(*index)] = (*value)[0];
  } else {
    std::string all;
    for (const std::string& word : words)
      all += word;
    const auto values = ParseHex(all);
    if (!values || values->size() != 8)
      return "error: usage: slot HEX*8 | slot INDEX(0-7) HEX";
    std::copy(values->begin(), values->end(), status.begin());
  }
  sim.SetSlotStatus(status);
  char text[64];
  std::snprintf(text, sizeof text, "ok: slot status %02X %02X %02X %02X %02X %02X %02X %02X",
                status[0], status[1], status[2], status[3], status[4], status[5], status[6],
                status[7]);
  return text;
}

std::string SetClock(ReceiverSimulator& sim, const std::string& text) {
  int year, month, day, hour, minute, second;
  char extra;
  if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d %c", &year, &month, &day, &hour, &minute,
                  &second, &extra) != 6)
    return "error: usage: clock YYYY-MM-DD hh:mm:ss";
  const std::chrono::year_month_day date{std::chrono::year{year},
                                         std::chrono::month{static_cast<unsigned>(month)},
                                         std::chrono::day{static_cast<unsigned>(day)}};
  if (year < 1 || year > 9999 || !date.ok() || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 59)
    return "error: no such time: " + text;
  sim.SetClock(zntlink::MakeSystemTime(year, month, day, hour, minute, second));
  return "ok: clock set to " + text;
}

std::string SetFaultCommand(ReceiverSimulator& sim, std::istringstream& in) {
  std::string name, state, extra;
  in >> name >> state >> extra;
  const auto fault = FaultByName(name);
  const auto answers = ParseInt(state, 1, 1000000);
  if (!fault || !extra.empty() || (state != "on" && state != "off" && !answers))
    return "error: usage: fault silent|status15|status18|crc|noise|fa|code|cts on|off|N";
  if (answers) {
    sim.SetFaultForAnswers(*fault, *answers);
    return "ok: fault " + name + " on for " + state +
           (*fault == Fault::kSilent ? " requests" : " answers");
  }
  sim.SetFault(*fault, state == "on");
  return "ok: fault " + name + " " + state;
}

std::string Execute(ReceiverSimulator& sim, const std::string& line, bool& quit) {
  std::istringstream in(line);
  std::string command;
  in >> command;
  if (command == "msg2" || command == "msg3")
    return StoreMessage(sim, command == "msg2" ? 2 : 3, in);
  if (command == "power") {
    const auto value = ParseHex(RestOf(in));
    if (!value || value->size() != 1)
      return "error: usage: power HEX";
    sim.SetPowerStatus((*value)[0]);
    char text[32];
    std::snprintf(text, sizeof text, "ok: power status %02X", (*value)[0]);
    return text;
  }
  if (command == "slot")
    return SetSlots(sim, in);
  if (command == "clock")
    return SetClock(sim, RestOf(in));
  if (command == "fault")
    return SetFaultCommand(sim, in);
  if (command == "count")
    return "ok: " + std::to_string(sim.StoredMessages()) + " messages stored";
  if (command == "help")
    return kCommands;
  if (command == "quit") {
    quit = true;
    return "ok: bye";
  }
  return "error: unknown command '" + command + "' (try help)";
}

// --- The built-in scenario: a transmitter's zone goes into alarm, comes back
// to rest, and the slot-0 module reports a device; numbers change each round.

std::string ScenarioStep(ReceiverSimulator& sim, unsigned step) {
  const unsigned round = step / 3;
  const unsigned device = (37 + 11 * round) % 4096;
  const unsigned zone = 1 + (3 * round) % 64;
  const SYSTEMTIME now = sim.Clock();
  char text[160];
  if (step % 3 == 2) {
    const bool hopper = round % 2 == 1;
    const std::array<uint8_t, 3> body{
        static_cast<uint8_t>((device >> 8 & 0x0F) | (hopper ? 0x40 : 0x00)),
        static_cast<uint8_t>(device & 0xFF), 0x00};
    sim.AddMessage(ReceiverSimulator::Kind2Message(0, now, body));
    std::snprintf(text, sizeof text, "scenario: kind-2 message, slot 0, %s %u",
                  hopper ? "Hopper" : "Obj", device);
  } else {
    const bool alarm = step % 3 == 0;
    std::array<uint8_t, 13> body{};
    body[0] = 0x00;  // subaddress
    body[2] = static_cast<uint8_t>(device >> 4);
    body[3] = static_cast<uint8_t>((device & 0x0F) << 4 | 2);  // message type 2
    body[4] = 0x08;                                            // registered
    if (alarm)
      body[12 - (zone - 1) / 8] = static_cast<uint8_t>(1u << ((zone - 1) % 8));
    sim.AddMessage(ReceiverSimulator::Kind3Message(1, now, body));
    std::snprintf(text, sizeof text, "scenario: kind-3 message, slot 1, device %u, zone %u %s",
                  device, zone, alarm ? "in alarm" : "at rest");
  }
  return text + Stored(sim);
}

// --- Serving. ---

class Server {
 public:
  Server(ReceiverSimulator& sim, const Options& options) : sim_(sim), options_(options) {}

  // Returns the exit status.
  int Run() {
    bool stdinOpen = true;
    const bool stdinIsTerminal = isatty(STDIN_FILENO) == 1;
    std::string input;
    unsigned step = 0;
    const auto interval = std::chrono::seconds(options_.interval);
    SteadyClock::time_point nextScenario = SteadyClock::now() + interval;
    for (;;) {
      pollfd fds[2] = {
          {stdinOpen ? STDIN_FILENO : -1, POLLIN, 0},
          {signalPipe[0], POLLIN, 0},
      };
      int timeout = -1;
      if (options_.scenario) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(nextScenario - SteadyClock::now());
        timeout = static_cast<int>(left.count() > 0 ? left.count() : 0);
      }
      if (poll(fds, 2, timeout) < 0) {
        if (errno == EINTR)
          continue;
        std::perror("znt_receiver_sim: poll");
        return 1;
      }
      if (fds[1].revents != 0)
        return 0;
      if (fds[0].revents != 0) {
        char buffer[1024];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n > 0) {
          input.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
          // EOF: a terminal means the operator is done; piped or redirected
          // input just ends, the simulator goes on serving.
          stdinOpen = false;
          if (!input.empty())
            input += '\n';
          if (stdinIsTerminal)
            quit_ = true;
        }
        for (size_t end; !quit_ && (end = input.find('\n')) != std::string::npos;) {
          std::string line = input.substr(0, end);
          input.erase(0, end + 1);
          if (!line.empty() && line.back() == '\r')
            line.pop_back();
          if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
          std::printf("%s\n", Execute(sim_, line, quit_).c_str());
        }
        if (quit_)
          return 0;
      }
      if (options_.scenario && SteadyClock::now() >= nextScenario) {
        std::printf("%s\n", ScenarioStep(sim_, step++).c_str());
        nextScenario = SteadyClock::now() + interval;
      }
    }
  }

 private:
  ReceiverSimulator& sim_;
  const Options& options_;
  bool quit_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int parsed = ParseOptions(argc, argv, options); parsed != 0)
    return parsed == 2 ? 0 : 2;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  std::string error;
  if (!InstallSignalHandlers()) {
    std::perror("znt_receiver_sim: signals");
    return 1;
  }
  while (options.dir.size() > 1 && options.dir.back() == '/')
    options.dir.pop_back();
  const std::string link = options.dir + "/COM" + std::to_string(options.port);
  ReceiverSimulator sim;
  if (options.verbose)
    sim.SetTraceSink([](const std::string& line) { std::printf("%s\n", line.c_str()); });
  PtyReceiver pty(sim);
  if (!MakeDirectories(options.dir, error) || !pty.Start(link, &error)) {
    std::fprintf(stderr, "znt_receiver_sim: %s\n", error.c_str());
    return 1;
  }
  std::printf("receiver simulator serving %s -> %s%s\n", link.c_str(), pty.SlavePath().c_str(),
              options.scenario ? " (scenario running)" : "");

  Server server(sim, options);
  const int status = server.Run();
  pty.Stop();
  return status;
}
