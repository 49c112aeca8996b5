// The Win32 serial port on a real line: Wine's COM port mapped onto the
// receiver simulator's pseudo-terminal (wine_receiver_port.sh). The port
// number comes in ZNT_E2E_PORT.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <future>
#include <string>

#include "frame.h"
#include "platform/serial_port.h"

namespace zntlink {
namespace {

using Clock = std::chrono::steady_clock;

int PortNumber() {
  const char* text = std::getenv("ZNT_E2E_PORT");
  return text == nullptr ? 0 : std::atoi(text);
}

// Wine lets a second handle open a serial device that another one holds,
// where Windows refuses it.
bool UnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The library's read and write limits, with a short wait for the first byte.
PortTimeouts LinkTimeouts(uint32_t firstByteWaitMs) {
  return {0xFFFFFFFF, 0xFFFFFFFF, firstByteWaitMs, 1, 200};
}

class Win32SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(PortNumber(), 0) << "ZNT_E2E_PORT names the mapped port";
    std::string failure;
    port_ = OpenWin32SerialPort(PortNumber(), &failure);
    ASSERT_NE(port_, nullptr) << failure;
    port_->Purge(kPurgeAll);
    port_->SaveTimeouts();
    ASSERT_TRUE(port_->ApplyLineSettings(9600));
  }

  void TearDown() override {
    if (port_) {
      port_->RestoreLineSettings();
      port_->RestoreTimeouts();
      EXPECT_TRUE(port_->Close());
    }
  }

  std::unique_ptr<SerialPort> port_;
};

TEST_F(Win32SerialPortTest, OpensExclusivelyAndNamesWhatFailed) {
  std::string failure;
  if (!UnderWine()) {
    EXPECT_EQ(OpenWin32SerialPort(PortNumber(), &failure), nullptr) << "the port is held";
    EXPECT_EQ(failure.rfind("\\\\.\\COM" + std::to_string(PortNumber()) + ": ", 0), 0u) << failure;
  }

  EXPECT_EQ(OpenWin32SerialPort(0, &failure), nullptr);
  EXPECT_EQ(failure, "COM0: no device has this port number");
  EXPECT_EQ(OpenWin32SerialPort(PortNumber() + 1, &failure), nullptr) << "not mapped";
  EXPECT_EQ(failure.rfind("\\\\.\\COM" + std::to_string(PortNumber() + 1) + ": ", 0), 0u)
      << failure;
}

TEST_F(Win32SerialPortTest, ClosesAndOpensAgain) {
  ASSERT_TRUE(port_->Close());
  std::string failure;
  port_ = OpenWin32SerialPort(PortNumber(), &failure);
  EXPECT_NE(port_, nullptr) << failure;
}

TEST_F(Win32SerialPortTest, ARequestFrameGetsTheReceiversAnswer) {
  uint8_t frame[kFrameBufferSize];
  const size_t length = BuildFrame("S3", nullptr, 0, frame, sizeof frame);
  PortTimeouts timeouts = LinkTimeouts(500);
  timeouts.writeTotalConstant = static_cast<uint32_t>(length);
  port_->SetTimeouts(timeouts);
  port_->Purge(kPurgeTransmit);
  const WriteResult written = port_->Write(frame, static_cast<uint32_t>(length));
  ASSERT_EQ(written.outcome, WriteOutcome::kComplete);
  EXPECT_EQ(written.bytesSent, length);

  FrameParser parser;
  bool finished = false;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!finished && Clock::now() < deadline) {
    uint32_t queued = 0;
    port_->ClearErrors(&queued);
    uint8_t chunk[kFrameBufferSize];
    const int got = port_->Read(chunk, std::clamp<uint32_t>(queued, 1, sizeof chunk));
    ASSERT_GE(got, 0) << "read error";
    parser.Feed(chunk, static_cast<size_t>(got), &finished);
  }
  ASSERT_TRUE(finished) << "no answer frame";
  EXPECT_FALSE(parser.bad());
  ASSERT_GE(parser.contentLength(), 3u);
  EXPECT_EQ(parser.content()[0], 'S');
  EXPECT_EQ(parser.content()[1], '3');
  EXPECT_EQ(parser.content()[2], kStatusAccepted);
}

// On Windows the port ends the read at 50 ms; where a port overruns its
// limit (Wine does), the read is cancelled shortly after it.
TEST_F(Win32SerialPortTest, AReadOnASilentLineEndsWithNoBytes) {
  port_->SetTimeouts(LinkTimeouts(50));
  uint8_t bytes[4] = {};
  EXPECT_EQ(port_->Read(bytes, 1), 0);
  EXPECT_EQ(port_->Read(bytes, sizeof bytes), 0);
}

// The pseudo-terminal has no modem lines: CTS on and nothing else, RTS
// changes ignored, and a line-event wait that only clearing the mask ends.
TEST_F(Win32SerialPortTest, APortWithoutModemLinesReportsCtsAloneAndWaitsUntilTheMaskIsCleared) {
  port_->Escape(kEscapeSetRts);
  EXPECT_EQ(port_->ModemStatus(), kModemCts);
  port_->SetEventMask(kEventCts);
  auto wait = std::async(std::launch::async, [&] { return port_->WaitEvent(); });
  EXPECT_EQ(wait.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout)
      << "no line event on a port without modem lines";
  port_->SetEventMask(0);
  ASSERT_EQ(wait.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "clearing the mask ends the wait";
  EXPECT_EQ(wait.get(), 0u);
  port_->Escape(kEscapeClearRts);
}

}  // namespace
}  // namespace zntlink
