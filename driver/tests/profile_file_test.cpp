// The profile-file reader: Windows semantics over real files.
#include "common/profile_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "test_support.h"

namespace tessar {
namespace {

const char kIni[] =
    "\xEF\xBB\xBF[main]\r\n"
    "ComPort=COM3\r\n"
    "; a comment=ignored\r\n"
    "FirstNumber = 7 \r\n"
    "Bad=12abc\r\n"
    "Big=4294967296\r\n"
    "Negative=-15\r\n"
    "Hex=0x1F\r\n"
    "Dollar=$FFFFFFFF\r\n"
    "Empty=\r\n"
    "Quoted=\"  spaced  \"\r\n"
    "[ ServerHost ]\n"
    "address=10.0.0.1\n"
    "PORT=2000\n"
    "Port=3000\n"
    "[other]\n"
    "Port=1\n"
    "[serverhost]\n"
    "PacketSize=500\n";

TEST(ProfileFile, ReadsStringsAndIntegersWithDefaults) {
  testing::TempDir dir;
  dir.Write("tessard.ini", kIni);
  const ProfileFile ini = ProfileFile::Load(dir.File("tessard.ini"));
  struct StringCase {
    const char* section;
    const char* key;
    const char* expected;
  };
  const StringCase strings[] = {
      {"main", "ComPort", "COM3"},         {"MAIN", "comport", "COM3"},
      {"main", "Missing", "fallback"},     {"nosection", "ComPort", "fallback"},
      {"main", "comment", "fallback"},     {"main", "Empty", ""},
      {"main", "Quoted", "  spaced  "},    {"serverhost", "Address", "10.0.0.1"},
      {"ServerHost", "PacketSize", "500"},
  };
  for (const StringCase& c : strings)
    EXPECT_EQ(ini.ReadString(c.section, c.key, "fallback"), c.expected)
        << c.section << "/" << c.key;

  struct IntegerCase {
    const char* section;
    const char* key;
    int32_t expected;
  };
  const IntegerCase integers[] = {
      {"main", "FirstNumber", 7},   {"main", "Bad", -99},     {"main", "Big", -99},
      {"main", "Negative", -15},    {"main", "Hex", 31},      {"main", "Dollar", -1},
      {"main", "Empty", -99},       {"main", "ComPort", -99}, {"main", "Missing", -99},
      {"ServerHost", "Port", 2000},  // the first of two wins
      {"other", "Port", 1},
  };
  for (const IntegerCase& c : integers)
    EXPECT_EQ(ini.ReadInteger(c.section, c.key, -99), c.expected) << c.section << "/" << c.key;
}

TEST(ProfileFile, MissingFileGivesDefaults) {
  testing::TempDir dir;
  const ProfileFile ini = ProfileFile::Load(dir.File("absent.ini"));
  EXPECT_EQ(ini.ReadString("ServerHost", "Address", "127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(ini.ReadInteger("ServerHost", "Port", 12543), 12543);
}

}  // namespace
TEST(ProfileFile, WritingOneKeyKeepsEveryOtherLine) {
  struct Case {
    const char* name;
    std::string before;
    std::string after;
  } cases[] = {
      {"replaced, CR LF kept",
       "; driver\r\n[Main]\r\ncomport = COM3\r\nFirstNumber=2\r\n[ServerHost]\r\nPort=1\r\n",
       "; driver\r\n[Main]\r\ncomport=COM7\r\nFirstNumber=2\r\n[ServerHost]\r\nPort=1\r\n"},
      {"added to its section", "[main]\nFirstNumber=2\n\n[ServerHost]\nPort=1\n",
       "[main]\nFirstNumber=2\nComPort=COM7\n\n[ServerHost]\nPort=1\n"},
      {"section added", "[ServerHost]\nPort=1", "[ServerHost]\nPort=1\n[main]\nComPort=COM7\n"},
      {"empty file", "", "[main]\nComPort=COM7\n"},
      // The byte-order mark is written back: without it, a second mark (or
      // other bytes) before the first section would read differently.
      {"byte-order mark kept", "\xEF\xBB\xBF[main]\r\nComPort=COM3\r\n",
       "\xEF\xBB\xBF[main]\r\nComPort=COM7\r\n"},
      {"second byte-order mark stays text", "\xEF\xBB\xBF\xEF\xBB\xBF\r[main]\nFirstNumber=1\n",
       "\xEF\xBB\xBF\xEF\xBB\xBF\r[main]\nFirstNumber=1\n[main]\nComPort=COM7\n"},
  };
  const std::string path = ::testing::TempDir() + "profile-write-" + std::to_string(::getpid());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProfileFile profile = ProfileFile::FromText(c.before);
    profile.WriteString("main", "ComPort", "COM7");
    std::string error;
    ASSERT_TRUE(profile.Save(path, &error)) << error;
    std::ifstream in(path, std::ios::binary);
    const std::string written((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    EXPECT_EQ(written, c.after);
    EXPECT_EQ(ProfileFile::Load(path).ReadString("main", "ComPort", ""), "COM7");
  }
  std::remove(path.c_str());
  std::string error;
  EXPECT_FALSE(ProfileFile().Save("/nonexistent-directory/tessard.ini", &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace tessar
