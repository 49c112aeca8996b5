// Spool file re-send: the input is the content of a spool file found in the
// spool directory at start (and, when the first byte says so, also of a
// leftover temporary file and of a second, shorter spool file). The directory
// is opened as at start, then the re-send runs as the decoding cycle runs it,
// with a server link that is online and confirms every packet. Checked: every
// packet posted is the code and payload of a file that was there, each file
// is posted once and deleted on its confirmation, a file too short to hold a
// code is set aside instead of posted, and in the end no spool file is left.
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/driver_state.h"
#include "conversion/dispatch.h"
#include "conversion/failure_report.h"
#include "conversion/records.h"
#include "conversion/spool_directory.h"
#include "fuzz_support.h"
#include "platform/clock.h"

using tessar::fuzz::Check;
using namespace tessar;

namespace {

class ConfirmingLink : public ServerLink {
 public:
  bool Online() const override { return true; }
  PostResult PostPacket(int32_t code, const Bytes& payload) override {
    posts.push_back({code, payload});
    return {true, sequence++};
  }
  bool PacketWritten(uint64_t) const override { return true; }

  uint64_t sequence = 1;
  std::vector<CodedPayload> posts;
};

std::vector<std::string> Entries(const std::string& directory, const std::string& ending) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    if (name.size() >= ending.size() &&
        name.compare(name.size() - ending.size(), ending.size(), ending) == 0)
      names.push_back(name);
  }
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  fuzz::ClearScratchDirectory();
  const std::string directory = fuzz::ScratchDirectory() + "/";
  const uint8_t flags = data[0];
  const std::string_view content(reinterpret_cast<const char*>(data + 1), size - 1);

  // The files as the spooling names them (PathForSoob "" + spool name + ".dd8").
  std::map<std::string, Bytes> expected;
  auto put = [&](const std::string& name, std::string_view bytes) {
    fuzz::WriteWholeFile(directory + name, bytes);
    expected[name] = Bytes(bytes.begin(), bytes.end());
  };
  put("2A8F3C1.dd8", content);
  if (flags & 1)
    put("2A8F3C2.dd8", content.substr(0, content.size() / 2));
  if (flags & 2) {
    // Completed at start when whole, set aside otherwise.
    fuzz::WriteWholeFile(directory + "2A8F3C0.dd8.tmp", content);
    if (IsWholeDriverSpoolFile(Bytes(content.begin(), content.end())))
      expected["2A8F3C0.dd8"] = Bytes(content.begin(), content.end());
  }

  platform::ManualClock clock;
  FailureReport report(clock, [](const std::string&) {});
  DriverState state;
  ConfirmingLink link;
  SpoolDirectory spool(directory, clock, report);
  spool.Open();
  SpoolInFlight inFlight(state, clock);
  EventOutput output(link, spool, inFlight, state, clock);

  for (int tick = 0; tick < 8 && !spool.Empty(); ++tick) {
    const size_t before = link.posts.size();
    output.ResendSpooled();
    if (link.posts.size() > before)
      inFlight.OnSpoolAck(link);
    clock.Advance(200);
  }
  Check(spool.Empty(), "spool files left after every one was confirmed");

  // Every file that could hold a code went out once, with its code and payload.
  size_t sendable = 0;
  for (const auto& [name, bytes] : expected) {
    const auto item = ParseSpoolFile(bytes);
    if (!item)
      continue;
    ++sendable;
    size_t copies = 0;
    for (const CodedPayload& post : link.posts)
      copies += post == *item ? 1 : 0;
    Check(copies >= 1, "a spool file was not re-sent as it was");
  }
  Check(link.posts.size() == sendable, "packets posted other than the spool files");
  Check(Entries(directory, kSpoolExtension).empty(), "a confirmed spool file was not deleted");
  Check(Entries(directory, SpoolDirectory::kTemporarySuffix).empty(),
        "a leftover temporary file was neither completed nor set aside");
  return 0;
}
