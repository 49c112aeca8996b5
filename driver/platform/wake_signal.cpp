#include "platform/wake_signal.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace tessar::platform {

WakeSignal::WakeSignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (fd_ < 0) {
    std::perror("eventfd");
    std::abort();
  }
}

WakeSignal::~WakeSignal() {
  close(fd_);
}

void WakeSignal::Set() {
  // The counter stays readable once written, until Reset() reads it back.
  const uint64_t one = 1;
  const ssize_t written = write(fd_, &one, sizeof one);
  (void)written;
}

void WakeSignal::Reset() {
  uint64_t count = 0;
  const ssize_t read = ::read(fd_, &count, sizeof count);
  (void)read;
}

bool WakeSignal::IsSet() const {
  return Wait(0);
}

bool WakeSignal::Wait(uint32_t timeoutMs) const {
  pollfd fd{fd_, POLLIN, 0};
  for (;;) {
    const int ready = poll(&fd, 1, static_cast<int>(timeoutMs));
    if (ready >= 0)
      return ready > 0;
    if (errno != EINTR)
      return false;
  }
}

}  // namespace tessar::platform
