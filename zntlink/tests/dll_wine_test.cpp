// zntlink.dll as a Windows program uses it: loaded from zntlog\zntlink.dll,
// every export found by name and by ordinal, and a session on the COM port
// that wine_dll_e2e.sh maps onto the receiver simulator's pseudo-terminal.
// The port number comes in ZNT_E2E_PORT; the simulator holds one stored
// kind-3 message when the test starts and takes commands from "to-simulator".
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zntlink.h"

namespace {

namespace fs = std::filesystem;

// The 32 exports in alphabetical order: ordinal i + 1 is kExports[i].
const char* const kExports[] = {
    "ZNT_ChangePassword",  "ZNT_CloseComm",        "ZNT_GetActivity",     "ZNT_GetCommPort",
    "ZNT_GetFirmware",     "ZNT_GetLastError",     "ZNT_GetMsg",          "ZNT_GetMsgNum",
    "ZNT_GetRtcDayOfWeek", "ZNT_GetRtcOption",     "ZNT_GetSlotInfo",     "ZNT_GetSlotMasks",
    "ZNT_GetSlotNum",      "ZNT_GetSlotNumActive", "ZNT_GetSlotSetup",    "ZNT_GetStatistics",
    "ZNT_GetSystemValue",  "ZNT_GetTime",          "ZNT_GetTimeouts",     "ZNT_GetTroubles",
    "ZNT_InitComm",        "ZNT_InitCommEx",       "ZNT_SetRtcDayOfWeek", "ZNT_SetRtcOption",
    "ZNT_SetSlotMasks",    "ZNT_SetSlotMode",      "ZNT_SetSlotSetup",    "ZNT_SetSystemTime",
    "ZNT_SetSystemValue",  "ZNT_SetTime",          "ZNT_SetTimeouts",     "ZNT_Shutdown"};

HMODULE Library() {
  static HMODULE module = LoadLibraryA("zntlog\\zntlink.dll");
  return module;
}

// The export by name, typed as the header declares it (calling convention
// included).
template <typename Function>
Function Export(const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(Library(), name)));
}
#define ZNT(name) Export<decltype(&name)>(#name)

int PortNumber() {
  const char* text = std::getenv("ZNT_E2E_PORT");
  return text == nullptr ? 0 : std::atoi(text);
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

// The one log file whose name matches, read whole.
std::string LogFile(const std::regex& name) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator("zntlog")) {
    if (std::regex_match(entry.path().filename().string(), name))
      found.push_back(entry.path());
  }
  EXPECT_EQ(found.size(), 1u) << "log files named like the pattern";
  return found.empty() ? std::string() : ReadAll(found.front());
}

// Escapes the "\r\n" of a log text for a message.
std::string Visible(std::string text) {
  std::string out;
  for (char c : text)
    out += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n\n") : std::string(1, c);
  return out;
}

// Sends one command line to the receiver simulator.
void Simulator(const std::string& command) {
  std::ofstream("to-simulator", std::ios::app) << command << "\n" << std::flush;
}

template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

TEST(ZntlinkDll, ExportsEveryNameAtItsOrdinal) {
  ASSERT_NE(Library(), nullptr) << "LoadLibrary(zntlog\\zntlink.dll): error " << GetLastError();
  for (int i = 0; i < 32; ++i) {
    FARPROC byName = GetProcAddress(Library(), kExports[i]);
    FARPROC byOrdinal = GetProcAddress(Library(), MAKEINTRESOURCEA(i + 1));
    EXPECT_NE(byName, nullptr) << kExports[i];
    EXPECT_EQ(byName, byOrdinal) << kExports[i] << " at ordinal " << i + 1;
  }
  EXPECT_EQ(GetProcAddress(Library(), MAKEINTRESOURCEA(33)), nullptr) << "no 33rd export";
}

