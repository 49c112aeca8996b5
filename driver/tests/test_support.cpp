#include "test_support.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "platform/tcp.h"

namespace tessar::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tessar-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void TempDir::Write(const std::string& name, const std::string& text) const {
  // Written aside and renamed, so a reader never sees half a file.
  const std::string target = File(name);
  {
    std::ofstream out(target + ".part", std::ios::binary | std::ios::trunc);
    out << text;
  }
  std::filesystem::rename(target + ".part", target);
}

void RecordingWindow::WriteLogLine(const std::string& text) {
  {
    std::lock_guard lock(mutex_);
    texts_.push_back(text);
  }
  changed_.notify_all();
}

void RecordingWindow::AdvanceServerIndicator() {
  std::lock_guard lock(mutex_);
  ++advances_;
}

std::vector<std::string> RecordingWindow::Texts() const {
  std::lock_guard lock(mutex_);
  return texts_;
}

int RecordingWindow::Advances() const {
  std::lock_guard lock(mutex_);
  return advances_;
}

int RecordingWindow::Count(const std::string& text) const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count(texts_.begin(), texts_.end(), text));
}

bool RecordingWindow::WaitForText(const std::string& text, int times, int timeoutMs) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return std::count(texts_.begin(), texts_.end(), text) >= times; });
}

bool Eventually(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition())
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return condition();
}

uint16_t FreePort() {
  platform::TcpListener probe;
  std::string error;
  if (!probe.Listen("127.0.0.1", 0, &error))
    throw std::runtime_error("no free port: " + error);
  return probe.Port();
}

}  // namespace tessar::testing
