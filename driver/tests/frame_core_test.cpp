// The frame's plain pieces: indicator pixels, the password gate and notice
// layout, the configuration and the port text.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "frame/configuration.h"
#include "frame/indicator.h"
#include "frame/password_gate.h"

namespace tessar {
namespace {

uint32_t At(const IndicatorPixels& p, int x, int y) {
  return p[static_cast<size_t>(y * kIndicatorSize + x)];
}

// The columns of the bar, read in its middle row (y 8), inside the outline.
std::set<int> BarColumns(const IndicatorPixels& p) {
  std::set<int> columns;
  for (int x = 1; x < 14; ++x) {
    if (At(p, x, 8) != kIndicatorWhite)
      columns.insert(x);
  }
  return columns;
}

TEST(Indicator, OutlineColourAndFrame) {
  for (bool up : {true, false}) {
    SCOPED_TRACE(up ? "up" : "down");
    const uint32_t colour = up ? kIndicatorUp : kIndicatorDown;
    const IndicatorPixels p = DrawIndicator(up, 6);
    // White outside the outline; the 2-pixel pen along y 2-3, 13-14 and x 0, 14-15.
    for (int x = 0; x < 16; ++x) {
      EXPECT_EQ(At(p, x, 0), kIndicatorWhite);
      EXPECT_EQ(At(p, x, 1), kIndicatorWhite);
      EXPECT_EQ(At(p, x, 15), kIndicatorWhite);
      for (int y : {2, 3, 13, 14})
        EXPECT_EQ(At(p, x, y), colour) << x << "," << y;
    }
    for (int y = 2; y <= 14; ++y) {
      for (int x : {0, 14, 15})
        EXPECT_EQ(At(p, x, y), colour) << x << "," << y;
    }
    EXPECT_EQ(At(p, 1, 4), kIndicatorWhite);
    // The bar: x 6 to 10, rows 5 to 11, nothing in rows 4 and 12.
    EXPECT_EQ(BarColumns(p), (std::set<int>{6, 7, 8, 9, 10}));
    for (int x = 6; x <= 10; ++x) {
      EXPECT_EQ(At(p, x, 4), kIndicatorWhite);
      EXPECT_EQ(At(p, x, 5), colour);
      EXPECT_EQ(At(p, x, 11), colour);
      EXPECT_EQ(At(p, x, 12), kIndicatorWhite);
    }
  }
}

TEST(Indicator, TheBarWrapsAtTheRightEdge) {
  struct Case {
    int frame;
    std::set<int> inside;  // bar columns between the outline's left and right edges
  } cases[] = {
      {0, {1, 2, 3, 4}},  // 0 lies on the outline
      {9, {9, 10, 11, 12, 13}},
      {13, {13, 1}},       // 13, 14, 15, 16, 1: 14 and 15 are the outline, 16 is outside
      {16, {1, 2, 3, 4}},  // 16, 1, 2, 3, 4
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BarColumns(DrawIndicator(true, c.frame)), c.inside) << "c = " << c.frame;
  }
  int frame = 0;
  for (int tick = 0; tick < 17; ++tick)
    frame = NextIndicatorFrame(frame);
  EXPECT_EQ(frame, 0) << "17 steps come back to 0";
}

TEST(PasswordGate, VerdictAndClosingPassword) {
  EXPECT_EQ(PasswordVerdict("48213", "48213"), kGateAccepted);
  EXPECT_EQ(PasswordVerdict("4821 ", "48213"), kGateWrong);
  EXPECT_EQ(PasswordVerdict("4821", "4821 "), kGateWrong);
  EXPECT_EQ(PasswordVerdict("", "48213"), kGateWrong);
  std::set<std::string> seen;
  for (uint64_t seed = 0; seed < 2000; ++seed) {
    const std::string password = DrawClosingPassword(seed);
    ASSERT_EQ(password.size(), 5u);
    const int value = std::stoi(password);
    ASSERT_GE(value, 10000);
    ASSERT_LE(value, 99998);
    seen.insert(password);
  }
  EXPECT_GT(seen.size(), 1900u) << "a new password at every start";
}

TEST(PasswordGate, NoticeWidthIsTenPixelsACharacter) {
  struct Case {
    const char* text;
    int width;
    int buttonLeft;
  } cases[] = {
      {"Неправильный пароль. В доступе отказано", 390, 159},
      {"Не правильный пароль.", 210, 69},
      {"ok", 20, -26},
  };
  for (const Case& c : cases) {
    const NoticeLayout layout = LayoutNotice(c.text);
    EXPECT_EQ(layout.width, c.width) << c.text;
    EXPECT_EQ(layout.buttonLeft, c.buttonLeft) << c.text;
  }
}

class ConfigurationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::filesystem::temp_directory_path() /
            ("tessard-config-" + std::to_string(::getpid()) + ".ini");
  }
  void TearDown() override { std::filesystem::remove(path_); }
  void Write(const std::string& text) { std::ofstream(path_) << text; }
  std::filesystem::path path_;
};

