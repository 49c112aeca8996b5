#include "frame/ma.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImage>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QSocketNotifier>
#include <QVBoxLayout>

#include "frame/admshowmes.h"
#include "frame/operator_texts.h"
#include "frame/password_gate.h"
#include "frame/pasx.h"
#include "netlink/connection_log.h"
#include "platform/service_log.h"

namespace tessar {
namespace {

constexpr int kWindowWidth = 520;
constexpr int kWindowHeight = 430;
constexpr int kDecodingCycleMs = 200;
constexpr int kSupervisionCycleMs = 500;

QString Text(const char* utf8) {
  return QString::fromUtf8(utf8);
}

QLabel* Caption(const char* text, QWidget* parent) {
  return new QLabel(Text(text), parent);
}

// The start time in the short date and long time of the connection log.
std::string StartTimeText(const platform::LocalTime& time) {
  std::string line = ConnectionLog::FormatLine(time, "");
  while (!line.empty() && line.back() == ' ')
    line.pop_back();
  return line;
}

}  // namespace

QPixmap IndicatorPixmap(const IndicatorPixels& pixels) {
  QImage image(kIndicatorSize, kIndicatorSize, QImage::Format_RGB32);
  for (int y = 0; y < kIndicatorSize; ++y) {
    for (int x = 0; x < kIndicatorSize; ++x)
      image.setPixel(x, y, 0xFF000000u | pixels[static_cast<size_t>(y * kIndicatorSize + x)]);
  }
  return QPixmap::fromImage(image);
}

TForm1::TForm1(const platform::Clock& clock, Settings settings, QWidget* parent)
    : QMainWindow(parent), settings_(std::move(settings)), core_(*this, clock, [this] {
        DriverCore::Options options = settings_.core;
        options.wakeWindowThread = [this] { handOffWake_.Set(); };
        return options;
      }()) {
  // The session thread's window calls run on this thread.
  handOffNotifier_ = new QSocketNotifier(handOffWake_.Descriptor(), QSocketNotifier::Read, this);
  connect(handOffNotifier_, &QSocketNotifier::activated, this, [this] {
    handOffWake_.Reset();
    core_.RunHandOffs();
  });
  setObjectName("Form1");
  setWindowTitle(Text(texts::kMainCaption));
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  auto* band = new QLabel(Text(texts::kTitleBand), central);
  band->setObjectName("TitleBand");
  QFont bandFont = band->font();
  bandFont.setBold(true);
  bandFont.setPointSize(bandFont.pointSize() + 2);
  band->setFont(bandFont);
  layout->addWidget(band);

  auto* toolbars = new QHBoxLayout;
  auto* statusGroup = new QGroupBox(Text(texts::kStatusToolbar), central);
  auto* settingsGroup = new QGroupBox(Text(texts::kSettingsToolbar), central);
  AdvGlowButton28 = new QPushButton(Text(texts::kStatusToolbar), statusGroup);
  AdvGlowButton28->setObjectName("AdvGlowButton28");
  AdvGlowButton28->setCheckable(true);
  AdvGlowButton28->setChecked(true);
  AdvGlowButton47 = new QPushButton(Text(texts::kSettingsToolbar), settingsGroup);
  AdvGlowButton47->setObjectName("AdvGlowButton47");
  AdvGlowButton47->setCheckable(true);
  (new QHBoxLayout(statusGroup))->addWidget(AdvGlowButton28);
  (new QHBoxLayout(settingsGroup))->addWidget(AdvGlowButton47);
  toolbars->addWidget(statusGroup);
  toolbars->addWidget(settingsGroup);
  toolbars->addStretch();
  layout->addLayout(toolbars);

  Notebook1 = new QStackedWidget(central);
  Notebook1->setObjectName("Notebook1");
  BuildPageDefault();
  BuildPageSetup();
  layout->addWidget(Notebook1);
  setCentralWidget(central);
  setWindowIcon(DriverIcon());
  BuildTrayIcon();
  connect(AdvGlowButton28, &QPushButton::clicked, this, [this] {
    Notebook1->setCurrentWidget(pageDefault);
    AdvGlowButton28->setChecked(true);
    AdvGlowButton47->setChecked(false);
  });
  connect(AdvGlowButton47, &QPushButton::clicked, this, [this] {
    Notebook1->setCurrentWidget(pageSetup);
    AdvGlowButton47->setChecked(true);
    AdvGlowButton28->setChecked(false);
  });

  setFixedSize(kWindowWidth, kWindowHeight);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(kWindowWidth / 2, kWindowHeight / 2));
  }

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(kDecodingCycleMs);
  connect(Timer1, &QTimer::timeout, this, [this] { core_.Timer1Timer(); });
  Timer3 = new QTimer(this);
  Timer3->setObjectName("Timer3");
  Timer3->setInterval(kSupervisionCycleMs);
  connect(Timer3, &QTimer::timeout, this, [this] { core_.Timer3Timer(); });
  // The decoding cycle runs from the moment the window exists; its first tick
  // comes once the event loop runs, after the start-up sequence.
  Timer1->start();
}

