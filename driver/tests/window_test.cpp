// The window classes on the offscreen platform: the indicator pictures, the
// password gate's three results, the notice layout, the receiver port's stop
// and start, the port scan over pseudo-terminals, and minimising.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QImage>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "fake_receiver.h"
#include "frame/admshowmes.h"
#include "frame/ma.h"
#include "frame/operator_texts.h"
#include "frame/password_gate.h"
#include "frame/pasx.h"
#include "netlink/packets.h"
#include "test_support.h"

namespace tessar {
namespace {

namespace fs = std::filesystem;

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::temp_directory_path() / ("tessard-window-" + std::to_string(::getpid()));
    fs::remove_all(home_);
    fs::create_directories(home_);
    // A server port nobody listens on: the session thread only tries.
    tcpPort_ = std::to_string(testing::FreePort());
    std::ofstream(home_ / "tessard.ini")
        << "[main]\nComPort=COM3\nTcpPort=" << tcpPort_ << "\n[ServerHost]\nPort=1\n";
  }
  void TearDown() override { fs::remove_all(home_); }

  TForm1::Settings Settings() {
    TForm1::Settings s;
    s.interactive = false;
    s.core.receiver = &receiver_;
    s.core.configurationPath = (home_ / "tessard.ini").string();
    s.core.zoneFile = (home_ / "sost.mem").string();
    s.core.session.startDirectory = home_.string() + "/";
    s.core.passwordSeed = 7;
    s.core.zntlogDirectory = (home_ / "zntlog").string();
    s.core.watchPortPosts = [this](int32_t code, const Bytes& payload) {
      posted_.push_back({code, payload});
    };
    return s;
  }

  struct Posted {
    int32_t code;
    Bytes payload;
    bool operator==(const Posted&) const = default;
  };
  static Posted PortState(const std::string& portText, uint8_t state) {
    return {CMD_PORT_STATE, PortStatePayload(portText, state)};
  }

  testing::FakeReceiver receiver_;
  fs::path home_;
  std::string tcpPort_;
  std::vector<Posted> posted_;
};

void ExpectPicture(const QLabel* label, const IndicatorPixels& pixels, const char* name) {
  const QImage image = label->pixmap().toImage();
  ASSERT_EQ(image.width(), kIndicatorSize) << name;
  ASSERT_EQ(image.height(), kIndicatorSize) << name;
  for (int y = 0; y < kIndicatorSize; ++y) {
    for (int x = 0; x < kIndicatorSize; ++x) {
      ASSERT_EQ(image.pixel(x, y) & 0xFFFFFFu, pixels[static_cast<size_t>(y * kIndicatorSize + x)])
          << name << " at " << x << "," << y;
    }
  }
}

TEST_F(WindowTest, StartUpShowsWhatTheCoreReports) {
  TForm1 form(platform::SystemClock(), Settings());
  std::string fatal;
  ASSERT_TRUE(form.FormCreate(&fatal)) << fatal;
  EXPECT_EQ(form.Label4->text().toStdString(), "COM3");
  EXPECT_EQ(form.Label20->text().toStdString(), form.Core().ClosingPassword());
  EXPECT_EQ(form.Label2->text().toStdString(), "0");
  EXPECT_EQ(form.Label21->text().toStdString(), texts::kElapsedBefore);
  EXPECT_EQ(form.Notebook1->currentWidget()->objectName().toStdString(), "Default");
  EXPECT_EQ(receiver_.openedPorts, (std::vector<int>{3}));
  EXPECT_TRUE(form.Timer3->isActive());
  EXPECT_TRUE(form.Timer1->isActive());
  // The server-link picture is drawn at start, red: no server yet.
  ExpectPicture(form.Image3, DrawIndicator(false, 0), "Image3");
}

TEST_F(WindowTest, IndicatorPictures) {
  TForm1 form(platform::SystemClock(), Settings());
  struct Case {
    bool up;
    int frame;
  } cases[] = {{true, 0}, {false, 5}, {true, 13}, {false, 16}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame);
    form.DrawStationIndicator(DrawIndicator(c.up, c.frame));
    ExpectPicture(form.Image2, DrawIndicator(c.up, c.frame), "Image2");
    form.DrawServerIndicator(DrawIndicator(!c.up, c.frame));
    ExpectPicture(form.Image3, DrawIndicator(!c.up, c.frame), "Image3");
  }
  // Spot checks of the picture itself: c = 13 puts the bar at 13 and 1.
  const QImage image = IndicatorPixmap(DrawIndicator(true, 13)).toImage();
  EXPECT_EQ(image.pixel(13, 8) & 0xFFFFFFu, kIndicatorUp);
  EXPECT_EQ(image.pixel(1, 8) & 0xFFFFFFu, kIndicatorUp);
  EXPECT_EQ(image.pixel(12, 8) & 0xFFFFFFu, kIndicatorWhite);
  EXPECT_EQ(image.pixel(2, 8) & 0xFFFFFFu, kIndicatorWhite);
}

