// The fault soak: the real tessard (offscreen, in a home of its own, with the
// real libzntlink.so) between the receiver simulator on a pseudo-terminal and
// the message-server simulator on loopback, both in this process, while
// faults are injected at random on both sides and on the local TCP service.
// Every message stored carries an identity of its own (soak_identity.h), so
// at the end every expected event is looked for in the CMD_EVENT records the
// server received: lost (never delivered) and duplicated ones are counted.
// A second phase kills the driver with SIGKILL a few times and restarts it;
// what is lost across those kills is counted on its own.
//   tessar_soak [--seconds S | --minutes M] [--seed N] [--kills K]
//               [--home DIR] [--driver PATH] [--library PATH] [--verbose]
// Exit status 0 when the fault phase lost nothing, the driver never died,
// the server saw no protocol violation and the driver stopped cleanly.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "arguments.h"
#include "conversion/records.h"
#include "conversion/zone_memory.h"
#include "driver_process.h"
#include "netlink/packets.h"
#include "pty_receiver.h"
#include "receiver_simulator.h"
#include "server_simulator.h"
#include "soak_identity.h"

namespace {

namespace fs = std::filesystem;
using namespace tessar;
using SteadyClock = std::chrono::steady_clock;
using tools::DriverProcess;
using tools::Fault;
using tools::Malformed;
using tools::ReceiverSimulator;
using tools::ServerSimulator;

constexpr int kFirstNumber = 1;
constexpr int kObjectBase = kFirstNumber * 10000;
constexpr uint32_t kReadyWaitMs = 30000;
constexpr double kDrainLimitSeconds = 300;
// The drain ends this long after the last new delivery once nothing waits.
constexpr double kDrainQuietSeconds = 8;
constexpr size_t kMostServiceLineBytes = 4096;

double SecondsSince(SteadyClock::time_point t) {
  return std::chrono::duration<double>(SteadyClock::now() - t).count();
}

void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// With --verbose, every fault, kill and server event is printed with the
// seconds since the start, so a lost event can be placed among them.
bool gVerbose = false;
const SteadyClock::time_point gStarted = SteadyClock::now();
void Note(const std::string& text) {
  if (gVerbose)
    std::printf("%9.3f %s\n", SecondsSince(gStarted), text.c_str());
}

// ---------------------------------------------------------------------------
// The driver as a child process in `home`, its output in tessard.log there.

// Resident set size (kB) and open descriptors of a process, from /proc.
struct ProcessFigures {
  long rssKb = -1;
  int descriptors = -1;
};

ProcessFigures Measure(pid_t pid) {
  ProcessFigures figures;
  if (pid <= 0)
    return figures;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0)
      figures.rssKb = std::strtol(line.c_str() + 6, nullptr, 10);
  }
  std::error_code error;
  int count = 0;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
       !error && it != end; it.increment(error))
    ++count;
  if (!error)
    figures.descriptors = count;
  return figures;
}

// What each open descriptor of a process names ("socket:[123]", a path).
std::map<int, std::string> DescriptorTargets(pid_t pid) {
  std::map<int, std::string> targets;
  std::error_code error;
  const fs::path directory = "/proc/" + std::to_string(pid) + "/fd";
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    std::error_code ignored;
    targets[std::atoi(it->path().filename().c_str())] = fs::read_symlink(it->path(), ignored);
  }
  return targets;
}

size_t SpoolFiles(const fs::path& home) {
  size_t count = 0;
  std::error_code error;
  for (fs::directory_iterator it(home, error), end; !error && it != end; it.increment(error)) {
    if (it->path().extension() == ".dd8")
      ++count;
  }
  return count;
}

// The transmitters (device, subaddress) sost.mem holds a record of.
std::set<std::pair<int, int>> ZoneRecords(const fs::path& home) {
  std::set<std::pair<int, int>> records;
  std::ifstream in(home / "sost.mem", std::ios::binary);
  ZoneStateRecord record;
  while (in.read(reinterpret_cast<char*>(&record), sizeof record))
    records.insert({record.key, record.subaddress});
  return records;
}

std::string LogTail(const fs::path& home, size_t bytes) {
  std::ifstream in(home / "tessard.log");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return text.size() > bytes ? text.substr(text.size() - bytes) : text;
}

uint16_t FreeLocalPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  uint16_t port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
    port = ntohs(address.sin_port);
  if (fd >= 0)
    close(fd);
  return port;
}

// ---------------------------------------------------------------------------
// What was stored and what arrived.

enum Phase { kFaultPhase = 0, kKillPhase = 1, kPhases = 2 };
enum Source { kReceiver = 0, kLocalService = 1, kSources = 2 };

class Ledger {
 public:
  static constexpr int kWithdrawn = -1;

  void Expect(const soak::MessageIdentity& id, Phase phase, Source source) {
    std::lock_guard lock(mutex_);
    ++messages_[phase][source];
    for (int zone : id.zones)
      expected_[{id.device, id.subaddress, zone}] = phase;
  }

