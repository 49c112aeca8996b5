// The window classes on the offscreen platform: the indicator pictures, the
// password gate's three results and the notice layout.
#include <gtest/gtest.h>

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
    std::ofstream(home_ / "tessard.ini") << "[main]\nComPort=COM3\n[ServerHost]\nPort=1\n";
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
    return s;
  }

  testing::FakeReceiver receiver_;
  fs::path home_;
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

TEST_F(WindowTest, ClosingIsGuardedByTheClosingPassword) {
  TForm1::Settings settings = Settings();
  settings.interactive = true;
  TForm1 form(platform::SystemClock(), settings);
  TForm2 passwordForm(&form);
  Tadvsm noticeForm(&form);
  std::string fatal;
  ASSERT_TRUE(form.FormCreate(&fatal)) << fatal;
  form.SetForms(&passwordForm, &noticeForm);
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

}  // namespace
}  // namespace tessar

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
