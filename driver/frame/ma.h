// TForm1, the main window: it owns the driver core, shows what the core
// reports on the page "Default", runs the two timers and guards closing with
// the closing password. Widgets and wiring only; what the driver does lives
// in DriverCore.
#pragma once

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTimer>
#include <memory>
#include <optional>
#include <string>

#include "frame/driver_core.h"
#include "platform/wake_signal.h"

class QSocketNotifier;

namespace tessar {

class TForm2;
class Tadvsm;

class TForm1 : public QMainWindow, public CoreWindow {
 public:
  struct Settings {
    DriverCore::Options core;
    // Message boxes and notices only at a desktop; offscreen they go to
    // standard error, as nobody could close them.
    bool interactive = true;
    // Whether the desktop shows tray icons; none given: ask the desktop.
    std::optional<bool> trayAvailable;
  };

  TForm1(const platform::Clock& clock, Settings settings, QWidget* parent = nullptr);
  ~TForm1() override;

  // FormCreate: the start-up sequence. False when the driver must not run.
  bool FormCreate(std::string* fatal);
  // The stopping steps without the password, when the system asks (a signal).
  void StopBySystem();

  void SetForms(TForm2* passwordForm, Tadvsm* noticeForm);
  // Shows `text` in the message form and waits until it is closed.
  void ShowNotice(const std::string& text);

  DriverCore& Core() { return core_; }

  // CoreWindow
  void ShowCounters(int32_t messages, int32_t duplicates) override;
  void DrawStationIndicator(const IndicatorPixels& pixels) override;
  void DrawServerIndicator(const IndicatorPixels& pixels) override;
  void ReportError(const std::string& text) override;
  void SetElapsedText(const std::string& text) override;
  void ShowConnectionLog(const std::vector<std::string>& lines) override;

  QStackedWidget* Notebook1;
  QWidget* pageDefault;
  QWidget* pageSetup;
  QPushButton* AdvGlowButton28;
  QPushButton* AdvGlowButton47;
  QLabel* Image2;
  QLabel* Image3;
  QLabel* Label2;
  QLabel* Label4;
  QLabel* Label5;
  QLabel* Label18;
  QLabel* Label20;
  QLabel* Label21;
  QPlainTextEdit* Memo1;
  QPushButton* AdvGlowButton1;
  QPushButton* AdvGlowButton2;
  QTimer* Timer1;
  QTimer* Timer3;
  QComboBox* AdvOfficeComboBox1;
  QSystemTrayIcon* RxTrayIcon1;
  QMenu* PopupMenu1;
  QAction* N4;  // "Восстановить"
  QAction* N6;  // "Закрыть"

  // The setup page's port commands, the minimise to tray and the tray menu.
  void AdvGlowButton2Click();
  void AdvGlowButton1Click();
  void AdvOfficeComboBox1Select();
  void ApplicationEvents1Minimize();
  void N4Click();
  void N6Click();
  // True when minimising hides the window behind the tray icon.
  bool MinimisesToTray() const { return trayAvailable_; }

 protected:
  // FormClose: the guarded shutdown.
  void closeEvent(QCloseEvent* event) override;
  // Minimising, for ApplicationEvents1Minimize.
  void changeEvent(QEvent* event) override;

 private:
  void BuildPageDefault();
  void BuildPageSetup();
  void FinishClosing();
  void BuildTrayIcon();
  DriverCore::PortOperator PortOperator();
  void ShowPortState();

  Settings settings_;
  // The session thread asks for its window calls through this signal, which
  // the event loop watches: no toolkit call is made from another thread.
  platform::WakeSignal handOffWake_;
  DriverCore core_;
  QSocketNotifier* handOffNotifier_ = nullptr;
  TForm2* passwordForm_ = nullptr;
  Tadvsm* noticeForm_ = nullptr;
  bool closing_ = false;
  bool trayAvailable_ = false;
};

// The driver's icon: window, tray and desktop entry.
QIcon DriverIcon();

// A 16x16 indicator as the picture a label shows.
QPixmap IndicatorPixmap(const IndicatorPixels& pixels);

}  // namespace tessar
