// The profile-file reader: the input is "tessard.ini". The driver's
// configuration is read from the file, then one key is written back as the
// port selection writes it, saved, and the file read again. Checked: the key
// written reads back as written, and every other setting of the
// configuration reads as before.
#include <string>

#include "common/profile_file.h"
#include "frame/configuration.h"
#include "fuzz_support.h"

using tessar::fuzz::Check;
using namespace tessar;

namespace {

bool SameExceptComPort(const DriverConfiguration& a, const DriverConfiguration& b) {
  return a.nAbs == b.nAbs && a.name == b.name && a.firstNumber == b.firstNumber &&
         a.pathForSoob == b.pathForSoob && a.attentionSeconds == b.attentionSeconds &&
         a.tcpPort == b.tcpPort;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string path = fuzz::ScratchDirectory() + "/tessard.ini";
  fuzz::WriteWholeFile(path, text);

  const DriverConfiguration before = ReadConfiguration(path);
  ParseTimeOfDay(before.comPort);
  PortNumberOf(PortTextOf(before.comPort));

  ProfileFile profile = ProfileFile::Load(path);
  // The server address the session reads, and an integer of every spelling.
  profile.ReadString("ServerHost", "Address", "127.0.0.1");
  profile.ReadInteger("ServerHost", "Port", 0);
  ProfileFile::ParseInteger(text);

  profile.WriteString(kMainSection, kComPortKey, "COM7");
  std::string error;
  Check(profile.Save(path, &error), "the profile could not be saved");
  const DriverConfiguration after = ReadConfiguration(path);
  Check(after.comPort == "COM7", "the key written does not read back");
  Check(SameExceptComPort(before, after), "writing one key changed another setting");
  return 0;
}