// Answers the modal forms as an operator would: each step runs once its form
// is the active modal one.
class Operator {
 public:
  explicit Operator(std::vector<std::function<bool(QWidget*)>> steps) : steps_(std::move(steps)) {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal != nullptr && next_ < steps_.size() && steps_[next_](modal))
        ++next_;
    });
    timer_.start();
  }
  bool Done() const { return next_ == steps_.size(); }

 private:
  std::vector<std::function<bool(QWidget*)>> steps_;
  size_t next_ = 0;
  QTimer timer_;
};

std::function<bool(QWidget*)> TypePassword(const std::string& text, bool cancel = false) {
  return [text, cancel](QWidget* modal) {
    auto* form = dynamic_cast<TForm2*>(modal);
    if (form == nullptr)
      return false;
    form->MaskEdit1->setText(QString::fromStdString(text));
    (cancel ? form->BitBtn2 : form->BitBtn1)->click();
    return true;
  };
}

// The main window with its password and message forms, started as the
// program starts them; the forms go first, the main window is their parent.
struct StartedWindow {
  explicit StartedWindow(const TForm1::Settings& settings)
      : form(platform::SystemClock(), settings), passwordForm(&form), noticeForm(&form) {
    started = form.FormCreate(&fatal);
    form.SetForms(&passwordForm, &noticeForm);
  }
  TForm1 form;
  TForm2 passwordForm;
  Tadvsm noticeForm;
  bool started = false;
  std::string fatal;
};

TEST_F(WindowTest, ClosingIsGuardedByTheClosingPassword) {
  TForm1::Settings settings = Settings();
  settings.interactive = true;
  StartedWindow window(settings);
  ASSERT_TRUE(window.started) << window.fatal;
  TForm1& form = window.form;
  form.show();
  const std::string password = form.Core().ClosingPassword();

  std::string notice;
  {
    Operator wrong({TypePassword("00000"), [&](QWidget* modal) {
                      auto* shown = dynamic_cast<Tadvsm*>(modal);
                      if (shown == nullptr)
                        return false;
                      notice = shown->label1->text().toStdString();
                      shown->Button1->click();
                      return true;
                    }});
    EXPECT_FALSE(form.close());
    EXPECT_TRUE(wrong.Done());
  }
  EXPECT_EQ(notice, texts::kWrongPassword);
  EXPECT_TRUE(form.Timer3->isActive()) << "the driver goes on";
  {
    Operator cancel({TypePassword("", true)});
    EXPECT_FALSE(form.close());
    EXPECT_TRUE(cancel.Done());
  }
  EXPECT_TRUE(receiver_.closed.empty());
  {
    Operator right({TypePassword(password)});
    EXPECT_TRUE(form.close());
    EXPECT_TRUE(right.Done());
  }
  EXPECT_FALSE(form.Timer3->isActive());
  EXPECT_EQ(receiver_.closed, (std::vector<CommSession*>{testing::FakeReceiver::Handle()}));
}

TEST(PasswordForm, ThreeResults) {
  TForm2 form;
  form.SetClosingPassword("48213");
  EXPECT_EQ(form.windowTitle().toStdString(), texts::kPasswordCaption);
  struct Case {
    const char* typed;
    int result;
  } cases[] = {
      {"48213", kGateAccepted}, {"48212", kGateWrong}, {"4821", kGateWrong}, {"", kGateWrong}};
  for (const Case& c : cases) {
    form.MaskEdit1->setText(c.typed);
    form.BitBtn1->click();
    EXPECT_EQ(form.result(), c.result) << "'" << c.typed << "'";
  }
  form.BitBtn2->click();
  EXPECT_EQ(form.result(), kGateCancelled);
  form.setResult(0);
  form.reject();  // the form's close button
  EXPECT_EQ(form.result(), kGateCancelled);
  // The entry keeps its text for the next use.
  EXPECT_EQ(form.MaskEdit1->text().toStdString(), "");
  form.MaskEdit1->setText("99999");
  form.BitBtn1->click();
  EXPECT_EQ(form.MaskEdit1->text().toStdString(), "99999");
}