  // A message that may or may not have been handed over (its connection
  // broke before the service answered): neither expected nor unexpected.
  void Withdraw(const soak::MessageIdentity& id, Phase phase, Source source) {
    std::lock_guard lock(mutex_);
    --messages_[phase][source];
    for (int zone : id.zones)
      expected_[{id.device, id.subaddress, zone}] = kWithdrawn;
  }

  // Takes the CMD_EVENT records the server received since the last call.
  void Absorb(const ServerSimulator& server) {
    const std::vector<tools::ServerPacket> packets = server.Packets();
    std::lock_guard lock(mutex_);
    for (; seen_ < packets.size(); ++seen_) {
      const tools::ServerPacket& p = packets[seen_];
      if (p.code != CMD_EVENT)
        continue;
      EventRecord record;
      if (p.payload.size() != sizeof record) {
        ++unexpected_;
        continue;
      }
      std::memcpy(&record, p.payload.data(), sizeof record);
      const std::string code(record.eventCode.text, std::min<size_t>(record.eventCode.length, 4));
      const soak::EventKey key{record.deviceObjectNumber - kObjectBase, record.subaddress,
                               record.zone};
      if (code != "1130" || record.objectNumber != record.deviceObjectNumber ||
          !expected_.contains(key)) {
        ++unexpected_;
        continue;
      }
      if (++delivered_[key] == 1) {
        lastNewDelivery_ = SteadyClock::now();
        first_[key] = {p.sequence, record.time};
        continue;
      }
      // Why a copy came: the same packet again (its sequence number), the
      // same record in a new packet (a spool file sent again), or a new
      // emission (the receiver handed the message over again and the zone
      // memory's repeat window gave its events once more).
      const FirstCopy& first = first_[key];
      if (p.sequence == first.sequence)
        ++duplicates_[kSamePacket];
      else if (record.time == first.time)
        ++duplicates_[kSameRecord];
      else
        ++duplicates_[kNewEmission];
    }
  }

  enum DuplicateKind { kSamePacket, kSameRecord, kNewEmission, kDuplicateKinds };
  int Duplicates(DuplicateKind kind) const {
    std::lock_guard lock(mutex_);
    return duplicates_[kind];
  }

  struct Figures {
    int messages[kSources] = {0, 0};
    size_t expected = 0;
    size_t delivered = 0;  // distinct events that arrived
    size_t lost = 0;
    size_t duplicated = 0;  // copies beyond the first
    std::vector<soak::EventKey> lostKeys;
  };

  Figures Count(Phase phase) const {
    std::lock_guard lock(mutex_);
    Figures f;
    f.messages[kReceiver] = messages_[phase][kReceiver];
    f.messages[kLocalService] = messages_[phase][kLocalService];
    for (const auto& [key, keyPhase] : expected_) {
      if (keyPhase != phase)
        continue;
      ++f.expected;
      const auto it = delivered_.find(key);
      if (it == delivered_.end()) {
        ++f.lost;
        f.lostKeys.push_back(key);
      } else {
        ++f.delivered;
        f.duplicated += static_cast<size_t>(it->second - 1);
      }
    }
    return f;
  }

  size_t Outstanding() const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto& entry : expected_)
      n += entry.second == kWithdrawn || delivered_.contains(entry.first) ? 0 : 1;
    return n;
  }
  int Unexpected() const {
    std::lock_guard lock(mutex_);
    return unexpected_;
  }
  SteadyClock::time_point LastNewDelivery() const {
    std::lock_guard lock(mutex_);
    return lastNewDelivery_;
  }

 private:
  mutable std::mutex mutex_;
  std::map<soak::EventKey, int> expected_;  // key -> phase
  std::map<soak::EventKey, int> delivered_;
  struct FirstCopy {
    uint64_t sequence = 0;
    double time = 0;
  };
  std::map<soak::EventKey, FirstCopy> first_;
  int duplicates_[kDuplicateKinds] = {};
  int messages_[kPhases][kSources] = {};
  size_t seen_ = 0;
  int unexpected_ = 0;
  SteadyClock::time_point lastNewDelivery_ = SteadyClock::now();
};

// ---------------------------------------------------------------------------
// Clients of the driver's local TCP service, run one after another on a
// worker thread so that the fault schedule never waits for them.

class ServiceClients {
 public:
  enum class Misbehaviour { kNone, kGarbage, kOverlongLine, kHalfLineAndLeave };