TEST_F(ConfigurationTest, DefaultsWithoutAFile) {
  const DriverConfiguration c = ReadConfiguration(path_.string());
  EXPECT_EQ(c.comPort, "COM255");
  EXPECT_EQ(c.firstNumber, 1);
  EXPECT_EQ(c.pathForSoob, "");
  EXPECT_EQ(c.nAbs, -1);
  EXPECT_EQ(c.name, -1);
  EXPECT_EQ(c.attentionSeconds, 600);
}

TEST_F(ConfigurationTest, ValuesAndFallbacks) {
  Write(
      "[Main]\r\ncomport=COM3\r\nFirstNumber=7\r\nPathForSoob=/var/spool/tessar/\r\n"
      "Attention=01:02:03\r\nn_abs=x\r\n[ServerHost]\r\nAddress=10.0.0.1\r\n");
  DriverConfiguration c = ReadConfiguration(path_.string());
  EXPECT_EQ(c.comPort, "COM3");
  EXPECT_EQ(c.firstNumber, 7);
  EXPECT_EQ(c.pathForSoob, "/var/spool/tessar/");
  EXPECT_EQ(c.attentionSeconds, 3723);
  EXPECT_EQ(c.nAbs, -1) << "not a number";
  Write("[main]\nAttention=soon\nFirstNumber=12abc\n");
  c = ReadConfiguration(path_.string());
  EXPECT_EQ(c.attentionSeconds, 600);
  EXPECT_EQ(c.firstNumber, 1);
}

TEST(TimeOfDay, Texts) {
  struct Case {
    const char* text;
    std::optional<int32_t> seconds;
  } cases[] = {{"00:10:00", 600}, {"1:05", 3900}, {"23:59:59", 86399}, {"24:00", {}},
               {"12:60", {}},     {"", {}},       {"10", {}},          {"1:2:3:4", {}},
               {" 0:10 ", 600},   {"ab:cd", {}}};
  for (const Case& c : cases)
    EXPECT_EQ(ParseTimeOfDay(c.text), c.seconds) << "'" << c.text << "'";
}

TEST(PortText, AfterTheFirstThreeCharacters) {
  EXPECT_EQ(PortTextOf("COM3"), "3");
  EXPECT_EQ(PortTextOf("COM255"), "255");
  EXPECT_EQ(PortTextOf("COM"), "");
  EXPECT_EQ(PortTextOf(""), "");
  struct Case {
    const char* text;
    std::optional<int> number;
  } cases[] = {{"3", 3},   {"12", 12}, {"255", 255}, {"0", 0},   {"", {}},
               {"3a", {}}, {" 3", {}}, {"-1", {}},   {"+4", {}}, {"1234567890", {}}};
  for (const Case& c : cases)
    EXPECT_EQ(PortNumberOf(c.text), c.number) << "'" << c.text << "'";
}

}  // namespace
}  // namespace tessar
