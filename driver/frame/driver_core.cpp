#include "frame/driver_core.h"

#include <chrono>
#include <exception>

#include "common/ole_date.h"
#include "frame/indicator.h"
#include "frame/password_gate.h"
#include "netlink/packets.h"

namespace tessar {
namespace {

// Seed of the closing password: the clock, as the password must change at
// every start.
uint64_t ClockSeed(const platform::Clock& clock) {
  const platform::LocalTime t = clock.LocalNow();
  const auto wall = std::chrono::system_clock::now().time_since_epoch().count();
  return static_cast<uint64_t>(wall) ^ (uint64_t{clock.TickMs()} << 32) ^
         static_cast<uint64_t>(t.millisecond);
}

}  // namespace

DriverCore::DriverCore(CoreWindow& window, const platform::Clock& clock, Options options)
    : window_(window),
      clock_(clock),
      options_(std::move(options)),
      connectionLog_(clock),
      handOff_(
          *this, options_.wakeWindowThread ? options_.wakeWindowThread : [] {}) {}

DriverCore::~DriverCore() {
  Shutdown();
}

bool DriverCore::Start(std::string* fatal) {
  if (started_)
    return true;
  started_ = true;
  // Library first: the queue, its guard and the counters come with the
  // conversion below; nothing uses them before the session thread starts.
  BindReceiver();
  Stamp(metrics_.startMonotonicMs, clock_.MonotonicMs());
  SetGauge(metrics_.startUnixSeconds, std::chrono::duration_cast<std::chrono::seconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
  messageCounter = 0;
  duplicateCounter = 0;
  state_.SetReceiverLinkState(0);
  closingPassword_ =
      DrawClosingPassword(options_.passwordSeed != 0 ? options_.passwordSeed : ClockSeed(clock_));
  configuration_ = ReadConfiguration(options_.configurationPath);
  state_.SetFirstNumber(configuration_.firstNumber);
  conversion_ = std::make_unique<EventConversion>(
      state_, link_, window_, clock_,
      ConversionSettings{options_.zoneFile, configuration_.pathForSoob, &metrics_});
  state_.SetPortText(PortTextOf(configuration_.comPort));
  OpenReceiverPort();

  try {
    conversion_->Open();
  } catch (const std::exception& e) {
    *fatal = e.what();
    if (session_ != nullptr)
      receiver_->CloseComm(session_);
    session_ = nullptr;
    return false;
  }
  supervision_ = std::make_unique<Supervision>(
      *receiver_, state_, window_, clock_,
      Supervision::Links{
          [this](int32_t code, const Bytes& payload) { link_.PostPacket(code, payload); },
          [this] { return conversion_->Queue().HasRoom(); },
          [this](const uint8_t* bytes, size_t count) {
            if (conversion_->PutMessage(kSourceReceiverLibrary, bytes,
                                        static_cast<int32_t>(count))) {
              Count(metrics_.receiverMessages);
              Stamp(metrics_.lastReceiverMessageMs, clock_.MonotonicMs());
            }
          }});
  conversion_->SetLastActivity(ToOleDate(supervision_->LastActivityTime()));

  cl::Options sessionOptions = options_.session;
  sessionOptions.onSpoolAck = [this] { conversion_->OnSpoolAck(); };
  sessionOptions.metrics = &metrics_;
  sessionThread_ = std::make_unique<cl>(state_, handOff_, clock_, sessionOptions);
  link_.Attach(sessionThread_.get());
  sessionThread_->Start();
  DrawServerIndicator();
  startTime_ = clock_.LocalNow();
  supervising_ = true;
  StartLocalService();
  StartMetricsEndpoint();
  return true;
}

void DriverCore::BindReceiver() {
  if (options_.receiver != nullptr) {
    receiver_ = options_.receiver;
    return;
  }
  library_ = ReceiverLibrary::Load(options_.libraryPath);
  receiver_ = library_.get();
  if (!library_->Loaded()) {
    window_.ReportError("The receiver library " + options_.libraryPath + " could not be loaded: " +
                        library_->LoadError() + ". The driver runs without a receiver link.");
    return;
  }
  for (const std::string& name : library_->MissingNames()) {
    window_.ReportError("The receiver library " + options_.libraryPath + " has no entry point " +
                        name + "; what needs it is not done.");
  }
}

void DriverCore::OpenReceiverPort() {
  const std::string portText = state_.PortText();
  const std::optional<int> port = PortNumberOf(portText);
  if (!port) {
    window_.ReportError("ComPort \"" + configuration_.comPort + "\" in " +
                        options_.configurationPath +
                        " names no port number (COM followed by digits); no receiver port is "
                        "opened.");
    return;
  }
  int error = 0;
  session_ = receiver_->InitComm(*port, &error);
  if (session_ == nullptr && (library_ == nullptr || library_->Loaded())) {
    window_.ReportError("The receiver port " + configuration_.comPort +
                        " could not be opened: " + OpenErrorText(error) + ".");
  }
}

void DriverCore::Timer3Timer() {
  if (!supervising_)
    return;
  supervision_->Timer3Timer(session_, messageCounter, duplicateCounter);
  SetFlag(metrics_.receiverLinkUp, state_.ReceiverLinkState() == 1);
  conversion_->SetLastActivity(ToOleDate(supervision_->LastActivityTime()));
}

void DriverCore::Timer1Timer() {
  if (conversion_)
    conversion_->Timer1Timer();
}

void DriverCore::RunHandOffs() {
  handOff_.RunPending();
}

void DriverCore::Shutdown() {
  if (shutDown_ || !started_)
    return;
  shutDown_ = true;
  StopLocalService();
  supervising_ = false;
  if (session_ != nullptr)
    receiver_->CloseComm(session_);
  if (sessionThread_) {
    // Stop, release a hand-off in flight, then join: the thread ends within
    // the wait it is in and never reaches the window again.
    sessionThread_->Stop();
    handOff_.Close();
    link_.Attach(nullptr);
    sessionThread_.reset();
  }
  // Last: a scraper in the middle of a request may hold it up to its request
  // timeout, and everything that matters has stopped by then.
  metricsEndpoint_.reset();
}

void DriverCore::WriteLogLine(const std::string& text) {
  connectionLog_.Write(text);
  window_.ShowConnectionLog(connectionLog_.Lines());
}

void DriverCore::AdvanceServerIndicator() {
  activityFrame_ = NextIndicatorFrame(activityFrame_);
  DrawServerIndicator();
}

void DriverCore::DrawServerIndicator() {
  window_.DrawServerIndicator(DrawIndicator(link_.Online(), activityFrame_));
}

void DriverCore::StartLocalService() {
  LocalService::Settings settings;
  settings.metrics = &metrics_;
  localService_ = std::make_unique<LocalService>(
      clock_,
      [this](const uint8_t* bytes, int32_t count) {
        return conversion_->PutMessage(kSourceTcpService, bytes, count);
      },
      messageCounter, duplicateCounter, settings);
  std::string error;
  if (!localService_->Start(configuration_.tcpPort, &error)) {
    localService_.reset();
    window_.ReportError("The local TCP service cannot listen on port " +
                        std::to_string(configuration_.tcpPort) + " (" + error +
                        "); the driver runs without it.");
  }
}

void DriverCore::StartMetricsEndpoint() {
  const MetricsSettings& settings = configuration_.metrics;
  if (!settings.problem.empty()) {
    window_.ReportError(settings.problem + "; the driver runs without metrics.");
    return;
  }
  if (!settings.enabled)
    return;
  metricsEndpoint_ = std::make_unique<MetricsEndpoint>(metrics_, clock_);
  MetricsEndpoint::Settings endpoint;
  endpoint.address = settings.address;
  endpoint.port = settings.port;
  std::string error;
  if (!metricsEndpoint_->Start(endpoint, &error)) {
    metricsEndpoint_.reset();
    window_.ReportError("The metrics endpoint cannot listen on " + settings.address + ":" +
                        std::to_string(settings.port) + " (" + error +
                        "); the driver runs without it.");
  }
}

void DriverCore::StopLocalService() {
  // Every client thread has ended when this returns: none puts into the
  // queue any more.
  localService_.reset();
}

}  // namespace tessar