TForm1::~TForm1() {
  Timer1->stop();
  Timer3->stop();
  core_.Shutdown();
}

void TForm1::BuildPageDefault() {
  pageDefault = new QWidget(Notebook1);
  pageDefault->setObjectName("Default");
  auto* grid = new QGridLayout(pageDefault);
  Image2 = new QLabel(pageDefault);
  Image2->setObjectName("Image2");
  Image2->setFixedSize(kIndicatorSize, kIndicatorSize);
  Image3 = new QLabel(pageDefault);
  Image3->setObjectName("Image3");
  Image3->setFixedSize(kIndicatorSize, kIndicatorSize);
  auto label = [this](const char* name, const char* text) {
    auto* l = new QLabel(Text(text), pageDefault);
    l->setObjectName(name);
    return l;
  };
  Label18 = label("Label18", "");
  Label20 = label("Label20", "");
  Label21 = label("Label21", texts::kElapsedBefore);
  Label4 = label("Label4", texts::kPortBefore);
  Label2 = label("Label2", "0");
  Label5 = label("Label5", "0");
  Memo1 = new QPlainTextEdit(pageDefault);
  Memo1->setObjectName("Memo1");
  Memo1->setReadOnly(true);
  int row = 0;
  grid->addWidget(Caption(texts::kStationLink, pageDefault), row, 0);
  grid->addWidget(Image2, row, 1);
  grid->addWidget(Label21, row++, 2);
  grid->addWidget(Caption(texts::kStartTime, pageDefault), row, 0);
  grid->addWidget(Label18, row++, 1, 1, 2);
  grid->addWidget(Caption(texts::kClosingPassword, pageDefault), row, 0);
  grid->addWidget(Label20, row++, 1, 1, 2);
  grid->addWidget(Caption(texts::kServerLink, pageDefault), row, 0);
  grid->addWidget(Image3, row, 1);
  grid->addWidget(Label4, row++, 2);
  grid->addWidget(Caption(texts::kMessageCount, pageDefault), row, 0);
  grid->addWidget(Label2, row++, 1, 1, 2);
  grid->addWidget(Caption(texts::kDuplicateCount, pageDefault), row, 0);
  grid->addWidget(Label5, row++, 1, 1, 2);
  grid->addWidget(Memo1, row, 0, 1, 3);
  Notebook1->addWidget(pageDefault);
}

