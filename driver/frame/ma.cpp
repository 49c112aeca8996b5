#include "frame/ma.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImage>
#include <QMessageBox>
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
  auto* ports = new QComboBox(group);
  ports->setObjectName("AdvOfficeComboBox1");
  ports->setEnabled(false);
  AdvGlowButton2 = new QPushButton(Text(texts::kStop), group);
  AdvGlowButton2->setObjectName("AdvGlowButton2");
  AdvGlowButton1 = new QPushButton(Text(texts::kRescan), group);
  AdvGlowButton1->setObjectName("AdvGlowButton1");
  auto* row = new QHBoxLayout(group);
  row->addWidget(ports);
  row->addWidget(AdvGlowButton2);
  row->addWidget(AdvGlowButton1);
  auto* layout = new QVBoxLayout(pageSetup);
  layout->addWidget(group);
  layout->addStretch();
  Notebook1->addWidget(pageSetup);
}

bool TForm1::FormCreate(std::string* fatal) {
  if (!core_.Start(fatal))
    return false;
  Label20->setText(QString::fromStdString(core_.ClosingPassword()));
  Label4->setText(QString::fromStdString(core_.ConfiguredPortName()));
  Label18->setText(QString::fromStdString(StartTimeText(core_.StartTime())));
  Timer3->start();
  Notebook1->setCurrentWidget(pageDefault);
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