  ServiceClients(uint16_t port, Ledger& ledger) : port_(port), ledger_(ledger) {
    worker_ = std::thread([this] { Work(); });
  }
  ~ServiceClients() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    worker_.join();
  }

  // One connection: the misbehaviour (with `seed` for its bytes), then the
  // valid lines, each counted as stored only once the service has answered.
  void Run(Misbehaviour what, uint32_t seed, std::vector<soak::MessageIdentity> lines,
           Phase phase) {
    std::lock_guard lock(mutex_);
    jobs_.push_back({what, seed, std::move(lines), phase});
    wake_.notify_all();
  }

  bool Idle() const {
    std::lock_guard lock(mutex_);
    return jobs_.empty() && !busy_;
  }
  int Refused() const { return refused_; }
  int LinesAnswered() const { return answered_; }

 private:
  struct Job {
    Misbehaviour what;
    uint32_t seed;
    std::vector<soak::MessageIdentity> lines;
    Phase phase;
  };

  void Work() {
    for (;;) {
      Job job;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty())
          return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
        busy_ = true;
      }
      Serve(job);
      std::lock_guard lock(mutex_);
      busy_ = false;
    }
  }

  int Connect() const {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
      return fd;
    if (fd >= 0)
      close(fd);
    return -1;
  }

  static bool SendAll(int fd, const std::string& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
      const ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n <= 0)
        return false;
      at += static_cast<size_t>(n);
    }
    return true;
  }

  // Reads until `text` has arrived; false after `ms` or when the peer closed.
  static bool ReadUntil(int fd, std::string& received, const std::string& text, int ms) {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(ms);
    while (received.find(text) == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now())
              .count();
      if (left <= 0)
        return false;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0)
        continue;
      char buffer[4096];
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0)
        return false;
      received.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }

  void Serve(const Job& job) {
    std::mt19937 bytes(job.seed);
    int fd = Connect();
    if (fd < 0) {
      ++refused_;
      return;
    }
    std::string received;
    std::string misbehaviour;
    switch (job.what) {
      case Misbehaviour::kNone:
        break;
      case Misbehaviour::kGarbage: {
        // Random bytes, line feeds and NULs included, and a "Slot" word now
        // and then, so some garbage reaches the line reader as a Slot line.
        const size_t n = 1 + bytes() % 3000;
        for (size_t i = 0; i < n; ++i)
          misbehaviour += static_cast<char>(bytes() % 256);
        misbehaviour += "Slot\n";
        break;
      }
      case Misbehaviour::kOverlongLine:
        misbehaviour.assign(kMostServiceLineBytes + 1 + bytes() % 20000, 'x');
        misbehaviour += "\r\n";
        break;
      case Misbehaviour::kHalfLineAndLeave:
        misbehaviour = "12:00:00 R(1) Slot01 t 0011";
        break;
    }
    bool ok = SendAll(fd, misbehaviour);
    if (job.what == Misbehaviour::kHalfLineAndLeave) {
      close(fd);
      fd = ok ? Connect() : -1;
      if (fd < 0) {
        ++refused_;
        return;
      }
    }
    // The valid lines, then an empty line: the service answers "D7/" for it
    // only after it has handled every line before it.
    std::string lines;
    for (const soak::MessageIdentity& id : job.lines)
      lines += soak::ServiceLineOf(soak::BodyOf(id));
    lines += "\r\n";
    received.clear();
    for (const soak::MessageIdentity& id : job.lines) {
      ledger_.Expect(id, job.phase, kLocalService);
      Note("[store] local TCP device " + std::to_string(id.device) + " subaddress " +
           std::to_string(id.subaddress));
    }
    if (ok && SendAll(fd, lines) && ReadUntil(fd, received, "D7/", 3000)) {
      answered_ += static_cast<int>(job.lines.size());
    } else {
      for (const soak::MessageIdentity& id : job.lines)
        ledger_.Withdraw(id, job.phase, kLocalService);
      ++refused_;
    }
    close(fd);
  }

  const uint16_t port_;
  Ledger& ledger_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool busy_ = false;
  bool stopping_ = false;
  std::atomic<int> refused_{0};
  std::atomic<int> answered_{0};
  std::thread worker_;
};

// ---------------------------------------------------------------------------
// The fault schedule: at most one receiver fault and one server fault at a
// time, each for a random while, and one local TCP client now and then.

class FaultInjector {
 public:
  enum ReceiverKind {
    kRxSilent,
    kRxStatus15,
    kRxStatus18,
    kRxBadCrc,
    kRxNoise,
    kRxLoneEndMarker,
    kRxCtsOff,
    kRxBabble,
    kReceiverKinds
  };
  enum ServerKind {
    kSvSilent,
    kSvDrop,
    kSvDisconnect,
    kSvRestart,
    kSvMalformed,
    kSvClose,
    kServerKinds
  };
  enum ClientKind { kTcpGarbage, kTcpOverlong, kTcpHalfLine, kClientKinds };

  FaultInjector(std::mt19937& random, ReceiverSimulator& receiver, tools::PtyReceiver& pty,
                ServerSimulator& server, uint16_t serverPort)
      : random_(random), receiver_(receiver), pty_(pty), server_(server), port_(serverPort) {
    const auto now = SteadyClock::now();
    nextReceiver_ = now + Seconds(2.0);
    nextServer_ = now + Seconds(3.0);
  }

