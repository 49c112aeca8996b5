// IPv4 TCP sockets: a client connection with connect, read and write timeouts,
// and a listener. Every wait also watches an optional stop signal, so another
// thread can end it without touching the socket itself.
#pragma once

#include <cstdint>
#include <string>

#include "platform/byte_stream.h"
#include "platform/wake_signal.h"

namespace tessar::platform {

// True when `text` is an IPv4 address in dotted form ("127.0.0.1").
bool IsIpv4Address(const std::string& text);

class TcpConnection : public ByteStream {
 public:
  explicit TcpConnection(const WakeSignal* stop = nullptr) : stop_(stop) {}
  // Takes over an accepted socket.
  TcpConnection(int descriptor, const WakeSignal* stop) : fd_(descriptor), stop_(stop) {}
  ~TcpConnection() override;
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // Resolves `host` (dotted IPv4 or a name) and connects within `timeoutMs`.
  // On failure `error` says why.
  bool Connect(const std::string& host, uint16_t port, uint32_t timeoutMs, std::string* error);
  bool IsOpen() const { return fd_ >= 0; }
  int Descriptor() const { return fd_; }
  void Close();
  // Closes at once with a reset instead of an orderly end.
  void Reset();
  // Fixes the socket's send buffer at about `bytes` (the system's automatic
  // sizing ends).
  void SetSendBufferBytes(int bytes);

  IoResult ReadExact(uint8_t* data, size_t size, uint32_t timeoutMs, size_t& received) override;
  IoResult WriteAll(const uint8_t* data, size_t size, uint32_t timeoutMs) override;
  // Reads what is waiting, up to `size` bytes, waiting at most `timeoutMs` for
  // the first byte; `received` is 0 on timeout.
  IoResult ReadSome(uint8_t* data, size_t size, uint32_t timeoutMs, size_t& received);

 private:
  // Waits until the socket has `events`; kOk, kTimeout, kCancelled or kError.
  IoResult WaitFor(short events, int timeoutMs);

  int fd_ = -1;
  const WakeSignal* stop_;
};

class TcpListener {
 public:
  TcpListener() = default;
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // Listens on `address` (dotted IPv4) and `port`; port 0 picks a free one.
  // `backlog` is the number of connections waiting to be accepted.
  bool Listen(const std::string& address, uint16_t port, std::string* error, int backlog = 8);
  uint16_t Port() const { return port_; }
  int Descriptor() const { return fd_; }
  // An accepted socket, or -1 when none is waiting.
  int AcceptWaiting();
  // Waits until a connection is waiting to be accepted: kOk, kTimeout, or
  // kCancelled when `stop` is set first.
  IoResult WaitForClient(const WakeSignal* stop, uint32_t timeoutMs);
  void Close();

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

}  // namespace tessar::platform