TEST(ZntlinkDll, SessionOverTheMappedPort) {
  ASSERT_NE(Library(), nullptr);
  const int port = PortNumber();
  ASSERT_GT(port, 0) << "ZNT_E2E_PORT names the mapped port";

  // A port that does not exist: error 7.
  int error = -1;
  EXPECT_EQ(ZNT(ZNT_InitCommEx)(port + 1, 9600, &error), nullptr);
  EXPECT_EQ(error, ZNT_ERR_RESOURCE);

  // Open: the link is up once the init sequence has run.
  error = -1;
  CommSession* session = ZNT(ZNT_InitCommEx)(port, 9600, &error);
  ASSERT_NE(session, nullptr) << "error " << error;
  EXPECT_EQ(error, ZNT_OK);
  EXPECT_EQ(ZNT(ZNT_GetActivity)(session), 1);
  EXPECT_EQ(ZNT(ZNT_GetCommPort)(session), port);
  FirmwareInfo firmware{};
  ASSERT_EQ(ZNT(ZNT_GetFirmware)(session, &firmware), 1);
  EXPECT_EQ(firmware.major, 2u);
  EXPECT_EQ(firmware.minor, 5u);

  // The stored message is handed over once.
  uint8_t record[101] = {};
  ASSERT_TRUE(WaitUntil([&] {
    return ZNT(ZNT_GetMsg)(session, reinterpret_cast<ReceiverMessage*>(record)) == 1;
  })) << "the stored message reaches ZNT_GetMsg";
  EXPECT_EQ(record[1], 3) << "kind";
  EXPECT_EQ(record[2], 1) << "slot";
  EXPECT_EQ(record[12], 0x07) << "device number, low byte";
  EXPECT_EQ(record[13], 0xB2);
  EXPECT_EQ(ZNT(ZNT_GetMsg)(session, reinterpret_cast<ReceiverMessage*>(record)), 0)
      << "taken, not present again before the next fetch";

  // Requests return their results.
  EXPECT_EQ(ZNT(ZNT_SetSystemValue)(session, 2, 0x5A), 1);
  EXPECT_EQ(ZNT(ZNT_GetSystemValue)(session, 2), 0x5A);
  EXPECT_EQ(ZNT(ZNT_SetRtcDayOfWeek)(session, 0x103), 1) << "the low byte counts";
  EXPECT_EQ(ZNT(ZNT_GetRtcDayOfWeek)(session), 3);

  // A receiver that falls silent: the link goes down after the attempts of one
  // exchange, reads ending at their limit, and comes back when it answers.
  Simulator("fault silent on");
  ASSERT_TRUE(WaitUntil([&] { return ZNT(ZNT_GetActivity)(session) == 0; }));
  EXPECT_EQ(ZNT(ZNT_GetLastError)(session), ZNT_ERR_LINK);
  Simulator("fault silent off");
  ASSERT_TRUE(WaitUntil([&] { return ZNT(ZNT_GetActivity)(session) == 1; }));

  LinkStatistics statistics{};
  EXPECT_EQ(ZNT(ZNT_GetStatistics)(session, &statistics), 1) << "counters start again from 0";

  EXPECT_EQ(ZNT(ZNT_CloseComm)(session), 1);
  EXPECT_EQ(ZNT(ZNT_CloseComm)(session), 0);
  EXPECT_EQ(ZNT(ZNT_GetActivity)(session), 0);

  // The session log, byte for byte but for the time stamps and the counters.
  const std::string prefix = "COM" + std::to_string(port) + "> ";
  const std::string stamp = R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})";
  const std::string counter = R"(\d+ *)";  // "%-8d"
  const std::regex sessionLog(
      prefix + stamp + " Communication is established\r\n" +  //
      prefix + stamp + " Session is established\r\n Chipware: 2\\.5,Serial#: [0-9A-F]{8}\r\n" +
      prefix + stamp + " Communication is lost\r\n" +            //
      prefix + stamp + " Communication is established\r\n" +     //
      prefix + stamp + " Session is completed\r\n" +             //
      "  TxFrm: " + counter + "   RxFrm: " + counter + "\r\n" +  //
      "  Crc:   0          TmOut: 0       \r\n" +                //
      "  Link:  0          Msg:   0       \r\n");
  const std::string session_text = LogFile(std::regex(R"(sy\d{6}\.log)"));
  EXPECT_TRUE(std::regex_match(session_text, sessionLog)) << Visible(session_text);

  // The message log holds the fetched message's line.
  const std::string messages = LogFile(std::regex(R"(\d{6}_[1-4]\.log)"));
  EXPECT_TRUE(
      std::regex_match(messages, std::regex(prefix + "Slot1\\(#3\\) " + stamp +
                                            " 000007B2040000000000000000  Obj 123   Unreg\r\n")))
      << Visible(messages);
}

}  // namespace