  // Called every few tens of milliseconds while faults are on.
  void Step(ServiceClients& clients, const std::function<soak::MessageIdentity()>& nextLine) {
    const auto now = SteadyClock::now();
    if (receiverActive_ && now >= receiverUntil_)
      EndReceiverFault();
    if (!receiverActive_ && now >= nextReceiver_)
      StartReceiverFault(now);
    if (serverActive_ && now >= serverUntil_)
      EndServerFault();
    if (!serverActive_ && now >= nextServer_)
      StartServerFault(now);
    if (now >= nextClient_) {
      const auto kind = static_cast<ClientKind>(Uniform(0, kClientKinds - 1));
      ++clientCount_[kind];
      Note(std::string("[fault] local TCP ") + kClientNames[kind]);
      const ServiceClients::Misbehaviour what[] = {ServiceClients::Misbehaviour::kGarbage,
                                                   ServiceClients::Misbehaviour::kOverlongLine,
                                                   ServiceClients::Misbehaviour::kHalfLineAndLeave};
      std::vector<soak::MessageIdentity> lines;
      const int count = Uniform(1, 3);
      for (int i = 0; i < count; ++i)
        lines.push_back(nextLine());
      clients.Run(what[kind], static_cast<uint32_t>(random_()), std::move(lines), kFaultPhase);
      nextClient_ = now + Seconds(Exponential(4.0));
    }
  }

  // Every fault off and the server listening, for the drain and the kills.
  void AllOff() {
    if (receiverActive_)
      EndReceiverFault();
    if (serverActive_)
      EndServerFault();
    EnsureServerUp();
  }

  // The server answers nothing for a while (to fill the driver's send ring).
  void SilenceServer(double seconds) {
    if (serverActive_)
      EndServerFault();
    server_.SetSilent(true);
    serverActive_ = true;
    serverKind_ = kSvSilent;
    serverUntil_ = SteadyClock::now() + Seconds(seconds);
  }
  void EndFaults() {
    if (serverActive_ && SteadyClock::now() >= serverUntil_)
      EndServerFault();
  }

  int ServerRestarts() const { return serverCount_[kSvRestart]; }

  static constexpr const char* kReceiverNames[] = {"silent",  "status 0x15",  "status 0x18",
                                                   "bad CRC", "noise",        "lone 0xFA",
                                                   "CTS off", "babbling line"};
  static constexpr const char* kServerNames[] = {"silent",  "CMD_DROP",  "CMD_SERVER_DISCONNECT",
                                                 "restart", "malformed", "close/reset"};
  static constexpr const char* kClientNames[] = {"garbage", "over-long line", "half line, gone"};

  std::string Summary() const {
    std::string text = "  receiver:";
    for (int k = 0; k < kReceiverKinds; ++k)
      text +=
          std::string(k ? ", " : " ") + kReceiverNames[k] + " " + std::to_string(receiverCount_[k]);
    text += "\n  server:";
    for (int k = 0; k < kServerKinds; ++k)
      text += std::string(k ? ", " : " ") + kServerNames[k] + " " + std::to_string(serverCount_[k]);
    text += " (malformed:";
    static const char* const kMalformedNames[] = {"marker", "zero",    "negative", "huge",
                                                  "half",   "garbage", "big"};
    for (int k = 0; k < 7; ++k)
      text += std::string(" ") + kMalformedNames[k] + " " + std::to_string(malformedCount_[k]);
    text += ")\n  local TCP:";
    for (int k = 0; k < kClientKinds; ++k)
      text += std::string(k ? ", " : " ") + kClientNames[k] + " " + std::to_string(clientCount_[k]);
    return text;
  }

