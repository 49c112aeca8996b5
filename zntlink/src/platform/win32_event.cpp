#include <windows.h>

#include <system_error>

#include "platform/event.h"

namespace zntlink {

ManualResetEvent::ManualResetEvent(bool initiallySet)
    : handle_(CreateEventA(nullptr, TRUE, initiallySet ? TRUE : FALSE, nullptr)) {
  if (handle_ == nullptr)
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "CreateEvent");
}

ManualResetEvent::~ManualResetEvent() {
  CloseHandle(handle_);
}

void ManualResetEvent::Set() {
  SetEvent(handle_);
}

void ManualResetEvent::Reset() {
  ResetEvent(handle_);
}

bool ManualResetEvent::Wait(uint32_t timeoutMs) {
  // kWaitForever is the system's INFINITE.
  return WaitForSingleObject(handle_, timeoutMs) == WAIT_OBJECT_0;
}

bool ManualResetEvent::IsSet() const {
  return WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0;
}

}  // namespace zntlink
