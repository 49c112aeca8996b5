// A message-server simulator: listens on a loopback port, accepts the driver,
// checks every frame strictly and answers each packet with one packet. It can
// be told to stay silent, refuse the session, order a drop or a disconnect,
// send CMD_QUERY, frame its answers with 0xF0 and send malformed frames.
// Thread-safe: tests and the console change it while it serves.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "netlink/packets.h"
#include "platform/tcp.h"
#include "platform/wake_signal.h"

namespace tessar::tools {

// One packet received from the driver.
struct ServerPacket {
  int connection = 0;  // 1 for the first connection accepted, and so on
  int32_t code = 0;
  uint64_t sequence = 0;
  Bytes payload;
  size_t wireSize = 0;  // frame header included
};

// Frames the simulator can send in place of an answer.
enum class Malformed {
  kWrongMarker,     // a frame header starting with 0x00, nothing after it
  kZeroLength,      // a frame header with N = 0
  kNegativeLength,  // a frame header with N = -5
  kHugeLength,      // a frame header with N = 2^31 - 1
  kHalfFrame,       // the header and half of an 18-byte packet, then the connection closes
  kGarbage,         // 7 bytes that are no frame header
  kBigBody,         // a valid CMD_TEST frame whose packet is 120000 bytes
};

class ServerSimulator {
 public:
  ServerSimulator();
  ~ServerSimulator();
  ServerSimulator(const ServerSimulator&) = delete;
  ServerSimulator& operator=(const ServerSimulator&) = delete;

  // Listens on 127.0.0.1; port 0 picks a free one.
  bool Start(uint16_t port, std::string* error = nullptr);
  // Stops listening and closes the driver's connection.
  void Stop();
  uint16_t Port() const { return port_; }

  // Answer nothing at all.
  void SetSilent(bool on) { SetSwitch(&ServerSimulator::silent_, on); }
  // Answer CMD_VERSION with CMD_DENIED.
  void SetDeny(bool on) { SetSwitch(&ServerSimulator::deny_, on); }
  // Answer CMD_VERSION with CMD_ACCEPTED (on by default; off answers CMD_TEST).
  void SetAccept(bool on) { SetSwitch(&ServerSimulator::accept_, on); }
  // Open answer frames with 0xF0 instead of 0xFF.
  void SetF0Framing(bool on) { SetSwitch(&ServerSimulator::f0_, on); }
  // The next answers, in this order, instead of the usual ones.
  void QueueAnswer(int32_t code) { QueueReply({false, code, Malformed::kGarbage}); }
  void QueueMalformed(Malformed kind) { QueueReply({true, 0, kind}); }
  // Closes the driver's connection now; with `reset` the driver sees a reset.
  void CloseClient(bool reset);

  std::vector<ServerPacket> Packets() const;
  std::vector<int32_t> Codes() const;
  std::vector<std::string> Violations() const;
  int Connections() const;
  // Answers written, malformed ones included.
  int AnswersSent() const;
  bool ClientConnected() const;
  // Waits until `condition` holds, re-checked at every change; false on timeout.
  bool WaitUntil(const std::function<bool(const ServerSimulator&)>& condition,
                 uint32_t timeoutMs) const;
  bool WaitForPackets(size_t count, uint32_t timeoutMs) const;

  // Called on the serving thread for every packet and for every other event
  // (connections, violations), already rendered as one line.
  void SetObserver(std::function<void(const std::string&)> observer);

  static constexpr int32_t kMaxFrameLength = 1 << 20;

 private:
  struct Reply {
    bool malformed = false;
    int32_t code = 0;
    Malformed kind = Malformed::kGarbage;
  };
  void SetSwitch(bool ServerSimulator::*which, bool on);
  void QueueReply(const Reply& reply);
  void Serve();
  void Accept();
  void ReadClient();
  void HandlePacket(const Bytes& packet, size_t wireSize);
  void Answer(const ServerPacket& packet);
  void SendBytes(const Bytes& bytes);
  void DropClient(bool reset);
  void Note(const std::string& line);
  void Violation(const std::string& what);
  std::string DescribeForLog(const ServerPacket& packet) const;

  platform::TcpListener listener_;
  std::unique_ptr<platform::WakeSignal> stopSignal_;
  std::thread thread_;
  uint16_t port_ = 0;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::unique_ptr<platform::TcpConnection> client_;  // serving thread only
  Bytes input_;                                      // serving thread only
  bool clientConnected_ = false;
  bool silent_ = false;
  bool deny_ = false;
  bool accept_ = true;
  bool f0_ = false;
  bool closeRequested_ = false;
  bool resetRequested_ = false;
  std::deque<Reply> replies_;
  std::vector<ServerPacket> packets_;
  std::vector<std::string> violations_;
  int connections_ = 0;
  int answers_ = 0;
  std::function<void(const std::string&)> observer_;
};

// The payload size each command code must carry, or -1 when any is allowed.
int ExpectedPayloadSize(int32_t code);
// One line for a packet: its code, sequence number and decoded payload.
std::string DescribePacket(const ServerPacket& packet);

}  // namespace tessar::tools