TEST(NoticeForm, IsTenPixelsWideACharacterWithTheButtonCentred) {
  Tadvsm form;
  struct Case {
    const char* text;
    int width;
    int buttonLeft;
  } cases[] = {{texts::kAccessDenied, 390, 159}, {texts::kWrongPassword, 210, 69}};
  for (const Case& c : cases) {
    form.Prepare(c.text);
    EXPECT_EQ(form.width(), c.width) << c.text;
    EXPECT_EQ(form.Button1->x(), c.buttonLeft) << c.text;
    EXPECT_EQ(form.Button1->width(), 72);
    EXPECT_EQ(form.label1->width(), c.width);
    EXPECT_EQ(form.label1->x(), 2);
    EXPECT_EQ(form.label1->text().toStdString(), c.text);
  }
  EXPECT_EQ(form.label1->font().pixelSize(), 16);
  EXPECT_TRUE(form.label1->font().bold());
}

// Closes every notice that appears and keeps its text.
class NoticeWatcher {
 public:
  NoticeWatcher() {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (auto* shown = dynamic_cast<Tadvsm*>(QApplication::activeModalWidget())) {
        notices.push_back(shown->label1->text().toStdString());
        shown->Button1->click();
      }
    });
    timer_.start();
  }
  std::vector<std::string> notices;

 private:
  QTimer timer_;
};

class PortPageTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    TForm1::Settings settings = Settings();
    settings.interactive = true;
    settings.trayAvailable = false;
    window_ = std::make_unique<StartedWindow>(settings);
    ASSERT_TRUE(window_->started) << window_->fatal;
    form_ = &window_->form;
    form_->show();
  }
  void TearDown() override {
    DestroyWindow();
    WindowTest::TearDown();
  }
  void DestroyWindow() {
    form_ = nullptr;
    window_.reset();
  }

  // Presses the stop/start button, the operator typing `password` when the
  // form asks (cancelling when `cancel`); the notices shown.
  std::vector<std::string> PressStopStart(const std::string& password = "", bool cancel = false) {
    NoticeWatcher watcher;
    if (form_->AdvGlowButton2->text().toStdString() == texts::kStop) {
      Operator op({TypePassword(password, cancel)});
      form_->AdvGlowButton2->click();
      EXPECT_TRUE(op.Done()) << "the password form was shown";
    } else {
      form_->AdvGlowButton2->click();
    }
    return watcher.notices;
  }
  // The link as the supervision cycle last saw it.
  void SuperviseWithActivity(int activity) {
    receiver_.activity = activity;
    form_->Core().Timer3Timer();
  }
  void ExpectPage(const char* caption, bool listEnabled, bool rescanEnabled, const char* step) {
    EXPECT_EQ(form_->AdvGlowButton2->text().toStdString(), caption) << step;
    EXPECT_EQ(form_->AdvOfficeComboBox1->isEnabled(), listEnabled) << step;
    EXPECT_EQ(form_->AdvGlowButton1->isEnabled(), rescanEnabled) << step;
  }
  std::string Password() const { return form_->Core().ClosingPassword(); }

  std::unique_ptr<StartedWindow> window_;
  TForm1* form_ = nullptr;
};

TEST_F(PortPageTest, StopNeedsTheClosingPasswordAndStartDoesNot) {
  ExpectPage(texts::kStop, false, true, "at start");
  SuperviseWithActivity(1);

  // A wrong password: the notice, the port keeps running, the state posted.
  EXPECT_EQ(PressStopStart("00000"), (std::vector<std::string>{texts::kAccessDenied}));
  ExpectPage(texts::kStop, false, true, "after a wrong password");
  EXPECT_TRUE(receiver_.closed.empty());
  // Cancel: nothing shown, nothing changed, the state posted all the same.
  EXPECT_TRUE(PressStopStart("", true).empty());
  ExpectPage(texts::kStop, false, true, "after cancel");
  EXPECT_TRUE(receiver_.closed.empty());
  EXPECT_EQ(posted_, (std::vector<Posted>{PortState("3", 1), PortState("3", 1)}));

  // The right password: the session closes and the page offers the list; the
  // state posted is the one the supervision cycle saw last.
  posted_.clear();
  EXPECT_TRUE(PressStopStart(Password()).empty());
  ExpectPage(texts::kStart, true, true, "after the stop");
  EXPECT_EQ(receiver_.closed, (std::vector<CommSession*>{testing::FakeReceiver::Handle()}));
  EXPECT_EQ(form_->Core().Session(), nullptr);
  EXPECT_EQ(posted_, (std::vector<Posted>{PortState("3", 1)}));

  // A start with nothing in the list: a notice, the port stays stopped.
  posted_.clear();
  EXPECT_EQ(PressStopStart(), (std::vector<std::string>{texts::kNoPortToStart}));
  ExpectPage(texts::kStart, true, true, "after a start without a port");
  EXPECT_EQ(receiver_.openedPorts, (std::vector<int>{3}));

  // A start opens the port the list shows, without a password.
  form_->AdvOfficeComboBox1->addItem("COM7");
  SuperviseWithActivity(0);
  EXPECT_TRUE(PressStopStart().empty());
  ExpectPage(texts::kStop, false, false, "after the start");
  EXPECT_EQ(receiver_.openedPorts, (std::vector<int>{3, 7}));
  EXPECT_EQ(form_->Core().Session(), testing::FakeReceiver::Handle());
  EXPECT_EQ(form_->Core().State().PortText(), "7");
  EXPECT_EQ(posted_, (std::vector<Posted>{PortState("3", 1), PortState("7", 0)}));
}

