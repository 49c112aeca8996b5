// Helpers for the driver's tests: a temporary directory, a window that records
// what the session thread hands it, and waiting for a condition with a bound.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "netlink/session_window.h"

namespace tessar::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  void Write(const std::string& name, const std::string& text) const;

 private:
  std::string path_;
};

class RecordingWindow : public SessionWindow {
 public:
  void WriteLogLine(const std::string& text) override;
  void AdvanceServerIndicator() override;
  std::vector<std::string> Texts() const;
  int Advances() const;
  int Count(const std::string& text) const;
  // Waits until `text` has been logged at least `times` times.
  bool WaitForText(const std::string& text, int times = 1, int timeoutMs = 5000) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> texts_;
  int advances_ = 0;
};

// Polls `condition` every few milliseconds; false when it did not hold in time.
bool Eventually(const std::function<bool()>& condition, int timeoutMs = 5000);

// A loopback TCP port nobody listens on at the moment, so that drivers started
// by tests running in parallel do not compete for the local service's port.
uint16_t FreePort();

}  // namespace tessar::testing
