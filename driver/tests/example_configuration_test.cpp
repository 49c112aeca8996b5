// The example tessard.ini that the package installs as the service's first
// configuration: every key in it is one the driver reads, in the section it
// reads it from, and the driver reads the values the example means.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <set>
#include <string>
#include <utility>

#include "common/profile_file.h"
#include "frame/configuration.h"

namespace tessar {
namespace {

std::string Lower(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos)
    return "";
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

TEST(ExampleConfiguration, NamesOnlyKeysTheDriverReads) {
  // Section and key, as the driver's readers name them (compared without case).
  const std::set<std::pair<std::string, std::string>> known = {
      {"main", "comport"},         {"main", "n_abs"},         {"main", "name"},
      {"main", "firstnumber"},     {"main", "pathforsoob"},   {"main", "attention"},
      {"main", "tcpport"},         {"serverhost", "address"}, {"serverhost", "port"},
      {"serverhost", "packetsize"}};
  std::ifstream in(EXAMPLE_INI_PATH);
  ASSERT_TRUE(in) << EXAMPLE_INI_PATH;
  std::string section;
  int keys = 0;
  for (std::string line; std::getline(in, line);) {
    line = Trim(line);
    if (line.empty() || line[0] == ';')
      continue;
    if (line.front() == '[') {
      ASSERT_EQ(line.back(), ']') << line;
      section = Lower(line.substr(1, line.size() - 2));
      continue;
    }
    const size_t equals = line.find('=');
    ASSERT_NE(equals, std::string::npos) << "neither comment, section nor key: " << line;
    EXPECT_EQ(known.count({section, Lower(Trim(line.substr(0, equals)))}), 1u)
        << "[" << section << "] " << line;
    ++keys;
  }
  EXPECT_GE(keys, 6);
}

TEST(ExampleConfiguration, ReadsAsAFirstConfigurationShouldRead) {
  const DriverConfiguration c = ReadConfiguration(EXAMPLE_INI_PATH);
  EXPECT_EQ(c.comPort, "COM1");
  EXPECT_EQ(c.firstNumber, 1);
  EXPECT_EQ(c.pathForSoob, "");
  EXPECT_EQ(c.tcpPort, 8901);
  const ProfileFile profile = ProfileFile::Load(EXAMPLE_INI_PATH);
  EXPECT_EQ(profile.ReadString("ServerHost", "Address", "(missing)"), "127.0.0.1");
  EXPECT_EQ(profile.ReadInteger("ServerHost", "Port", -1), 12543);
}

}  // namespace
}  // namespace tessar
