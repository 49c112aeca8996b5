// Carries the session thread's window calls over to the window thread and
// waits for them, the way a blocking queued call does, but so that shutdown
// can never deadlock on it: Close() on the window thread drops the calls
// still waiting and releases their callers, and nothing reaches the window
// after it. Calls made on the window thread itself run at once.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "netlink/session_window.h"

namespace tessar {

class HandOffWindow : public SessionWindow {
 public:
  // Made on the window thread. `wake` asks that thread to call RunPending()
  // soon (a queued invocation in the toolkit's event loop); it may run on any thread.
  HandOffWindow(SessionWindow& window, std::function<void()> wake);

  void WriteLogLine(const std::string& text) override;
  void AdvanceServerIndicator() override;

  // Window thread: runs the calls that wait.
  void RunPending();
  // Window thread: no call reaches the window any more; waiting callers return.
  void Close();

 private:
  struct Call {
    std::function<void()> work;
    bool finished = false;
  };
  void Run(std::function<void()> work);

  SessionWindow& window_;
  std::function<void()> wake_;
  const std::thread::id windowThread_;
  std::mutex mutex_;
  std::condition_variable finished_;
  std::deque<Call*> pending_;
  bool closed_ = false;
};

}  // namespace tessar
