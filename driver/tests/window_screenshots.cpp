// Pictures of the main window's two pages for the README: the window as it
// starts, over a fake receiver with its link up, in a temporary home.
//   window_screenshots <directory>   writes tessard-default.png, tessard-setup.png
// Under an X server (Xvfb) the pictures are taken from the screen; on the
// offscreen platform the window paints itself into them.
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QScreen>
#include <QThread>
#include <QWindow>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "fake_receiver.h"
#include "frame/admshowmes.h"
#include "frame/ma.h"
#include "frame/pasx.h"

namespace {

namespace fs = std::filesystem;

// Lets the window be drawn and shown on the screen.
void Settle(int ms) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(10);
  }
}

bool Picture(tessar::TForm1& form, const fs::path& file) {
  Settle(400);
  QPixmap picture;
  if (QGuiApplication::platformName() != "offscreen" && form.windowHandle() != nullptr)
    picture = form.windowHandle()->screen()->grabWindow(form.winId());
  if (picture.isNull())
    picture = form.grab();
  return picture.save(QString::fromStdString(file.string()), "PNG");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
    return 2;
  }
  const fs::path out = fs::absolute(argv[1]);
  QApplication application(argc, argv);
  const fs::path home = fs::temp_directory_path() / ("tessard-shots-" + std::to_string(getpid()));
  fs::create_directories(home);
  // No server listens on port 1: the server link shows red, as it would
  // before the message server is reached.
  std::ofstream(home / "tessard.ini") << "[main]\nComPort=COM3\n[ServerHost]\nPort=1\n";

  tessar::testing::FakeReceiver receiver;
  receiver.activity = 1;
  tessar::TForm1::Settings settings;
  settings.interactive = false;
  settings.trayAvailable = false;
  settings.core.receiver = &receiver;
  settings.core.configurationPath = (home / "tessard.ini").string();
  settings.core.zoneFile = (home / "sost.mem").string();
  settings.core.zntlogDirectory = (home / "zntlog").string();
  settings.core.session.startDirectory = home.string() + "/";
  bool ok = false;
  {
    tessar::TForm1 form(tessar::platform::SystemClock(), settings);
    std::string fatal;
    if (!form.FormCreate(&fatal)) {
      std::fprintf(stderr, "%s\n", fatal.c_str());
      return 1;
    }
    form.show();
    form.Core().Timer3Timer();
    form.Core().Timer1Timer();
    ok = Picture(form, out / "tessard-default.png");
    form.AdvGlowButton47->click();
    form.AdvOfficeComboBox1->addItem("COM1");
    form.AdvOfficeComboBox1->addItem("COM3");
    ok = Picture(form, out / "tessard-setup.png") && ok;
    form.StopBySystem();
  }
  fs::remove_all(home);
  if (!ok)
    std::fprintf(stderr, "the pictures could not be written to %s\n", out.string().c_str());
  return ok ? 0 : 1;
}
