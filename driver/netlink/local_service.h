// The local TCP service: a listener on every local IPv4 address (port 8901
// unless configured otherwise) and one thread per client. A client receives
// the greeting before anything is read, then each of its lines is handled
// against the state all clients share. Stopping stops listening, closes every
// client and waits for every client thread; no wait depends on a client.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <thread>

#include "netlink/local_service_lines.h"
#include "platform/clock.h"
#include "platform/tcp.h"
#include "platform/wake_signal.h"

namespace tessar {

inline constexpr uint16_t kLocalServicePort = 8901;

class LocalService {
 public:
  struct Settings {
    // Every local IPv4 address; tests narrow it to the loopback address.
    std::string address = "0.0.0.0";
    // Clients served at once; more are accepted and closed at once, so a
    // flood of connections cannot exhaust the driver's threads.
    size_t mostClients = 1000;
    // How long the greeting may wait for room on a new connection.
    uint32_t greetingWaitMs = 2000;
    // A client's send buffer in bytes; 0 leaves it to the system.
    int clientSendBufferBytes = 0;
    // Counts the messages queued and the repeats for the metrics as well.
    DriverMetrics* metrics = nullptr;
  };

  LocalService(const platform::Clock& clock, LocalServiceState::PutRecord put,
               std::atomic<int32_t>& messageCounter, std::atomic<int32_t>& duplicateCounter);
  LocalService(const platform::Clock& clock, LocalServiceState::PutRecord put,
               std::atomic<int32_t>& messageCounter, std::atomic<int32_t>& duplicateCounter,
               Settings settings);
  ~LocalService();
  LocalService(const LocalService&) = delete;
  LocalService& operator=(const LocalService&) = delete;

  // Listens on `port` (0 picks a free one) and starts accepting; false, with
  // the reason in *error, when the port cannot be had.
  bool Start(uint16_t port, std::string* error);
  // Stops listening, closes every client and waits for their threads.
  void Stop();
  bool Running() const { return acceptThread_.joinable(); }
  uint16_t Port() const { return listener_.Port(); }
  // Clients connected now.
  size_t ClientCount() const { return connected_.load(); }
  LocalServiceState& State() { return state_; }

 private:
  struct Client {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void AcceptClients();
  void ReapFinishedClients();
  void Serve(int descriptor, Client& client);

  const platform::Clock& clock_;
  Settings settings_;
  LocalServiceState state_;
  platform::WakeSignal stop_;
  platform::TcpListener listener_;
  std::thread acceptThread_;
  // Touched by the accept thread while it runs, and by Stop() after it ended.
  std::list<std::unique_ptr<Client>> clients_;
  std::atomic<size_t> connected_{0};
};

}  // namespace tessar
