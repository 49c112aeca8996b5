#include "link_fixture.h"

#include <fstream>
#include <sstream>

#include "log.h"
#include "platform/debug_output.h"
#include "timing.h"

namespace zntlink::testing {

bool WaitUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void LinkTest::SetUp() {
  installer = std::make_unique<MemoryPortInstaller>(line, kPort);
  Timing().connectSettleMs = 2;
  Timing().requestWaitMs = 500;
  Timing().readTimeoutMs = 500;
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  logDirectory = std::filesystem::temp_directory_path() /
                 ("zntlink-" + std::string(info->test_suite_name()) + "-" + info->name() + "-" +
                  std::to_string(::getpid()));
  std::filesystem::remove_all(logDirectory);
  std::filesystem::create_directories(logDirectory);
  ResetLogForTesting();
  SetLogDirectoryForTesting(logDirectory.string());
  SetDebugSinkForTesting([this](const std::string& text) {
    std::lock_guard lock(debugMutex_);
    debugLines_.push_back(text);
  });
  line->receiver.SetFirmware(3, 7, 0x00A1B2C3);
  line->receiver.SetPowerStatus(0x06);
  line->receiver.SetSlotInfo({1, 2, 0, 0, 0, 0, 0, 0});
}

void LinkTest::TearDown() {
  if (session != nullptr)
    ZNT_CloseComm(session);
  SetDebugSinkForTesting(nullptr);
  ResetLogForTesting();
  installer.reset();
  Timing().connectSettleMs = 10;
  Timing().requestWaitMs = 500;
  Timing().readTimeoutMs = 500;
  std::filesystem::remove_all(logDirectory);
}

CommSession* LinkTest::Open(int baudRate) {
  int error = -1;
  session = ZNT_InitCommEx(kPort, baudRate, &error);
  EXPECT_NE(session, nullptr);
  EXPECT_EQ(error, 0);
  return session;
}

void LinkTest::SetQueryWait(uint32_t milliseconds) {
  LinkTimeouts t;
  ZNT_GetTimeouts(session, &t);
  t.queryWait = milliseconds;
  ZNT_SetTimeouts(session, &t);
  // End a Query wait already running: once the LINK thread has taken the
  // signal, its next wait has the new length.
  session->requestEvent.Set();
  // A LINK thread outside System and Query takes it when it gets there.
  WaitUntil([&] {
    const int32_t state = session->linkState;
    return (state == kLinkQuery && !session->requestEvent.IsSet()) ||
           (state != kLinkQuery && state != kLinkSystem);
  });
}

void LinkTest::SetAttempts(uint32_t attempts) {
  LinkTimeouts t;
  ZNT_GetTimeouts(session, &t);
  t.attempts = attempts;
  ZNT_SetTimeouts(session, &t);
}

void LinkTest::SetIdleWait(uint32_t milliseconds) {
  LinkTimeouts t;
  ZNT_GetTimeouts(session, &t);
  t.idleWait = milliseconds;
  ZNT_SetTimeouts(session, &t);
}

bool LinkTest::WaitForQuery() {
  return WaitUntil([&] { return session->linkUp == 1 && session->linkState == kLinkQuery; });
}

size_t LinkTest::CountRequests(const std::string& code) {
  size_t n = 0;
  for (const auto& c : line->receiver.RequestCodes())
    n += c == code ? 1 : 0;
  return n;
}

bool LinkTest::WaitForRequests(const std::string& code, size_t count) {
  const size_t target = CountRequests(code) + count;
  return WaitUntil([&] { return CountRequests(code) >= target; });
}

std::string LinkTest::SessionLog() {
  std::string all;
  for (const auto& entry : std::filesystem::directory_iterator(logDirectory)) {
    if (entry.path().filename().string().rfind("sy", 0) == 0)
      all += ReadFile(entry.path());
  }
  return all;
}

std::string LinkTest::MessageLog() {
  std::string all;
  for (const auto& entry : std::filesystem::directory_iterator(logDirectory)) {
    if (entry.path().filename().string().rfind("sy", 0) != 0)
      all += ReadFile(entry.path());
  }
  return all;
}

std::vector<std::string> LinkTest::DebugLines() {
  std::lock_guard lock(debugMutex_);
  return debugLines_;
}

}  // namespace zntlink::testing

namespace zntlink::testing {

void LinkTest::ResetDebugLines() {
  std::lock_guard lock(debugMutex_);
  debugLines_.clear();
}

}  // namespace zntlink::testing
