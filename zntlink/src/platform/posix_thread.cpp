#include <system_error>

#include "platform/thread.h"

namespace zntlink {

HeldThread::~HeldThread() {
  if (thread_.joinable()) {
    Abandon();
    thread_.join();
  }
}

bool HeldThread::Create(std::function<void()> body) {
  body_ = std::move(body);
  abandoned_ = false;
  gate_.Reset();
  try {
    thread_ = std::thread([this] {
      gate_.Wait(kWaitForever);
      if (!abandoned_)
        body_();
    });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void HeldThread::Release() {
  gate_.Set();
}

void HeldThread::Abandon() {
  abandoned_ = true;
  gate_.Set();
}

bool HeldThread::Exists() const {
  return thread_.joinable();
}

bool HeldThread::Join() {
  if (!thread_.joinable())
    return false;
  thread_.join();
  return true;
}

}  // namespace zntlink
