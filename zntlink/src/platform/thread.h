// A thread that is created held and runs its body only once released, so
// that the session can create both of its threads before either runs and
// abandon both when the second cannot be created.
#pragma once

#include <atomic>
#include <functional>

#if !defined(_WIN32)
#include <thread>

#include "platform/event.h"
#endif

namespace zntlink {

class HeldThread {
 public:
  HeldThread() = default;
  ~HeldThread();
  HeldThread(const HeldThread&) = delete;
  HeldThread& operator=(const HeldThread&) = delete;

  // Creates the thread, held; false when the system refused to create it.
  bool Create(std::function<void()> body);
  // Lets the held thread run its body.
  void Release();
  // Lets the held thread end without running its body.
  void Abandon();
  // True from Create until Join.
  bool Exists() const;
  // Waits for the thread to end and closes it; true when it was closed.
  bool Join();

#if !defined(_WIN32)
  std::thread::native_handle_type NativeHandle() {
    return thread_.native_handle();
  }
#endif

 private:
  std::function<void()> body_;
  std::atomic<bool> abandoned_{false};
#if defined(_WIN32)
  void* handle_ = nullptr;
  static unsigned long __stdcall Entry(void* self);
#else
  std::thread thread_;
  ManualResetEvent gate_;
#endif
};

}  // namespace zntlink