TEST_F(PortPageTest, AStopWhileTheLinkIsDownStillClosesTheSession) {
  SuperviseWithActivity(0);
  ASSERT_EQ(form_->Core().State().ReceiverLinkState(), 0);
  EXPECT_TRUE(PressStopStart(Password()).empty());
  EXPECT_EQ(receiver_.closed, (std::vector<CommSession*>{testing::FakeReceiver::Handle()}));
  // A second close at shutdown would reach a session already closed.
  DestroyWindow();
  EXPECT_EQ(receiver_.closed.size(), 1u) << "closed once";
}

// A pseudo-terminal whose other end this test keeps open, as a serial port.
struct Terminal {
  Terminal() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
      path = ptsname(master);
  }
  ~Terminal() {
    if (master >= 0)
      close(master);
  }
  int master = -1;
  std::string path;
};

// Another process that holds a port, as a running program would.
class Holder {
 public:
  explicit Holder(const std::string& path) {
    int ready[2];
    if (pipe(ready) != 0)
      return;
    pid_ = fork();
    if (pid_ == 0) {
      const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      const char held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
      (void)!write(ready[1], &held, 1);
      for (;;)
        pause();
    }
    close(ready[1]);
    char held = 'n';
    held_ = read(ready[0], &held, 1) == 1 && held == 'y';
    close(ready[0]);
  }
  ~Holder() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool Held() const { return held_; }

 private:
  pid_t pid_ = -1;
  bool held_ = false;
};

std::vector<std::string> ListTexts(const QComboBox* list) {
  std::vector<std::string> texts;
  for (int i = 0; i < list->count(); ++i)
    texts.push_back(list->itemText(i).toStdString());
  return texts;
}

std::string ComPortIn(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("ComPort=", 0) == 0)
      return line.substr(8);
  return {};
}

TEST_F(PortPageTest, TheScanListsExactlyThePortsThatCanBeOpened) {
  const fs::path zntlog = home_ / "zntlog";
  fs::create_directories(zntlog);
  Terminal free2, held5, free9;
  ASSERT_FALSE(free2.path.empty());
  ASSERT_FALSE(held5.path.empty());
  ASSERT_FALSE(free9.path.empty());
  fs::create_symlink(free2.path, zntlog / "COM2");
  fs::create_symlink(held5.path, zntlog / "COM5");
  fs::create_symlink(free9.path, zntlog / "COM9");
  // A link to nothing is a port that cannot be opened.
  fs::create_symlink(home_ / "absent", zntlog / "COM4");
  Holder holder(held5.path);
  ASSERT_TRUE(holder.Held());

  // The linked ports as the scan finds them; the others are this computer's
  // own /dev/ttyS devices, which are whatever they are here.
  auto linkedEntries = [&] {
    std::vector<std::string> linked;
    for (const std::string& name : ListTexts(form_->AdvOfficeComboBox1))
      if (name == "COM2" || name == "COM4" || name == "COM5" || name == "COM9")
        linked.push_back(name);
    return linked;
  };

  // While the port runs the scan only refreshes the list.
  form_->AdvGlowButton1->click();
  EXPECT_EQ(linkedEntries(), (std::vector<std::string>{"COM2", "COM9"}));
  EXPECT_EQ(ComPortIn(home_ / "tessard.ini"), "COM3");
  EXPECT_TRUE(posted_.empty());
  for (int i = 0; i < form_->AdvOfficeComboBox1->count(); ++i) {
    const std::string name = form_->AdvOfficeComboBox1->itemText(i).toStdString();
    const std::string tip =
        form_->AdvOfficeComboBox1->itemData(i, Qt::ToolTipRole).toString().toStdString();
    if (name == "COM2") {
      EXPECT_EQ(tip, (zntlog / "COM2").string() + " -> " + free2.path);
    } else if (name != "COM9") {
      EXPECT_EQ(tip, "/dev/ttyS" + std::to_string(std::stoi(name.substr(3)) - 1)) << name;
    }
  }
  // The probe leaves no exclusive mode behind for the library's open.
  for (const Terminal* t : {&free2, &free9}) {
    const int fd = open(t->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << t->path;
    int exclusive = -1;
    ASSERT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << t->path;
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << t->path;
    close(fd);
  }

  // Stopped, the scan selects the first entry and makes it the port.
  SuperviseWithActivity(1);
  ASSERT_TRUE(PressStopStart(Password()).empty());
  posted_.clear();
  form_->AdvGlowButton1->click();
  const std::string first = form_->AdvOfficeComboBox1->itemText(0).toStdString();
  EXPECT_EQ(form_->AdvOfficeComboBox1->currentIndex(), 0);
  EXPECT_EQ(ComPortIn(home_ / "tessard.ini"), first);
  EXPECT_EQ(posted_, (std::vector<Posted>{PortState(first.substr(3), 1)}))
      << "the state the supervision cycle saw last";
  EXPECT_EQ(form_->Core().State().PortText(), first.substr(3));

  // Choosing COM9 from the list: ComPort becomes COM9, the rest of the file stays.
  posted_.clear();
  form_->AdvOfficeComboBox1->setCurrentText("COM9");
  form_->AdvOfficeComboBox1Select();
  EXPECT_EQ(ComPortIn(home_ / "tessard.ini"), "COM9");
  std::ifstream in(home_ / "tessard.ini");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "[main]\nComPort=COM9\nTcpPort=" + tcpPort_ + "\n[ServerHost]\nPort=1\n");
  EXPECT_EQ(posted_, (std::vector<Posted>{PortState("9", 1)}));
  EXPECT_TRUE(PressStopStart().empty());
  EXPECT_EQ(receiver_.openedPorts, (std::vector<int>{3, 9}));
}

