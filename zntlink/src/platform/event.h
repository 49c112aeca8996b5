// A manual-reset event: once set it stays set, releasing every waiter, until reset.
#pragma once

#include <cstdint>

#if !defined(_WIN32)
#include <chrono>
#include <condition_variable>
#include <mutex>
#endif

namespace zntlink {

// A wait without a time limit.
constexpr uint32_t kWaitForever = 0xFFFFFFFF;

#if defined(_WIN32)

// A system event object; creating it throws std::system_error when the system
// has none to give.
class ManualResetEvent {
 public:
  explicit ManualResetEvent(bool initiallySet = false);
  ~ManualResetEvent();
  ManualResetEvent(const ManualResetEvent&) = delete;
  ManualResetEvent& operator=(const ManualResetEvent&) = delete;

  void Set();
  void Reset();
  // True when the event was set within the given time (kWaitForever: no limit).
  bool Wait(uint32_t timeoutMs);
  bool IsSet() const;
  // The system handle, for waits on several objects at once.
  void* Handle() const { return handle_; }

 private:
  void* handle_;
};

#else

class ManualResetEvent {
 public:
  explicit ManualResetEvent(bool initiallySet = false) : set_(initiallySet) {}

  void Set() {
    {
      std::lock_guard lock(mutex_);
      set_ = true;
    }
    changed_.notify_all();
  }

  void Reset() {
    std::lock_guard lock(mutex_);
    set_ = false;
  }

  // True when the event was set within the given time (kWaitForever: no limit).
  bool Wait(uint32_t timeoutMs) {
    std::unique_lock lock(mutex_);
    if (timeoutMs == kWaitForever) {
      changed_.wait(lock, [this] { return set_; });
      return true;
    }
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return set_; });
  }

  bool IsSet() const {
    std::lock_guard lock(mutex_);
    return set_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool set_;
};

#endif

}  // namespace zntlink