 private:
  static SteadyClock::duration Seconds(double s) {
    return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(s));
  }
  int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  double UniformReal(double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(random_);
  }
  double Exponential(double mean) {
    return std::exponential_distribution<double>(1 / mean)(random_);
  }

  void StartReceiverFault(SteadyClock::time_point now) {
    receiverKind_ = static_cast<ReceiverKind>(Uniform(0, kReceiverKinds - 1));
    ++receiverCount_[receiverKind_];
    Note(std::string("[fault] receiver ") + kReceiverNames[receiverKind_]);
    double seconds = UniformReal(0.3, 6.0);
    switch (receiverKind_) {
      case kRxSilent:
        receiver_.SetFault(Fault::kSilent, true);
        seconds = UniformReal(0.5, 10);
        break;
      case kRxStatus15:
        receiver_.SetFault(Fault::kStatusRetry, true);
        break;
      case kRxStatus18:
        receiver_.SetFault(Fault::kStatusRefused, true);
        break;
      case kRxBadCrc:
        receiver_.SetFault(Fault::kCorruptCrc, true);
        break;
      case kRxNoise:
        receiver_.SetFault(Fault::kNoiseBefore, true);
        break;
      case kRxLoneEndMarker:
        receiver_.SetFault(Fault::kLoneEndMarkerBefore, true);
        break;
      case kRxCtsOff:
        // A pseudo-terminal carries no modem lines, so the library cannot see
        // CTS drop; a receiver whose line is down answers nothing, which is
        // what the library sees of it on a pty.
        receiver_.SetFault(Fault::kCtsOff, true);
        receiver_.SetFault(Fault::kSilent, true);
        seconds = UniformReal(0.5, 8);
        break;
      case kRxBabble:
        pty_.SetBabble(true);
        seconds = UniformReal(0.3, 4);
        break;
      default:
        break;
    }
    receiverActive_ = true;
    receiverUntil_ = now + Seconds(seconds);
  }

  void EndReceiverFault() {
    for (Fault f : {Fault::kSilent, Fault::kStatusRetry, Fault::kStatusRefused, Fault::kCorruptCrc,
                    Fault::kNoiseBefore, Fault::kLoneEndMarkerBefore, Fault::kCtsOff})
      receiver_.SetFault(f, false);
    pty_.SetBabble(false);
    receiverActive_ = false;
    Note("[fault] receiver fault off");
    nextReceiver_ = SteadyClock::now() + Seconds(Exponential(5.0));
  }

  void StartServerFault(SteadyClock::time_point now) {
    serverKind_ = static_cast<ServerKind>(Uniform(0, kServerKinds - 1));
    ++serverCount_[serverKind_];
    Note(std::string("[fault] server ") + kServerNames[serverKind_]);
    double seconds = 0;
    switch (serverKind_) {
      case kSvSilent:
        server_.SetSilent(true);
        seconds = UniformReal(1, 30);
        break;
      case kSvDrop:
        server_.QueueAnswer(CMD_DROP);
        break;
      case kSvDisconnect:
        server_.QueueAnswer(CMD_SERVER_DISCONNECT);
        break;
      case kSvRestart:
        server_.Stop();
        serverDown_ = true;
        seconds = UniformReal(0.1, 8);
        break;
      case kSvMalformed: {
        const int kind = Uniform(0, 6);
        ++malformedCount_[kind];
        server_.QueueMalformed(static_cast<Malformed>(kind));
        break;
      }
      case kSvClose:
        server_.CloseClient(Uniform(0, 1) == 1);
        break;
      default:
        break;
    }
    serverActive_ = seconds > 0;
    serverUntil_ = now + Seconds(seconds);
    if (!serverActive_)
      nextServer_ = now + Seconds(Exponential(7.0));
  }

  void EndServerFault() {
    server_.SetSilent(false);
    EnsureServerUp();
    serverActive_ = false;
    Note("[fault] server fault off");
    nextServer_ = SteadyClock::now() + Seconds(Exponential(7.0));
  }

  void EnsureServerUp() {
    // The listening port may be held for a moment after the stop; keep trying.
    for (int attempt = 0; serverDown_ && attempt < 200; ++attempt) {
      if (server_.Start(port_))
        serverDown_ = false;
      else
        SleepMs(50);
    }
  }

  std::mt19937& random_;
  ReceiverSimulator& receiver_;
  tools::PtyReceiver& pty_;
  ServerSimulator& server_;
  const uint16_t port_;
  bool receiverActive_ = false;
  ReceiverKind receiverKind_ = kRxSilent;
  SteadyClock::time_point receiverUntil_, nextReceiver_;
  bool serverActive_ = false;
  bool serverDown_ = false;
  ServerKind serverKind_ = kSvSilent;
  SteadyClock::time_point serverUntil_, nextServer_;
  SteadyClock::time_point nextClient_ = SteadyClock::now() + std::chrono::seconds(1);
  int receiverCount_[kReceiverKinds] = {};
  int serverCount_[kServerKinds] = {};
  int malformedCount_[7] = {};
  int clientCount_[kClientKinds] = {};
};

// ---------------------------------------------------------------------------

struct Options {
  double faultSeconds = 600;
  uint32_t seed = 0;
  bool seedGiven = false;
  int kills = 4;
  fs::path home;
  std::string driver = TESSARD_PATH;
  std::string library = ZNTLINK_PATH;
  bool verbose = false;
};

class Soak {
 public:
  explicit Soak(const Options& options) : options_(options), random_(options.seed) {}

  int Run();

 private:
  bool StartDriver(bool first);
  bool WaitReady(int connectionsBefore);
  void StoreReceiverMessage(Phase phase);
  soak::MessageIdentity NextServiceLine() {
    return soak::IdentityOf(serviceCount_++, soak::kServiceFirstDevice, soak::kServiceDevices);
  }
  void Sample();
  bool Drain(const char* what);
  void CheckDriverAlive();
  void PrintPhase(const char* title, const Ledger::Figures& f) const;

  const Options options_;
  std::mt19937 random_;
  fs::path home_;
  ReceiverSimulator receiver_;
  ServerSimulator server_;
  std::unique_ptr<tools::PtyReceiver> pty_;
  std::unique_ptr<ServiceClients> clients_;
  std::unique_ptr<FaultInjector> faults_;
  DriverProcess driver_;
  Ledger ledger_;
  uint16_t serverPort_ = 0;
  uint16_t servicePort_ = 0;
  uint32_t receiverCount_ = 0;
  uint32_t serviceCount_ = 0;
  int unexpectedDeaths_ = 0;
  int kills_ = 0;
  ProcessFigures start_, end_, most_;
};

bool Soak::StartDriver(bool first) {
  const int before = server_.Connections();
  if (!driver_.Start(options_.driver, home_, first)) {
    std::fprintf(stderr, "tessar_soak: cannot start %s\n", options_.driver.c_str());
    return false;
  }
  return WaitReady(before);
}

