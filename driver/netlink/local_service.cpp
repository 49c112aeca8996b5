#include "netlink/local_service.h"

#include <system_error>
#include <utility>

namespace tessar {
namespace {

// Pending connections the listener holds: room for hundreds of clients that
// connect at the same moment.
constexpr int kListenBacklog = 256;
// How often the accept thread wakes to join the threads of gone clients.
constexpr uint32_t kReapIntervalMs = 1000;
// A client's read wait; the stop signal ends it at once, a timeout only
// starts the next wait.
constexpr uint32_t kReadWaitMs = 60000;
constexpr size_t kReadChunk = 4096;

}  // namespace

LocalService::LocalService(const platform::Clock& clock, LocalServiceState::PutRecord put,
                           std::atomic<int32_t>& messageCounter,
                           std::atomic<int32_t>& duplicateCounter)
    : LocalService(clock, std::move(put), messageCounter, duplicateCounter, Settings{}) {}

LocalService::LocalService(const platform::Clock& clock, LocalServiceState::PutRecord put,
                           std::atomic<int32_t>& messageCounter,
                           std::atomic<int32_t>& duplicateCounter, Settings settings)
    : clock_(clock),
      settings_(std::move(settings)),
      state_(std::move(put), messageCounter, duplicateCounter, settings_.metrics) {}

LocalService::~LocalService() {
  Stop();
}

bool LocalService::Start(uint16_t port, std::string* error) {
  if (Running())
    return true;
  stop_.Reset();
  if (!listener_.Listen(settings_.address, port, error, kListenBacklog))
    return false;
  acceptThread_ = std::thread([this] { AcceptClients(); });
  return true;
}

void LocalService::Stop() {
  if (!Running())
    return;
  // The stop signal ends the accept wait and every client's read and write.
  stop_.Set();
  acceptThread_.join();
  listener_.Close();
  for (auto& client : clients_)
    client->thread.join();
  clients_.clear();
}

void LocalService::AcceptClients() {
  for (;;) {
    const platform::IoResult waited = listener_.WaitForClient(&stop_, kReapIntervalMs);
    if (waited == platform::IoResult::kCancelled || waited == platform::IoResult::kError ||
        waited == platform::IoResult::kClosed)
      break;
    ReapFinishedClients();
    if (waited != platform::IoResult::kOk)
      continue;
    for (int descriptor = listener_.AcceptWaiting(); descriptor >= 0;
         descriptor = listener_.AcceptWaiting()) {
      if (clients_.size() >= settings_.mostClients) {
        platform::TcpConnection refused(descriptor, nullptr);
        continue;
      }
      auto client = std::make_unique<Client>();
      Client& served = *client;
      try {
        client->thread = std::thread([this, descriptor, &served] { Serve(descriptor, served); });
      } catch (const std::system_error&) {
        // No thread to be had: the client is closed, the service goes on.
        platform::TcpConnection refused(descriptor, nullptr);
        continue;
      }
      clients_.push_back(std::move(client));
    }
  }
}

void LocalService::ReapFinishedClients() {
  for (auto it = clients_.begin(); it != clients_.end();) {
    if ((*it)->done.load()) {
      (*it)->thread.join();
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
}

void LocalService::Serve(int descriptor, Client& client) {
  ++connected_;
  {
    platform::TcpConnection connection(descriptor, &stop_);
    if (settings_.clientSendBufferBytes > 0)
      connection.SetSendBufferBytes(settings_.clientSendBufferBytes);
    const std::string greeting = GreetingOf(clock_.LocalNow());
    // Errors while sending are ignored: the client's lines are read all the same.
    connection.WriteAll(reinterpret_cast<const uint8_t*>(greeting.data()), greeting.size(),
                        settings_.greetingWaitMs);
    LineReader reader;
    uint8_t chunk[kReadChunk];
    const auto handle = [&](std::string_view line) {
      const std::string answer = state_.HandleLine(line);
      // Answers never wait for room: a client that does not read them loses
      // them, and its lines, and every other client's, go on being handled.
      if (!answer.empty())
        connection.WriteAll(reinterpret_cast<const uint8_t*>(answer.data()), answer.size(), 0);
    };
    for (;;) {
      size_t received = 0;
      const platform::IoResult result =
          connection.ReadSome(chunk, sizeof chunk, kReadWaitMs, received);
      if (result == platform::IoResult::kTimeout)
        continue;
      if (result != platform::IoResult::kOk)
        break;
      reader.Feed(chunk, received, handle);
    }
  }
  --connected_;
  client.done = true;
}

}  // namespace tessar
