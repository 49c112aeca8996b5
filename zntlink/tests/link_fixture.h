// A library session on an in-memory line to the receiver simulator, with the
// library's waits shortened, its debug lines captured and its logs written to
// a temporary directory.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "memory_line.h"
#include "session.h"
#include "zntlink.h"

namespace zntlink::testing {

// Waits for a condition that another thread brings about; false after 10 s.
bool WaitUntil(const std::function<bool()>& condition);

std::string ReadFile(const std::filesystem::path& path);

class LinkTest : public ::testing::Test {
 protected:
  static constexpr int kPort = 5;

  void SetUp() override;
  void TearDown() override;

  // Opens the port; expects success.
  CommSession* Open(int baudRate = 9600);
  // Sets the Query state's wait: short for quick polls, long to keep polls
  // out of a request's way.
  void SetQueryWait(uint32_t milliseconds);
  void SetAttempts(uint32_t attempts);
  void SetIdleWait(uint32_t milliseconds);
  // Waits until the link is up and the LINK thread waits in Query.
  bool WaitForQuery();
  // Waits until the simulator has seen `count` more requests of `code` than at
  // the call; for requests that keep coming (polls), not for a single one that
  // an earlier action may already have caused.
  bool WaitForRequests(const std::string& code, size_t count = 1);
  size_t CountRequests(const std::string& code);

  std::string SessionLog();
  std::string MessageLog();
  std::vector<std::string> DebugLines();
  void ResetDebugLines();

  std::shared_ptr<MemoryLine> line = std::make_shared<MemoryLine>();
  std::unique_ptr<MemoryPortInstaller> installer;
  CommSession* session = nullptr;
  std::filesystem::path logDirectory;

 private:
  std::mutex debugMutex_;
  std::vector<std::string> debugLines_;
};

}  // namespace zntlink::testing