void TForm1::BuildPageSetup() {
  pageSetup = new QWidget(Notebook1);
  pageSetup->setObjectName("setup");
  auto* group = new QGroupBox(Text(texts::kPortGroup), pageSetup);
  AdvOfficeComboBox1 = new QComboBox(group);
  AdvOfficeComboBox1->setObjectName("AdvOfficeComboBox1");
  AdvOfficeComboBox1->setEnabled(false);
  AdvOfficeComboBox1->setMinimumWidth(120);
  AdvGlowButton2 = new QPushButton(Text(texts::kStop), group);
  AdvGlowButton2->setObjectName("AdvGlowButton2");
  AdvGlowButton1 = new QPushButton(Text(texts::kRescan), group);
  AdvGlowButton1->setObjectName("AdvGlowButton1");
  auto* row = new QHBoxLayout(group);
  row->addWidget(AdvOfficeComboBox1);
  row->addWidget(AdvGlowButton2);
  row->addWidget(AdvGlowButton1);
  auto* layout = new QVBoxLayout(pageSetup);
  layout->addWidget(group);
  layout->addStretch();
  Notebook1->addWidget(pageSetup);
  connect(AdvGlowButton2, &QPushButton::clicked, this, [this] { AdvGlowButton2Click(); });
  connect(AdvGlowButton1, &QPushButton::clicked, this, [this] { AdvGlowButton1Click(); });
  // Only the operator's choice runs the selection; the scan runs it itself.
  connect(AdvOfficeComboBox1, &QComboBox::activated, this, [this] { AdvOfficeComboBox1Select(); });
}

void TForm1::BuildTrayIcon() {
  trayAvailable_ = settings_.trayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable());
  RxTrayIcon1 = new QSystemTrayIcon(DriverIcon(), this);
  RxTrayIcon1->setObjectName("RxTrayIcon1");
  RxTrayIcon1->setToolTip(Text(texts::kMainCaption));
  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName("PopupMenu1");
  N4 = PopupMenu1->addAction(Text(texts::kTrayRestore));
  N4->setObjectName("N4");
  PopupMenu1->addSeparator();
  N6 = PopupMenu1->addAction(Text(texts::kTrayClose));
  N6->setObjectName("N6");
  connect(N4, &QAction::triggered, this, [this] { N4Click(); });
  connect(N6, &QAction::triggered, this, [this] { N6Click(); });
  RxTrayIcon1->setContextMenu(PopupMenu1);
}

DriverCore::PortOperator TForm1::PortOperator() {
  return {[this] {
            return passwordForm_ != nullptr && settings_.interactive ? passwordForm_->RunGate()
                                                                     : kGateCancelled;
          },
          [this](const std::string& text) { ShowNotice(text); }};
}

void TForm1::ShowPortState() {
  const bool running = core_.PortRunning();
  AdvGlowButton2->setText(Text(running ? texts::kStop : texts::kStart));
  AdvOfficeComboBox1->setEnabled(!running);
  AdvGlowButton1->setEnabled(!running);
}

void TForm1::AdvGlowButton2Click() {
  if (core_.PortRunning())
    core_.StopReceiverPort(PortOperator());
  else
    core_.StartReceiverPort(AdvOfficeComboBox1->currentText().toStdString(), PortOperator());
  // The caption follows the port only when it changed: a refused stop or start
  // leaves the page as it was.
  if (core_.PortRunning() != (AdvGlowButton2->text() == Text(texts::kStop)))
    ShowPortState();
}

void TForm1::AdvGlowButton1Click() {
  AdvOfficeComboBox1->clear();
  for (const ScannedPort& port : core_.ScanPorts()) {
    AdvOfficeComboBox1->addItem(QString::fromStdString(port.name));
    AdvOfficeComboBox1->setItemData(AdvOfficeComboBox1->count() - 1,
                                    QString::fromStdString(port.device), Qt::ToolTipRole);
  }
  if (AdvOfficeComboBox1->count() > 0)
    AdvOfficeComboBox1->setCurrentIndex(0);
  AdvOfficeComboBox1Select();
}

void TForm1::AdvOfficeComboBox1Select() {
  core_.SelectPort(AdvOfficeComboBox1->currentText().toStdString());
}

void TForm1::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized())
    ApplicationEvents1Minimize();
}

void TForm1::ApplicationEvents1Minimize() {
  // Without a tray the minimised window is the only way back: it stays.
  if (!trayAvailable_)
    return;
  // Hidden once the state change is over; the tray icon remains.
  QTimer::singleShot(0, this, [this] { hide(); });
}

void TForm1::N4Click() {
  setWindowState(windowState() & ~Qt::WindowMinimized);
  showNormal();
  raise();
  activateWindow();
}

