// The driver core's start-up and stopping steps without a window: what it
// does when the library, the port or the zone-state file are not as they
// should be, and a shutdown while the session thread waits for the window.
#include "frame/driver_core.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "fake_receiver.h"
#include "platform/serial_probe.h"
#include "test_support.h"

namespace tessar {
namespace {

namespace fs = std::filesystem;
using testing::FakeReceiver;

struct RecordingWindow : CoreWindow {
  void ShowCounters(int32_t, int32_t) override {}
  void DrawStationIndicator(const IndicatorPixels&) override {}
  void DrawServerIndicator(const IndicatorPixels& p) override { server.push_back(p); }
  void ReportError(const std::string& text) override { errors.push_back(text); }
  void SetElapsedText(const std::string& text) override { elapsed = text; }
  void ShowConnectionLog(const std::vector<std::string>& lines) override { log = lines; }

  bool Reported(const std::string& part) const {
    for (const auto& e : errors)
      if (e.find(part) != std::string::npos)
        return true;
    return false;
  }
  std::vector<std::string> errors;
  std::vector<IndicatorPixels> server;
  std::vector<std::string> log;
  std::string elapsed;
};

class DriverCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::temp_directory_path() / ("tessard-core-" + std::to_string(::getpid()));
    fs::remove_all(home_);
    fs::create_directories(home_);
    WriteConfiguration("COM3", 1);
  }
  void TearDown() override { fs::remove_all(home_); }

  void WriteConfiguration(const std::string& comPort, int serverPort) {
    std::ofstream(home_ / "tessard.ini")
        << "[main]\nComPort=" << comPort << "\nTcpPort=" << testing::FreePort()
        << "\n[ServerHost]\nAddress=127.0.0.1\nPort=" << serverPort << "\n";
  }

  DriverCore::Options Options(ReceiverApi* receiver) {
    DriverCore::Options o;
    o.receiver = receiver;
    o.libraryPath = (home_ / "zntlog" / "libzntlink.so").string();
    o.configurationPath = (home_ / "tessard.ini").string();
    o.zoneFile = (home_ / "sost.mem").string();
    o.session.startDirectory = home_.string() + "/";
    return o;
  }

  fs::path home_;
  FakeReceiver receiver_;
  RecordingWindow window_;
};

TEST_F(DriverCoreTest, ALibraryThatCannotBeLoadedIsReportedAndTheDriverRunsOn) {
  DriverCore core(window_, platform::SystemClock(), Options(nullptr));
  std::string fatal;
  ASSERT_TRUE(core.Start(&fatal)) << fatal;
  EXPECT_TRUE(window_.Reported("The receiver library " + (home_ / "zntlog/libzntlink.so").string() +
                               " could not be loaded: "));
  EXPECT_TRUE(window_.Reported("No such file or directory")) << "the loader's reason";
  EXPECT_EQ(core.Session(), nullptr);
  core.Timer3Timer();
  core.Timer1Timer();
  EXPECT_EQ(core.State().ReceiverLinkState(), 0);
}

TEST_F(DriverCoreTest, MissingEntryPointsAreNamedAndNeverCalled) {
  fs::create_directories(home_ / "zntlog");
  fs::copy_file(PARTIAL_LIBRARY_PATH, home_ / "zntlog" / "libzntlink.so");
  DriverCore core(window_, platform::SystemClock(), Options(nullptr));
  std::string fatal;
  ASSERT_TRUE(core.Start(&fatal)) << fatal;
  for (const char* name :
       {"ZNT_CloseComm", "ZNT_GetLastError", "ZNT_SetTime", "ZNT_GetTime", "ZNT_GetCommPort",
        "ZNT_GetSlotNum", "ZNT_GetSlotInfo", "ZNT_GetMsg", "ZNT_GetMsgNum"}) {
    EXPECT_TRUE(window_.Reported(std::string("has no entry point ") + name)) << name;
  }
  EXPECT_FALSE(window_.Reported("ZNT_InitComm;"));
  core.Timer3Timer();
  core.Shutdown();
}