// Ready: a new connection whose CMD_VERSION the server saw, and the receiver
// link reported up on it.
bool Soak::WaitReady(int connectionsBefore) {
  return server_.WaitUntil(
      [connectionsBefore](const ServerSimulator& s) {
        bool version = false;
        bool linkUp = false;
        for (const auto& p : s.Packets()) {
          if (p.connection <= connectionsBefore)
            continue;
          version = version || p.code == CMD_VERSION;
          linkUp =
              linkUp || (p.code == CMD_PORT_STATE && p.payload.size() == 8 && p.payload[7] == 1);
        }
        return version && linkUp;
      },
      kReadyWaitMs);
}

void Soak::StoreReceiverMessage(Phase phase) {
  const soak::MessageIdentity id =
      soak::IdentityOf(receiverCount_++, soak::kReceiverFirstDevice, soak::kReceiverDevices);
  ledger_.Expect(id, phase, kReceiver);
  Note("[store] receiver device " + std::to_string(id.device) + " subaddress " +
       std::to_string(id.subaddress));
  receiver_.AddMessage(ReceiverSimulator::Kind3Message(1, receiver_.Clock(), soak::BodyOf(id)));
}

void Soak::Sample() {
  const ProcessFigures now = Measure(driver_.Pid());
  most_.rssKb = std::max(most_.rssKb, now.rssKb);
  most_.descriptors = std::max(most_.descriptors, now.descriptors);
}

void Soak::CheckDriverAlive() {
  if (driver_.Running())
    return;
  ++unexpectedDeaths_;
  std::fprintf(stderr, "tessar_soak: the driver ended (status %d); tail of its log:\n%s\n",
               driver_.LastStatus(), LogTail(home_, 3000).c_str());
  StartDriver(false);
}

// Faults off; waits until the receiver's store and the spool are empty and
// every expected event has arrived, or nothing new has arrived for a while
// with nothing left waiting at either end.
bool Soak::Drain(const char* what) {
  faults_->AllOff();
  const auto started = SteadyClock::now();
  while (SecondsSince(started) < kDrainLimitSeconds) {
    SleepMs(200);
    CheckDriverAlive();
    ledger_.Absorb(server_);
    const bool idle = receiver_.StoredMessages() == 0 && SpoolFiles(home_) == 0 &&
                      clients_->Idle() && server_.ClientConnected();
    if (idle && ledger_.Outstanding() == 0)
      break;
    if (idle && SecondsSince(ledger_.LastNewDelivery()) > kDrainQuietSeconds &&
        SecondsSince(started) > kDrainQuietSeconds)
      break;
  }
  // Late copies (a re-sent spool file) still count as duplicates.
  SleepMs(1000);
  ledger_.Absorb(server_);
  std::printf("%s drained in %.1f s (receiver store %zu, spool files %zu)\n", what,
              SecondsSince(started), receiver_.StoredMessages(), SpoolFiles(home_));
  return receiver_.StoredMessages() == 0 && SpoolFiles(home_) == 0;
}

void Soak::PrintPhase(const char* title, const Ledger::Figures& f) const {
  std::printf("%s\n", title);
  std::printf("  messages stored: %d (receiver %d, local TCP service %d)\n",
              f.messages[kReceiver] + f.messages[kLocalService], f.messages[kReceiver],
              f.messages[kLocalService]);
  std::printf("  events expected: %zu, delivered: %zu, lost: %zu, duplicated: %zu\n", f.expected,
              f.delivered, f.lost, f.duplicated);
}