void TForm1::N6Click() {
  // The guarded shutdown, with the password form even while the window is
  // hidden; a hidden window's close would not end the event loop by itself.
  if (close())
    QCoreApplication::quit();
}

QIcon DriverIcon() {
  QPixmap picture(64, 64);
  picture.fill(Qt::transparent);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x1f, 0x4e, 0x79));
  painter.drawRoundedRect(QRectF(2, 2, 60, 60), 10, 10);
  // A receiver's three signal bars beside the letter T.
  painter.setBrush(QColor(0x4c, 0xd1, 0x37));
  painter.drawRect(QRectF(42, 40, 6, 14));
  painter.drawRect(QRectF(50, 30, 6, 24));
  painter.setBrush(Qt::white);
  painter.drawRect(QRectF(10, 12, 30, 8));
  painter.drawRect(QRectF(21, 12, 8, 42));
  painter.end();
  return QIcon(picture);
}

bool TForm1::FormCreate(std::string* fatal) {
  if (!core_.Start(fatal))
    return false;
  Label20->setText(QString::fromStdString(core_.ClosingPassword()));
  Label4->setText(QString::fromStdString(core_.ConfiguredPortName()));
  Label18->setText(QString::fromStdString(StartTimeText(core_.StartTime())));
  Timer3->start();
  Notebook1->setCurrentWidget(pageDefault);
  // Present for as long as the driver runs, where the desktop has a tray.
  if (trayAvailable_ && QSystemTrayIcon::isSystemTrayAvailable())
    RxTrayIcon1->show();
  return true;
}

void TForm1::SetForms(TForm2* passwordForm, Tadvsm* noticeForm) {
  passwordForm_ = passwordForm;
  noticeForm_ = noticeForm;
  if (passwordForm_ != nullptr)
    passwordForm_->SetClosingPassword(core_.ClosingPassword());
}

void TForm1::ShowNotice(const std::string& text) {
  if (!settings_.interactive || noticeForm_ == nullptr) {
    platform::WriteServiceLine(platform::Severity::kWarning, text);
    return;
  }
  noticeForm_->Prepare(text);
  noticeForm_->exec();
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (closing_) {
    event->accept();
    return;
  }
  // Without an operator nobody can give the password; only the system's stop
  // request ends such a driver.
  const int result =
      passwordForm_ != nullptr && settings_.interactive ? passwordForm_->RunGate() : kGateCancelled;
  if (result != kGateAccepted) {
    event->ignore();
    if (result == kGateWrong)
      ShowNotice(texts::kWrongPassword);
    return;
  }
  FinishClosing();
  event->accept();
}

void TForm1::StopBySystem() {
  if (closing_)
    return;
  FinishClosing();
  close();
}

void TForm1::FinishClosing() {
  closing_ = true;
  Timer3->stop();
  core_.Shutdown();
  Timer1->stop();
}

void TForm1::ShowCounters(int32_t messages, int32_t duplicates) {
  Label2->setText(QString::number(messages));
  Label5->setText(QString::number(duplicates));
}

void TForm1::DrawStationIndicator(const IndicatorPixels& pixels) {
  Image2->setPixmap(IndicatorPixmap(pixels));
}

void TForm1::DrawServerIndicator(const IndicatorPixels& pixels) {
  Image3->setPixmap(IndicatorPixmap(pixels));
}

void TForm1::ReportError(const std::string& text) {
  platform::WriteServiceLine(platform::Severity::kError, text);
  if (settings_.interactive)
    QMessageBox::critical(this, Text(texts::kApplicationTitle), QString::fromStdString(text));
}

void TForm1::SetElapsedText(const std::string& text) {
  Label21->setText(QString::fromStdString(text));
}

void TForm1::ShowConnectionLog(const std::vector<std::string>& lines) {
  QString all;
  for (const std::string& line : lines) {
    if (!all.isEmpty())
      all += '\n';
    all += QString::fromStdString(line);
  }
  Memo1->setPlainText(all);
}

}  // namespace tessar