TEST_F(PortPageTest, ASelectionThatCannotBeWrittenChangesNothing) {
  SuperviseWithActivity(0);
  ASSERT_TRUE(PressStopStart(Password()).empty());
  posted_.clear();
  // The configuration file is a directory: nothing can be written.
  fs::remove(home_ / "tessard.ini");
  fs::create_directories(home_ / "tessard.ini");
  form_->AdvOfficeComboBox1->addItem("COM6");
  form_->AdvOfficeComboBox1Select();
  EXPECT_TRUE(posted_.empty());
  EXPECT_EQ(form_->Core().State().PortText(), "3");
  // An empty list names no port: nothing is written either.
  fs::remove_all(home_ / "tessard.ini");
  form_->AdvOfficeComboBox1->clear();
  form_->AdvOfficeComboBox1Select();
  EXPECT_FALSE(fs::exists(home_ / "tessard.ini"));
  EXPECT_TRUE(posted_.empty());
}

TEST_F(WindowTest, MinimisingHidesTheWindowOnlyWhereATrayShowsTheIcon) {
  for (const bool tray : {false, true}) {
    SCOPED_TRACE(tray ? "with a tray" : "without a tray");
    TForm1::Settings settings = Settings();
    settings.interactive = true;
    settings.trayAvailable = tray;
    StartedWindow window(settings);
    ASSERT_TRUE(window.started) << window.fatal;
    TForm1& form = window.form;
    EXPECT_EQ(form.RxTrayIcon1->toolTip().toStdString(), texts::kMainCaption);
    const QList<QAction*> items = form.RxTrayIcon1->contextMenu()->actions();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0]->text().toStdString(), texts::kTrayRestore);
    EXPECT_TRUE(items[1]->isSeparator());
    EXPECT_EQ(items[2]->text().toStdString(), texts::kTrayClose);

    form.show();
    form.showMinimized();
    QApplication::processEvents();
    EXPECT_EQ(form.isVisible(), !tray);
    EXPECT_TRUE(form.isMinimized() || tray);

    form.N4->trigger();
    QApplication::processEvents();
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(form.isMinimized());

    // "Закрыть" asks for the password, here while minimised to the tray.
    form.showMinimized();
    QApplication::processEvents();
    {
      Operator cancel({TypePassword("", true)});
      form.N6->trigger();
      EXPECT_TRUE(cancel.Done());
    }
    EXPECT_TRUE(form.Timer3->isActive()) << "cancelled: the driver goes on";
    {
      Operator right({TypePassword(form.Core().ClosingPassword())});
      form.N6->trigger();
      EXPECT_TRUE(right.Done());
    }
    EXPECT_FALSE(form.Timer3->isActive());
  }
}

}  // namespace
}  // namespace tessar

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
