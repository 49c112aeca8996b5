// tessard: the driver program. Without a display (or with --headless) it runs
// on Qt's offscreen platform, as a service does; SIGTERM and SIGINT run the
// stopping steps without the closing password and end it with status 0.
// `tessard --status` asks the driver running in the current directory for its
// metrics and sums them up, before any part of the toolkit is made.
#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frame/admshowmes.h"
#include "frame/configuration.h"
#include "frame/ma.h"
#include "frame/operator_texts.h"
#include "frame/pasx.h"
#include "metrics/status_report.h"
#include "platform/clock.h"
#include "platform/process_signals.h"
#include "platform/service_log.h"

namespace {

using tessar::platform::Severity;
using tessar::platform::WriteServiceLine;

bool Asked(int argc, char** argv, const char* option) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], option) == 0)
      return true;
  return false;
}

bool Set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

// Picks the offscreen platform where a window could not be shown; true when
// the driver runs without an operator at a desktop.
bool ChooseHeadless(int argc, char** argv) {
  if (Asked(argc, argv, "--headless")) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return true;
  }
  if (!Set("QT_QPA_PLATFORM") && !Set("DISPLAY") && !Set("WAYLAND_DISPLAY")) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    WriteServiceLine(Severity::kInfo, "no display: running without a window (offscreen)");
    return true;
  }
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  return platform != nullptr && std::strcmp(platform, "offscreen") == 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A status request never starts a driver, whatever else the command line holds.
  if (Asked(argc, argv, "--status")) {
    const tessar::StatusReport report = tessar::CheckStatus(tessar::kConfigurationFile);
    std::fputs(report.text.c_str(), stdout);
    return report.exitStatus;
  }
  const bool headless = ChooseHeadless(argc, argv);
  QApplication application(argc, argv);
  QApplication::setApplicationDisplayName(QString::fromUtf8(tessar::texts::kApplicationTitle));
  QApplication::setQuitOnLastWindowClosed(true);

  tessar::TForm1::Settings settings;
  settings.interactive = !headless;
  tessar::TForm1 form(tessar::platform::SystemClock(), settings);
  tessar::TForm2 passwordForm(&form);
  tessar::Tadvsm noticeForm(&form);

  const int stopFd = tessar::platform::InstallStopSignals();
  QSocketNotifier stopNotifier(stopFd, QSocketNotifier::Read);
  QObject::connect(&stopNotifier, &QSocketNotifier::activated, &form, [&form] {
    const int signal = tessar::platform::TakeStopSignal();
    WriteServiceLine(Severity::kInfo, "stopping on signal " + std::to_string(signal));
    tessar::platform::NotifyServiceManager("STOPPING=1");
    form.StopBySystem();
  });

  std::string fatal;
  if (!form.FormCreate(&fatal)) {
    form.ReportError(fatal + " The driver does not start.");
    return 1;
  }
  form.SetForms(&passwordForm, &noticeForm);
  form.show();
  tessar::platform::NotifyServiceManager("READY=1");
  // The watchdog is pinged from the main thread's own timer: a main thread
  // that stops turning stops the pings, and the service manager restarts it.
  QTimer watchdog;
  if (const int ping = tessar::platform::WatchdogPingMs(); ping > 0) {
    QObject::connect(&watchdog, &QTimer::timeout,
                     [] { tessar::platform::NotifyServiceManager("WATCHDOG=1"); });
    watchdog.start(ping);
  }
  return application.exec();
}