TEST_F(DriverCoreTest, PortProblemsAreExplained) {
  struct Case {
    const char* comPort;
    int openError;
    std::vector<int> opened;
    const char* reported;
  } cases[] = {
      {"COMx", 0, {}, "ComPort \"COMx\""},
      {"", 0, {}, "names no port number"},
      {"COM7", ZNT_ERR_RESOURCE, {7}, "its device is missing or another program holds it"},
      {"COM7", ZNT_ERR_LINE_SETTINGS, {7}, "the port refused the line settings"},
      {"COM7", ZNT_ERR_LINK, {7}, "no receiver answered"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.comPort);
    WriteConfiguration(c.comPort, 1);
    FakeReceiver receiver;
    receiver.openError = c.openError;
    RecordingWindow window;
    DriverCore core(window, platform::SystemClock(), Options(&receiver));
    std::string fatal;
    ASSERT_TRUE(core.Start(&fatal)) << fatal;
    EXPECT_EQ(receiver.openedPorts, c.opened);
    EXPECT_TRUE(window.Reported(c.reported)) << (window.errors.empty() ? "" : window.errors[0]);
    EXPECT_EQ(core.Session(), nullptr);
    core.Shutdown();
    EXPECT_TRUE(receiver.closed.empty()) << "nothing to close";
  }
}

TEST_F(DriverCoreTest, TheDriverDoesNotStartWithoutItsZoneStateFile) {
  DriverCore::Options options = Options(&receiver_);
  options.zoneFile = (home_ / "missing-directory" / "sost.mem").string();
  DriverCore core(window_, platform::SystemClock(), options);
  std::string fatal;
  EXPECT_FALSE(core.Start(&fatal));
  EXPECT_NE(fatal.find(options.zoneFile), std::string::npos) << fatal;
  EXPECT_NE(fatal.find("No such file or directory"), std::string::npos) << fatal;
  EXPECT_EQ(receiver_.closed, (std::vector<CommSession*>{FakeReceiver::Handle()}))
      << "the port opened before is closed again";
}

TEST_F(DriverCoreTest, ASecondCopyInTheSameHomeDoesNotStart) {
  DriverCore first(window_, platform::SystemClock(), Options(&receiver_));
  std::string fatal;
  ASSERT_TRUE(first.Start(&fatal)) << fatal;
  FakeReceiver otherReceiver;
  RecordingWindow otherWindow;
  DriverCore second(otherWindow, platform::SystemClock(), Options(&otherReceiver));
  EXPECT_FALSE(second.Start(&fatal));
  EXPECT_NE(fatal.find("another copy of the driver runs in this directory"), std::string::npos)
      << fatal;
}

TEST_F(DriverCoreTest, ShutdownWhileTheSessionThreadWaitsForTheWindow) {
  DriverCore::Options options = Options(&receiver_);
  std::atomic<int> wakes{0};
  // The window thread is busy: nothing runs the waiting hand-offs.
  options.wakeWindowThread = [&] { ++wakes; };
  auto core = std::make_unique<DriverCore>(window_, platform::SystemClock(), options);
  std::string fatal;
  ASSERT_TRUE(core->Start(&fatal)) << fatal;
  // The session thread's first log line ("Соединение...") now waits for the window.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (wakes.load() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_GT(wakes.load(), 0) << "the session thread waits to write its log line";
  auto stopped = std::async(std::launch::async, [&] {
    core->Shutdown();
    return true;
  });
  ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "shutdown must not wait for the window";
  EXPECT_TRUE(stopped.get());
  EXPECT_EQ(receiver_.closed, (std::vector<CommSession*>{FakeReceiver::Handle()}));
  core.reset();
}

// The port scan's probe on what a COM<n> path can be.
TEST_F(DriverCoreTest, OnlyAFreeTerminalPassesThePortProbe) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string terminal = ptsname(master);
  std::ofstream(home_ / "plain-file") << "x";
  struct Case {
    const char* what;
    std::string path;
    bool usable;
  } cases[] = {
      {"no path", "", false},
      {"a path to nothing", (home_ / "absent").string(), false},
      {"a directory", home_.string(), false},
      {"a file that is no terminal", (home_ / "plain-file").string(), false},
      {"a free pseudo-terminal", terminal, true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(platform::ProbeSerialPort(c.path), c.usable) << c.what;

  // Held through another descriptor (another open of the same device), then
  // free again once that one lets go.
  const int holder = open(terminal.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  EXPECT_FALSE(platform::ProbeSerialPort(terminal)) << "held";
  close(holder);
  EXPECT_TRUE(platform::ProbeSerialPort(terminal)) << "released";
  close(master);
}

}  // namespace
}  // namespace tessar
