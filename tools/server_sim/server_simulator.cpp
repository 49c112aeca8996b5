#include "server_simulator.h"

#include <errno.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "common/ole_date.h"

namespace tessar::tools {
namespace {

// How often the serving thread looks at requests made from other threads.
constexpr int kServePollMs = 20;
constexpr size_t kBigPacketSize = 120000;

double GetDouble(const uint8_t* at) {
  const uint64_t bits = GetUint64(at);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

Bytes FrameHeaderOnly(uint8_t marker, int32_t length) {
  Bytes header(kFrameHeaderSize, 0);
  header[0] = marker;
  PutInt32(&header[kFrameLengthOffset], length);
  PutInt32(&header[kFrameLengthCopyOffset], length);
  return header;
}

std::string Hex(const Bytes& bytes) {
  std::string text;
  char byte[4];
  for (size_t i = 0; i < bytes.size() && i < 32; ++i) {
    std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", bytes[i]);
    text += byte;
  }
  if (bytes.size() > 32)
    text += " ...";
  return text;
}

std::string DescribeEvent(const Bytes& p) {
  const size_t codeLength = p[3] > 4 ? 4 : p[3];
  const std::string code(reinterpret_cast<const char*>(&p[4]), codeLength);
  char text[256];
  std::snprintf(text, sizeof text,
                "tag %u route %u subaddress %u code \"%s\" object %d device %d zone %u "
                "reserved %u time %s",
                p[0], p[1], p[2], code.c_str(), GetInt32(&p[8]), GetInt32(&p[12]),
                static_cast<unsigned>(p[16] | p[17] << 8), p[18],
                FormatOleDate(GetDouble(&p[19])).c_str());
  return text;
}

std::string DescribeMeasurement(const Bytes& p) {
  char text[256];
  std::snprintf(text, sizeof text,
                "object %d time %s reading1 %uh%02umin level %u.%02u reading2 %uh%02umin "
                "level %u.%02u reserved %02X %02X %02X",
                GetInt32(&p[0]), FormatOleDate(GetDouble(&p[4])).c_str(), p[12], p[13], p[14],
                p[15], p[16], p[17], p[18], p[19], p[20], p[21], p[22]);
  return text;
}

}  // namespace

int ExpectedPayloadSize(int32_t code) {
  switch (code) {
    case CMD_TEST:
    case CMD_QUERY_REPLY:
      return 0;
    case CMD_HELLO:
      return 2;
    case CMD_PORT_STATE:
    case CMD_VERSION:
      return 8;
    case CMD_FIRST_NUMBER:
      return 1;
    case CMD_EVENT:
      return 27;
    case CMD_MEASUREMENT:
      return 23;
    default:
      return -1;
  }
}

std::string DescribePacket(const ServerPacket& packet) {
  const Bytes& p = packet.payload;
  std::string details;
  const bool sized = static_cast<int>(p.size()) == ExpectedPayloadSize(packet.code);
  char text[96];
  if (sized && packet.code == CMD_HELLO) {
    details = std::to_string(p[0] | p[1] << 8);
  } else if (sized && packet.code == CMD_PORT_STATE) {
    const size_t length = p[0] > kPortNameMax ? kPortNameMax : p[0];
    details = "port " + std::string(reinterpret_cast<const char*>(&p[1]), length) +
              " receiver link " + std::to_string(p[7]);
  } else if (sized && packet.code == CMD_FIRST_NUMBER) {
    details = "FirstNumber " + std::to_string(p[0]);
  } else if (sized && packet.code == CMD_VERSION) {
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", p[0] | p[1] << 8, p[2] | p[3] << 8,
                  p[4] | p[5] << 8, p[6] | p[7] << 8);
    details = text;
  } else if (sized && packet.code == CMD_EVENT) {
    details = DescribeEvent(p);
  } else if (sized && packet.code == CMD_MEASUREMENT) {
    details = DescribeMeasurement(p);
  } else if (!p.empty()) {
    details = std::to_string(p.size()) + " bytes: " + Hex(p);
  }
  std::snprintf(text, sizeof text, "[%d] seq %llu ", packet.connection,
                static_cast<unsigned long long>(packet.sequence));
  return text + CommandName(packet.code) + (details.empty() ? "" : " " + details);
}

ServerSimulator::ServerSimulator() = default;

ServerSimulator::~ServerSimulator() {
  Stop();
}

bool ServerSimulator::Start(uint16_t port, std::string* error) {
  Stop();
  if (!listener_.Listen("127.0.0.1", port, error))
    return false;
  port_ = listener_.Port();
  stopSignal_ = std::make_unique<platform::WakeSignal>();
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void ServerSimulator::Stop() {
  if (!thread_.joinable())
    return;
  stopSignal_->Set();
  thread_.join();
  listener_.Close();
}

void ServerSimulator::Serve() {
  for (;;) {
    pollfd fds[3] = {{listener_.Descriptor(), POLLIN, 0},
                     {client_ ? client_->Descriptor() : -1, POLLIN, 0},
                     {stopSignal_->Descriptor(), POLLIN, 0}};
    if (poll(fds, 3, kServePollMs) < 0 && errno != EINTR)
      break;
    if (fds[2].revents != 0)
      break;
    bool close, reset;
    {
      std::lock_guard lock(mutex_);
      close = closeRequested_;
      reset = resetRequested_;
      closeRequested_ = resetRequested_ = false;
    }
    if (close)
      DropClient(reset);
    if (client_ && fds[1].revents != 0)
      ReadClient();
    if (fds[0].revents != 0)
      Accept();
  }
  DropClient(false);
}

void ServerSimulator::Accept() {
  const int fd = listener_.AcceptWaiting();
  if (fd < 0)
    return;
  // The driver gives up its old connection before it makes a new one.
  DropClient(false);
  client_ = std::make_unique<platform::TcpConnection>(fd, stopSignal_.get());
  input_.clear();
  int number;
  {
    std::lock_guard lock(mutex_);
    number = ++connections_;
    clientConnected_ = true;
  }
  changed_.notify_all();
  Note("connection " + std::to_string(number) + " accepted");
}

void ServerSimulator::DropClient(bool reset) {
  if (!client_)
    return;
  if (reset)
    client_->Reset();
  client_.reset();
  input_.clear();
  {
    std::lock_guard lock(mutex_);
    clientConnected_ = false;
  }
  changed_.notify_all();
  Note(reset ? "connection reset" : "connection closed");
}

void ServerSimulator::ReadClient() {
  uint8_t buffer[65536];
  size_t received = 0;
  const platform::IoResult read = client_->ReadSome(buffer, sizeof buffer, 0, received);
  if (read == platform::IoResult::kClosed || read == platform::IoResult::kError) {
    DropClient(false);
    return;
  }
  input_.insert(input_.end(), buffer, buffer + received);
  while (client_ && input_.size() >= kFrameHeaderSize) {
    const int32_t length = GetInt32(&input_[kFrameLengthOffset]);
    const int32_t copy = GetInt32(&input_[kFrameLengthCopyOffset]);
    char what[128];
    if (input_[0] != kFrameMarker) {
      std::snprintf(what, sizeof what, "frame marker 0x%02X, not 0xFF", input_[0]);
    } else if (length != copy) {
      std::snprintf(what, sizeof what, "frame length %d but its copy %d", length, copy);
    } else if (length < static_cast<int32_t>(kPacketHeaderSize) || length > kMaxFrameLength) {
      std::snprintf(what, sizeof what, "frame length %d out of range", length);
    } else {
      const size_t wireSize = kFrameHeaderSize + static_cast<size_t>(length);
      if (input_.size() < wireSize)
        return;
      const Bytes packet(input_.begin() + kFrameHeaderSize, input_.begin() + wireSize);
      input_.erase(input_.begin(), input_.begin() + wireSize);
      HandlePacket(packet, wireSize);
      continue;
    }
    // The stream is out of step: nothing after this can be trusted.
    Violation(what);
    DropClient(false);
  }
}

void ServerSimulator::HandlePacket(const Bytes& bytes, size_t wireSize) {
  ServerPacket packet;
  packet.code = PacketCode(bytes);
  packet.sequence = PacketSequence(bytes);
  packet.payload.assign(bytes.begin() + kPacketHeaderSize, bytes.end());
  packet.wireSize = wireSize;
  char what[128];
  if (bytes[0] != kPacketStart || bytes[kPacketEndOffset] != kPacketEnd) {
    std::snprintf(what, sizeof what, "packet markers 0x%02X/0x%02X, not 0xFF/0xFE", bytes[0],
                  bytes[kPacketEndOffset]);
    Violation(what);
  }
  const int32_t declared = GetInt32(&bytes[kPacketLengthOffset]);
  if (declared != static_cast<int32_t>(packet.payload.size())) {
    std::snprintf(what, sizeof what, "payload length field %d but %zu bytes follow", declared,
                  packet.payload.size());
    Violation(what);
  }
  const int expected = ExpectedPayloadSize(packet.code);
  if (expected >= 0 && expected != static_cast<int>(packet.payload.size())) {
    std::snprintf(what, sizeof what, "%s with %zu payload bytes, not %d",
                  CommandName(packet.code).c_str(), packet.payload.size(), expected);
    Violation(what);
  }
  {
    std::lock_guard lock(mutex_);
    packet.connection = connections_;
    packets_.push_back(packet);
  }
  changed_.notify_all();
  Note(DescribePacket(packet));
  Answer(packet);
}

void ServerSimulator::Answer(const ServerPacket& packet) {
  Reply reply;
  uint8_t marker;
  {
    std::lock_guard lock(mutex_);
    if (silent_)
      return;
    marker = f0_ ? kFrameMarkerAlternate : kFrameMarker;
    if (!replies_.empty()) {
      reply = replies_.front();
      replies_.pop_front();
    } else if (packet.code == CMD_VERSION) {
      reply.code = deny_ ? CMD_DENIED : accept_ ? CMD_ACCEPTED : CMD_TEST;
    } else if (packet.code == CMD_EVENT || packet.code == CMD_MEASUREMENT) {
      reply.code = CMD_SPOOL_ACK;
    } else {
      reply.code = CMD_TEST;
    }
  }
  if (!reply.malformed) {
    SendBytes(BuildFrame(BuildPacket(reply.code, 0, {}), marker));
    Note("answered " + CommandName(reply.code));
    return;
  }
  switch (reply.kind) {
    case Malformed::kWrongMarker:
      SendBytes(FrameHeaderOnly(0x00, kPacketHeaderSize));
      break;
    case Malformed::kZeroLength:
      SendBytes(FrameHeaderOnly(marker, 0));
      break;
    case Malformed::kNegativeLength:
      SendBytes(FrameHeaderOnly(marker, -5));
      break;
    case Malformed::kHugeLength:
      SendBytes(FrameHeaderOnly(marker, INT32_MAX));
      break;
    case Malformed::kHalfFrame: {
      Bytes frame = BuildFrame(BuildPacket(CMD_TEST, 0, {}), marker);
      frame.resize(kFrameHeaderSize + kPacketHeaderSize / 2);
      SendBytes(frame);
      DropClient(false);
      break;
    }
    case Malformed::kGarbage:
      SendBytes({0x13, 0x37, 0x00, 0x42, 0x99, 0x01, 0x02});
      break;
    case Malformed::kBigBody:
      SendBytes(BuildFrame(
          BuildPacket(CMD_TEST, 0, Bytes(kBigPacketSize - kPacketHeaderSize, 0xAB)), marker));
      break;
  }
  Note("answered with a malformed frame");
}

void ServerSimulator::SendBytes(const Bytes& bytes) {
  if (client_ && client_->WriteAll(bytes.data(), bytes.size(), 2000) != platform::IoResult::kOk)
    DropClient(false);
  {
    std::lock_guard lock(mutex_);
    ++answers_;
  }
  changed_.notify_all();
}

void ServerSimulator::Note(const std::string& line) {
  std::function<void(const std::string&)> observer;
  {
    std::lock_guard lock(mutex_);
    observer = observer_;
  }
  if (observer)
    observer(line);
}

void ServerSimulator::Violation(const std::string& what) {
  {
    std::lock_guard lock(mutex_);
    violations_.push_back(what);
  }
  changed_.notify_all();
  Note("VIOLATION: " + what);
}

void ServerSimulator::SetSwitch(bool ServerSimulator::*which, bool on) {
  std::lock_guard lock(mutex_);
  this->*which = on;
}

void ServerSimulator::QueueReply(const Reply& reply) {
  std::lock_guard lock(mutex_);
  replies_.push_back(reply);
}

void ServerSimulator::CloseClient(bool reset) {
  std::lock_guard lock(mutex_);
  closeRequested_ = true;
  resetRequested_ = reset;
}

std::vector<ServerPacket> ServerSimulator::Packets() const {
  std::lock_guard lock(mutex_);
  return packets_;
}

std::vector<int32_t> ServerSimulator::Codes() const {
  std::lock_guard lock(mutex_);
  std::vector<int32_t> codes;
  for (const ServerPacket& packet : packets_)
    codes.push_back(packet.code);
  return codes;
}

std::vector<std::string> ServerSimulator::Violations() const {
  std::lock_guard lock(mutex_);
  return violations_;
}

int ServerSimulator::AnswersSent() const {
  std::lock_guard lock(mutex_);
  return answers_;
}

int ServerSimulator::Connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

bool ServerSimulator::ClientConnected() const {
  std::lock_guard lock(mutex_);
  return clientConnected_;
}

bool ServerSimulator::WaitUntil(const std::function<bool(const ServerSimulator&)>& condition,
                                uint32_t timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock lock(mutex_);
  for (;;) {
    lock.unlock();
    if (condition(*this))
      return true;
    lock.lock();
    // The condition reads through the public getters, which take the lock;
    // a short wait bounds a change made between the check and the wait.
    if (changed_.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                         std::chrono::milliseconds(10))) ==
            std::cv_status::timeout &&
        std::chrono::steady_clock::now() >= deadline) {
      lock.unlock();
      return condition(*this);
    }
  }
}

bool ServerSimulator::WaitForPackets(size_t count, uint32_t timeoutMs) const {
  return WaitUntil([count](const ServerSimulator& sim) { return sim.Packets().size() >= count; },
                   timeoutMs);
}

void ServerSimulator::SetObserver(std::function<void(const std::string&)> observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

}  // namespace tessar::tools
