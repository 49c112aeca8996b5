// The driver without its window: the start-up sequence, the two timers' ticks,
// the server-link indicator and connection log, and the stopping steps of the
// guarded shutdown. The main window owns one and shows what it reports; tests
// run it with a recording window and a fake receiver.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/driver_metrics.h"
#include "common/driver_state.h"
#include "conversion/decoding_cycle.h"
#include "conversion/dispatch.h"
#include "frame/configuration.h"
#include "frame/frame_window.h"
#include "frame/port_scan.h"
#include "frame/receiver_library.h"
#include "frame/supervision.h"
#include "metrics/metrics_endpoint.h"
#include "netlink/Unit7.h"
#include "netlink/connection_log.h"
#include "netlink/hand_off_window.h"
#include "netlink/local_service.h"
#include "netlink/packets.h"
#include "platform/clock.h"

namespace tessar {

// Everything the core shows in the main window.
class CoreWindow : public FrameWindow, public ConversionWindow {
 public:
  // One way to report an error, for the frame and the conversion alike.
  void ReportError(const std::string& text) override = 0;
  // Memo1: the connection log's lines, oldest first.
  virtual void ShowConnectionLog(const std::vector<std::string>& lines) = 0;
};

class DriverCore : private SessionWindow {
 public:
  struct Options {
    std::string libraryPath = kReceiverLibraryPath;
    std::string configurationPath = kConfigurationFile;
    std::string zoneFile = "sost.mem";
    // A receiver in place of the library (tests); the library is not loaded then.
    ReceiverApi* receiver = nullptr;
    // Where the administrator's COM<n> port links lie, as for the library.
    std::string zntlogDirectory = "zntlog";
    // Told of every packet the port commands post (tests watch them here).
    std::function<void(int32_t code, const Bytes& payload)> watchPortPosts;
    cl::Options session;
    // Asks the window thread to call RunHandOffs() soon; any thread.
    std::function<void()> wakeWindowThread;
    // Seeds the closing password; 0 seeds it from the clock.
    uint64_t passwordSeed = 0;
  };

  DriverCore(CoreWindow& window, const platform::Clock& clock, Options options);
  ~DriverCore() override;
  DriverCore(const DriverCore&) = delete;
  DriverCore& operator=(const DriverCore&) = delete;

  // The start-up sequence up to the supervision timer (the window starts its
  // timers and shows its page after it). False when the driver must not run,
  // with the reason in *fatal: the zone state could not be kept.
  bool Start(std::string* fatal);

  // The supervision cycle (Timer3, 500 ms) and the decoding cycle (Timer1, 200 ms).
  void Timer3Timer();
  void Timer1Timer();
  // Runs the session thread's window calls that wait (window thread).
  void RunHandOffs();

  // The guarded shutdown's stopping steps: the local TCP service, the
  // supervision cycle, the library session, the session thread, and last the
  // metrics endpoint. Once only; the process may end when it returns.
  void Shutdown();

  // The receiver port commands of the setup page. Whether the port runs is
  // what the stop/start button's caption shows.
  struct PortOperator {
    // The password gate's modal result (kGateAccepted, kGateWrong, kGateCancelled).
    std::function<int()> runPasswordGate;
    // Shows a notice and returns when the operator has closed it.
    std::function<void(const std::string&)> showNotice;
  };
  bool PortRunning() const { return portRunning_; }
  // AdvGlowButton2Click while the port runs: with the closing password, the
  // library session is closed and the port is stopped. CMD_PORT_STATE last.
  void StopReceiverPort(const PortOperator& op);
  // AdvGlowButton2Click while the port is stopped: opens the port the list's
  // text names ("COM3"); a text that names no port is refused with a notice
  // and the port stays stopped. CMD_PORT_STATE last.
  void StartReceiverPort(const std::string& listText, const PortOperator& op);
  // AdvGlowButton1Click: the ports that can be opened now.
  std::vector<ScannedPort> ScanPorts() const;
  // AdvOfficeComboBox1Select: while stopped, the list's text becomes ComPort
  // in the configuration file and the port text, and CMD_PORT_STATE tells the
  // server. Does nothing while the port runs; an error ends it silently.
  void SelectPort(const std::string& listText);

  // Shown once by the window after Start.
  const std::string& ClosingPassword() const { return closingPassword_; }
  const std::string& ConfiguredPortName() const { return configuration_.comPort; }
  platform::LocalTime StartTime() const { return startTime_; }

  DriverState& State() { return state_; }
  CommSession* Session() const { return session_; }
  const DriverConfiguration& Configuration() const { return configuration_; }
  bool ServerOnline() const { return link_.Online(); }

  // The health figures the metrics endpoint serves.
  const DriverMetrics& Metrics() const { return metrics_; }
  // The port the metrics endpoint listens on; 0 when it does not run.
  uint16_t MetricsPort() const { return metricsEndpoint_ ? metricsEndpoint_->Port() : 0; }

  // Counted by the local TCP service, shown by the supervision cycle.
  std::atomic<int32_t> messageCounter{0};
  std::atomic<int32_t> duplicateCounter{0};

 private:
  void WriteLogLine(const std::string& text) override;
  void AdvanceServerIndicator() override;
  void DrawServerIndicator();
  void BindReceiver();
  void OpenReceiverPort();
  void StartLocalService();
  void StopLocalService();
  void StartMetricsEndpoint();

  // First, so that it outlives every part that counts into it.
  DriverMetrics metrics_;
  CoreWindow& window_;
  const platform::Clock& clock_;
  Options options_;
  DriverState state_;
  DriverConfiguration configuration_;
  std::unique_ptr<ReceiverLibrary> library_;
  ReceiverApi* receiver_ = nullptr;
  CommSession* session_ = nullptr;
  std::string closingPassword_;
  // The receiver port commands (setup page).
  void PostPortState(const std::string& portName);
  bool portRunning_ = true;
  platform::LocalTime startTime_;
  int32_t activityFrame_ = 0;
  ConnectionLog connectionLog_;
  SessionLink link_;
  std::unique_ptr<EventConversion> conversion_;
  std::unique_ptr<Supervision> supervision_;
  HandOffWindow handOff_;
  std::unique_ptr<cl> sessionThread_;
  std::unique_ptr<LocalService> localService_;
  std::unique_ptr<MetricsEndpoint> metricsEndpoint_;
  bool started_ = false;
  bool supervising_ = false;
  bool shutDown_ = false;
};

}  // namespace tessar
