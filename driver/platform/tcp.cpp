#include "platform/tcp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace tessar::platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

int MsLeft(SteadyClock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

SteadyClock::time_point DeadlineAfter(uint32_t ms) {
  return SteadyClock::now() + std::chrono::milliseconds(ms);
}

}  // namespace

bool IsIpv4Address(const std::string& text) {
  in_addr address{};
  return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

namespace {

bool Resolve(const std::string& host, uint16_t port, sockaddr_in& address, std::string* error) {
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1)
    return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (status != 0 || found == nullptr) {
    if (error)
      *error = "cannot resolve " + host + ": " + gai_strerror(status);
    return false;
  }
  address.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

// Waits until `fd` has `events`: kOk, kTimeout, kError, or kCancelled when
// the stop signal is set first.
IoResult WaitWithStop(int fd, short events, const WakeSignal* stop, int timeoutMs) {
  pollfd fds[2] = {{fd, events, 0}, {stop ? stop->Descriptor() : -1, POLLIN, 0}};
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const int ready = poll(fds, 2, MsLeft(deadline));
    if (ready < 0) {
      if (errno == EINTR)
        continue;
      return IoResult::kError;
    }
    if (fds[1].revents != 0)
      return IoResult::kCancelled;
    return ready == 0 ? IoResult::kTimeout : IoResult::kOk;
  }
}

}  // namespace

TcpConnection::~TcpConnection() {
  Close();
}

void TcpConnection::Close() {
  if (fd_ >= 0)
    close(fd_);
  fd_ = -1;
}

void TcpConnection::Reset() {
  if (fd_ >= 0) {
    linger hard{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  Close();
}

void TcpConnection::SetSendBufferBytes(int bytes) {
  if (fd_ >= 0)
    setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

IoResult TcpConnection::WaitFor(short events, int timeoutMs) {
  return WaitWithStop(fd_, events, stop_, timeoutMs);
}

bool TcpConnection::Connect(const std::string& host, uint16_t port, uint32_t timeoutMs,
                            std::string* error) {
  Close();
  sockaddr_in address{};
  if (!Resolve(host, port, address, error))
    return false;
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) {
    if (error)
      *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  const int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS) {
      if (error)
        *error = std::string("connect: ") + std::strerror(errno);
      Close();
      return false;
    }
    const IoResult waited = WaitFor(POLLOUT, static_cast<int>(timeoutMs));
    int socketError = 0;
    socklen_t length = sizeof socketError;
    if (waited == IoResult::kOk)
      getsockopt(fd_, SOL_SOCKET, SO_ERROR, &socketError, &length);
    if (waited != IoResult::kOk || socketError != 0) {
      if (error)
        *error = waited == IoResult::kTimeout ? "connect: timed out"
                 : waited == IoResult::kCancelled
                     ? "connect: stopped"
                     : std::string("connect: ") + std::strerror(socketError);
      Close();
      return false;
    }
  }
  return true;
}

IoResult TcpConnection::ReadExact(uint8_t* data, size_t size, uint32_t timeoutMs,
                                  size_t& received) {
  received = 0;
  if (fd_ < 0)
    return IoResult::kClosed;
  const auto deadline = DeadlineAfter(timeoutMs);
  while (received < size) {
    const ssize_t n = recv(fd_, data + received, size - received, 0);
    if (n > 0) {
      received += static_cast<size_t>(n);
      continue;
    }
    if (n == 0)
      return IoResult::kClosed;
    if (errno == EINTR)
      continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK)
      return IoResult::kError;
    const IoResult waited = WaitFor(POLLIN, MsLeft(deadline));
    if (waited != IoResult::kOk)
      return waited;
  }
  return IoResult::kOk;
}

IoResult TcpConnection::ReadSome(uint8_t* data, size_t size, uint32_t timeoutMs, size_t& received) {
  received = 0;
  if (fd_ < 0)
    return IoResult::kClosed;
  const IoResult waited = WaitFor(POLLIN, static_cast<int>(timeoutMs));
  if (waited != IoResult::kOk)
    return waited;
  for (;;) {
    const ssize_t n = recv(fd_, data, size, 0);
    if (n > 0) {
      received = static_cast<size_t>(n);
      return IoResult::kOk;
    }
    if (n == 0)
      return IoResult::kClosed;
    if (errno == EINTR)
      continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? IoResult::kTimeout : IoResult::kError;
  }
}

IoResult TcpConnection::WriteAll(const uint8_t* data, size_t size, uint32_t timeoutMs) {
  if (fd_ < 0)
    return IoResult::kClosed;
  const auto deadline = DeadlineAfter(timeoutMs);
  size_t sent = 0;
  while (sent < size) {
    // MSG_NOSIGNAL: a peer that has gone is an error result, not SIGPIPE.
    const ssize_t n = send(fd_, data + sent, size - sent, MSG_NOSIGNAL);
    if (n >= 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR)
      continue;
    if (errno == EPIPE || errno == ECONNRESET)
      return IoResult::kClosed;
    if (errno != EAGAIN && errno != EWOULDBLOCK)
      return IoResult::kError;
    const IoResult waited = WaitFor(POLLOUT, MsLeft(deadline));
    if (waited != IoResult::kOk)
      return waited;
  }
  return IoResult::kOk;
}

TcpListener::~TcpListener() {
  Close();
}

bool TcpListener::Listen(const std::string& address, uint16_t port, std::string* error,
                         int backlog) {
  Close();
  sockaddr_in bound{};
  bound.sin_family = AF_INET;
  bound.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &bound.sin_addr) != 1) {
    if (error)
      *error = "not an IPv4 address: " + address;
    return false;
  }
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int one = 1;
  if (fd_ < 0 || setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(fd_, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
      listen(fd_, backlog) != 0) {
    if (error)
      *error =
          "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
    Close();
    return false;
  }
  socklen_t length = sizeof bound;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length);
  port_ = ntohs(bound.sin_port);
  return true;
}

int TcpListener::AcceptWaiting() {
  if (fd_ < 0)
    return -1;
  const int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (client >= 0) {
    const int one = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  return client;
}

IoResult TcpListener::WaitForClient(const WakeSignal* stop, uint32_t timeoutMs) {
  if (fd_ < 0)
    return IoResult::kClosed;
  return WaitWithStop(fd_, POLLIN, stop, static_cast<int>(timeoutMs));
}

void TcpListener::Close() {
  if (fd_ >= 0)
    close(fd_);
  fd_ = -1;
}

}  // namespace tessar::platform
