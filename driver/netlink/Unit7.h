// The server session thread `cl`: keeps the driver connected to the message
// server, sends the send ring's packets one per step and reads the answer to
// each, sends keep-alive tests and obeys the server's session commands. Other
// threads see it through PostPacket and the online flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/driver_metrics.h"
#include "common/driver_state.h"
#include "netlink/packets.h"
#include "netlink/receive_reply.h"
#include "netlink/send_ring.h"
#include "netlink/session_window.h"
#include "platform/clock.h"
#include "platform/tcp.h"
#include "platform/wake_signal.h"

namespace tessar {

// A dynamic array of bytes: one queued message or one server packet.
using stru_arb = std::vector<uint8_t>;

// One slot of the incoming queue: the put number, the producer's source tag
// (1 the receiver library, 2 the local TCP service) and the message bytes.
struct Stru_zapThread {
  int64_t putNumber = 0;
  int32_t source = 0;
  stru_arb bytes;
};

// The session's timings; tests shorten them.
struct SessionTimings {
  uint32_t connectTimeoutMs = 2500;
  uint32_t readTimeoutMs = 1000;
  // A write waits at most this long for room on the connection.
  uint32_t writeTimeoutMs = 2500;
  // Attempts begin at least this far apart (on the session clock's tick).
  uint32_t reconnectDelayMs = 5000;
  // At most one keep-alive test per this many milliseconds.
  uint32_t testIntervalMs = 500;
  // The pause after every session step.
  uint32_t pauseMs = 30;
  // Missing answers above this count drop the session.
  int32_t errorLimit = 20;
};

// The log texts of the connection log.
inline constexpr const char kLogConnecting[] = "Соединение...";
inline constexpr const char kLogConnected[] = "Соединение установлено.";
inline constexpr const char kLogNetworkErrors[] = "Ошибки по сети - переподсоединение.";
inline constexpr const char kLogServerDisconnect[] = "Сервер дал команду на рассоединение.";
inline constexpr const char kLogDenied[] = "Доступ запрещен.";
inline constexpr const char kLogTestFailed[] = "Ошибка отправки теста.";

// What PostPacket did with a packet.
struct PostResult {
  bool queued = false;
  uint64_t sequence = 0;  // the number the packet carries (used up even when not queued)
  explicit operator bool() const { return queued; }
};

class cl {
 public:
  struct Options {
    // Where tessard.ini is read; empty means the current directory at thread start.
    std::string startDirectory;
    SessionTimings timings;
    // Runs on the session thread for every CMD_SPOOL_ACK; the default deletes
    // the file named by the last spool path when it exists and moves the spool
    // re-send time back one day.
    std::function<void()> onSpoolAck;
    // Where the session counts packets, answers, drops and the ring's depth;
    // none keeps the figures to the session object.
    DriverMetrics* metrics = nullptr;
  };

  // The window must stay usable until Stop() has returned; a HandOffWindow
  // closed after Stop() keeps the session thread from reaching it later.
  cl(DriverState& state, SessionWindow& window, const platform::Clock& clock, Options options);
  cl(DriverState& state, SessionWindow& window)
      : cl(state, window, platform::SystemClock(), Options{}) {}
  ~cl();
  cl(const cl&) = delete;
  cl& operator=(const cl&) = delete;

  // Starts the thread, which runs Execute.
  void Start();
  // The thread body.
  void Execute();

  // The one way to send anything to the server; any thread. Stamps the packet
  // with the next sequence number and puts it into the send ring; a ring that
  // holds 400 packets refuses it, and its number is used up all the same.
  PostResult PostPacket(int32_t code, const stru_arb& payload);

  // Packets the producers may have waiting; beyond them the ring keeps room
  // for one connection's four hello packets, which are never refused because
  // the producers filled the ring while the server was away.
  static constexpr size_t kProducerSlots = SendRing::kSlots;
  static constexpr size_t kHelloPackets = 4;
  // Data packets written to a connection are kept, at most this many, until
  // the server has answered them; those a broken connection left unanswered
  // go first on the next one. The ring has room for them besides the above.
  static constexpr size_t kMostUnanswered = 64;
  // True once the packet with this sequence number has been written to a
  // connection (packets leave in order, so every earlier one has been too).
  bool PacketWritten(uint64_t sequence) const;

  // Set while a connection is established; producers post while it is set
  // and spool otherwise.
  bool Online() const { return online_.load(); }
  int32_t NetworkErrors() const { return errors_.load(); }
  size_t QueuedPackets() const;

  // Shutdown from another thread: no further attempt, the connection is given
  // up, and the thread ends within the wait under way (a connect, a read, a
  // write or the pause). Returns at once; the destructor joins the thread.
  void Stop();
  // CPU seconds the session thread has used (-1 when it does not run).
  double ThreadCpuSeconds() const;

 private:
  void Step();
  void OnlineStep();
  void ConnectionAttempt();
  void ConnectedHandler();
  void CloseConnection(SessionDropCause cause);
  // Sets the online flag and its gauge; true when the session was online.
  bool SetOnline(bool online);
  // Goes offline, counting the drop when the session was online.
  void GoOffline(SessionDropCause cause);
  void RememberWritten(const stru_arb& packet);
  size_t RequeueUnanswered();
  bool SendPacket(const stru_arb& packet);
  void HandleAnswer();
  void ConfirmSpoolFile();
  void ReadServerAddress();
  PostResult Post(int32_t code, const stru_arb& payload, size_t limit);
  void Log(const std::string& text);
  void AdvanceIndicator();
  double NowOle() const;

  DriverState& state_;
  SessionWindow& window_;
  const platform::Clock& clock_;
  Options options_;
  DriverMetrics ownMetrics_;
  DriverMetrics& metrics_;
  std::thread thread_;
  platform::WakeSignal stopSignal_;

  std::atomic<bool> stop_{false};
  std::unique_ptr<platform::TcpConnection> connection_;
  std::atomic<bool> connectEnabled_{true};
  std::atomic<bool> online_{false};
  bool deniedLogged_ = false;
  bool accepted_ = false;
  bool helloPending_ = false;
  uint32_t lastTestTime_ = 0;
  uint32_t lastAttemptTime_ = 0;
  bool attempted_ = false;  // no attempt yet: the first one is not held back
  std::string logText_;
  std::atomic<int32_t> errors_{0};
  std::string startDirectory_;
  stru_arb reply_;
  // What was written on the current connection and is not answered yet,
  // oldest first, a keep-alive test as an empty entry: the server answers
  // every packet with one packet, in order, so each answer settles the
  // oldest entry. Session thread only.
  std::deque<stru_arb> unanswered_;
  size_t requeued_ = 0;  // packets the last attempt put back before the head
  std::string host_ = "127.0.0.1";
  int32_t port_ = 12543;
  int32_t packetSize_ = 2000;

  // The ring, the sequence number and the written mark, one operation at a time.
  mutable std::mutex ringMutex_;
  SendRing ring_{kProducerSlots + kHelloPackets + kMostUnanswered};
  uint64_t sequence_ = 0;
  std::optional<uint64_t> lastWritten_;
};

}  // namespace tessar