int Soak::Run() {
  home_ = options_.home.empty()
              ? fs::temp_directory_path() / ("tessar-soak-" + std::to_string(getpid()))
              : fs::absolute(options_.home);
  fs::remove_all(home_);
  fs::create_directories(home_ / "zntlog");
  fs::create_symlink(fs::absolute(options_.library), home_ / "zntlog" / "libzntlink.so");

  std::string error;
  pty_ = std::make_unique<tools::PtyReceiver>(receiver_);
  if (!server_.Start(0, &error) || !pty_->Start((home_ / "zntlog" / "COM3").string(), &error)) {
    std::fprintf(stderr, "tessar_soak: %s\n", error.c_str());
    return 1;
  }
  serverPort_ = server_.Port();
  servicePort_ = FreeLocalPort();
  std::ofstream(home_ / "tessard.ini")
      << "[main]\r\nComPort=COM3\r\nFirstNumber=" << kFirstNumber << "\r\nTcpPort=" << servicePort_
      << "\r\n[ServerHost]\r\nAddress=127.0.0.1\r\nPort=" << serverPort_ << "\r\n";
  if (options_.verbose)
    server_.SetObserver([](const std::string& line) { Note("[server] " + line); });

  std::printf("seed %u (--seed %u repeats the fault schedule)\n", options_.seed, options_.seed);
  std::printf("home %s, message server 127.0.0.1:%u, local TCP service port %u\n", home_.c_str(),
              serverPort_, servicePort_);
  std::fflush(stdout);
  if (!StartDriver(true)) {
    std::fprintf(stderr, "tessar_soak: the driver did not bring both links up\n%s\n",
                 LogTail(home_, 3000).c_str());
    return 1;
  }
  clients_ = std::make_unique<ServiceClients>(servicePort_, ledger_);
  faults_ = std::make_unique<FaultInjector>(random_, receiver_, *pty_, server_, serverPort_);
  SleepMs(2000);
  start_ = Measure(driver_.Pid());
  most_ = start_;
  const std::map<int, std::string> startTargets = DescriptorTargets(driver_.Pid());

  // Fault phase.
  std::printf("fault phase: %.0f s\n", options_.faultSeconds);
  std::fflush(stdout);
  const auto phaseStart = SteadyClock::now();
  auto nextMessage = SteadyClock::now();
  auto nextSample = SteadyClock::now();
  auto nextReport = SteadyClock::now() + std::chrono::seconds(60);
  while (SecondsSince(phaseStart) < options_.faultSeconds) {
    SleepMs(50);
    const auto now = SteadyClock::now();
    if (now >= nextMessage) {
      // Mostly single messages, now and then a burst that the faults make
      // the receiver hold for a while.
      const int burst = std::uniform_int_distribution<int>(0, 9)(random_) == 0 ? 6 : 1;
      for (int i = 0; i < burst; ++i)
        StoreReceiverMessage(kFaultPhase);
      nextMessage = now + std::chrono::milliseconds(static_cast<int>(
                              std::exponential_distribution<double>(1 / 900.0)(random_)));
    }
    faults_->Step(*clients_, [this] { return NextServiceLine(); });
    if (now >= nextSample) {
      CheckDriverAlive();
      Sample();
      ledger_.Absorb(server_);
      receiver_.ClearRequests();
      nextSample = now + std::chrono::seconds(1);
    }
    if (now >= nextReport) {
      const ProcessFigures f = Measure(driver_.Pid());
      std::printf(
          "  %3.0f s: events outstanding %zu, receiver store %zu, spool %zu, RSS %ld kB, "
          "descriptors %d\n",
          SecondsSince(phaseStart), ledger_.Outstanding(), receiver_.StoredMessages(),
          SpoolFiles(home_), f.rssKb, f.descriptors);
      std::fflush(stdout);
      nextReport = now + std::chrono::seconds(60);
    }
  }
  const bool drained = Drain("fault phase");
  end_ = Measure(driver_.Pid());
  Sample();
  const Ledger::Figures faultFigures = ledger_.Count(kFaultPhase);
  const std::vector<std::string> violations = server_.Violations();

  std::printf("faults injected:\n%s\n", faults_->Summary().c_str());
  PrintPhase("fault phase (no SIGKILL):", faultFigures);
  std::printf("  local TCP lines answered: %d, clients that found no service: %d\n",
              clients_->LinesAnswered(), clients_->Refused());
  std::printf("  driver RSS: start %ld kB, end %ld kB, most %ld kB\n", start_.rssKb, end_.rssKb,
              most_.rssKb);
  std::printf("  driver open descriptors: start %d, end %d, most %d\n", start_.descriptors,
              end_.descriptors, most_.descriptors);
  std::printf(
      "  duplicates by cause: the packet again after a broken connection %d, a spool "
      "file sent again %d, the message handed over again %d\n",
      ledger_.Duplicates(Ledger::kSamePacket), ledger_.Duplicates(Ledger::kSameRecord),
      ledger_.Duplicates(Ledger::kNewEmission));
  for (const auto& [fd, target] : DescriptorTargets(driver_.Pid())) {
    const auto before = startTargets.find(fd);
    if (before == startTargets.end() || before->second != target)
      std::printf("    descriptor %d at the end: %s\n", fd, target.c_str());
  }
  std::printf("  driver restarts (it ended by itself): %d; message-server restarts: %d\n",
              unexpectedDeaths_, faults_->ServerRestarts());
  std::printf("  protocol violations seen by the server: %zu; unexpected events: %d\n",
              violations.size(), ledger_.Unexpected());
  for (size_t i = 0; i < violations.size() && i < 10; ++i)
    std::printf("    %s\n", violations[i].c_str());
  for (size_t i = 0; i < faultFigures.lostKeys.size() && i < 20; ++i)
    std::printf("    lost: device %d subaddress %d zone %d\n", faultFigures.lostKeys[i].device,
                faultFigures.lostKeys[i].subaddress, faultFigures.lostKeys[i].zone);
  std::fflush(stdout);

  // SIGKILL phase: messages and bursts of local TCP lines keep coming, the
  // server is silent now and then so the send ring holds packets, and the
  // driver is killed at a random moment and started again.
  if (options_.kills > 0) {
    std::printf("SIGKILL phase: %d kills\n", options_.kills);
    std::fflush(stdout);
    for (int round = 0; round < options_.kills; ++round) {
      const double seconds = std::uniform_real_distribution<double>(4, 10)(random_);
      if (std::uniform_int_distribution<int>(0, 1)(random_) == 1)
        faults_->SilenceServer(std::uniform_real_distribution<double>(1, 6)(random_));
      const auto roundStart = SteadyClock::now();
      auto next = roundStart;
      while (SecondsSince(roundStart) < seconds) {
        SleepMs(50);
        faults_->EndFaults();
        if (SteadyClock::now() >= next) {
          StoreReceiverMessage(kKillPhase);
          if (std::uniform_int_distribution<int>(0, 3)(random_) == 0) {
            std::vector<soak::MessageIdentity> lines;
            const int count = std::uniform_int_distribution<int>(10, 60)(random_);
            for (int i = 0; i < count; ++i)
              lines.push_back(NextServiceLine());
            clients_->Run(ServiceClients::Misbehaviour::kNone, 0, std::move(lines), kKillPhase);
          }
          next = SteadyClock::now() +
                 std::chrono::milliseconds(std::uniform_int_distribution<int>(200, 1200)(random_));
        }
        ledger_.Absorb(server_);
      }
      driver_.Kill();
      ++kills_;
      Note("[kill] SIGKILL " + std::to_string(kills_));
      while (!clients_->Idle())
        SleepMs(20);
      faults_->AllOff();
      SleepMs(std::uniform_int_distribution<int>(0, 1000)(random_));
      if (!StartDriver(false))
        std::fprintf(stderr, "tessar_soak: after kill %d the driver was not ready in time\n",
                     kills_);
    }
    Drain("SIGKILL phase");
  }
  const Ledger::Figures killFigures = ledger_.Count(kKillPhase);
  if (options_.kills > 0) {
    // A lost event whose transmitter sost.mem knows was decoded, so it was
    // lost in the send ring; one it does not know never left the incoming
    // queue (or the library's hand-over).
    const std::set<std::pair<int, int>> records = ZoneRecords(home_);
    std::set<std::pair<int, int>> ringMessages, queueMessages;
    size_t inRing = 0;
    for (const soak::EventKey& key : killFigures.lostKeys) {
      if (records.contains({key.device, key.subaddress})) {
        ++inRing;
        ringMessages.insert({key.device, key.subaddress});
      } else {
        queueMessages.insert({key.device, key.subaddress});
      }
    }
    PrintPhase("SIGKILL phase:", killFigures);
    std::printf(
        "  kills: %d; lost across them: %zu events of %zu messages decoded but unsent "
        "(send ring), %zu events of %zu messages never decoded (incoming queue)\n",
        kills_, inRing, ringMessages.size(), killFigures.lost - inRing, queueMessages.size());
  }

  const ProcessFigures final = Measure(driver_.Pid());
  const int status = driver_.Stop(10000);
  std::printf(
      "driver RSS %ld kB and %d descriptors before the stop; exit status after SIGTERM: "
      "%d\n",
      final.rssKb, final.descriptors, status);
  clients_.reset();
  pty_->Stop();
  server_.Stop();

  const bool passed = drained && faultFigures.lost == 0 && unexpectedDeaths_ == 0 &&
                      violations.empty() && ledger_.Unexpected() == 0 && status == 0;
  std::printf("%s\n", passed ? "PASS: nothing lost outside the SIGKILL phase"
                             : "FAIL: see the figures above");
  if (passed) {
    std::error_code ignored;
    if (options_.home.empty())
      fs::remove_all(home_, ignored);
  } else {
    std::printf("the driver's home is kept: %s\n", home_.c_str());
  }
  return passed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    auto fail = [](const char* text) {
      std::fprintf(stderr, "tessar_soak: %s\n", text);
      return 2;
    };
    if ((arg == "--seconds" || arg == "--minutes") && value != nullptr) {
      const auto number = tools::ParseSeconds(value, 1, 7 * 24 * 3600);
      if (!number)
        return fail("--seconds and --minutes need a positive number");
      options.faultSeconds = arg == "--minutes" ? *number * 60 : *number;
      ++i;
    } else if (arg == "--seed" && value != nullptr) {
      const auto number = tools::ParseInt(value, 0, 2147483647);
      if (!number)
        return fail("--seed needs a number 0-2147483647");
      options.seed = static_cast<uint32_t>(*number);
      options.seedGiven = true;
      ++i;
    } else if (arg == "--kills" && value != nullptr) {
      const auto number = tools::ParseInt(value, 0, 1000);
      if (!number)
        return fail("--kills needs a number 0-1000");
      options.kills = *number;
      ++i;
    } else if (arg == "--home" && value != nullptr) {
      options.home = value;
      ++i;
    } else if (arg == "--driver" && value != nullptr) {
      options.driver = value;
      ++i;
    } else if (arg == "--library" && value != nullptr) {
      options.library = value;
      ++i;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else {
      std::fprintf(stderr,
                   "usage: tessar_soak [--seconds S | --minutes M] [--seed N] [--kills K] "
                   "[--home DIR] [--driver PATH] [--library PATH] [--verbose]\n");
      return 2;
    }
  }
  if (!options.seedGiven)
    options.seed = static_cast<uint32_t>(std::random_device{}() & 0x7FFFFFFF);
  gVerbose = options.verbose;
  signal(SIGPIPE, SIG_IGN);
  return Soak(options).Run();
}
