// A manual-reset event: once set it stays set, releasing every waiter, until reset.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace zntlink {

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

  // True when the event was set within the given time.
  bool Wait(uint32_t timeoutMs) {
    std::unique_lock lock(mutex_);
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

}  // namespace zntlink
