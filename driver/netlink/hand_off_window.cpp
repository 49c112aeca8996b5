#include "netlink/hand_off_window.h"

#include <algorithm>

namespace tessar {

HandOffWindow::HandOffWindow(SessionWindow& window, std::function<void()> wake)
    : window_(window), wake_(std::move(wake)), windowThread_(std::this_thread::get_id()) {}

void HandOffWindow::WriteLogLine(const std::string& text) {
  Run([this, &text] { window_.WriteLogLine(text); });
}

void HandOffWindow::AdvanceServerIndicator() {
  Run([this] { window_.AdvanceServerIndicator(); });
}

void HandOffWindow::Run(std::function<void()> work) {
  if (std::this_thread::get_id() == windowThread_) {
    if (!closed_)
      work();
    return;
  }
  Call call{std::move(work)};
  std::unique_lock lock(mutex_);
  if (closed_)
    return;
  pending_.push_back(&call);
  lock.unlock();
  wake_();
  lock.lock();
  finished_.wait(lock, [&] { return call.finished || closed_; });
  // Closed before the window thread got to it: take it out, unrun.
  pending_.erase(std::remove(pending_.begin(), pending_.end(), &call), pending_.end());
}

void HandOffWindow::RunPending() {
  std::unique_lock lock(mutex_);
  while (!closed_ && !pending_.empty()) {
    Call* call = pending_.front();
    pending_.pop_front();
    lock.unlock();
    // The window's errors are ignored; the session goes on either way.
    try {
      call->work();
    } catch (...) {
    }
    lock.lock();
    call->finished = true;
    finished_.notify_all();
  }
}

void HandOffWindow::Close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  finished_.notify_all();
}

}  // namespace tessar
