// Threads with the system's calls: created suspended, resumed to run their
// body, waited for and closed by handle.
#include <windows.h>

#include "platform/thread.h"

namespace zntlink {

HeldThread::~HeldThread() {
  if (handle_ != nullptr) {
    Abandon();
    Join();
  }
}

unsigned long __stdcall HeldThread::Entry(void* self) {
  auto* thread = static_cast<HeldThread*>(self);
  if (!thread->abandoned_)
    thread->body_();
  return 0;
}

bool HeldThread::Create(std::function<void()> body) {
  body_ = std::move(body);
  abandoned_ = false;
  DWORD id = 0;
  handle_ = CreateThread(nullptr, 0, &HeldThread::Entry, this, CREATE_SUSPENDED, &id);
  return handle_ != nullptr;
}

void HeldThread::Release() {
  if (handle_ != nullptr)
    ResumeThread(handle_);
}

void HeldThread::Abandon() {
  // Written before the thread first runs; resuming it orders the write.
  abandoned_ = true;
  Release();
}

bool HeldThread::Exists() const {
  return handle_ != nullptr;
}

bool HeldThread::Join() {
  if (handle_ == nullptr)
    return false;
  WaitForSingleObject(handle_, INFINITE);
  if (!CloseHandle(handle_))
    return false;
  handle_ = nullptr;
  return true;
}

}  // namespace zntlink
