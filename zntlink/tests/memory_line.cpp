#include "memory_line.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace zntlink::testing {
namespace {

class MemoryPort : public SerialPort {
 public:
  explicit MemoryPort(std::shared_ptr<MemoryLine> line) : line_(std::move(line)) {}
  ~MemoryPort() override { Close(); }

  uintptr_t Handle() const override { return 0x1234; }
  PortTimeouts SaveTimeouts() override { return {}; }
  bool ApplyLineSettings(uint32_t baudRate) override {
    std::lock_guard lock(line_->mutex);
    line_->baudRate = baudRate;
    return baudRate > 0 && baudRate <= 4000000;
  }
  void SetTimeouts(const PortTimeouts&) override {}
  void Purge(uint32_t flags) override {
    std::lock_guard lock(line_->mutex);
    if (flags & (kPurgeRxAbort | kPurgeRxClear))
      line_->input.clear();
  }
  uint32_t ClearErrors(uint32_t* queued) override {
    std::lock_guard lock(line_->mutex);
    *queued = static_cast<uint32_t>(line_->input.size());
    return 0;
  }
  WriteResult Write(const uint8_t* data, uint32_t length) override {
    {
      std::lock_guard lock(line_->mutex);
      if (line_->writeFailure != WriteOutcome::kComplete) {
        const WriteOutcome failure = line_->writeFailure;
        if (line_->writeFailuresLeft > 0 && --line_->writeFailuresLeft == 0)
          line_->writeFailure = WriteOutcome::kComplete;
        return {failure, 0};
      }
    }
    std::vector<uint8_t> answer;
    line_->receiver.Receive(data, length, answer);
    std::lock_guard lock(line_->mutex);
    line_->input.insert(line_->input.end(), answer.begin(), answer.end());
    return {WriteOutcome::kComplete, length};
  }
  int Read(uint8_t* buffer, uint32_t capacity) override {
    std::unique_lock lock(line_->mutex);
    if (line_->hold) {
      ++line_->heldReads;
      line_->changed.notify_all();
      line_->changed.wait(lock, [&] { return !line_->hold; });
      --line_->heldReads;
    }
    if (line_->readFailuresLeft != 0) {
      if (line_->readFailuresLeft > 0)
        --line_->readFailuresLeft;
      return -1;
    }
    if (line_->babble) {
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      static const char kText[] = "$GPGGA,123519,4807.038,N,01131.000,E*47\r\n";
      const size_t n = std::min<size_t>(capacity, sizeof kText - 1);
      std::copy_n(kText, n, buffer);
      return static_cast<int>(n);
    }
    if (line_->byteDelayMs > 0 && !line_->input.empty()) {
      const auto delay = std::chrono::milliseconds(line_->byteDelayMs);
      line_->changed.wait_for(lock, delay, [&] { return line_->byteDelayMs == 0; });
      capacity = std::min<uint32_t>(capacity, 1);
    }
    const size_t n = std::min<size_t>(capacity, line_->input.size());
    std::copy_n(line_->input.begin(), n, buffer);
    line_->input.erase(line_->input.begin(), line_->input.begin() + static_cast<long>(n));
    return static_cast<int>(n);
  }
  uint32_t ModemStatus() override {
    const uint32_t cts = line_->receiver.Cts() ? kModemCts : 0;
    std::lock_guard lock(line_->mutex);
    return cts | line_->extraModemStatus;
  }
  void SetEventMask(uint32_t mask) override {
    {
      std::lock_guard lock(line_->mutex);
      line_->eventMask = mask;
    }
    line_->changed.notify_all();
  }
  uint32_t WaitEvent() override {
    std::unique_lock lock(line_->mutex);
    line_->changed.wait(lock, [&] { return line_->eventMask == 0 || !line_->events.empty(); });
    if (line_->eventMask == 0)
      return 0;
    const uint32_t events = line_->events.front() & line_->eventMask;
    line_->events.pop_front();
    return events;
  }
  void Escape(uint32_t function) override {
    std::lock_guard lock(line_->mutex);
    line_->escapes.push_back(function);
  }
  void RestoreLineSettings() override {}
  void RestoreTimeouts() override {}
  bool Close() override {
    std::lock_guard lock(line_->mutex);
    if (!closed_)
      line_->open = false;
    closed_ = true;
    return true;
  }

 private:
  std::shared_ptr<MemoryLine> line_;
  bool closed_ = false;
};

}  // namespace

void MemoryLine::Inject(const std::vector<uint8_t>& bytes) {
  std::lock_guard lock(mutex);
  input.insert(input.end(), bytes.begin(), bytes.end());
}

void MemoryLine::RaiseEvent(uint32_t bits) {
  {
    std::lock_guard lock(mutex);
    events.push_back(bits);
  }
  changed.notify_all();
}

void MemoryLine::HoldReads(bool on) {
  {
    std::lock_guard lock(mutex);
    hold = on;
  }
  changed.notify_all();
}

bool MemoryLine::WaitForHeldRead() {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, std::chrono::seconds(10), [&] { return heldReads > 0; });
}

void MemoryLine::SetByteDelay(uint32_t milliseconds) {
  {
    std::lock_guard lock(mutex);
    byteDelayMs = milliseconds;
  }
  changed.notify_all();
}

void MemoryLine::SetBabble(bool on) {
  std::lock_guard lock(mutex);
  babble = on;
  input.clear();
}

void MemoryLine::SetExtraModemStatus(uint32_t bits) {
  std::lock_guard lock(mutex);
  extraModemStatus = bits;
}

void MemoryLine::FailWrites(WriteOutcome outcome, int times) {
  std::lock_guard lock(mutex);
  writeFailure = outcome;
  writeFailuresLeft = times;
}

void MemoryLine::FailReads(int times) {
  std::lock_guard lock(mutex);
  readFailuresLeft = times;
}

bool MemoryLine::IsOpen() {
  std::lock_guard lock(mutex);
  return open;
}

std::vector<uint32_t> MemoryLine::Escapes() {
  std::lock_guard lock(mutex);
  return escapes;
}

uint32_t MemoryLine::LastBaudRate() {
  std::lock_guard lock(mutex);
  return baudRate;
}

MemoryPortInstaller::MemoryPortInstaller(std::shared_ptr<MemoryLine> line, int portNumber) {
  SetPortOpenerForTesting([line, portNumber](int port) -> std::unique_ptr<SerialPort> {
    if (port != portNumber)
      return nullptr;
    std::lock_guard lock(line->mutex);
    if (line->open)
      return nullptr;  // exclusive
    line->open = true;
    line->eventMask = 0;
    line->events.clear();
    return std::make_unique<MemoryPort>(line);
  });
}

MemoryPortInstaller::~MemoryPortInstaller() {
  SetPortOpenerForTesting(nullptr);
}

}  // namespace zntlink::testing
