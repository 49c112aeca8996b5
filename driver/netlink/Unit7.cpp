#include "netlink/Unit7.h"

#include <algorithm>

#include "common/ole_date.h"
#include "common/profile_file.h"
#include "platform/files.h"
#include "platform/thread_cpu.h"

namespace tessar {
namespace {

constexpr const char kIniName[] = "tessard.ini";
constexpr const char kServerSection[] = "ServerHost";
constexpr const char kDefaultAddress[] = "127.0.0.1";
constexpr int32_t kDefaultPort = 12543;
constexpr int32_t kDefaultPacketSize = 2000;

}  // namespace

cl::cl(DriverState& state, SessionWindow& window, const platform::Clock& clock, Options options)
    : state_(state),
      window_(window),
      clock_(clock),
      options_(std::move(options)),
      metrics_(options_.metrics != nullptr ? *options_.metrics : ownMetrics_) {}

cl::~cl() {
  Stop();
  if (thread_.joinable())
    thread_.join();
}

void cl::Start() {
  if (!thread_.joinable())
    thread_ = std::thread([this] { Execute(); });
}

void cl::Stop() {
  // The flags go first so that the session thread, once woken, neither
  // attempts again nor calls the window.
  connectEnabled_ = false;
  stop_ = true;
  const bool wasOnline = SetOnline(false);
  stopSignal_.Set();
  // Giving up the connection runs the disconnected handler here, on the
  // caller's thread (the window thread at shutdown).
  if (wasOnline) {
    try {
      window_.AdvanceServerIndicator();
    } catch (...) {
    }
  }
}

double cl::ThreadCpuSeconds() const {
  return thread_.joinable()
             ? platform::ThreadCpuSeconds(const_cast<std::thread&>(thread_).native_handle())
             : -1;
}

void cl::Execute() {
  deniedLogged_ = false;
  lastTestTime_ = clock_.TickMs();
  attempted_ = false;
  lastAttemptTime_ = 0;
  errors_ = 0;
  connection_ = std::make_unique<platform::TcpConnection>(&stopSignal_);
  startDirectory_ =
      options_.startDirectory.empty() ? platform::CurrentDirectory() : options_.startDirectory;
  if (startDirectory_.back() != platform::kPathSeparator)
    startDirectory_ += platform::kPathSeparator;
  accepted_ = false;
  // The stop and connect-enabled flags keep what a Stop() before the start
  // set; clearing them here would undo it.
  ReadServerAddress();
  packetSize_ = ProfileFile::Load(startDirectory_ + kIniName)
                    .ReadInteger(kServerSection, "PacketSize", kDefaultPacketSize);
  SetOnline(false);
  while (!stop_) {
    Step();
    stopSignal_.Wait(options_.timings.pauseMs);
  }
  connection_.reset();
}

void cl::ReadServerAddress() {
  const ProfileFile profile = ProfileFile::Load(startDirectory_ + kIniName);
  host_ = profile.ReadString(kServerSection, "Address", kDefaultAddress);
  port_ = profile.ReadInteger(kServerSection, "Port", kDefaultPort);
}

void cl::Step() {
  if (online_) {
    OnlineStep();
  } else if (connectEnabled_) {
    const uint32_t now = clock_.TickMs();
    if (!attempted_ ||
        platform::TickElapsed(now, lastAttemptTime_) > options_.timings.reconnectDelayMs)
      ConnectionAttempt();
  } else if (!deniedLogged_) {
    deniedLogged_ = true;
    Log(kLogDenied);
  }
}

void cl::OnlineStep() {
  if (errors_ > options_.timings.errorLimit) {
    errors_ = 0;
    Log(kLogNetworkErrors);
    GoOffline(SessionDropCause::kErrors);
  }
  bool tookPacket = false;
  bool testDue = false;
  stru_arb packet;
  bool haveHead;
  {
    std::lock_guard lock(ringMutex_);
    haveHead = ring_.Peek(packet);
  }
  if (haveHead) {
    tookPacket = true;
    try {
      if (SendPacket(packet)) {
        {
          std::lock_guard lock(ringMutex_);
          // A packet sent again after a reconnection is older than the
          // newest one written: the mark never moves back.
          lastWritten_ = std::max(lastWritten_.value_or(0), PacketSequence(packet));
          ring_.Drop();
          SetGauge(metrics_.sendRingPackets, static_cast<int64_t>(ring_.Count()));
        }
        RememberWritten(packet);
      }
    } catch (const std::exception&) {
      ++errors_;
    }
  } else if (accepted_) {
    const uint32_t now = clock_.TickMs();
    if (platform::TickElapsed(now, lastTestTime_) > options_.timings.testIntervalMs) {
      testDue = true;
      lastTestTime_ = now;
    }
  }
  bool answered = false;
  if (tookPacket || testDue || helloPending_) {
    if (testDue) {
      try {
        // The test goes outside the ring, with sequence number 0.
        if (SendPacket(BuildPacket(CMD_TEST, 0, {})))
          RememberWritten({});
      } catch (const std::exception&) {
        Log(kLogTestFailed);
      }
    }
    helloPending_ = false;
    try {
      ReplyLimits limits;
      limits.readTimeoutMs = options_.timings.readTimeoutMs;
      if (ReceiveReply(*connection_, limits, reply_) == ReplyOutcome::kBroken)
        CloseConnection(SessionDropCause::kReadFailure);
      answered = !reply_.empty();
    } catch (const std::exception&) {
      reply_.clear();
    }
    if (answered && !unanswered_.empty())
      unanswered_.pop_front();
  }
  // An empty reply buffer is a missing answer, also in the steps after it
  // that read nothing, until an answer arrives.
  if (reply_.empty())
    ++errors_;
  if (answered && IsValidPacket(reply_))
    HandleAnswer();
}

void cl::HandleAnswer() {
  Count(metrics_.serverAnswers);
  Stamp(metrics_.lastServerAnswerMs, clock_.MonotonicMs());
  AdvanceIndicator();
  switch (PacketCode(reply_)) {
    case CMD_ACCEPTED:
      accepted_ = true;
      break;
    case CMD_SPOOL_ACK:
      ConfirmSpoolFile();
      break;
    case CMD_QUERY:
      PostPacket(CMD_QUERY_REPLY, {});
      break;
    case CMD_DENIED:
      GoOffline(SessionDropCause::kServerCommand);
      connectEnabled_ = false;
      AdvanceIndicator();
      CloseConnection(SessionDropCause::kServerCommand);
      break;
    case CMD_DROP:
      GoOffline(SessionDropCause::kServerCommand);
      AdvanceIndicator();
      CloseConnection(SessionDropCause::kServerCommand);
      break;
    case CMD_SERVER_DISCONNECT:
      // The connection stays open; the next attempt, a full delay later, discards it.
      errors_ = 0;
      lastAttemptTime_ = clock_.TickMs();
      attempted_ = true;
      GoOffline(SessionDropCause::kServerCommand);
      AdvanceIndicator();
      Log(kLogServerDisconnect);
      break;
    default:
      break;
  }
}

void cl::ConfirmSpoolFile() {
  if (options_.onSpoolAck) {
    options_.onSpoolAck();
    return;
  }
  const std::string path = state_.LastSpoolPath();
  if (platform::FileExists(path) && platform::RemoveFile(path))
    state_.SetSpoolResendTime(NowOle() - kOneDay);
}

void cl::ConnectionAttempt() {
  AdvanceIndicator();
  Log(kLogConnecting);
  lastAttemptTime_ = clock_.TickMs();
  attempted_ = true;
  // The old connection goes without the disconnected handler; what it left
  // unanswered goes first on the new one.
  connection_ = std::make_unique<platform::TcpConnection>(&stopSignal_);
  requeued_ = RequeueUnanswered();
  accepted_ = false;
  ReadServerAddress();
  if (port_ < 1 || port_ > 65535 || stop_)
    return;
  if (!connection_->Connect(host_, static_cast<uint16_t>(port_), options_.timings.connectTimeoutMs,
                            nullptr))
    return;
  ConnectedHandler();
  state_.SetSpoolResendTime(NowOle() - kOneDay);
  Log(kLogConnected);
  if (stop_)
    return;
  SetOnline(true);
  AdvanceIndicator();
}

void cl::ConnectedHandler() {
  const size_t limit = kProducerSlots + kHelloPackets + requeued_;
  Post(CMD_HELLO, HelloPayload(), limit);
  Post(CMD_PORT_STATE, PortStatePayload(state_.PortText(), state_.ReceiverLinkState()), limit);
  Post(CMD_FIRST_NUMBER, FirstNumberPayload(state_.FirstNumber()), limit);
  helloPending_ = true;
  Post(CMD_VERSION, VersionPayload(kDriverFileVersion), limit);
}

void cl::CloseConnection(SessionDropCause cause) {
  if (!connection_ || !connection_->IsOpen())
    return;
  connection_->Close();
  // The disconnected handler.
  GoOffline(cause);
  AdvanceIndicator();
}

void cl::RememberWritten(const stru_arb& packet) {
  if (unanswered_.size() == kMostUnanswered)
    unanswered_.pop_front();
  unanswered_.push_back(packet);
}

// A packet written to a connection that broke before the server answered it
// may never have been read there (a server that went down with it in its
// receive buffer): data packets are put back before the head, in their order,
// to be sent again, so an event is never lost that way; at worst the server
// gets it twice. Session packets (hello, tests) belong to their connection and
// are not repeated. The number put back.
size_t cl::RequeueUnanswered() {
  size_t requeued = 0;
  std::lock_guard lock(ringMutex_);
  for (auto it = unanswered_.rbegin(); it != unanswered_.rend(); ++it) {
    if (!it->empty() && IsDataCode(PacketCode(*it)) && ring_.PutFront(*it))
      ++requeued;
  }
  unanswered_.clear();
  SetGauge(metrics_.sendRingPackets, static_cast<int64_t>(ring_.Count()));
  return requeued;
}

bool cl::SetOnline(bool online) {
  const bool wasOnline = online_.exchange(online);
  SetFlag(metrics_.serverOnline, online);
  return wasOnline;
}

void cl::GoOffline(SessionDropCause cause) {
  if (SetOnline(false))
    CountDrop(metrics_, cause);
}

bool cl::SendPacket(const stru_arb& packet) {
  const Bytes frame = BuildFrame(packet);
  const platform::IoResult written =
      connection_->WriteAll(frame.data(), frame.size(), options_.timings.writeTimeoutMs);
  if (written == platform::IoResult::kOk) {
    Count(metrics_.packetsSent);
    return true;
  }
  CloseConnection(SessionDropCause::kWriteFailure);
  ++errors_;
  return false;
}

PostResult cl::PostPacket(int32_t code, const stru_arb& payload) {
  return Post(code, payload, kProducerSlots);
}

PostResult cl::Post(int32_t code, const stru_arb& payload, size_t limit) {
  std::lock_guard lock(ringMutex_);
  PostResult result;
  result.sequence = sequence_++;
  result.queued = ring_.Count() < limit && ring_.Put(BuildPacket(code, result.sequence, payload));
  SetGauge(metrics_.sendRingPackets, static_cast<int64_t>(ring_.Count()));
  return result;
}

bool cl::PacketWritten(uint64_t sequence) const {
  std::lock_guard lock(ringMutex_);
  return lastWritten_ && *lastWritten_ >= sequence;
}

size_t cl::QueuedPackets() const {
  std::lock_guard lock(ringMutex_);
  return ring_.Count();
}

void cl::Log(const std::string& text) {
  // After a stop the window may be going away: nothing reaches it any more.
  if (stop_)
    return;
  logText_ = text;
  try {
    window_.WriteLogLine(logText_);
  } catch (...) {
  }
}

void cl::AdvanceIndicator() {
  if (stop_)
    return;
  try {
    window_.AdvanceServerIndicator();
  } catch (...) {
  }
}

double cl::NowOle() const {
  return ToOleDate(clock_.LocalNow());
}

}  // namespace tessar
